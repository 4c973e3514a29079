// Runs the built dendra-cli on songs and collections the test writes.
#include "tests/song/song_helpers.h"

#include "documents/collection.h"
#include "documents/midi_document.h"

#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/wait.h>

using namespace songtest;
namespace fs = std::filesystem;

namespace {

using Result = testutil::CliResult;
inline Result Cli(const std::string& args) {
    return testutil::RunCli(args);
}

TEST(SongCli, DumpsSongsAndCollectionsAndExportsSongs) {
    const fs::path dir = fs::path(::testing::TempDir()) / "song_cli";
    fs::create_directories(dir);
    const std::string songPath = (dir / "s.sng").string();
    CSongDoc song;
    song.SetDescription("cli");
    song.IncludeDocument(List(1000, {Note(0, 60)}, "inner"));
    ASSERT_TRUE(song.Contain(0));
    auto lost = List(1000, {});
    song.IncludeDocument(lost);
    song.Settings(1).sourcePath = (dir / "gone.sel").string();
    song.Settings(1).transpose = 5;
    ASSERT_TRUE(song.OnSaveDocument(songPath));

    Result r = Cli("dump " + songPath);
    EXPECT_EQ(r.status, 0) << r.out;
    // The missing file is named on standard error and the question is answered No.
    EXPECT_NE(r.out.find("Could not find [" + (dir / "gone.sel").string() + "]"),
              std::string::npos);
    EXPECT_NE(r.out.find("{\"kind\":\"song\",\"version\":5,\"description\":\"cli\",\"header\":{"),
              std::string::npos);
    EXPECT_NE(
        r.out.find("\"recordMode\":0,\"contained\":true,\"document\":{\"kind\":\"eventlist\""),
        std::string::npos);
    EXPECT_NE(r.out.find("\"transpose\":5"), std::string::npos);
    EXPECT_NE(r.out.find("\"contained\":false,\"document\":null}]}"), std::string::npos);

    const std::string mid = (dir / "s.mid").string();
    r = Cli("export-midi " + songPath + " -o " + mid + " --tempo 120");
    EXPECT_EQ(r.status, 0) << r.out;
    CMidiDoc back;
    ASSERT_TRUE(back.OnOpenDocument(mid));
    EXPECT_EQ(back.GetChannelCount(), 3);

    CFileListDoc col;
    col.SetTexts("a", "b");
    col.AddFiles({"x.sng", "w.mid"});
    const std::string colPath = (dir / "c.COL").string();
    ASSERT_TRUE(col.OnSaveDocument(colPath));
    r = Cli("dump " + colPath);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"kind\":\"collection\",\"text1\":\"a\",\"sorted\":true,\"chance\":0,"
                     "\"paths\":[\"w.mid\",\"x.sng\"],\"text2\":\"b\"}\n");

    // A newer song is refused with the message.
    std::vector<uint8_t> newer = {6, 0, 0, 0, 0x07, 0x14, 0x19, 0};
    {
        FILE* f = std::fopen(songPath.c_str(), "wb");
        std::fwrite(newer.data(), 1, newer.size(), f);
        std::fclose(f);
    }
    r = Cli("dump " + songPath);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("This file was made with a newer version of Ondrelles"),
              std::string::npos);
    fs::remove_all(dir);
}

} // namespace
