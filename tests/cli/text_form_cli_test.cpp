// The text form through dendra-cli: dump and convert of the example tree and song, hand-written
// trees taken by every command, and bad texts refused with nothing written.
#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class TextFormCli : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string make = std::string(DENDRA_BINARY_DIR) +
                                 "/examples/dendra-make-examples " + dir_.Path().string() +
                                 " >/dev/null 2>&1";
        ASSERT_EQ(std::system(make.c_str()), 0);
    }
    std::string File(const std::string& name) const { return dir_.File(name); }
    testutil::TempDir dir_{"dendra-text-cli"};
};

TEST_F(TextFormCli, TheExampleTreeAndSongConvertBothWaysByteForByte) {
    for (const char* name : {"demo.dra", "demo.sng"}) {
        SCOPED_TRACE(name);
        const std::string original = File(name);
        const std::string ext = fs::path(name).extension().string();
        // Through convert, indented.
        auto r = testutil::RunCli("convert " + original + " " + File("c.json"));
        ASSERT_EQ(r.status, 0) << r.out;
        r = testutil::RunCli("convert " + File("c.json") + " " + File("back" + ext));
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(Slurp(File("back" + ext)), Slurp(original));
        // Through dump, on one line, under a name that does not tell the kind.
        r = testutil::RunCli("dump " + original + " >" + File("dumped.txt"));
        ASSERT_EQ(r.status, 0) << r.out;
        r = testutil::RunCli("convert " + File("dumped.txt") + " " + File("again" + ext));
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(Slurp(File("again" + ext)), Slurp(original));
        // The text form dumps as the file does.
        EXPECT_EQ(testutil::RunCli("dump " + File("c.json")).out,
                  testutil::RunCli("dump " + original).out);
    }
    // The tree's text form solves as its file does.
    ASSERT_EQ(testutil::RunCli("convert " + File("demo.dra") + " " + File("tree.json")).status, 0);
    const auto solved = testutil::RunCli("solve --seed 3 " + File("demo.dra"));
    ASSERT_EQ(solved.status, 0) << solved.out;
    EXPECT_EQ(testutil::RunCli("solve --seed 3 " + File("tree.json")).out, solved.out);
}

TEST_F(TextFormCli, AHandWrittenTreeIsTakenByEveryCommandThatTakesATree) {
    Spit(File("beat.json"),
         R"({"root":{"type":"Every","children":[{"type":"Constant","params":{"value":250}},
            {"type":"MidiNote"}]}})");
    auto solved = testutil::RunCli("solve " + File("beat.json"));
    ASSERT_EQ(solved.status, 0) << solved.out;
    EXPECT_NE(solved.out.find("{\"time\":250,\"kind\":\"midi\",\"status\":144,\"data1\":60"),
              std::string::npos)
        << solved.out;
    ASSERT_EQ(testutil::RunCli("convert " + File("beat.json") + " " + File("beat.dra")).status, 0);
    EXPECT_EQ(testutil::RunCli("solve " + File("beat.dra")).out, solved.out);
    EXPECT_EQ(testutil::RunCli("graph " + File("beat.json") + " L").status, 0);
    auto midi = testutil::RunCli("export-midi " + File("beat.json") + " -o " + File("b.mid"));
    EXPECT_EQ(midi.status, 0) << midi.out;
    EXPECT_TRUE(fs::exists(File("b.mid")));
    // A tree converts to a tree's file or its text, not to a song.
    auto wrong = testutil::RunCli("convert " + File("beat.json") + " " + File("beat.sng"));
    EXPECT_EQ(wrong.status, 1);
    EXPECT_FALSE(fs::exists(File("beat.sng")));
}

TEST_F(TextFormCli, BadTextsExitWithTwoAndWriteNothing) {
    Spit(File("out.dra"), "kept");
    Spit(File("syntax.json"), "{\"root\":\n  {\"type\":\"Every\",]}}");
    auto r = testutil::RunCli("convert " + File("syntax.json") + " " + File("out.dra"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("line 2, column 19"), std::string::npos) << r.out;
    EXPECT_EQ(Slurp(File("out.dra")), "kept");

    Spit(File("range.json"), R"({"root":{"type":"MidiNote","params":{"velocity":300}}})");
    r = testutil::RunCli("convert " + File("range.json") + " " + File("out.dra"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("Root/L (MidiNote): parameter \"velocity\" 300 is outside"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Slurp(File("out.dra")), "kept");
    for (const char* command : {"dump ", "solve ", "render "}) {
        r = testutil::RunCli(command + File("syntax.json") +
                             (command[0] == 'r' ? " -o " + File("x.wav") : std::string()));
        EXPECT_EQ(r.status, 2) << command << r.out;
        EXPECT_NE(r.out.find("line 2, column 19"), std::string::npos) << command << r.out;
    }
    EXPECT_FALSE(fs::exists(File("x.wav")));
}

} // namespace
