#include "events/archive.h"
#include "platform/atomic_file.h"
#include "platform/message_queue.h"
#include "platform/named_mutex.h"
#include "platform/user_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path ScratchDir() {
    fs::path dir = fs::temp_directory_path() / ("dendra-platform-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(NamedMutex, SameNameIsOneMutexAndLivesUntilTheLastUser) {
    const size_t before = platform::NamedMutexCount();
    platform::NamedMutex* a = platform::AcquireNamedMutex("song.wav");
    platform::NamedMutex* b = platform::AcquireNamedMutex("song.wav");
    platform::NamedMutex* c = platform::AcquireNamedMutex("other.wav");
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(a->Users(), 2);
    EXPECT_EQ(platform::NamedMutexCount(), before + 2);

    platform::ReleaseNamedMutex(a);
    // The second holder still has a working mutex.
    ASSERT_TRUE(b->Lock(10));
    b->Unlock();
    EXPECT_EQ(b->Users(), 1);
    platform::ReleaseNamedMutex(b);
    platform::ReleaseNamedMutex(c);
    platform::ReleaseNamedMutex(nullptr);
    EXPECT_EQ(platform::NamedMutexCount(), before);
}

TEST(NamedMutex, TimedLockGivesUpWhileAnotherThreadHoldsIt) {
    platform::NamedMutex* m = platform::AcquireNamedMutex("QUAVNOTELIST-test");
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        m->Lock(0);
        held = true;
        while (!release) std::this_thread::yield();
        m->Unlock();
    });
    while (!held) std::this_thread::yield();
    EXPECT_FALSE(m->Lock(2));
    {
        platform::NamedLock lock(m, 1);
        EXPECT_FALSE(lock);
    }
    release = true;
    holder.join();
    {
        platform::NamedLock lock(m, 50);
        EXPECT_TRUE(lock);
    }
    platform::ReleaseNamedMutex(m);
}

TEST(UserMessages, RecordingSinkCapturesAndRestores) {
    {
        platform::ScopedRecordingMessages rec;
        platform::MessageBox("Event not deleted!");
        rec.QueueAnswer(platform::Answer::Yes);
        EXPECT_EQ(platform::Messages().Ask("Save changes?", platform::Answer::No),
                  platform::Answer::Yes);
        // With no queued answer the safe one is taken.
        EXPECT_EQ(platform::Messages().Ask("Again?", platform::Answer::No), platform::Answer::No);
        ASSERT_EQ(rec.Shown().size(), 1u);
        EXPECT_EQ(rec.Shown()[0], "Event not deleted!");
        EXPECT_EQ(rec.Asked().size(), 2u);
    }
    EXPECT_NE(dynamic_cast<platform::StderrMessages*>(&platform::Messages()), nullptr);
}

TEST(UserMessages, OtherThreadsPostTheirMessagesToTheUserInterfaceThread) {
    platform::ScopedRecordingMessages rec;
    platform::Queue().Drain();
    ASSERT_TRUE(platform::OnUserInterfaceThread()); // the main thread, until told otherwise
    platform::Answer answer = platform::Answer::Yes;
    bool posted = false;
    std::thread worker([&] {
        EXPECT_FALSE(platform::OnUserInterfaceThread());
        platform::MessageBox("from a worker");
        platform::Messages().Note("a note\n");
        answer = platform::Messages().Ask("Really?", platform::Answer::No);
        posted = platform::PostMessageBox("a literal");
    });
    worker.join();
    EXPECT_EQ(answer, platform::Answer::No); // the safe answer, at once
    EXPECT_TRUE(posted);
    // Nothing was shown on the worker; it all arrives, in order, when the queue is drained.
    EXPECT_TRUE(rec.Shown().empty());
    EXPECT_TRUE(rec.Noted().empty());
    platform::Queue().Drain();
    EXPECT_EQ(rec.Shown(), (std::vector<std::string>{"from a worker", "Really?", "a literal"}));
    EXPECT_EQ(rec.Noted(), std::vector<std::string>{"a note\n"});
    EXPECT_TRUE(rec.Asked().empty());

    // On the user-interface thread a literal is shown at once.
    rec.Clear();
    EXPECT_TRUE(platform::PostMessageBox("right here"));
    EXPECT_EQ(rec.Shown(), std::vector<std::string>{"right here"});

    // Another thread can be made the user-interface thread; then the main thread posts.
    rec.Clear();
    std::thread ui([] { platform::SetUserInterfaceThread(); });
    ui.join();
    EXPECT_FALSE(platform::OnUserInterfaceThread());
    platform::MessageBox("from main");
    platform::SetUserInterfaceThread();
    EXPECT_TRUE(rec.Shown().empty());
    platform::Queue().Drain();
    EXPECT_EQ(rec.Shown(), std::vector<std::string>{"from main"});
}

TEST(AtomicFile, ReplacesWholeFileAndKeepsTheOldOneOnFailure) {
    fs::path dir = ScratchDir();
    fs::path target = dir / "doc.dra";
    { std::ofstream(target) << "old contents"; }
    std::string err;
    ASSERT_TRUE(platform::WriteFileAtomically(target.string(), "new", 3, &err)) << err;
    EXPECT_EQ(Slurp(target), "new");

    // A target in a folder that does not exist fails without touching anything.
    fs::path missing = dir / "no-such-folder" / "doc.dra";
    EXPECT_FALSE(platform::WriteFileAtomically(missing.string(), "x", 1, &err));
    EXPECT_FALSE(err.empty());

    // An abandoned streaming writer leaves the old file and no temporary behind.
    {
        platform::AtomicFileWriter w(target.string());
        ASSERT_TRUE(w.Open());
        ASSERT_TRUE(w.Write("partial", 7));
    }
    EXPECT_EQ(Slurp(target), "new");
    size_t files = 0;
    for (auto& e : fs::directory_iterator(dir)) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1u);
    fs::remove_all(dir);
}

TEST(AtomicFile, ReadWholeFileRefusesFoldersAndMissingFiles) {
    std::vector<uint8_t> bytes;
    std::string err;
    EXPECT_FALSE(platform::ReadWholeFile("/nonexistent/dendra/file", bytes, &err));
    EXPECT_FALSE(platform::ReadWholeFile(fs::temp_directory_path().string(), bytes, &err));
    EXPECT_TRUE(bytes.empty());
}

TEST(ArchiveFile, SaveAndLoadThroughFiles) {
    fs::path dir = ScratchDir();
    CArchive out;
    out.WriteU16(5);
    out.WriteString("Root");
    std::string err;
    ASSERT_TRUE(out.SaveFile((dir / "a.bin").string(), &err)) << err;
    CArchive in;
    ASSERT_TRUE(CArchive::LoadFile((dir / "a.bin").string(), in, &err)) << err;
    EXPECT_EQ(in.ReadU16(), 5);
    EXPECT_EQ(in.ReadString(), "Root");
    EXPECT_FALSE(in.Failed());
    EXPECT_TRUE(in.AtEnd());
    fs::remove_all(dir);
}
