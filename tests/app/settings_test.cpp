#include "app/settings.h"

#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace app;

namespace {

struct TempDir : testutil::TempDir {
    TempDir() : testutil::TempDir("dendra-settings") {}
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        if (old) old_ = old, had_ = true;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            ::setenv(name_.c_str(), old_.c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

} // namespace

TEST(Settings, MissingFileGivesEveryDefault) {
    TempDir dir;
    ScopedEnv data("XDG_DATA_HOME", dir.File("data").c_str());
    CSettings store(dir.File("none/Dendra.conf"));
    ASSERT_TRUE(store.Load());
    AppSettings s = ReadAppSettings(store);
    EXPECT_TRUE(s.runOnce);
    EXPECT_TRUE(s.newDocument);
    EXPECT_TRUE(s.include);
    EXPECT_TRUE(s.followActive);
    EXPECT_FALSE(s.saveLocations);
    EXPECT_FALSE(s.compressWaves);
    EXPECT_TRUE(s.waveEnabled);
    EXPECT_FALSE(s.directSound);
    for (const std::string& slot : s.deviceSlots) EXPECT_EQ(slot, "");
    EXPECT_EQ(s.media, dir.File("data") + "/Dendra/MEDIA/");
    EXPECT_EQ(s.lexicon, dir.File("data") + "/Dendra/MEDIA/LEXICON/");
    EXPECT_EQ(s.dendretum, dir.File("data") + "/Dendra/MEDIA/DENDRETUM/");
    EXPECT_FALSE(fs::exists(dir.File("none"))) << "reading must not create anything";
}

TEST(Settings, DefaultPathFollowsEnvironment) {
    ScopedEnv over("DENDRA_SETTINGS_FILE", nullptr);
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/tmp/cfg/");
        EXPECT_EQ(CSettings::DefaultPath(), "/tmp/cfg/Ondrelles/Dendra.conf");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(CSettings::DefaultPath(), "/home/someone/.config/Ondrelles/Dendra.conf");
    }
    ScopedEnv file("DENDRA_SETTINGS_FILE", "/tmp/other.conf");
    EXPECT_EQ(CSettings::DefaultPath(), "/tmp/other.conf");
    EXPECT_EQ(CSettings().Path(), "/tmp/other.conf");
}

TEST(Settings, EverySettingRoundTripsThroughTheFile) {
    TempDir dir;
    std::string path = dir.File("cfg/Ondrelles/Dendra.conf");
    AppSettings s = DefaultAppSettings();
    s.runOnce = false;
    s.newDocument = false;
    s.include = false;
    s.followActive = false;
    s.saveLocations = true;
    s.compressWaves = true;
    s.waveEnabled = false;
    s.directSound = true;
    for (int i = 0; i < kDeviceSlotCount; ++i) s.deviceSlots[i] = "device " + std::to_string(i);
    s.deviceSlots[3] = "NONE";
    s.media = "/music/media/";
    s.lexicon = "/music/words with spaces/";
    s.dendretum = " lead\\and trail ";
    s.recentFiles[0] = "/a/b.dra";
    s.recentFiles[5] = "/c/line\nbreak.sng";

    CSettings out(path);
    WriteAppSettings(out, s);
    std::string error;
    ASSERT_TRUE(out.Save(&error)) << error;
    for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
        EXPECT_EQ(e.path().filename(), "Dendra.conf") << "temporary left behind";

    CSettings in(path);
    ASSERT_TRUE(in.Load(&error)) << error;
    AppSettings r = ReadAppSettings(in);
    EXPECT_EQ(r.runOnce, s.runOnce);
    EXPECT_EQ(r.newDocument, s.newDocument);
    EXPECT_EQ(r.include, s.include);
    EXPECT_EQ(r.followActive, s.followActive);
    EXPECT_EQ(r.saveLocations, s.saveLocations);
    EXPECT_EQ(r.compressWaves, s.compressWaves);
    EXPECT_EQ(r.waveEnabled, s.waveEnabled);
    EXPECT_EQ(r.directSound, s.directSound);
    for (int i = 0; i < kDeviceSlotCount; ++i) EXPECT_EQ(r.deviceSlots[i], s.deviceSlots[i]);
    EXPECT_EQ(r.media, s.media);
    EXPECT_EQ(r.lexicon, s.lexicon);
    EXPECT_EQ(r.dendretum, s.dendretum);
    for (int i = 0; i < kRecentFileCount; ++i) EXPECT_EQ(r.recentFiles[i], s.recentFiles[i]);

    std::string text = ReadText(path);
    EXPECT_NE(text.find("[Behavior]\nCompressWaves=1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[Devices]\nWave=0\nDirectSound=1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("MIDI OUT 3=NONE\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[Locations]\nMedia=/music/media/\n"), std::string::npos) << text;
}

TEST(Settings, ReadsHandWrittenFilesAndKeepsWhatItDoesNotKnow) {
    CSettings store("/nonexistent/x.conf");
    store.Parse("; a comment\n"
                "stray=outside any section\n"
                "[behavior]\r\n"
                "  runonce = 0  \r\n"
                "NewDocument=yes\n"
                "Include=7\n"
                "FollowActive=99999999999\n"
                "[Devices]\n"
                "MIDI OUT 1 = Synth A\n"
                "MIDI OUT 1=Synth B\n"
                "Unknown=kept\n"
                "[Other]\n"
                "Key=Value\n"
                "broken line\n");
    EXPECT_EQ(store.GetProfileInt("Behavior", "RunOnce", 1), 0);
    EXPECT_EQ(store.GetProfileInt("Behavior", "NewDocument", 1), 1) << "not a number: default";
    EXPECT_EQ(store.GetProfileInt("Behavior", "Include", 1), 7);
    EXPECT_EQ(store.GetProfileInt("Behavior", "FollowActive", 5), 5) << "out of range: default";
    EXPECT_FALSE(store.Has("Behavior", "stray"));
    EXPECT_EQ(store.GetProfileString("DEVICES", "midi out 1", ""), "Synth B");

    AppSettings s = ReadAppSettings(store);
    EXPECT_FALSE(s.runOnce);
    EXPECT_TRUE(s.include);
    EXPECT_EQ(s.deviceSlots[1], "Synth B");

    WriteAppSettings(store, s);
    std::string text = store.Format();
    EXPECT_NE(text.find("[behavior]\nrunonce=0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Unknown=kept\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[Other]\nKey=Value\n"), std::string::npos) << text;
}

TEST(Settings, KeysThatWouldBreakTheFileAreCleanedOrRefused) {
    CSettings store("/nonexistent/x.conf");
    store.WriteProfileString("Odd]Section", "key=with\nbreak", "v");
    store.WriteProfileString("Behavior", "[notakey", "v");
    CSettings back("/nonexistent/x.conf");
    back.Parse(store.Format());
    EXPECT_EQ(back.GetProfileString("OddSection", "keywithbreak", ""), "v");
    EXPECT_FALSE(back.Has("Behavior", "[notakey"));
}

TEST(Settings, UnreadableFileFailsAndKeepsTheStore) {
    TempDir dir;
    fs::create_directories(dir.File("adir"));
    CSettings store(dir.File("adir"));
    store.WriteProfileInt("Behavior", "RunOnce", 0);
    std::string error;
    EXPECT_FALSE(store.Load(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(store.GetProfileInt("Behavior", "RunOnce", 1), 0);
    EXPECT_FALSE(store.Save(&error)) << "a folder cannot be replaced by the settings";
}
