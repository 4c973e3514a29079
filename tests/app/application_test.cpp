#include "app/application.h"
#include "app/doc_templates.h"
#include "app/single_instance.h"
#include "documents/channel_document.h"
#include "documents/midi_document.h"
#include "documents/tree_document.h"
#include "documents/wave_document.h"
#include "platform/temp_names.h"
#include "platform/user_messages.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

TEST(CommandLine, OptionsWithSlashOrDashAndTheFirstPathIsTheFile) {
    auto c = app::ParseCommandLine({"/play", "-quit", "/home/u/song.sng", "other.mid"});
    EXPECT_TRUE(c.play);
    EXPECT_TRUE(c.quit);
    EXPECT_FALSE(c.save);
    EXPECT_EQ(c.file, "/home/u/song.sng");
    ASSERT_EQ(c.ignored.size(), 1u);
    EXPECT_EQ(c.ignored[0], "other.mid");

    // Case matters: "/Play" is no option, so it names a file at the root.
    c = app::ParseCommandLine({"/Play", "-save", "-Embedding", "-x"});
    EXPECT_FALSE(c.play);
    EXPECT_TRUE(c.save);
    EXPECT_TRUE(c.automation);
    EXPECT_EQ(c.file, "/Play");
    EXPECT_EQ(c.ignored, std::vector<std::string>{"-x"});

    c = app::ParseCommandLine({"/pt", "printer", "driver", "port", "tree.dra", "/dde"});
    EXPECT_TRUE(c.printTo);
    EXPECT_EQ(c.printTarget, (std::vector<std::string>{"printer", "driver", "port"}));
    EXPECT_EQ(c.file, "tree.dra");
    EXPECT_TRUE(c.dde);
    c = app::ParseCommandLine({"-pt", "only-one"});
    EXPECT_EQ(c.printTarget.size(), 1u);
    EXPECT_TRUE(c.file.empty());
}

TEST(CommandLine, UnknownOptionsAreToldFromPaths) {
    EXPECT_TRUE(app::IsCommandLineOption("/play"));
    EXPECT_TRUE(app::IsCommandLineOption("-Automation"));
    EXPECT_FALSE(app::IsCommandLineOption("/Play"));
    EXPECT_FALSE(app::IsCommandLineOption("play"));
    EXPECT_FALSE(app::IsCommandLineOption("--play"));
    EXPECT_FALSE(app::IsCommandLineOption("/"));

    auto c = app::ParseCommandLine({"/play", "/Play", "-x", "/home/u/missing.sng", "/tmp"});
    EXPECT_EQ(c.file, "/Play");
    EXPECT_EQ(c.fileIndex, 1);
    // "/tmp" exists, so it is a path; a missing absolute path is a path too.
    EXPECT_EQ(app::UnknownOptions(c), (std::vector<std::string>{"/Play", "-x"}));
    c = app::ParseCommandLine({"", "-quit", "/home/u/x.dra"});
    EXPECT_EQ(c.fileIndex, 2);
    EXPECT_TRUE(app::UnknownOptions(c).empty());
    EXPECT_TRUE(app::UnknownOptions(app::ParseCommandLine({"/pt", "a", "b", "c"})).empty());
}

TEST(FileNames, ExtensionsAreCheckedWithoutRegardToCase) {
    platform::ScopedRecordingMessages messages;
    EXPECT_TRUE(app::CheckFileName("/x/sound.Aiff"));
    EXPECT_TRUE(app::CheckFileName("SONG.SNG"));
    EXPECT_TRUE(messages.Shown().empty());
    EXPECT_FALSE(app::CheckFileName("notes.txt"));
    EXPECT_FALSE(app::CheckFileName("/a.dir/noextension"));
    EXPECT_EQ(messages.Shown(),
              (std::vector<std::string>{"improper extension", "improper extension"}));
    EXPECT_EQ(app::FileFilter(kDocKindMidi | kDocKindSong),
              "Midi Files (.MID)|*.MID|Song Files (.SNG)|*.SNG||");
    EXPECT_EQ(app::FileFilter(0).rfind("All Files (*.*)|*.*|Ondrelles (.DRA)|*.DRA|", 0), 0u);
}

class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("dendra-app-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "media");
        fs::create_directories(dir_ / "run");
        settings_ = (dir_ / "settings.conf").string();
        app::CSettings s(settings_);
        s.WriteProfileString(app::kSectionLocations, "Media", (dir_ / "media").string() + "/");
        s.WriteProfileInt(app::kSectionBehavior, "RunOnce", 0);
        ASSERT_TRUE(s.Save());
        options_.interactive = false;
        options_.instanceFolder = (dir_ / "run").string();
        platform::ResetTempNamesForTesting();
    }
    void TearDown() override { fs::remove_all(dir_); }
    void Set(const char* section, const char* key, int value) {
        app::CSettings s(settings_);
        ASSERT_TRUE(s.Load());
        s.WriteProfileInt(section, key, value);
        ASSERT_TRUE(s.Save());
    }
    // A tree file made by the tree document itself.
    std::string MakeTree(const std::string& name) {
        CDendraDoc doc;
        EXPECT_TRUE(doc.OnNewDocument());
        std::string path = (dir_ / name).string();
        EXPECT_TRUE(doc.OnSaveDocument(path));
        return path;
    }

    fs::path dir_;
    std::string settings_;
    app::StartupOptions options_;
    platform::ScopedRecordingMessages messages_;
};

TEST_F(AppTest, WithoutAFileANewSongTitledTempOpensUnlessNewDocumentIsOff) {
    {
        app::CDendraApp a(settings_);
        ASSERT_EQ(a.Startup({}, options_), app::StartResult::kStarted);
        ASSERT_EQ(a.Documents().size(), 1u);
        auto* song = dynamic_cast<CChanDoc*>(a.ActiveDocument());
        ASSERT_NE(song, nullptr);
        EXPECT_EQ(song->GetDocKind(), kDocKindSong);
        EXPECT_EQ(song->GetTitle(), "temp");
        EXPECT_FALSE(a.PlayRequested());
    }
    Set(app::kSectionBehavior, "NewDocument", 0);
    app::CDendraApp a(settings_);
    ASSERT_EQ(a.Startup({"/play"}, options_), app::StartResult::kStarted);
    EXPECT_TRUE(a.Documents().empty());
    EXPECT_TRUE(a.PlayRequested());
}

TEST_F(AppTest, PlayQuitAndSaveFromTheCommandLine) {
    std::string tree = MakeTree("t.dra");
    {
        app::CDendraApp a(settings_);
        int plays = 0;
        a.SetPlayHandler([&](CAmpDoc* doc, uint32_t end) {
            ++plays;
            EXPECT_EQ(doc, a.ActiveDocument());
            EXPECT_EQ(end, 0u);
        });
        ASSERT_EQ(a.Startup({"/play", "/quit", tree}, options_), app::StartResult::kStarted);
        EXPECT_EQ(plays, 1);
        EXPECT_TRUE(a.QuitAfterPlay());
        ASSERT_EQ(a.Documents().size(), 1u);
        EXPECT_EQ(a.ActiveDocument()->GetPathName(), tree);
    }
    // "save" writes the file again, then plays 4 beats and quits.
    fs::last_write_time(tree, fs::file_time_type::clock::now() - std::chrono::hours(1));
    auto before = fs::last_write_time(tree);
    app::CDendraApp a(settings_);
    uint32_t endGiven = 0;
    a.SetPlayHandler([&](CAmpDoc*, uint32_t end) { endGiven = end; });
    ASSERT_EQ(a.Startup({"-save", tree}, options_), app::StartResult::kStarted);
    EXPECT_GT(fs::last_write_time(tree), before);
    EXPECT_EQ(endGiven, 4u);
    EXPECT_TRUE(a.QuitAfterPlay());
    // The file opened goes to the top of the recent files, stored at exit.
    a.Exit();
    app::CSettings s(settings_);
    ASSERT_TRUE(s.Load());
    EXPECT_EQ(s.GetProfileString(app::kSectionRecentFiles, "File1", ""), tree);
}

TEST_F(AppTest, ASaveThatCannotWriteFailsTheStartUpAndPlaysNothing) {
    std::string tree = MakeTree("full.dra");
    app::CDendraApp a(settings_);
    int plays = 0;
    a.SetPlayHandler([&](CAmpDoc*, uint32_t) { ++plays; });
    // No file may grow: the save cannot write (whoever runs the test).
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit none = old;
    none.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
    app::StartResult r = a.Startup({"/save", tree}, options_);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(r, app::StartResult::kFailed);
    EXPECT_EQ(plays, 0);
    EXPECT_FALSE(a.PlayRequested());
    EXPECT_FALSE(messages_.Shown().empty());
}

TEST_F(AppTest, DocumentsKeepTheKindTheyWereOpenedAs) {
    app::CDendraApp a(settings_);
    ASSERT_EQ(a.Startup({MakeTree("k.dra")}, options_), app::StartResult::kStarted);
    CAmpDoc* tree = a.ActiveDocument();
    CAmpDoc* song = a.NewDocument(kDocKindSong, "temp");
    CAmpDoc* midi = a.OpenByExtension(".mid");
    EXPECT_EQ(a.DocumentKind(tree), kDocKindDendra);
    EXPECT_EQ(a.DocumentKind(song), kDocKindSong);
    EXPECT_EQ(a.DocumentKind(midi), kDocKindMidi);
    a.CloseDocument(song);
    EXPECT_EQ(a.DocumentKind(song), 0u);
    EXPECT_EQ(a.DocumentKind(midi), kDocKindMidi);
    EXPECT_EQ(a.DocumentKind(nullptr), 0u);
}

TEST_F(AppTest, AFileThatCannotBeOpenedFailsTheStartUp) {
    app::CDendraApp a(settings_);
    EXPECT_EQ(a.Startup({(dir_ / "missing.dra").string()}, options_), app::StartResult::kFailed);
    EXPECT_TRUE(a.Documents().empty());
    EXPECT_FALSE(messages_.Shown().empty());
    app::CDendraApp b(settings_);
    EXPECT_EQ(b.Startup({"-p", MakeTree("x.dra")}, options_), app::StartResult::kFailed);
}

TEST_F(AppTest, OpeningByExtension) {
    app::CDendraApp a(settings_);
    ASSERT_EQ(a.Startup({}, options_), app::StartResult::kStarted);
    std::string tree = MakeTree("Tree.DRA");
    CAmpDoc* doc = a.OpenByExtension(tree);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(dynamic_cast<CChanDoc*>(doc)->GetDocKind(), kDocKindDendra);
    // The same file again gives the document already open.
    EXPECT_EQ(a.OpenByExtension(tree), doc);
    size_t count = a.Documents().size();

    EXPECT_EQ(a.OpenByExtension(MakeTree("TEMP-1.dra")), nullptr);
    EXPECT_EQ(a.OpenByExtension((dir_ / "notes.txt").string()), nullptr);
    EXPECT_EQ(a.Documents().size(), count);

    CAmpDoc* midi = a.OpenByExtension(".MID");
    ASSERT_NE(midi, nullptr);
    EXPECT_EQ(dynamic_cast<CChanDoc*>(midi)->GetDocKind(), kDocKindMidi);
    EXPECT_EQ(midi->GetTitle(), "temp");
    EXPECT_NE(dynamic_cast<CMidiDoc*>(midi), nullptr);

    for (const char* ext : {".wav", ".aif", ".aiff", ".au", ".snd"})
        EXPECT_EQ(app::TemplateForExtension(ext)->kind, kDocKindWave) << ext;
    EXPECT_EQ(app::TemplateForExtension(".sel")->kind, kDocKindWordList);
    EXPECT_EQ(app::TemplateForExtension(".col")->kind, kDocKindCollection);
    EXPECT_EQ(app::TemplateForExtension(".sng")->kind, kDocKindSong);
    EXPECT_EQ(app::TemplateForExtension(".txt"), nullptr);

    a.CloseDocument(doc);
    EXPECT_EQ(a.Documents().size(), count);
    EXPECT_EQ(a.ActiveDocument(), midi);
}

TEST_F(AppTest, TemporaryFilesAreMadeInTheMediaFolderAndDeletedAtExit) {
    std::vector<std::string> names;
    {
        app::CDendraApp a(settings_);
        ASSERT_EQ(a.Startup({}, options_), app::StartResult::kStarted);
        for (int i = 0; i < 3; ++i) names.push_back(a.GetTempName(i == 1));
        names.push_back(a.GetTempName(false));
        EXPECT_EQ(names[3], (dir_ / "media" / "QUAV3.WAV").string());
        EXPECT_EQ(names[1], (dir_ / "media" / "QUAV1.TMP").string());
        for (const auto& n : names) EXPECT_TRUE(fs::exists(n)) << n;
    }
    for (const auto& n : names) EXPECT_FALSE(fs::exists(n)) << n;
}

// ---- one running instance ---------------------------------------------------------------------

TEST_F(AppTest, ASecondStartHandsItsCommandLineToTheFirst) {
    Set(app::kSectionBehavior, "RunOnce", 1);
    options_.interactive = true;
    app::CDendraApp first(settings_);
    ASSERT_EQ(first.Startup({}, options_), app::StartResult::kStarted);
    ASSERT_NE(first.Instance(), nullptr);
    int plays = 0;
    first.SetPlayHandler([&](CAmpDoc*, uint32_t) { ++plays; });
    std::string tree = MakeTree("handed.dra");

    app::StartResult second = app::StartResult::kFailed;
    std::thread t([&] {
        app::CDendraApp app2(settings_);
        second = app2.Startup({"/play", tree}, options_);
    });
    int handled = 0;
    for (int i = 0; i < 300 && handled == 0; ++i) {
        handled = first.PumpHandOvers();
        if (!handled) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    t.join();
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(second, app::StartResult::kHandedOver);
    ASSERT_NE(first.ActiveDocument(), nullptr);
    EXPECT_EQ(first.ActiveDocument()->GetPathName(), tree);
    EXPECT_EQ(plays, 1);

    // Batch programs never take part.
    app::StartupOptions batch = options_;
    batch.interactive = false;
    app::CDendraApp tool(settings_);
    EXPECT_EQ(tool.Startup({}, batch), app::StartResult::kStarted);
}

TEST_F(AppTest, AHandedOverFileIsAbsolute) {
    Set(app::kSectionBehavior, "RunOnce", 1);
    options_.interactive = true;
    app::CSingleInstance holder(options_.instanceFolder);
    ASSERT_EQ(holder.Acquire({}), app::CSingleInstance::Result::kFirst);
    const fs::path here = fs::current_path();
    fs::current_path(dir_);
    app::StartResult second = app::StartResult::kFailed;
    std::thread t([&] {
        app::CDendraApp app2(settings_);
        second = app2.Startup({"/play", "sub/../x.sng", "-quit"}, options_);
    });
    std::vector<std::vector<std::string>> got;
    for (int i = 0; i < 300 && got.empty(); ++i) {
        got = holder.Poll();
        if (got.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    t.join();
    fs::current_path(here);
    EXPECT_EQ(second, app::StartResult::kHandedOver);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (std::vector<std::string>{"/play", (fs::canonical(dir_) / "x.sng").string(),
                                                "-quit"}));
}

TEST_F(AppTest, AHolderThatDoesNotAnswerRefusesTheSecondStart) {
    Set(app::kSectionBehavior, "RunOnce", 1);
    options_.interactive = true;
    app::CSingleInstance probe(options_.instanceFolder);
    int fd = ::open(probe.LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    app::CSingleInstance second(options_.instanceFolder);
    EXPECT_EQ(second.Acquire({"x"}, 200), app::CSingleInstance::Result::kRefused);
    app::CDendraApp a(settings_);
    EXPECT_EQ(a.Startup({}, options_), app::StartResult::kRefused);
    EXPECT_EQ(messages_.Shown().back(), "Cannot run it twice. Sorry");
    ::close(fd);
}

TEST_F(AppTest, TheLockOfACrashedInstanceDoesNotBlockTheNextStart) {
    std::string folder = options_.instanceFolder;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        app::CSingleInstance holder(folder);
        bool first = holder.Acquire({}) == app::CSingleInstance::Result::kFirst;
        ::_exit(first ? 0 : 1); // ends without letting go of the lock or removing the socket
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    app::CSingleInstance next(folder);
    EXPECT_TRUE(fs::exists(next.SocketPath()));
    EXPECT_EQ(next.Acquire({}), app::CSingleInstance::Result::kFirst);
    EXPECT_GE(next.Descriptor(), 0);
    next.Release();
    EXPECT_FALSE(fs::exists(next.SocketPath()));
}

TEST_F(AppTest, AHandOverThatIsCutShortIsDropped) {
    app::CSingleInstance holder(options_.instanceFolder);
    ASSERT_EQ(holder.Acquire({}), app::CSingleInstance::Result::kFirst);
    // A client that claims a huge argument and goes away.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = holder.SocketPath();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const uint8_t bogus[] = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a'};
    ASSERT_EQ(::write(fd, bogus, sizeof bogus), ssize_t(sizeof bogus));
    ::close(fd);
    EXPECT_TRUE(holder.Poll().empty());
    // The holder still takes a proper hand-over afterwards.
    std::thread t([&] {
        app::CSingleInstance second(options_.instanceFolder);
        EXPECT_EQ(second.Acquire({"a b", ""}), app::CSingleInstance::Result::kHandedOver);
    });
    std::vector<std::vector<std::string>> got;
    for (int i = 0; i < 300 && got.empty(); ++i) {
        got = holder.Poll();
        if (got.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    t.join();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (std::vector<std::string>{"a b", ""}));
}

} // namespace

TEST_F(AppTest, DeviceNamesGivenForOneRunLeaveTheSettingsTheirOwn) {
    {
        app::CSettings s(settings_);
        ASSERT_TRUE(s.Load());
        s.WriteProfileString(app::kSectionDevices, "MIDI OUT 1", "Own Port");
        ASSERT_TRUE(s.Save());
    }
    options_.deviceNames = {{"MIDI OUT 1", "Run Port"}, {"WAVE OUT 1", "Run Audio"}};
    app::CDendraApp a(settings_);
    ASSERT_EQ(a.Startup({}, options_), app::StartResult::kStarted);
    // The names given are the slots' names for this run (read after the settings were loaded).
    EXPECT_EQ(a.Devices().GetDeviceName(app::kKindMidiOut, 0), "Run Port");
    EXPECT_EQ(a.Devices().GetDeviceName(app::kKindWaveOut, 0), "Run Audio");
    a.Exit();
    app::CSettings s(settings_);
    ASSERT_TRUE(s.Load());
    EXPECT_EQ(s.GetProfileString(app::kSectionDevices, "MIDI OUT 1", ""), "Own Port");
    EXPECT_FALSE(s.Has(app::kSectionDevices, "WAVE OUT 1"));
}

TEST_F(AppTest, TheSettingsDialogStoresItsSwitchesAndFoldersAndTheyTakeEffectAtOnce) {
    Set(app::kSectionBehavior, "CompressWaves", 1);
    app::CDendraApp a(settings_);
    ASSERT_EQ(a.Startup({}, options_), app::StartResult::kStarted);
    // The stored switch reaches the wave documents at start-up.
    EXPECT_TRUE(CWaveDoc::CompressWaves());

    a.Settings().WriteProfileString(app::kSectionDevices, "MIDI OUT 1", "Somewhere");
    app::AppSettings dialog = a.Config();
    dialog.compressWaves = false;
    dialog.newDocument = false;
    dialog.saveLocations = true;
    dialog.waveEnabled = false;
    dialog.runOnce = true;                    // not the dialog's: left alone
    dialog.deviceSlots[1] = "Elsewhere";      // neither
    dialog.media = (dir_ / "other").string(); // without its "/"
    std::string error;
    ASSERT_TRUE(a.ApplySettingsDialog(dialog, &error)) << error;

    EXPECT_FALSE(CWaveDoc::CompressWaves());
    EXPECT_EQ(a.Config().media, (dir_ / "other").string() + "/");
    EXPECT_TRUE(a.Config().saveLocations);
    EXPECT_EQ(platform::GetTempName(false).rfind((dir_ / "other").string(), 0), std::string::npos)
        << "the folder does not exist: temporary names go to the system's folder";
    fs::create_directories(dir_ / "other");
    EXPECT_EQ(platform::GetTempName(false).rfind((dir_ / "other").string() + "/QUAV", 0), 0u);

    app::CSettings stored(settings_);
    ASSERT_TRUE(stored.Load());
    EXPECT_EQ(stored.GetProfileInt(app::kSectionBehavior, "NewDocument", 1), 0);
    EXPECT_EQ(stored.GetProfileInt(app::kSectionDevices, "Wave", 1), 0);
    EXPECT_EQ(stored.GetProfileString(app::kSectionLocations, "Media", ""),
              (dir_ / "other").string() + "/");
    EXPECT_EQ(stored.GetProfileInt(app::kSectionBehavior, "RunOnce", 1), 0);
    EXPECT_EQ(stored.GetProfileString(app::kSectionDevices, "MIDI OUT 1", ""), "Somewhere");
}
