#include "uNbStackTrace.h"

#include <atomic>
#include <dlfcn.h>
#include <execinfo.h>
#include <typeinfo>

namespace {
std::atomic<bool> g_enabled{false};
constexpr int kMaxFrames = 64;
thread_local void* t_frames[kMaxFrames];
thread_local int t_count = 0;
}  // namespace

void NbStackTraceEnable(bool on) { g_enabled.store(on, std::memory_order_relaxed); }
bool NbStackTraceEnabled() { return g_enabled.load(std::memory_order_relaxed); }

std::vector<void*> NbLastExceptionStack() { return std::vector<void*>(t_frames, t_frames + t_count); }

// Every throw in the process goes through __cxa_throw; this definition in the executable takes
// precedence, records the stack, and hands over to the runtime's own.
extern "C" [[noreturn]] void __cxa_throw(void* object, std::type_info* type, void (*destroy)(void*)) {
    using Throw = void (*)(void*, std::type_info*, void (*)(void*));
    static Throw real = reinterpret_cast<Throw>(dlsym(RTLD_NEXT, "__cxa_throw"));
    if (g_enabled.load(std::memory_order_relaxed)) t_count = backtrace(t_frames, kMaxFrames);
    real(object, type, destroy);
    __builtin_unreachable();
}
