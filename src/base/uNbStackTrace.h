// Stack-trace capture for raised exceptions. Once switched on, every throw records the return
// addresses of its call stack in a per-thread slot that the error report reads afterwards.
#pragma once

#include <vector>

void NbStackTraceEnable(bool on);
bool NbStackTraceEnabled();
// Return addresses captured at the most recent throw on this thread (innermost first).
std::vector<void*> NbLastExceptionStack();
