// Opening and repainting the editors offscreen (QT_QPA_PLATFORM is set to offscreen unless given):
//   PianoRoll/Open        a MIDI file of 100,000 notes read and shown in the piano roll
//   PianoRoll/Repaint/N   a full repaint (1280 x 800) at N thousandths of a pixel per beat
//   PianoRoll/Scroll      a step of a sideways scroll and its repaint, at 20 pixels a beat
//   WaveEditor/Open       a 10-minute stereo 44.1 kHz sound opened and first drawn (the peak
//                         cache builds meanwhile on its own thread)
//   WaveEditor/Peaks      the peak cache of that sound built to the end
//   WaveEditor/Repaint/N  a full repaint at N frames per pixel (0: the whole sound)
#include "documents/midi_document.h"
#include "documents/wave_document.h"
#include "formats/sample_format.h"
#include "formats/wave_data.h"
#include "formats/wave_file.h"
#include "gui/note_editor_window.h"
#include "gui/piano_roll.h"
#include "gui/shell.h"
#include "gui/wave_view.h"
#include "platform/temp_names.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace {

QTemporaryDir* folder = nullptr;
gui::Shell* shell = nullptr;

std::string Path(const char* name) {
    return QDir(folder->path()).filePath(QString::fromLatin1(name)).toStdString();
}

const std::string& BigMidi() {
    static const std::string path = [] {
        CMidiDoc doc;
        doc.OnNewDocument();
        doc.SetChannelCount(4, false);
        doc.SetTicksPerBeat(kUnitsPerBeat, 480);
        // 100,000 notes on four tracks: sixteenths with chords, over about 6,000 beats.
        for (int i = 0; i < 100000; ++i)
            doc.GetChannelEvents(1 + i % 4)->Add(
                new EventMidi(uint32_t(i / 4) * 120, uint8_t(0x90 | (i % 4)),
                              uint8_t(36 + (i * 7) % 60), uint8_t(40 + i % 80), 100 + i % 300));
        const std::string p = Path("big.mid");
        doc.OnSaveDocument(p);
        return p;
    }();
    return path;
}

const std::string& LongWave() {
    static const std::string path = [] {
        const uint32_t rate = 44100, frames = rate * 600;
        sound::CWaveFile out;
        const uint32_t bytes = frames * 4;
        const std::string p = Path("long.wav");
        out.OpenWrite(p, sound::MakePcmFormat(rate, 2, 16), {}, bytes, sound::CWaveFile::kWrite);
        std::vector<int16_t> chunk(size_t(rate) * 2);
        for (uint32_t s = 0; s < 600; ++s) {
            for (uint32_t i = 0; i < rate; ++i) {
                const double t = s + double(i) / rate;
                chunk[2 * i] = int16_t(20000 * std::sin(2 * M_PI * 220 * t) * std::sin(t * 0.3));
                chunk[2 * i + 1] = int16_t(15000 * std::sin(2 * M_PI * 330 * t));
            }
            out.Write(chunk.data(), uint32_t(chunk.size() * 2));
        }
        out.Close();
        return p;
    }();
    return path;
}

void Paint(QWidget& w) {
    static QImage image(1280, 800, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    if (auto* roll = qobject_cast<gui::PianoRoll*>(&w)) roll->PaintAll(p);
    if (auto* wave = qobject_cast<gui::WaveView*>(&w)) wave->PaintAll(p);
}

struct OpenRoll {
    std::unique_ptr<CMidiDoc> doc = std::make_unique<CMidiDoc>();
    std::unique_ptr<gui::NoteEditorWindow> window;
    explicit OpenRoll(bool paint = true) {
        doc->OnOpenDocument(BigMidi());
        window = std::make_unique<gui::NoteEditorWindow>(*doc, kDocKindMidi, *shell);
        window->resize(1280, 880);
        window->Roll()->resize(1280, 800);
        window->Refresh();
        if (paint) Paint(*window->Roll());
    }
    ~OpenRoll() {
        window.reset();
        doc->OnCloseDocument();
    }
};

void PianoRollOpen(benchmark::State& state) {
    BigMidi();
    for (auto _ : state) {
        OpenRoll open;
        benchmark::DoNotOptimize(open.window->Cache().Notes().size());
    }
}
BENCHMARK(PianoRollOpen)->Name("PianoRoll/Open")->Unit(benchmark::kMillisecond)->Iterations(5);

void PianoRollRepaint(benchmark::State& state) {
    OpenRoll open(false);
    gui::PianoRoll* roll = open.window->Roll();
    roll->SetPixelsPerBeat(state.range(0) / 1000.0);
    roll->SetOriginTime(0);
    roll->SetRowHeight(8);
    roll->CentreKey(66);
    // Half of the notes selected: the selected colour is looked up for each.
    open.window->Editor()->SelectRect(0, UINT32_MAX, 66, 127, editing::SelectMode::Replace);
    for (auto _ : state) Paint(*roll);
}
BENCHMARK(PianoRollRepaint)
    ->Name("PianoRoll/Repaint")
    ->Arg(200)    // every note in view
    ->Arg(2000)   // a third of them
    ->Arg(20000)  // 50 beats: 800 notes, drawn one by one
    ->Arg(200000) // 5 beats
    ->Unit(benchmark::kMillisecond);

void PianoRollScroll(benchmark::State& state) {
    OpenRoll open(false);
    gui::PianoRoll* roll = open.window->Roll();
    roll->SetPixelsPerBeat(20);
    double at = 0;
    for (auto _ : state) {
        at += 48; // a tenth of a beat: a two-pixel step
        roll->SetOriginTime(at);
        Paint(*roll);
    }
}
BENCHMARK(PianoRollScroll)->Name("PianoRoll/Scroll")->Unit(benchmark::kMillisecond);

struct OpenWave {
    std::unique_ptr<CWaveDoc> doc = std::make_unique<CWaveDoc>();
    std::unique_ptr<gui::WaveEditorWindow> window;
    OpenWave() {
        doc->OnOpenDocument(LongWave());
        window = std::make_unique<gui::WaveEditorWindow>(*doc, kDocKindWave, *shell);
        window->resize(1280, 880);
        window->View()->resize(1280, 800);
        window->View()->ZoomToFit();
        Paint(*window->View());
    }
    ~OpenWave() {
        window.reset();
        doc->OnCloseDocument();
    }
};

void WaveOpen(benchmark::State& state) {
    LongWave();
    for (auto _ : state) {
        OpenWave open;
        benchmark::DoNotOptimize(open.window->Peaks().FramesDone());
        state.PauseTiming();
        open.window->Peaks().Stop();
        state.ResumeTiming();
    }
}
BENCHMARK(WaveOpen)->Name("WaveEditor/Open")->Unit(benchmark::kMillisecond)->Iterations(5);

void WavePeaks(benchmark::State& state) {
    LongWave();
    for (auto _ : state) {
        OpenWave open;
        open.window->Peaks().Wait();
        benchmark::DoNotOptimize(open.window->Peaks().Done());
    }
}
BENCHMARK(WavePeaks)->Name("WaveEditor/Peaks")->Unit(benchmark::kMillisecond)->Iterations(3);

void WaveRepaint(benchmark::State& state) {
    OpenWave open;
    open.window->Peaks().Wait();
    gui::WaveView* view = open.window->View();
    if (state.range(0) > 0) view->SetFramesPerPixel(double(state.range(0)) / 100, 0);
    view->SetOriginFrame(44100.0 * 300);
    open.window->Editor()->Select(44100 * 300, 44100 * 301);
    for (auto _ : state) Paint(*view);
}
BENCHMARK(WaveRepaint)
    ->Name("WaveEditor/Repaint")
    ->Arg(0)      // the whole sound
    ->Arg(409600) // 4096 frames a pixel
    ->Arg(25600)  // 256 frames a pixel: the cache's finest level
    ->Arg(10000)  // 100 frames a pixel: from the samples
    ->Arg(50)     // half a frame a pixel
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    sound::InstallWaveSoundFactory();
    QTemporaryDir dir;
    folder = &dir;
    platform::SetTempFolder(dir.path().toStdString());
    gui::ShellOptions options;
    options.settingsPath = Path("settings.conf");
    options.instanceFolder = Path("run");
    options.openDevices = false;
    options.installMessageBoxes = false;
    gui::Shell s(options);
    shell = &s;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    shell = nullptr;
    return 0;
}
