// Stack-trace capture for raised exceptions. Once switched on, every throw records the return
// addresses of its call stack, both in a per-thread slot and with the exception object itself,
// so that a trace survives being carried to another thread and rethrown there.
#pragma once

#include <exception>
#include <vector>

void NbStackTraceEnable(bool on);
bool NbStackTraceEnabled();
// Return addresses captured at the most recent throw on this thread (innermost first).
std::vector<void*> NbLastExceptionStack();
// Return addresses captured when the given exception object was thrown (the address a catch by
// reference sees); empty when none was recorded.
std::vector<void*> NbExceptionStack(const void* exceptionObject);
