#include "uNbStackTrace.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <typeinfo>
#include <unordered_map>

namespace {
std::atomic<bool> g_enabled{false};
constexpr int kMaxFrames = 64;
thread_local void* t_frames[kMaxFrames];
thread_local int t_count = 0;
thread_local bool t_recording = false;  // a throw while recording (out of memory) records nothing

// The trace of each live exception object, and the destructor the runtime was given for it.
struct TTracedThrow {
    std::vector<void*> frames;
    void (*destroy)(void*);
};
std::mutex& TraceLock() {
    static std::mutex m;
    return m;
}
std::unordered_map<const void*, TTracedThrow>& Traces() {
    static auto* traces = new std::unordered_map<const void*, TTracedThrow>;  // outlives static destruction
    return *traces;
}

// Runs when the runtime frees an exception object: drops its trace, then the object's own destructor.
void DestroyTraced(void* object) {
    void (*destroy)(void*) = nullptr;
    {
        std::lock_guard<std::mutex> lock(TraceLock());
        auto it = Traces().find(object);
        if (it != Traces().end()) {
            destroy = it->second.destroy;
            Traces().erase(it);
        }
    }
    if (destroy) destroy(object);
}
}  // namespace

void NbStackTraceEnable(bool on) { g_enabled.store(on, std::memory_order_relaxed); }
bool NbStackTraceEnabled() { return g_enabled.load(std::memory_order_relaxed); }

std::vector<void*> NbLastExceptionStack() { return std::vector<void*>(t_frames, t_frames + t_count); }

std::vector<void*> NbExceptionStack(const void* exceptionObject) {
    std::lock_guard<std::mutex> lock(TraceLock());
    auto it = Traces().find(exceptionObject);
    return it == Traces().end() ? std::vector<void*>() : it->second.frames;
}

// Every throw in the process goes through __cxa_throw; this definition in the executable takes
// precedence, records the stack (leaving out this frame), and hands over to the runtime's own.
extern "C" [[noreturn]] void __cxa_throw(void* object, std::type_info* type, void (*destroy)(void*)) {
    using Throw = void (*)(void*, std::type_info*, void (*)(void*));
    static Throw real = reinterpret_cast<Throw>(dlsym(RTLD_NEXT, "__cxa_throw"));
    if (g_enabled.load(std::memory_order_relaxed) && !t_recording) {
        t_recording = true;
        // The trace starts at the throwing function: frames of this hook (and of any interceptor
        // around backtrace) come before the hook's own return address and are left out.
        void* frames[kMaxFrames + 4];
        const int n = backtrace(frames, kMaxFrames + 4);
        void* thrower = __builtin_return_address(0);
        int first = 0;
        while (first < n && frames[first] != thrower) ++first;
        if (first == n) first = n > 1 ? 1 : 0;
        t_count = std::min(n - first, kMaxFrames);
        for (int i = 0; i < t_count; ++i) t_frames[i] = frames[first + i];
        try {
            std::lock_guard<std::mutex> lock(TraceLock());
            Traces()[object] = TTracedThrow{std::vector<void*>(t_frames, t_frames + t_count), destroy};
            destroy = DestroyTraced;
        } catch (...) {  // out of memory: the object goes without its trace
        }
        t_recording = false;
    }
    real(object, type, destroy);
    __builtin_unreachable();
}
