// The library-level start-up that runs before the program's main block: identity defaults, then
// stack-trace capture, then the log's two start-up lines (the identity still at its defaults).
#pragma once

void NbLibraryStartup(const char* argv0);
