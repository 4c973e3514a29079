// Runs the built dendra-cli with the program's own command line ("/play /quit song.sng"): each
// run gets its own settings, runtime folder (the instance lock) and media folder.
#include "app/settings.h"
#include "documents/event_list_document.h"
#include "song/song_document.h"

#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int status = -1; // -1 when the program did not exit normally
    std::string out; // standard output and standard error together
};

CliRun Finish(FILE* p) {
    CliRun r;
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

class StartupCli : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_.Path() / "run");
        fs::create_directories(dir_.Path() / "media");
        fs::create_directories(dir_.Path() / "elsewhere");
        app::CSettings s(dir_.File("settings.conf"));
        s.WriteProfileString(app::kSectionLocations, "Media", dir_.File("media") + "/");
        ASSERT_TRUE(s.Save());
    }

    // A shell command running dendra-cli in folder `cwd` (relative to the scratch folder), ended
    // by `signal` after `seconds` at the latest.
    std::string Command(const std::string& args, const std::string& cwd = ".",
                        const char* signal = "INT", double seconds = 30) const {
        return "cd " + dir_.File(cwd) + " && DENDRA_SETTINGS_FILE=" + dir_.File("settings.conf") +
               " XDG_RUNTIME_DIR=" + dir_.File("run") + " XDG_DATA_HOME=" + dir_.File("data") +
               " XDG_CONFIG_HOME=" + dir_.File("config") + " timeout --preserve-status -s " +
               signal + " " + std::to_string(seconds) + " " + DENDRA_BINARY_DIR +
               "/cli/dendra-cli " + args + " 2>&1";
    }
    CliRun Cli(const std::string& args, const std::string& cwd = ".", const char* signal = "INT",
               double seconds = 30) const {
        return Finish(::popen(Command(args, cwd, signal, seconds).c_str(), "r"));
    }

    // A song of one contained event list: a few notes within its first beat or two.
    std::string MakeSong(const std::string& name, uint32_t lastNote = 500) const {
        auto list = std::make_shared<CSELDoc>();
        list->OnNewDocument();
        list->SetTitle("notes");
        for (uint32_t t = 0; t <= lastNote; t += 250)
            list->GetEvents().Add(new EventMidi(t, 0x90, uint8_t(60 + t / 250), 100, 200));
        CSongDoc song;
        song.OnNewDocument();
        song.SetDescription("startup");
        EXPECT_EQ(song.IncludeDocument(list), 1);
        EXPECT_TRUE(song.Contain(0));
        const std::string path = dir_.File(name);
        EXPECT_TRUE(song.OnSaveDocument(path));
        return path;
    }

    bool InstanceListening() const {
        return fs::exists(
            dir_.File("run/THEONDRELLEINSTANCE-" + std::to_string(::getuid()) + ".sock"));
    }

    testutil::TempDir dir_{"dendra-startup"};
};

TEST_F(StartupCli, PlayQuitEndsWhenTheSongEnds) {
    MakeSong("s.sng");
    const auto started = std::chrono::steady_clock::now();
    // A path relative to the folder the program runs in.
    CliRun r = Cli("/play /quit s.sng");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("beat 0 of "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ended"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("stopped"), std::string::npos) << "ended by the timeout: " << r.out;
    EXPECT_LT(seconds, 15.0);
    // The lock and the socket are let go.
    EXPECT_FALSE(InstanceListening());
    // "-" marks options as well.
    r = Cli("-quit " + dir_.File("s.sng") + " -play");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("ended"), std::string::npos) << r.out;
}

TEST_F(StartupCli, SaveWritesTheSongAgainAndPlaysFourBeats) {
    const std::string song = MakeSong("s.sng");
    std::vector<uint8_t> before;
    {
        std::ifstream in(song, std::ios::binary);
        before.assign(std::istreambuf_iterator<char>(in), {});
    }
    fs::last_write_time(song, fs::file_time_type::clock::now() - std::chrono::hours(1));
    const auto stamp = fs::last_write_time(song);
    CliRun r = Cli("/save " + song);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_GT(fs::last_write_time(song), stamp);
    EXPECT_NE(r.out.find("beat 3 of 4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ended"), std::string::npos) << r.out;
    // Written again, the song is what it was.
    std::vector<uint8_t> after;
    {
        std::ifstream in(song, std::ios::binary);
        after.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(after, before);
}

TEST_F(StartupCli, ASecondStartHandsItsCommandLineToTheFirst) {
    MakeSong("first.sng");
    fs::create_directories(dir_.Path() / "sub");
    MakeSong("sub/other.sng", 1000);
    // The first start opens a song without playing it and runs until it is told otherwise.
    FILE* first = ::popen(Command(dir_.File("first.sng"), "elsewhere", "INT", 15).c_str(), "r");
    ASSERT_NE(first, nullptr);
    for (int i = 0; i < 500 && !InstanceListening(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(InstanceListening());
    // The second, with a path relative to a folder the first is not in, hands over and ends.
    CliRun second = Cli("/play /quit sub/other.sng");
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(second.out.find("beat"), std::string::npos) << second.out;
    // The first plays what it was handed and, told to quit, ends by itself.
    CliRun r = Finish(first);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("beat 0 of "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ended"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("stopped"), std::string::npos) << "ended by the timeout: " << r.out;
    EXPECT_FALSE(InstanceListening());
}

TEST_F(StartupCli, PlayingHandsOverAndTakesHandOvers) {
    MakeSong("long.sng", 20000);
    fs::create_directories(dir_.Path() / "sub");
    MakeSong("sub/short.sng", 500);
    // `play` is an interactive start as well: while it plays, a second `play` hands its file
    // over, and the first plays that one to its end instead.
    FILE* first = ::popen(Command("play long.sng", ".", "INT", 15).c_str(), "r");
    ASSERT_NE(first, nullptr);
    for (int i = 0; i < 500 && !InstanceListening(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(InstanceListening());
    CliRun second = Cli("play short.sng", "sub");
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(second.out.find("beat"), std::string::npos) << second.out;
    CliRun r = Finish(first);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("ended"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("stopped"), std::string::npos) << "ended by the timeout: " << r.out;
    // It began with the long song and went on with the one handed over.
    const size_t longSong = r.out.find("beat 0 of 23");
    EXPECT_NE(longSong, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("beat 0 of 3", longSong), std::string::npos) << r.out;
}

TEST_F(StartupCli, TermAndInterruptStopCleanly) {
    MakeSong("long.sng", 20000);
    for (const char* signal : {"TERM", "INT"}) {
        CliRun r = Cli("/play long.sng", ".", signal, 1.5);
        EXPECT_EQ(r.status, 0) << signal << ": " << r.out;
        EXPECT_NE(r.out.find("beat 0 of "), std::string::npos) << signal << ": " << r.out;
        EXPECT_NE(r.out.find("stopped"), std::string::npos) << signal << ": " << r.out;
        EXPECT_FALSE(InstanceListening()) << signal;
    }
}

TEST_F(StartupCli, BadCommandLinesAndFiles) {
    const std::string song = MakeSong("s.sng");
    for (const char* args : {"/Play s.sng", "/play /bogus s.sng", "/play -x s.sng",
                             "/play s.sng s.sng", "/p s.sng", "-pt printer driver port s.sng"}) {
        CliRun r = Cli(args);
        EXPECT_EQ(r.status, 1) << args << ": " << r.out;
        EXPECT_NE(r.out.find("usage: dendra-cli"), std::string::npos) << args << ": " << r.out;
        EXPECT_EQ(r.out.find("beat"), std::string::npos) << args;
    }
    EXPECT_NE(Cli("/p s.sng").out.find("printing"), std::string::npos);
    EXPECT_NE(Cli("/play /bogus s.sng").out.find("unknown option /bogus"), std::string::npos);

    CliRun r = Cli("/play /quit " + dir_.File("missing.sng"));
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("No such file or directory"), std::string::npos) << r.out;
    {
        std::ofstream junk(dir_.File("junk.sng"), std::ios::binary);
        junk << "not a song at all";
    }
    r = Cli("/play /quit junk.sng");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_FALSE(r.out.empty());
    EXPECT_FALSE(InstanceListening());

    // The start-up form is listed and has its own help; commands are unchanged.
    r = Cli("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("[/play] [/quit] [/save] [FILE]"), std::string::npos) << r.out;
    r = Cli("/play --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("case-sensitive"), std::string::npos) << r.out;
    r = Cli("dump " + song);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\"kind\":\"song\""), std::string::npos) << r.out;
}

} // namespace
