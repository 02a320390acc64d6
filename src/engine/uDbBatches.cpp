#include "uDbBatches.h"

const char* const kDebugTemplate =
    "begin try   print 'DEBUG MODE ON';   %s; end try begin catch   select '' as SQL_ERROR_TRAPPED,          error_number() as Errno,"
    "          error_severity() as Severity,          error_state() as State,          error_procedure() as [Procedure],"
    "          error_line() as Line,          error_message() as Message end catch ";

std::string TakeLine(std::string& text) {
    const size_t p = text.find("\r\n");
    std::string line;
    if (p == std::string::npos) {
        line.swap(text);
    } else {
        line = text.substr(0, p + 2);
        text.erase(0, p + 2);
    }
    return line;
}

std::string TakeNextBatch(std::string& text) {
    std::string batch;
    // Lines are taken by offset so that a long text is not shifted once per line.
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t p = text.find("\r\n", pos);
        const size_t end = p == std::string::npos ? text.size() : p + 2;
        if (end - pos == 4 && text.compare(pos, 4, "GO\r\n") == 0) {
            pos = end;
            break;
        }
        batch.append(text, pos, end - pos);
        pos = end;
    }
    text.erase(0, pos);
    return batch;
}

std::string WrapDebugBatch(const std::string& batch, bool debug) {
    if (!debug) return batch;
    std::string out = kDebugTemplate;
    out.replace(out.find("%s"), 2, batch);
    return out;
}
