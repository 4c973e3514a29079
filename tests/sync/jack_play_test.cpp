// The demo song played by dendra-cli on a synchronous dummy JACK server at 48 kHz, heard through
// clients of the test's own:
//   - into a MIDI monitor, at periods of 64, 256 and 1024 frames: every note arrives, and the
//     note-on positions less one constant latency match the song's MIDI export within 0.1 ms (p99);
//   - through the built-in synthesizer on "JACK output", recorded from Dendra's audio ports: it
//     lines up with the offline render of the song after one constant latency, within one
//     synthesizer block (64 frames) everywhere the song sounds.
// Positions are counted in frames of the monitor's stream, never read off the wall clock.
#include "jack_clients.h"
#include "tests/common/jack_server.h"
#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

namespace {

constexpr int64_t kRate = 48000;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The note-on times (ms) of a Standard MIDI File by channel and key, through its tempo map.
std::map<std::pair<int, int>, std::vector<double>> ExportNoteOns(const std::string& path) {
    const std::vector<uint8_t> b = ReadFile(path);
    auto be = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 8 | b.at(at + size_t(i));
        return v;
    };
    EXPECT_TRUE(b.size() > 14 && std::equal(b.begin(), b.begin() + 4, "MThd"));
    const uint32_t tracks = be(10, 2), division = be(12, 2);
    EXPECT_LT(division, 0x8000u) << "a time-code division";
    struct Note {
        uint64_t tick;
        int channel, key;
    };
    std::vector<std::pair<uint64_t, uint32_t>> tempos; // tick, microseconds per beat
    std::vector<Note> notes;
    size_t at = 8 + be(4, 4);
    for (uint32_t t = 0; t < tracks && at + 8 <= b.size(); ++t) {
        const size_t end = at + 8 + be(at + 4, 4);
        size_t p = at + 8;
        uint64_t tick = 0;
        uint8_t status = 0;
        auto vlq = [&]() {
            uint32_t v = 0;
            uint8_t c;
            do {
                c = b.at(p++);
                v = v << 7 | (c & 0x7F);
            } while (c & 0x80);
            return v;
        };
        while (p < end) {
            tick += vlq();
            if (b.at(p) & 0x80) status = b.at(p++);
            if (status == 0xFF) {
                const uint8_t type = b.at(p++);
                const uint32_t len = vlq();
                if (type == 0x51 && len == 3) tempos.emplace_back(tick, be(p, 3));
                p += len;
                status = 0;
            } else if (status == 0xF0 || status == 0xF7) {
                p += vlq();
                status = 0;
            } else {
                const int hi = status & 0xF0;
                const uint8_t d1 = b.at(p++);
                const uint8_t d2 = (hi == 0xC0 || hi == 0xD0) ? 0 : b.at(p++);
                if (hi == 0x90 && d2 != 0) notes.push_back({tick, status & 0x0F, d1});
            }
        }
        at = end;
    }
    std::stable_sort(tempos.begin(), tempos.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    auto ms = [&](uint64_t tick) {
        double t = 0, us = 500000;
        uint64_t from = 0;
        for (const auto& [when, tempo] : tempos) {
            if (when >= tick) break;
            t += double(when - from) * us / division;
            from = when;
            us = tempo;
        }
        return (t + double(tick - from) * us / division) / 1000.0;
    };
    std::stable_sort(notes.begin(), notes.end(),
                     [](const Note& x, const Note& y) { return x.tick < y.tick; });
    std::map<std::pair<int, int>, std::vector<double>> out;
    for (const Note& n : notes) out[{n.channel, n.key}].push_back(ms(n.tick));
    return out;
}

// The demo song, its MIDI export and its offline render at 48 kHz, made once.
class JackPlay : public testing::Test {
public:
    static void SetUpTestSuite() {
        dir_ = new testutil::TempDir("dendra-jackplay");
        // Settings, the instance lock and the single-instance lock of the runs stay in here.
        for (const char* sub : {"config", "data", "runtime"})
            std::filesystem::create_directories(dir_->Path() / sub);
        setenv("XDG_CONFIG_HOME", dir_->File("config").c_str(), 1);
        setenv("XDG_DATA_HOME", dir_->File("data").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir_->File("runtime").c_str(), 1);
        const std::string make =
            std::string(DENDRA_BINARY_DIR) + "/examples/dendra-make-examples " + dir_->File("");
        made_ = std::system((make + " > /dev/null").c_str()) == 0;
        if (!made_) return;
        demo_ = dir_->File("demo.sng");
        made_ = testutil::RunCli("export-midi " + demo_ + " -o " + dir_->File("demo.mid")).status ==
                    0 &&
                testutil::RunCli("render " + demo_ + " -o " + dir_->File("render.wav") +
                                 " --sample-rate 48000")
                        .status == 0;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

protected:
    void SetUp() override {
        if (jacktest::FindJackd().empty()) GTEST_SKIP() << "jackd is not installed";
        ASSERT_TRUE(made_) << "the demo, its export or its render could not be made";
    }
    // A synchronous dummy server of this test's own at the given period.
    pid_t StartServer(int period) {
        return jacktest::StartDummyServer(jacktest::ServerName("dendra-jackplay"),
                                          std::to_string(kRate), std::to_string(period), {},
                                          {"-S"});
    }

    static inline testutil::TempDir* dir_ = nullptr;
    static inline bool made_ = false;
    static inline std::string demo_;
};

class JackPlayPeriod : public JackPlay, public testing::WithParamInterface<int> {};

struct Timing {
    size_t expected = 0, arrived = 0;
    double p99 = 0, worst = 0; // ms, less the median difference
    double longestGapMs = 0;   // the monitor's longest wait between cycles
};

// One play of the demo into a monitor of ours at the given period.
Timing PlayIntoMonitor(const std::string& demo, const std::string& exportPath, int period) {
    Timing t;
    std::map<std::pair<int, int>, std::vector<double>> received;
    {
        jacktest::Recorder monitor("midi-monitor", 8192);
        EXPECT_TRUE(monitor.Ok());
        if (!monitor.Ok()) return t;
        const testutil::CliResult play =
            testutil::RunCli("play " + demo + " --midi-out " + monitor.MidiPort());
        EXPECT_EQ(play.status, 0) << play.out;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (size_t i = 0; i < monitor.Count(); ++i) {
            const jacktest::MidiRecord& r = monitor.Record(i);
            if ((r.bytes[0] & 0xF0) == 0x90 && r.bytes[2] != 0)
                received[{r.bytes[0] & 0x0F, r.bytes[1]}].push_back(double(r.frame) * 1000.0 /
                                                                    kRate);
        }
        t.longestGapMs = double(monitor.LongestGapNs()) / 1e6;
    }
    std::vector<double> diffs;
    for (const auto& [key, times] : ExportNoteOns(exportPath)) {
        t.expected += times.size();
        const std::vector<double>& got = received[key];
        EXPECT_EQ(got.size(), times.size())
            << "channel " << key.first << " key " << key.second << " at period " << period;
        for (size_t i = 0; i < times.size() && i < got.size(); ++i)
            diffs.push_back(got[i] - times[i]);
    }
    t.arrived = diffs.size();
    const double latency = jacktest::Quantile(diffs, 0.5);
    std::vector<double> errors;
    for (double d : diffs) errors.push_back(std::fabs(d - latency));
    t.p99 = jacktest::Quantile(errors, 0.99);
    t.worst = jacktest::Quantile(errors, 1.0);
    return t;
}

TEST_P(JackPlayPeriod, DemoNotesLandWhereTheExportPutsThem) {
    const int period = GetParam();
    const double periodMs = period * 1000.0 / kRate;
    // A run in which the machine itself stood still for a while (the monitor waited 20 ms past
    // its period for a cycle) proves nothing about timing: it is played again, up to three times.
    int stalled = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const pid_t server = StartServer(period);
        ASSERT_GT(server, 0) << "the JACK server did not start";
        const Timing t = PlayIntoMonitor(demo_, dir_->File("demo.mid"), period);
        jacktest::StopServer(server);
        ASSERT_GT(t.expected, 100u);
        ASSERT_EQ(t.arrived, t.expected) << "notes were lost at period " << period;
        if (t.p99 <= 0.1) return;
        if (t.longestGapMs < periodMs + 20) {
            ADD_FAILURE() << "p99 " << t.p99 << " ms (worst " << t.worst << " ms) at period "
                          << period << ", the machine not stalling (longest cycle gap "
                          << t.longestGapMs << " ms)";
            return;
        }
        ++stalled;
    }
    GTEST_SKIP() << "the machine stalled in every run (" << stalled << ")";
}

INSTANTIATE_TEST_SUITE_P(Periods, JackPlayPeriod, testing::Values(64, 256, 1024),
                         [](const testing::TestParamInfo<int>& p) {
                             return std::to_string(p.param) + "Frames";
                         });

// A render's samples, both channels summed (PCM 16-bit stereo, as the renderer writes them).
std::vector<float> RenderSamples(const std::string& path) {
    const std::vector<uint8_t> b = ReadFile(path);
    std::vector<float> out;
    size_t at = 12;
    while (at + 8 <= b.size()) {
        const uint32_t size = uint32_t(b[at + 4]) | uint32_t(b[at + 5]) << 8 |
                              uint32_t(b[at + 6]) << 16 | uint32_t(b[at + 7]) << 24;
        if (std::equal(b.begin() + long(at), b.begin() + long(at) + 4, "data")) {
            const size_t end = std::min(b.size(), at + 8 + size_t(size));
            for (size_t p = at + 8; p + 4 <= end; p += 4) {
                const int16_t l = int16_t(b[p] | b[p + 1] << 8);
                const int16_t r = int16_t(b[p + 2] | b[p + 3] << 8);
                out.push_back((float(l) + float(r)) / 32768.0f);
            }
            break;
        }
        at += 8 + size + (size & 1);
    }
    return out;
}

// The shift (within ±range) at which b around from + offset best matches a around from, by
// normalised cross-correlation over n samples; -0x7FFFFFFF when the window is silent.
int64_t BestShift(const std::vector<float>& a, const std::vector<float>& b, int64_t from,
                  int64_t offset, int64_t n, int64_t range) {
    double ea = 0;
    for (int64_t i = 0; i < n; ++i) ea += double(a[size_t(from + i)]) * a[size_t(from + i)];
    if (ea < 1e-6 * double(n)) return -0x7FFFFFFF;
    double best = -2;
    int64_t at = 0;
    for (int64_t s = -range; s <= range; ++s) {
        const int64_t base = from + offset + s;
        if (base < 0 || base + n > int64_t(b.size())) continue;
        double c = 0, eb = 0;
        for (int64_t i = 0; i < n; ++i) {
            const double y = b[size_t(base + i)];
            c += double(a[size_t(from + i)]) * y;
            eb += y * y;
        }
        const double r = eb > 0 ? c / std::sqrt(ea * eb) : -2;
        if (r > best) {
            best = r;
            at = s;
        }
    }
    return at;
}

struct LineUp {
    int rises = 0;      // rises of the render's loudness compared
    int worst = 0;      // frames off at the worst of them
    double worstAt = 0; // seconds into the render
    double longestGapMs = 0;
};

// One play of the demo on "JACK output", recorded from Dendra's audio ports, against the render.
void PlayIntoRecorder(const std::string& demo, const std::vector<float>& render, LineUp& out) {
    jacktest::Recorder rec("audio-recorder", 16, render.size() + size_t(kRate) * 20);
    ASSERT_TRUE(rec.Ok());
    // Dendra's audio ports exist only once it runs: connect them as soon as they appear, and
    // note where the stream stood then.
    std::atomic<bool> playing{true};
    std::atomic<int64_t> connectedAt{-1};
    std::thread watcher([&] {
        while (playing.load() && connectedAt.load() < 0) {
            const char** ports = jack_get_ports(rec.Client(), "^Dendra[^:]*:out_(left|right)$",
                                                JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
            if (ports && ports[0] && ports[1]) {
                const bool left = std::string(ports[0]).find("left") != std::string::npos;
                if (rec.Connect(ports[left ? 0 : 1], rec.AudioPort(0)) &&
                    rec.Connect(ports[left ? 1 : 0], rec.AudioPort(1)))
                    connectedAt.store(rec.Frames());
            }
            if (ports) jack_free(ports);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    const testutil::CliResult play =
        testutil::RunCli("play " + demo + " --audio-out \"JACK output\"");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    playing.store(false);
    watcher.join();
    const size_t frames = rec.AudioFrames();
    out.longestGapMs = double(rec.LongestGapNs()) / 1e6;
    ASSERT_EQ(play.status, 0) << play.out;
    ASSERT_GE(connectedAt.load(), 0) << "Dendra's audio ports never appeared";

    std::vector<float> heard(frames);
    for (size_t i = 0; i < frames; ++i) heard[i] = rec.Left()[i] + rec.Right()[i];
    auto firstSound = [](const std::vector<float>& x) {
        for (size_t i = 0; i < x.size(); ++i)
            if (std::fabs(x[i]) > 1e-3f) return int64_t(i);
        return int64_t(-1);
    };
    const int64_t renderStart = firstSound(render), heardStart = firstSound(heard);
    ASSERT_GE(renderStart, 0);
    ASSERT_GE(heardStart, 0) << "nothing was heard";
    ASSERT_GT(heardStart, connectedAt.load() + 48) << "the recording began after the sound";

    // One constant latency: the shift that matches best, window by window (50 ms), where the
    // synthesizer's sounds make it plain; the first sounds give a first guess.
    const int64_t n = 2400;
    const int64_t guess = heardStart - renderStart;
    std::vector<double> shifts;
    for (int64_t from = 0; from + n < int64_t(render.size()); from += n) {
        const int64_t s = BestShift(render, heard, from, guess, n, 480);
        if (s != -0x7FFFFFFF) shifts.push_back(double(s));
    }
    ASSERT_GT(shifts.size(), 100u);
    const int64_t lag = guess + int64_t(jacktest::Quantile(shifts, 0.5));

    // The loudness envelopes (1 ms windows, every 4 frames). Every rise of the render's (12 dB
    // within 1 ms, out of a stretch quiet in both) must come in the recording within a block: the
    // recording reaches half the loudness the render rose to no more than 64 frames off.
    constexpr int64_t kHop = 4, kWindow = 48;
    auto envelope = [&](const std::vector<float>& x, int64_t shift) {
        std::vector<float> e(render.size() / kHop);
        for (size_t h = 0; h < e.size(); ++h) {
            double sum = 0;
            for (int64_t i = 0; i < kWindow; ++i) {
                const int64_t at = int64_t(h) * kHop + i + shift;
                if (at >= 0 && at < int64_t(x.size())) sum += double(x[size_t(at)]) * x[size_t(at)];
            }
            e[h] = float(std::sqrt(sum / kWindow));
        }
        return e;
    };
    const std::vector<float> er = envelope(render, 0), eh = envelope(heard, lag);
    constexpr int64_t kBack = kWindow / kHop, kQuiet = 20 * 48 / kHop, kSearch = 480 / kHop;
    int rises = 0, worst = 0;
    int64_t worstAt = -1, lastRise = -kQuiet;
    for (int64_t h = kBack + kSearch; h + kSearch < int64_t(er.size()); ++h) {
        if (er[size_t(h)] < 3e-3f || er[size_t(h)] < 4 * er[size_t(h - kBack)]) continue;
        if (h - lastRise < kQuiet) continue;
        // Both quiet 30 ms before, against the level the render rises to: a rise over another
        // sound (the wave, whose phase against the synthesizer's differs a little between a
        // render and a recording) is no measure of time.
        const float peak = *std::max_element(er.begin() + h, er.begin() + h + 2 * kBack);
        const int64_t before = h - kBack - 30 * 48 / kHop;
        if (before < 0 || 4 * std::max(er[size_t(before)], eh[size_t(before)]) > peak) continue;
        lastRise = h;
        ++rises;
        // Where the render crosses half the level it rose to, and the recording's nearest crossing.
        const float half = peak / 2;
        auto crosses = [half](const std::vector<float>& e, int64_t k) {
            return k >= 1 && k < int64_t(e.size()) && e[size_t(k)] >= half &&
                   e[size_t(k - 1)] < half;
        };
        int64_t a = h - kBack;
        while (a < h + 2 * kBack && !crosses(er, a)) ++a;
        int64_t found = -1;
        for (int64_t d = 0; d <= kSearch && found < 0; ++d) {
            if (crosses(eh, a - d))
                found = a - d;
            else if (crosses(eh, a + d))
                found = a + d;
        }
        const int off = found < 0 ? 9999 : int(std::llabs(found - a) * kHop);
        if (off > worst) worst = off, worstAt = h * kHop;
    }
    out.rises = rises;
    out.worst = worst;
    out.worstAt = double(worstAt) / kRate;
}

TEST_F(JackPlay, SynthOnJackLinesUpWithTheOfflineRender) {
    const std::vector<float> render = RenderSamples(dir_->File("render.wav"));
    ASSERT_GT(render.size(), size_t(kRate));
    int stalled = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const pid_t server = StartServer(256);
        ASSERT_GT(server, 0) << "the JACK server did not start";
        LineUp l;
        PlayIntoRecorder(demo_, render, l);
        jacktest::StopServer(server);
        if (HasFatalFailure()) return;
        ASSERT_GT(l.rises, 20);
        if (l.worst <= 64) return;
        if (l.longestGapMs < 256 * 1000.0 / kRate + 20) {
            ADD_FAILURE() << l.worst << " frames off at " << l.worstAt
                          << " s of the render, the machine not stalling (longest cycle gap "
                          << l.longestGapMs << " ms)";
            return;
        }
        ++stalled;
    }
    GTEST_SKIP() << "the machine stalled in every run (" << stalled << ")";
}

} // namespace
