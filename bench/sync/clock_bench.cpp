// Clock/DispatchError/<period>: the real timer and the loopback driver; counters give the time a
// message was sent minus the ideal time of its tick, in microseconds. Each runs 60 s; set
// DENDRA_BENCH_SECONDS for a shorter run.
// Clock/TickCost: CPU time of one tick with 4 outputs and 1,000 pending items on each.
#include "platform/timer.h"
#include "sync/devices.h"
#include "sync/drivers/loopback/loopback.h"
#include "sync/midi_out.h"
#include "sync/sync.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <thread>

namespace {

uint32_t Device(const std::string& name) {
    auto v = dsync::MidiOutputDevices();
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].name == name) return uint32_t(i);
    return 0xFFFFFFF0u;
}

double Seconds() {
    const char* s = std::getenv("DENDRA_BENCH_SECONDS");
    double v = s ? std::atof(s) : 60.0;
    return v > 0 ? v : 60.0;
}

void DispatchError(benchmark::State& state) {
    const uint32_t period = uint32_t(state.range(0));
    dsync::EnableLoopbackDevices(true);
    auto& rec = dsync::Loopback().Output(0);
    rec.Reserve(size_t(Seconds() * 1000 * 1.2) + 10000);
    std::vector<double> errors;
    for (auto _ : state) {
        rec.Clear();
        CSync clock;
        if (clock.OpenSync(0, 0, period, nullptr) != 0) {
            state.SkipWithError("no timer");
            return;
        }
        clock.SetResolution(1000); // one tick per millisecond
        CMidiOut out;
        if (out.OpenMidiOut(0, Device("Loopback Out 0"), &clock, 0x4000) != 0) {
            state.SkipWithError("no loopback output");
            return;
        }
        uint32_t next = 1;
        auto fill = [&] {
            while (out.Count() + 16 < out.capacity) {
                EventMidi e(next, 0xB0, 1, uint8_t(next & 0x7F));
                out.MidiOut(&e);
                ++next;
            }
        };
        fill();
        clock.StartSync(0);
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(Seconds());
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            fill();
            platform::Queue().Drain();
        }
        clock.StopSync();
        out.Close();
        clock.CloseSync();
    }
    size_t n = rec.Count();
    for (size_t i = 0; i < n; ++i) {
        const auto& r = rec.Record(i);
        if ((r.message & 0xF0) != 0xB0 || ((r.message >> 8) & 0xFF) != 1) continue;
        errors.push_back(double(r.sentNs - r.at.deadlineNs) / 1000.0);
    }
    std::sort(errors.begin(), errors.end());
    auto pct = [&](double p) {
        if (errors.empty()) return 0.0;
        size_t i = std::min(errors.size() - 1, size_t(p * double(errors.size())));
        return errors[i];
    };
    state.counters["p50_us"] = pct(0.50);
    state.counters["p99_us"] = pct(0.99);
    state.counters["p999_us"] = pct(0.999);
    state.counters["max_us"] = errors.empty() ? 0.0 : errors.back();
    state.counters["messages"] = double(errors.size());
}
// One run each: a run measures a whole stretch of real time, while its own thread mostly sleeps
// (by CPU time alone the library would repeat it without end).
BENCHMARK(DispatchError)
    ->Name("Clock/DispatchError")
    ->Arg(1)
    ->Arg(10)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

void TickCost(benchmark::State& state) {
    dsync::EnableLoopbackDevices(true);
    platform::ManualTimer timer;
    CSync clock;
    clock.OpenSync(0, 0, 1, &timer);
    clock.SetResolution(1000);
    CMidiOut outs[4];
    uint32_t next[4] = {1, 1, 1, 1};
    auto fill = [&](int i) {
        while (outs[i].Count() < 1000) {
            EventMidi e(next[i], 0x90, uint8_t(next[i] & 0x7F), 100, 50);
            outs[i].MidiOut(&e);
            ++next[i];
        }
    };
    for (int i = 0; i < 4; ++i) {
        outs[i].OpenMidiOut(0, Device("Loopback Out " + std::to_string(i)), &clock, 0x5000);
        fill(i);
    }
    clock.StartSync(0);
    for (auto _ : state) {
        timer.Advance(1);
        if (outs[0].Count() < 990) {
            state.PauseTiming();
            for (int i = 0; i < 4; ++i) fill(i);
            for (int i = 0; i < 4; ++i) dsync::Loopback().Output(i).Clear();
            platform::Queue().Drain();
            state.ResumeTiming();
        }
    }
    for (auto& o : outs) o.Close();
    clock.CloseSync();
}
BENCHMARK(TickCost)->Name("Clock/TickCost")->Unit(benchmark::kMicrosecond);

} // namespace
