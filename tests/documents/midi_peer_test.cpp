// Dendra's MIDI reader and writer against mido, the reference of peer_corpus.py.
#include "documents/midi_document.h"

#include "platform/user_messages.h"
#include "tests/common/smf_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

const char* kPython = "/usr/bin/python3";

std::string Script() {
    return std::string(DENDRA_SOURCE_DIR) + "/tests/documents/peer_corpus.py";
}

bool HaveMido() {
    std::string cmd = std::string(kPython) + " -c 'import mido' 2>/dev/null";
    return std::filesystem::exists(kPython) && std::system(cmd.c_str()) == 0;
}

std::string Capture(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

// The document in the reference's description format.
std::string Describe(CMidiDoc& doc, int tracksInFile, bool withTempo = true) {
    std::ostringstream out;
    out << "format " << doc.FileFormat() << " division " << doc.FileDivision() << " tracks "
        << tracksInFile << "\n";
    for (int ch = 1; ch <= doc.GetChannelCount(); ++ch) {
        out << "track " << ch - 1 << "\n";
        CEventTree* store = doc.GetChannelEvents(ch);
        std::string sysex;
        uint32_t sysexTime = 0;
        bool inSysex = false;
        for (SongEvent* e = store->First(); e; e = store->Next()) {
            uint32_t t = store->CurrentTime();
            const uint8_t* b = e->GetMessageBytes();
            int kind = b[0] & 0xF0, c = b[0] & 0x0F;
            if (b[0] == 0xF0) {
                if (b[1] == 0xF0) {
                    inSysex = true;
                    sysex.clear();
                    sysexTime = t;
                } else if (b[1] == 0xF7) {
                    if (inSysex) out << "sysex " << sysexTime << " " << Hex(sysex) << "\n";
                    inSysex = false;
                } else {
                    sysex += static_cast<char>(b[1]);
                }
            } else if (b[0] == 0) {
                if (withTempo)
                    out << "tempo " << t << " " << (b[1] << 16 | b[2] << 8 | b[3]) << "\n";
            } else if (kind == 0x90) {
                out << "note " << t << " " << c << " " << int(b[1]) << " " << int(b[2]) << " "
                    << e->GetDuration() << "\n";
            } else if (kind == 0xB0) {
                out << "cc " << t << " " << c << " " << int(b[1]) << " " << int(b[2]) << "\n";
            } else if (kind == 0xC0) {
                out << "prog " << t << " " << c << " " << int(b[1]) << "\n";
            } else if (kind == 0xE0) {
                out << "bend " << t << " " << c << " " << ((b[1] | b[2] << 7) - 8192) << "\n";
            } else if (kind == 0xD0) {
                out << "at " << t << " " << c << " " << int(b[1]) << "\n";
            } else if (kind == 0xA0) {
                out << "polyat " << t << " " << c << " " << int(b[1]) << " " << int(b[2]) << "\n";
            }
        }
    }
    return out.str();
}

// The reference description limited to the first `tracks` tracks, with or without tempo lines.
std::string Limit(const std::string& text, int tracks, bool withTempo = true) {
    std::istringstream in(text);
    std::string line, out;
    int track = -1;
    while (std::getline(in, line)) {
        if (line.rfind("track ", 0) == 0) ++track;
        if (track >= tracks) break;
        if (!withTempo && line.rfind("tempo ", 0) == 0) continue;
        out += line + "\n";
    }
    return out;
}

int HeaderTracks(const std::string& text) {
    size_t at = text.find(" tracks ");
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 8);
}

class MidiPeer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveMido()) GTEST_SKIP() << "python3-mido is not installed";
        dir = smf::ScratchDir("peer");
        ASSERT_EQ(std::system((std::string(kPython) + " " + Script() + " write " + dir).c_str()),
                  0);
        for (auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.path().extension() == ".mid") names.push_back(entry.path().stem().string());
        std::sort(names.begin(), names.end());
        ASSERT_GE(names.size(), 10u);
    }
    std::string dir;
    std::vector<std::string> names;
};

TEST_F(MidiPeer, LoadsWhatMidoReads) {
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        smf::Bytes text = smf::ReadFile(dir + "/" + name + ".txt");
        std::string expected(text.begin(), text.end());
        int tracks = HeaderTracks(expected);
        CMidiDoc doc;
        platform::ScopedRecordingMessages messages;
        ASSERT_TRUE(doc.OnOpenDocument(dir + "/" + name + ".mid"));
        EXPECT_TRUE(messages.Shown().empty());
        EXPECT_EQ(doc.GetChannelCount(), std::min(tracks, CMidiDoc::kMaxChannels));
        EXPECT_EQ(Describe(doc, tracks), Limit(expected, CMidiDoc::kMaxChannels));
    }
}

TEST_F(MidiPeer, MidoReadsWhatDendraWrites) {
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        CMidiDoc doc;
        ASSERT_TRUE(doc.OnOpenDocument(dir + "/" + name + ".mid"));
        std::string saved = dir + "/" + name + ".saved.mid";
        ASSERT_TRUE(doc.OnSaveDocument(saved));
        std::string reference = Capture(std::string(kPython) + " " + Script() + " read " + saved);
        ASSERT_FALSE(reference.empty());
        int channels = doc.GetChannelCount();
        // Everything but the header line and the tempo written at the start.
        std::string mine = Describe(doc, channels, false);
        std::string theirs = Limit(reference, channels, false);
        EXPECT_EQ(mine.substr(mine.find('\n')), theirs.substr(theirs.find('\n')));
        EXPECT_EQ(HeaderTracks(reference), channels == 1 ? 1 : channels);
        // The first track begins with a tempo.
        size_t first = reference.find("track 0\n");
        ASSERT_NE(first, std::string::npos);
        EXPECT_EQ(reference.compare(first + 8, 8, "tempo 0 "), 0);
    }
}

} // namespace
