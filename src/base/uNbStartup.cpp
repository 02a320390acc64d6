#include "uNbStartup.h"

#include "uNbAppInfo.h"
#include "uNbLog.h"
#include "uNbStackTrace.h"

void NbLibraryStartup(const char* argv0) {
    NbAppInfoInitialize(argv0);
    NbStackTraceEnable(true);
    NbLogInitialize();
}
