// Thread contracts, checked in checking builds.
//
// Two contracts hold across the program:
//   - Documents and the play engine live on the user-interface thread. Their entry points say so
//     with DENDRA_UI_THREAD(); the first thread that passes such a check becomes the user-interface
//     thread of the process (the program's start-up claims it first with ClaimUiThread), and any
//     other thread that passes one ends the program with a message naming the entry point.
//   - Real-time code (the clock's tick, driver and audio callbacks) allocates nothing and takes no
//     lock it could wait on. Such an entry point opens a DENDRA_REALTIME() scope; inside it,
//     blocking locks of the platform layer report the fault, and builds with the address
//     sanitizer also report every allocation (through the sanitizer's allocation hooks). Code of
//     another library called from a real-time path that is known to allocate on its own (a
//     driver's internal buffers) runs inside a DENDRA_REALTIME_EXEMPT() scope.
//
// Checking builds are Debug builds (and any build with DENDRA_THREAD_CHECKS=1); elsewhere the
// macros compile to nothing. The functions themselves are real-time safe.
#pragma once

namespace platform {

// Makes the calling thread the user-interface thread (start-up, and tests that move it).
void ClaimUiThread();
// True on the user-interface thread, and before any thread has claimed it.
bool OnUiThread();
// Ends the program with a message when called off the user-interface thread; the first call
// claims the thread when none has.
void CheckUiThread(const char* where);

// A real-time section on this thread (nests).
class RealtimeScope {
public:
    explicit RealtimeScope(const char* where);
    ~RealtimeScope();
    RealtimeScope(const RealtimeScope&) = delete;
    RealtimeScope& operator=(const RealtimeScope&) = delete;

private:
    const char* previous_;
};
// Suspends the checks of an enclosing real-time section (calls into other libraries).
class RealtimeExempt {
public:
    RealtimeExempt();
    ~RealtimeExempt();
    RealtimeExempt(const RealtimeExempt&) = delete;
    RealtimeExempt& operator=(const RealtimeExempt&) = delete;

private:
    int saved_;
};
// The real-time section the calling thread is in, or null.
const char* RealtimeSection();
// Ends the program with a message when the calling thread is in a real-time section: `what` would
// block or allocate there.
void CheckNotRealtime(const char* what);
// Allocations seen inside real-time sections so far (address-sanitizer builds count them instead
// of ending the program while DENDRA_RT_ALLOC_COUNT_ONLY is set in the environment).
unsigned long RealtimeAllocations();

} // namespace platform

#ifndef DENDRA_THREAD_CHECKS
#ifdef NDEBUG
#define DENDRA_THREAD_CHECKS 0
#else
#define DENDRA_THREAD_CHECKS 1
#endif
#endif

#define DENDRA_CHECK_CAT2(a, b) a##b
#define DENDRA_CHECK_CAT(a, b) DENDRA_CHECK_CAT2(a, b)

#if DENDRA_THREAD_CHECKS
#define DENDRA_UI_THREAD() ::platform::CheckUiThread(__func__)
#define DENDRA_REALTIME()                                                                          \
    ::platform::RealtimeScope DENDRA_CHECK_CAT(dendraRealtime_, __LINE__)(__func__)
#define DENDRA_REALTIME_EXEMPT()                                                                   \
    ::platform::RealtimeExempt DENDRA_CHECK_CAT(dendraRealtimeExempt_, __LINE__)
#define DENDRA_NOT_REALTIME(what) ::platform::CheckNotRealtime(what)
#else
#define DENDRA_UI_THREAD() ((void)0)
#define DENDRA_REALTIME() ((void)0)
#define DENDRA_REALTIME_EXEMPT() ((void)0)
#define DENDRA_NOT_REALTIME(what) ((void)0)
#endif
