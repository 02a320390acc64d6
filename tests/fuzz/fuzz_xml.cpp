// The XML dataset import over any bytes: a file is imported or refused with an Exception, never a
// crash, a leak, undefined behaviour or another kind of exception; a refused file leaves the result
// dataset as it was.
#include "uNbData.h"
#include "uNbExceptions.h"
#include "uNbLog.h"
#include "uNbTemp.h"
#include "uNbXml.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    NbLogSetLineFd(-1);
    TNbTemp::EnsureInstance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    TNbDataSet result;
    result.DefineField("Kept", ftInteger, 0);
    result.Open();
    result.AppendRow();
    result.Field(0).SetAsInteger(7);
    result.PostRow();
    TNbTempMemoryStream stream(std::string(reinterpret_cast<const char*>(data), size));
    try {
        LoadXmlStream(result, stream);
    } catch (const Exception&) {
        result.MoveFirst();
        if (result.FieldCount() != 1 || result.RowCount() != 1 || result.Field(0).AsInteger() != 7) {
            std::fprintf(stderr, "a refused file changed the result dataset\n");
            std::abort();
        }
    }
    return 0;
}
