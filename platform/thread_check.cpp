#include "platform/thread_check.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DENDRA_HAVE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DENDRA_HAVE_ASAN 1
#endif

#ifdef DENDRA_HAVE_ASAN
extern "C" void __sanitizer_print_stack_trace();
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void*));
#endif

namespace platform {

namespace {

std::atomic<bool> g_uiClaimed{false};
std::atomic<pthread_t> g_uiThread{};

thread_local const char* t_section = nullptr;
thread_local int t_exempt = 0;
std::atomic<unsigned long> g_rtAllocations{0};

// Writes without allocating (this may run inside an allocation).
void Say(const char* a, const char* b, const char* c) {
    for (const char* s : {a, b, c}) {
        if (s) {
            ssize_t ignored = ::write(2, s, std::strlen(s));
            (void)ignored;
        }
    }
}

[[noreturn]] void Fail(const char* a, const char* b, const char* c) {
    Say(a, b, c);
    Say("\n", nullptr, nullptr);
    std::abort();
}

#ifdef DENDRA_HAVE_ASAN
bool CountOnly() {
    static const bool countOnly = std::getenv("DENDRA_RT_ALLOC_COUNT_ONLY") != nullptr;
    return countOnly;
}

void MallocHook(const volatile void*, size_t) {
    if (!t_section || t_exempt > 0) return;
    g_rtAllocations.fetch_add(1, std::memory_order_relaxed);
    if (CountOnly()) return;
    Say("thread check: allocation in the real-time section ", t_section, "\n");
    __sanitizer_print_stack_trace();
    std::abort();
}

void FreeHook(const volatile void*) {}

// The sanitizer takes the hooks only as a pair.
struct InstallHooks {
    InstallHooks() { __sanitizer_install_malloc_and_free_hooks(&MallocHook, &FreeHook); }
};
const InstallHooks g_installHooks;
#endif

} // namespace

void ClaimUiThread() {
    g_uiThread.store(pthread_self());
    g_uiClaimed.store(true);
}

bool OnUiThread() {
    return !g_uiClaimed.load() || pthread_equal(g_uiThread.load(), pthread_self());
}

void CheckUiThread(const char* where) {
    if (!g_uiClaimed.load()) {
        bool expected = false;
        const pthread_t self = pthread_self();
        g_uiThread.store(self);
        if (g_uiClaimed.compare_exchange_strong(expected, true)) return;
    }
    if (!pthread_equal(g_uiThread.load(), pthread_self())) {
        Fail("thread check: ", where, " called off the user-interface thread");
    }
}

RealtimeScope::RealtimeScope(const char* where) : previous_(t_section) {
    t_section = where;
}

RealtimeScope::~RealtimeScope() {
    t_section = previous_;
}

RealtimeExempt::RealtimeExempt() : saved_(t_exempt) {
    ++t_exempt;
}

RealtimeExempt::~RealtimeExempt() {
    t_exempt = saved_;
}

const char* RealtimeSection() {
    return t_exempt > 0 ? nullptr : t_section;
}

void CheckNotRealtime(const char* what) {
    if (const char* section = RealtimeSection()) {
        Say("thread check: ", what, " in the real-time section ");
        Fail(section, "", "");
    }
}

unsigned long RealtimeAllocations() {
    return g_rtAllocations.load(std::memory_order_relaxed);
}

} // namespace platform
