#include "uNbStartup.h"

#include "uNbAppInfo.h"
#include "uNbLog.h"
#include "uNbStackTrace.h"

#include <malloc.h>

void NbLibraryStartup(const char* argv0) {
    // Batches, their wide copies and the driver's buffers run to hundreds of kilobytes each and
    // are made and freed once per batch: kept in the heap rather than mapped and unmapped (or the
    // heap's top given back) every time, they cost no page faults on the next batch.
    mallopt(M_MMAP_THRESHOLD, 8 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    NbAppInfoInitialize(argv0);
    NbStackTraceEnable(true);
    NbLogInitialize();
}
