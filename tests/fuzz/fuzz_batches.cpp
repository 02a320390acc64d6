// Splitting SQL text into batches at "GO" lines loses and adds no character: the batches with the
// separator lines taken between them give back the text, and no batch holds a separator line.
#include "uDbBatches.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "batch splitting: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::string text = original, rebuilt;
    while (!text.empty()) {
        const size_t before = text.size();
        const std::string batch = TakeNextBatch(text);
        const size_t taken = before - text.size();
        if (taken == 0) Fail("no progress");
        if (taken == batch.size() + 4) {
            rebuilt += batch + "GO\r\n";
        } else if (taken == batch.size() && text.empty()) {
            rebuilt += batch;
        } else {
            Fail("the batch and the text taken differ");
        }
        // A separator is a whole line: at the batch's start or after a CR LF.
        for (size_t at = batch.find("GO\r\n"); at != std::string::npos; at = batch.find("GO\r\n", at + 1))
            if (at == 0 || (at >= 2 && batch.compare(at - 2, 2, "\r\n") == 0)) Fail("a separator line left inside a batch");
    }
    if (rebuilt != original) Fail("the batches do not give back the text");
    return 0;
}
