// The thread contracts that checking builds enforce: documents and the play engine on the
// user-interface thread only, and no blocking lock or allocation inside a real-time section.
#include "platform/named_mutex.h"
#include "platform/thread_check.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

#if DENDRA_THREAD_CHECKS

TEST(ThreadChecksDeathTest, AnEntryPointOffTheUserInterfaceThreadEndsTheProgram) {
    EXPECT_DEATH(
        {
            platform::ClaimUiThread();
            DENDRA_UI_THREAD();
            std::thread([] { platform::CheckUiThread("OnSaveDocument"); }).join();
        },
        "OnSaveDocument called off the user-interface thread");
}

TEST(ThreadChecksDeathTest, ABlockingLockInARealtimeSectionEndsTheProgram) {
    EXPECT_DEATH(
        {
            platform::NamedMutex* m = platform::AcquireNamedMutex("thread-check-test");
            DENDRA_REALTIME();
            m->Lock(0);
        },
        "a lock without a time limit in the real-time section");
}

TEST(ThreadChecks, BoundedLocksAndExemptCallsAreAllowedInARealtimeSection) {
    platform::NamedMutex* m = platform::AcquireNamedMutex("thread-check-bounded");
    {
        DENDRA_REALTIME();
        ASSERT_TRUE(m->Lock(1));
        m->Unlock();
        EXPECT_NE(platform::RealtimeSection(), nullptr);
        {
            DENDRA_REALTIME_EXEMPT();
            EXPECT_EQ(platform::RealtimeSection(), nullptr);
            m->Lock(0);
            m->Unlock();
        }
        EXPECT_NE(platform::RealtimeSection(), nullptr);
    }
    EXPECT_EQ(platform::RealtimeSection(), nullptr);
    platform::ReleaseNamedMutex(m);
}

#if defined(__SANITIZE_ADDRESS__) || (defined(__has_feature) && __has_feature(address_sanitizer))
TEST(ThreadChecksDeathTest, AnAllocationInARealtimeSectionEndsTheProgram) {
    EXPECT_DEATH(
        {
            DENDRA_REALTIME();
            volatile int* p = new int[16];
            delete[] p;
        },
        "allocation in the real-time section");
}
#endif

#else

TEST(ThreadChecks, AreCompiledOutOfReleaseBuilds) {
    DENDRA_REALTIME();
    EXPECT_EQ(platform::RealtimeSection(), nullptr);
}

#endif

} // namespace
