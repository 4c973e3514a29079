#include "platform/temp_names.h"

#include "tests/common/sound_test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

class TempNames : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ResetTempNamesForTesting();
        platform::SetTempFolder(dir_.path());
    }
    void TearDown() override {
        platform::DeleteTempFiles();
        platform::SetTempFolder("");
        platform::ResetTempNamesForTesting();
    }
    soundtest::ScratchDir dir_;
};

TEST_F(TempNames, CountsFromZeroAcrossBothKindsAndSkipsNamesThatExist) {
    EXPECT_EQ(platform::GetTempName(true), dir_ / "QUAV0.TMP");
    EXPECT_EQ(platform::GetTempName(false), dir_ / "QUAV1.WAV");
    soundtest::WriteFile(dir_ / "QUAV2.TMP", {1, 2, 3}); // another instance's file
    EXPECT_EQ(platform::GetTempName(true), dir_ / "QUAV3.TMP");
    EXPECT_EQ(platform::TempCounter(), 4u);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "QUAV3.TMP")); // created when handed out
}

TEST_F(TempNames, DeletesOnlyTheFilesThisProcessCreated) {
    soundtest::WriteFile(dir_ / "QUAV1.WAV", {9});
    const std::string a = platform::GetTempName(false); // QUAV0.WAV
    const std::string b = platform::GetTempName(false); // QUAV1 is taken: QUAV2.WAV
    EXPECT_EQ(b, dir_ / "QUAV2.WAV");
    platform::DeleteTempFiles();
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_FALSE(std::filesystem::exists(b));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "QUAV1.WAV"));
    EXPECT_EQ(soundtest::ReadFile(dir_ / "QUAV1.WAV"), std::vector<uint8_t>{9});
}

TEST_F(TempNames, MissingFolderFallsBackToTheSystemTemporaryFolder) {
    // A system temporary folder of this test's own, which no other program fills.
    const std::filesystem::path system = dir_ / "system";
    std::filesystem::create_directories(system);
    const char* previous = std::getenv("TMPDIR");
    const std::string saved = previous ? previous : "";
    ::setenv("TMPDIR", system.c_str(), 1);
    platform::SetTempFolder(dir_ / "missing");
    const std::string name = platform::GetTempName(true);
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(std::filesystem::path(name).parent_path(),
              std::filesystem::path(platform::TempFolder()));
    EXPECT_NE(name.find("QUAV0.TMP"), std::string::npos);
    EXPECT_EQ(std::filesystem::path(name).parent_path(), system);
    platform::DeleteTempFiles();
    EXPECT_FALSE(std::filesystem::exists(name));
    if (previous)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

} // namespace
