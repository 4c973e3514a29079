// Runs the built dendra-cli on files the tests write and checks exit statuses and output.
#include "tests/documents/tree_bytes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using treebytes::Bytes;
using treebytes::Header;

namespace {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "dendra-cli-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        dir_ = ::mkdtemp(name.data());
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string Write(const std::string& name, const Bytes& bytes) {
        std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.b.data()),
                   static_cast<std::streamsize>(bytes.b.size()));
        return path;
    }

    static std::string Slurp(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    CliRun Cli(const std::string& args) {
        fs::path out = dir_ / "stdout.txt", err = dir_ / "stderr.txt";
        std::string cmd = std::string(DENDRA_BINARY_DIR) + "/cli/dendra-cli " + args + " >" +
                          out.string() + " 2>" + err.string();
        int raw = std::system(cmd.c_str());
        CliRun r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }

    fs::path dir_;
};

// Root (duration 10000) over a Loop of 2500 ms over a Word holding one note.
Bytes LoopedNote(uint16_t save) {
    Bytes f = Header(5);
    f.Base("Root", 0, 10000).Str("Loop").Base("Loop", 0, 10000);
    f.Str("Word").Base("Word", 0, 2500).U16(0).StoreHeader(1, 0).Midi(0x90, 60, 100, 0, 100);
    f.U32(2500).U16(save);
    if (save) f.StoreHeader(1, 0).Value(1.5f);
    f.Str("No Comments.");
    return f;
}

std::string Note(uint32_t t) {
    return "{\"time\":" + std::to_string(t) +
           ",\"kind\":\"midi\",\"status\":144,\"data1\":60,\"data2\":100,\"data3\":0,"
           "\"duration\":100}";
}

} // namespace

TEST_F(CliTest, HelpAndUsageErrors) {
    for (const char* args :
         {"--help", "help", "dump --help", "solve --help", "solve -h x.dra", "help solve"}) {
        CliRun r = Cli(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_NE(r.out.find("usage: dendra-cli"), std::string::npos) << args;
    }
    EXPECT_NE(Cli("solve --help").out.find("--seed N"), std::string::npos);
    EXPECT_NE(Cli("dump --help").out.find("tree"), std::string::npos);
    for (const char* args :
         {"", "frobnicate", "dump", "dump a.dra b.dra", "dump --bogus", "solve",
          "solve x.dra --seed", "solve x.dra --seed -1", "solve x.dra --seed 4294967296",
          "solve x.dra --step ten", "solve x.dra --wat", "solve a.dra b.dra", "help nothing"}) {
        CliRun r = Cli(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_TRUE(r.out.empty()) << args;
        EXPECT_FALSE(r.err.empty()) << args;
    }
}

TEST_F(CliTest, UnreadableInputsExitWithTwoAndTheReason) {
    std::string missing = (dir_ / "missing.dra").string();
    CliRun r = Cli("dump " + missing);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
    EXPECT_EQ(Cli("solve " + missing).status, 2);
    EXPECT_NE(Cli("dump " + dir_.string()).err.find("Is a directory"), std::string::npos);

    Bytes newer = Header(6);
    newer.Base("Root", 0, 10000).NullBranch(10000).U16(0).Str("");
    r = Cli("dump " + Write("newer.dra", newer));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("This file was made with a newer version of Ondrelles"), std::string::npos)
        << r.err;
    EXPECT_TRUE(r.out.empty());

    Bytes magic = Header(5, 1, 12345);
    r = Cli("solve " + Write("magic.dra", magic));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("This is not a QUAV Dendra file"), std::string::npos) << r.err;

    Bytes unknown = Header(5);
    unknown.Base("Root", 0, 10000).Str("Mystery").Base("m", 0, 1).U16(0).Str("");
    r = Cli("dump " + Write("unknown.dra", unknown));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Mystery"), std::string::npos) << r.err;

    Bytes text;
    text.Str("just some text");
    EXPECT_EQ(Cli("dump " + Write("notes.txt", text)).status, 2);
}

TEST_F(CliTest, DumpPrintsTheWholeDocument) {
    Bytes plain = Header(5);
    plain.Base("Root", 0, 10000).NullBranch(10000).U16(1).StoreHeader(0, 0).Str("No Comments.");
    CliRun r = Cli("dump " + Write("new.dra", plain));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"kind\":\"tree\",\"version\":5,\"solvable\":true,\"saveGenerated\":true,"
                     "\"comments\":\"No Comments.\",\"root\":{\"type\":\"Root\",\"id\":0,\"name\":"
                     "\"Root\",\"start\":0,\"duration\":10000,\"params\":{},\"children\":[{"
                     "\"type\":\"Null\",\"id\":11,\"name\":\"NULL\",\"start\":0,\"duration\":"
                     "10000,\"params\":{},\"children\":[]}]},\"solution\":[]}\n");

    // Parameters, a stored value event and an old version without magic, dumped by content
    // whatever the extension.
    r = Cli("dump " + Write("looped.bin", LoopedNote(1)));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"type\":\"Loop\",\"id\":9,\"name\":\"Loop\",\"start\":0,\"duration\":"
                         "10000,\"params\":{\"loopPoint\":2500},"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"solution\":[{\"time\":0,\"kind\":\"value\",\"value\":1.5}]}"),
              std::string::npos)
        << r.out;

    Bytes v3 = Header(3, 0);
    v3.Base("R\xe9sum\xc3\xa9 \"q\"", 0, 10).NullBranch(10).U16(0).Str("a\tb");
    r = Cli("dump " + Write("old.dra", v3));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"version\":3,\"solvable\":false,\"saveGenerated\":false,"
                         "\"comments\":\"a\\tb\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"name\":\"R\xc3\xa9sum\xc3\xa9 \\\"q\\\"\""), std::string::npos)
        << "Latin-1 bytes become UTF-8; valid UTF-8 is kept: " << r.out;
}

TEST_F(CliTest, SolveReplacesTheSolutionAndHonoursStep) {
    std::string path = Write("looped.dra", LoopedNote(1));
    CliRun r = Cli("solve " + path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"events\":[" + Note(0) + "," + Note(2500) + "," + Note(5000) + "," +
                         Note(7500) + "]}\n");
    EXPECT_EQ(Cli("solve " + path + " --step 0").out, r.out);
    EXPECT_EQ(Cli("solve --seed=7 " + path).out, r.out);

    // Fixed steps of 1250 ms: the Word's note lies at each loop start.
    r = Cli("solve " + path + " --step=1250");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(Note(0)), std::string::npos) << r.out;
}

TEST_F(CliTest, SeedMakesRandomChoicesRepeatable) {
    // An Or choosing, at every loop start, between two Words with different notes.
    Bytes f = Header(5);
    f.Base("Root", 0, 100000).Str("Loop").Base("Loop", 0, 100000);
    f.Str("Or").Base("Or", 0, 100);
    f.Str("Word").Base("Word", 0, 100).U16(0).StoreHeader(1, 0).Midi(0x90, 60, 100, 0, 10);
    f.Str("Word").Base("Word", 0, 100).U16(0).StoreHeader(1, 0).Midi(0x90, 67, 100, 0, 10);
    f.F32(0.5f).U32(100).U16(0).Str("");
    std::string path = Write("or.dra", f);
    CliRun a = Cli("solve " + path + " --seed 12345");
    CliRun b = Cli("solve --seed 12345 " + path);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out, b.out);
    EXPECT_NE(a.out.find("\"data1\":60"), std::string::npos);
    EXPECT_NE(a.out.find("\"data1\":67"), std::string::npos);
    CliRun c = Cli("solve " + path + " --seed 54321");
    EXPECT_NE(c.out, a.out) << "1000 choices agreeing under another seed";
}

namespace {

// Sets an environment variable of this process (and so of the programs it runs) for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A tree whose Set holds "first" (never picked) and "bird.wrd" and picks at its start, with no
// stored solution.
Bytes SetTree() {
    Bytes f = Header(5);
    f.Base("Root", 0, 10000).Str("Set").Base("Set", 0, 10000);
    f.U16(1).F32(0.0f).U16(1).U16(2).Str("first").F32(0.5f).Str("bird.wrd").F32(1.0f);
    f.U16(1).U16(0).Str(""); // rechoose (a word is picked at the start), no solution, comments
    return f;
}

// A word file: an event list of one note.
Bytes BirdWord() {
    Bytes w;
    w.U32(0).U32(480).StoreHeader(1, 0).Midi(0x90, 62, 80, 0, 100);
    return w;
}

} // namespace

TEST_F(CliTest, SetNodesFindTheirWordsInTheLexiconFolder) {
    const std::string tree = Write("set.dra", SetTree());
    fs::create_directories(dir_ / "lex");
    Write("lex/bird.wrd", BirdWord());
    // The setting's folder (the default under the data folder) holds nothing.
    const std::string data = (dir_ / "data").string(), config = (dir_ / "config").string();
    ScopedEnv dataHome("XDG_DATA_HOME", data), configHome("XDG_CONFIG_HOME", config);

    CliRun r = Cli("solve " + tree);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"events\":[]}\n");
    const std::string lex = (dir_ / "lex").string();
    for (const std::string& option : {"--lexicon " + lex, "--lexicon=" + lex + "/"}) {
        r = Cli("solve " + tree + " " + option);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\"data1\":62"), std::string::npos) << option << r.out;
    }
    // The setting names the folder when the command line does not.
    fs::create_directories(dir_ / "data/Dendra/MEDIA/LEXICON");
    Write("data/Dendra/MEDIA/LEXICON/bird.wrd", BirdWord());
    EXPECT_NE(Cli("solve " + tree).out.find("\"data1\":62"), std::string::npos);

    // dump shows the words with their DOMs, and the solution solved on reading.
    r = Cli("dump " + tree + " --lexicon " + lex);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(R"("params":{"rechoose":true})"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(R"("wordSet":{"chance":0,"sorted":true,)"
                         R"("words":[{"word":"first","dom":0.5},{"word":"bird.wrd","dom":1}]})"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"data1\":62"), std::string::npos) << r.out;

    EXPECT_EQ(Cli("solve " + tree + " --lexicon").status, 1);
    EXPECT_EQ(Cli("solve " + tree + " --lexicon=").status, 1);
    r = Cli("solve " + tree + " --lexicon " + tree);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not a folder"), std::string::npos) << r.err;
    EXPECT_EQ(Cli("types --lexicon " + lex).status, 1) << "only the commands that solve take it";
    EXPECT_NE(Cli("solve --help").out.find("--lexicon DIR"), std::string::npos);
}
