// Runs the built dendra-cli on MIDI files and trees the tests write.
#include "documents/tree_document.h"
#include "tests/common/smf_bytes.h"

#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/wait.h>

using smf::Bytes;

namespace {

using Result = testutil::CliResult;
inline Result Cli(const std::string& args) {
    return testutil::RunCli(args);
}

Bytes WithEnd(Bytes b) {
    b.insert(b.end(), smf::kEnd.begin(), smf::kEnd.end());
    return b;
}

TEST(MidiCli, DumpPrintsTracksWithTheirProperties) {
    std::string dir = smf::ScratchDir("dump");
    Bytes t = WithEnd({0x00, 0xFF, 0x03, 0x02, 'h', 'i', 0x00, 0xC3, 7,  0x00, 0xB3,
                       10,   0,    0x05, 0x93, 60,  100, 0x10, 0x83, 60, 0});
    smf::WriteFile(dir + "/a.mid", smf::Cat({smf::Header(1, 1, 0xE728), smf::Track(t)}));
    Result r = Cli("dump " + dir + "/a.mid");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "{\"kind\":\"midi\",\"format\":1,\"division\":500,\"tracks\":[{\"name\":\"hi\","
              "\"channel\":3,\"program\":7,\"volume\":0.9,\"pan\":0,\"events\":["
              "{\"time\":0,\"kind\":\"midi\",\"status\":195,\"data1\":7,\"data2\":0,\"data3\":0,"
              "\"duration\":0},"
              "{\"time\":0,\"kind\":\"midi\",\"status\":179,\"data1\":10,\"data2\":0,\"data3\":0,"
              "\"duration\":0},"
              "{\"time\":5,\"kind\":\"midi\",\"status\":147,\"data1\":60,\"data2\":100,"
              "\"data3\":0,\"duration\":16}]}]}\n");

    smf::WriteFile(dir + "/empty.mid", {});
    r = Cli("dump " + dir + "/empty.mid");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("OpenFailed"), std::string::npos);
}

TEST(MidiCli, ExportMidiFromAMidiFileAndATree) {
    std::string dir = smf::ScratchDir("export");
    Bytes t1 = WithEnd({0x00, 0x90, 60, 100, 0x10, 0x80, 60, 0});
    Bytes t2 = WithEnd({0x00, 0x91, 61, 100});
    smf::WriteFile(dir + "/in.mid",
                   smf::Cat({smf::Header(1, 2, 96), smf::Track(t1), smf::Track(t2)}));
    Result r = Cli("export-midi " + dir + "/in.mid -o " + dir + "/out.mid --format0 --tempo 120");
    ASSERT_EQ(r.status, 0) << r.out;
    Bytes b = smf::ReadFile(dir + "/out.mid");
    EXPECT_EQ(b, smf::Cat({smf::Header(0, 1, 96),
                           smf::Track(WithEnd({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0x90,
                                               60, 100, 0x10, 0x80, 60, 0}))}));

    CDendraDoc tree;
    ASSERT_TRUE(tree.OnNewDocument());
    ASSERT_TRUE(tree.OnSaveDocument(dir + "/t.dra"));
    r = Cli("export-midi " + dir + "/t.dra -o " + dir + "/t.mid");
    ASSERT_EQ(r.status, 0) << r.out;
    b = smf::ReadFile(dir + "/t.mid");
    ASSERT_GE(b.size(), 29u);
    EXPECT_EQ(smf::ReadBe16(b, 8), 0);
    EXPECT_EQ(Bytes(b.begin() + 22, b.begin() + 29),
              (Bytes{0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40})); // 60 bpm

    EXPECT_EQ(Cli("export-midi " + dir + "/in.mid").status, 1);
    EXPECT_EQ(Cli("export-midi " + dir + "/in.mid -o x.mid --tempo 0").status, 1);
    EXPECT_EQ(Cli("export-midi " + dir + "/in.mid -o " + dir + "/no/dir/x.mid").status, 2);
}

} // namespace

#include "documents/event_list_document.h"

namespace {

TEST(MidiCli, ExportsAnEventListAsOneTrack) {
    std::string dir = smf::ScratchDir("sel");
    {
        CSELDoc list;
        ASSERT_TRUE(list.OnNewDocument());
        list.GetEvents().Add(new EventMidi(0, 0x90, 60, 100, 500));
        list.GetEvents().Add(new EventMidi(500, 0x90, 62, 90, 250));
        ASSERT_TRUE(list.OnSaveDocument(dir + "/w.sel"));
    }
    Result r = Cli("export-midi " + dir + "/w.sel -o " + dir + "/w.mid");
    ASSERT_EQ(r.status, 0) << r.out;
    Result d = Cli("dump " + dir + "/w.mid");
    ASSERT_EQ(d.status, 0) << d.out;
    EXPECT_NE(d.out.find("{\"time\":0,\"kind\":\"midi\",\"status\":144,\"data1\":60,\"data2\":100,"
                         "\"data3\":0,\"duration\":500}"),
              std::string::npos)
        << d.out;
    EXPECT_NE(d.out.find("{\"time\":500,\"kind\":\"midi\",\"status\":144,\"data1\":62,\"data2\":90,"
                         "\"data3\":0,\"duration\":250}"),
              std::string::npos)
        << d.out;
}

} // namespace
