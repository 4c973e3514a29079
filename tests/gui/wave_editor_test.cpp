// The wave editor: the peak cache against the samples at every level, selections and edits made
// through the window reaching the sound as undoable steps, and the format dialog's conversion
// read back by sox.
#include "gui_test_util.h"

#include "documents/wave_document.h"
#include "formats/sample_format.h"
#include "formats/wave_data.h"
#include "formats/wave_file.h"
#include "gui/peak_cache.h"
#include "gui/wave_view.h"
#include "platform/user_messages.h"

#include <QListWidget>
#include <QProcess>

#include <cmath>
#include <cstring>
#include <random>

using guitest::ShellFixture;

namespace {

// A generated sound: a sweep under a slow envelope with a few clicks, so that the peaks differ
// from block to block.
std::vector<int16_t> Generate(uint32_t frames, int channels) {
    std::vector<int16_t> s(size_t(frames) * channels);
    std::mt19937 random(7);
    for (uint32_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            const double t = double(i) / 22050;
            double v = std::sin(2 * M_PI * (200 + 400 * t) * t + c) *
                       (0.3 + 0.7 * std::fabs(std::sin(t * 3)));
            if (random() % 5000 == 0) v = (random() % 2) ? 1.0 : -1.0;
            s[size_t(i) * channels + c] = int16_t(std::lround(v * 32767));
        }
    return s;
}

std::string WriteWave(const std::string& path, const std::vector<int16_t>& samples, int channels,
                      uint32_t rate = 22050) {
    sound::CWaveFile out;
    const auto bytes = uint32_t(samples.size() * 2);
    if (!out.OpenWrite(path, sound::MakePcmFormat(rate, uint16_t(channels), 16), {}, bytes,
                       sound::CWaveFile::kWrite))
        return {};
    out.Write(samples.data(), bytes);
    out.Close();
    return path;
}

struct Wave {
    ShellFixture f;
    CAmpDoc* doc = nullptr;
    gui::WaveEditorWindow* window = nullptr;

    explicit Wave(uint32_t frames = 22050, int channels = 2) {
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        f.Start({});
        const std::string path =
            WriteWave(f.Path("sound.wav"), Generate(frames, channels), channels);
        doc = f.Window().OpenPath(QString::fromStdString(path));
        if (!doc) return;
        window = qobject_cast<gui::WaveEditorWindow*>(f.Window().WindowOf(doc));
        if (!window) return;
        f.Window().resize(1400, 1000);
        QMdiSubWindow* sub = f.Window().SubWindowOf(doc);
        sub->showNormal();
        sub->setGeometry(0, 0, 1100, 700);
        QCoreApplication::processEvents();
        window->Peaks().Wait();
        window->View()->ZoomToFit();
    }
    CWaveDoc& Doc() { return static_cast<CWaveDoc&>(*doc); }
    std::vector<uint8_t> Bytes() {
        std::vector<uint8_t> b(size_t(Doc().FrameCount()) * Doc().FrameBytes());
        Doc().Data()->ReadAt(0, b.data(), uint32_t(b.size()));
        return b;
    }
    QString UndoText() {
        f.Window().UpdateCommands();
        return f.Action("editUndo")->text();
    }
};

} // namespace

class WaveEditorTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void thePeakCacheAgreesWithTheSamplesAtEveryLevel() {
        for (int channels : {1, 2}) {
            // Not a whole number of blocks, so the last entries are partial.
            const uint32_t frames = 1000003;
            const std::vector<int16_t> samples = Generate(frames, channels);
            gui::PeakCache cache;
            QVERIFY(cache.Start(frames, channels, 16, [&](uint32_t at, void* out, uint32_t n) {
                const size_t total = samples.size() * 2;
                if (at >= total) return uint32_t(0);
                n = uint32_t(std::min<size_t>(n, total - at));
                std::memcpy(out, reinterpret_cast<const uint8_t*>(samples.data()) + at, n);
                return n;
            }));
            cache.Wait();
            QVERIFY(cache.Done());
            std::mt19937 random(3);
            for (int level = 0; level < cache.Levels(); ++level) {
                const uint64_t block = gui::PeakCache::BlockFrames(level);
                // Spans at block boundaries at this level, and arbitrary ones.
                for (int trial = 0; trial < 40; ++trial) {
                    const uint64_t from = trial % 2
                                              ? random() % frames
                                              : (random() % ((frames + block - 1) / block)) * block;
                    const uint64_t length =
                        block * (1 + random() % 3) + (trial % 2 ? random() % block : 0);
                    const uint64_t to = std::min<uint64_t>(frames, from + length);
                    for (int c = 0; c < channels; ++c) {
                        int16_t lo = 0, hi = 0;
                        if (!cache.Range(c, from, to, lo, hi)) continue;
                        // The cache's entries cover whole blocks: the true extremes of the
                        // blocks the span touches.
                        const int l = cache.LevelFor(double(to - from));
                        const uint64_t bf = gui::PeakCache::BlockFrames(l);
                        const uint64_t a = from / bf * bf,
                                       b = std::min<uint64_t>(frames, (to + bf - 1) / bf * bf);
                        int tl = INT16_MAX, th = INT16_MIN;
                        for (uint64_t i = a; i < b; ++i) {
                            tl = std::min<int>(tl, samples[size_t(i) * channels + c]);
                            th = std::max<int>(th, samples[size_t(i) * channels + c]);
                        }
                        QCOMPARE(int(lo), tl);
                        QCOMPARE(int(hi), th);
                    }
                }
            }
            // Columns at any zoom agree with the entries they gather.
            for (double fpp : {256.0, 300.5, 1024.0, 5000.0, 65536.0, 1e6}) {
                const int columns = 200;
                std::vector<int16_t> lo(columns), hi(columns);
                std::vector<uint8_t> valid(columns);
                cache.Columns(0, 1234.0, fpp, columns, lo.data(), hi.data(), valid.data());
                for (int c = 0; c < columns; ++c) {
                    const double f0 = 1234.0 + c * fpp;
                    if (f0 >= frames) {
                        QVERIFY(!valid[size_t(c)]);
                        continue;
                    }
                    QVERIFY(valid[size_t(c)]);
                    int tl = INT16_MAX, th = INT16_MIN;
                    for (uint64_t i = uint64_t(f0);
                         i < std::min<uint64_t>(frames, uint64_t(std::ceil(f0 + fpp))); ++i) {
                        tl = std::min<int>(tl, samples[size_t(i) * channels]);
                        th = std::max<int>(th, samples[size_t(i) * channels]);
                    }
                    // Whole blocks: at least the column's own extremes.
                    QVERIFY(lo[size_t(c)] <= tl);
                    QVERIFY(hi[size_t(c)] >= th);
                }
            }
        }
    }

    void eightBitSoundIsWidened() {
        std::vector<uint8_t> bytes = {128, 0, 255, 128};
        gui::PeakCache cache;
        QVERIFY(cache.Start(4, 1, 8, [&](uint32_t at, void* out, uint32_t n) {
            n = std::min<uint32_t>(n, uint32_t(bytes.size()) - at);
            std::memcpy(out, bytes.data() + at, n);
            return n;
        }));
        cache.Wait();
        int16_t lo, hi;
        std::vector<int16_t> l(1), h(1);
        std::vector<uint8_t> v(1);
        cache.Columns(0, 0, 256, 1, l.data(), h.data(), v.data());
        QVERIFY(v[0]);
        QCOMPARE(int(l[0]), -32768);
        QCOMPARE(int(h[0]), 127 * 256);
        Q_UNUSED(lo);
        Q_UNUSED(hi);
    }

    void aStoppedBuildResumesWhereItStopped() {
        const uint32_t frames = 2000000;
        const std::vector<int16_t> samples = Generate(frames, 1);
        std::atomic<int> reads{0};
        gui::PeakCache cache;
        cache.Start(frames, 1, 16, [&](uint32_t at, void* out, uint32_t n) {
            ++reads;
            n = uint32_t(std::min<size_t>(n, samples.size() * 2 - at));
            std::memcpy(out, reinterpret_cast<const uint8_t*>(samples.data()) + at, n);
            return n;
        });
        cache.Stop();
        const uint32_t done = cache.FramesDone();
        cache.Resume();
        cache.Wait();
        QVERIFY(cache.Done());
        QVERIFY(done <= frames);
        int16_t lo, hi;
        QVERIFY(cache.Range(0, 0, frames, lo, hi));
        QCOMPARE(int(lo), int(*std::min_element(samples.begin(), samples.end())));
        QCOMPARE(int(hi), int(*std::max_element(samples.begin(), samples.end())));
    }

    void aDragSelectsAndTheEditsAreUndoSteps() {
        platform::ScopedRecordingMessages messages;
        Wave w;
        QVERIFY(w.window);
        gui::WaveView* view = w.window->View();
        const QRect area = view->WaveArea();
        const QPoint from(int(view->XOfFrame(4410)), area.center().y());
        const QPoint to(int(view->XOfFrame(11025)), area.center().y());
        QTest::mousePress(view, Qt::LeftButton, {}, from);
        QTest::mouseMove(view, to);
        QTest::mouseRelease(view, Qt::LeftButton, {}, to);
        editing::WaveEditor& m = *w.window->Editor();
        QVERIFY(m.HasSelection());
        QVERIFY(std::abs(int(m.SelectionStart()) - 4410) <= int(view->FramesPerPixel()) + 1);
        QVERIFY(std::abs(int(m.SelectionEnd()) - 11025) <= int(view->FramesPerPixel()) + 1);
        const auto original = w.Bytes();
        const uint32_t cut = m.SelectionEnd() - m.SelectionStart();
        // The file opened read only: the first edit asks for a temporary copy and is then made.
        messages.QueueAnswer(platform::Answer::Yes);
        w.window->Action(QStringLiteral("waveCut"))->trigger();
        QCOMPARE(w.Doc().FrameCount(), 22050 - cut);
        QCOMPARE(w.UndoText(), QStringLiteral("&Undo Cut"));
        // The peaks follow the new sound.
        w.window->Peaks().Wait();
        QCOMPARE(w.window->Peaks().Frames(), w.Doc().FrameCount());
        // Paste at the cursor puts it back where it was.
        QVERIFY(!m.HasSelection());
        w.window->Action(QStringLiteral("wavePaste"))->trigger();
        QVERIFY(w.Bytes() == original);
        QCOMPARE(w.UndoText(), QStringLiteral("&Undo Paste"));
        QVERIFY(w.window->InsertSilence(0.5));
        QCOMPARE(w.Doc().FrameCount(), 22050u + 11025u);
        for (int i = 0; i < 3; ++i) w.f.Action("editUndo")->trigger();
        QVERIFY(w.Bytes() == original);
        QVERIFY(!w.Doc().IsModified());
    }

    void deleteOrSilenceFollowsTheToggle() {
        platform::ScopedRecordingMessages messages;
        Wave w(22050, 1);
        QVERIFY(w.window);
        w.Doc().MakeTempCopy();
        editing::WaveEditor& m = *w.window->Editor();
        m.Select(1000, 2000);
        w.window->Action(QStringLiteral("waveDeleteMode"))->setChecked(true);
        QCOMPARE(w.window->Action(QStringLiteral("waveDelete"))->text(),
                 QStringLiteral("&Silence"));
        w.window->Action(QStringLiteral("waveDelete"))->trigger();
        QCOMPARE(w.Doc().FrameCount(), 22050u);
        const auto bytes = w.Bytes();
        for (size_t i = 2000; i < 4000; ++i) QCOMPARE(int(bytes[i]), 0);
        w.window->Action(QStringLiteral("waveDeleteMode"))->setChecked(false);
        m.Select(1000, 2000);
        w.window->Action(QStringLiteral("waveDelete"))->trigger();
        QCOMPARE(w.Doc().FrameCount(), 21050u);
    }

    void theFormatDialogConvertsAndSoxReadsTheResult() {
        platform::ScopedRecordingMessages messages;
        Wave w(22050, 2);
        QVERIFY(w.window);
        w.Doc().MakeTempCopy();
        // The dialog lists the twelve formats with the current one chosen.
        const WAVEFORMATEX& f = w.Doc().Data()->Format();
        gui::WaveFormatDialog dialog(sound::FormatToFlag(f), f.nSamplesPerSec, false);
        QCOMPARE(dialog.Formats()->count(), 12);
        QCOMPARE(dialog.Flag(), sound::FormatToFlag(f));
        // 44100 Hz mono 8-bit.
        const uint32_t flag = sound::FormatToFlag(sound::MakePcmFormat(44100, 1, 8));
        dialog.Formats()->setCurrentRow(sound::FlagIndex(flag));
        QVERIFY(w.window->ApplyFormat(dialog.Flag(), dialog.Rate(), dialog.Compress()));
        QCOMPARE(w.UndoText(), QStringLiteral("&Undo Change Format"));
        QCOMPARE(w.Doc().Data()->Format().nSamplesPerSec, 44100u);
        const std::string saved = w.f.Path("converted.wav");
        QVERIFY(w.Doc().OnSaveDocument(saved));
        QProcess sox;
        sox.start(QStringLiteral("sox"), {QStringLiteral("--i"), QString::fromStdString(saved)});
        QVERIFY(sox.waitForFinished(20000));
        const QString info = QString::fromUtf8(sox.readAllStandardOutput());
        QVERIFY2(info.contains(QStringLiteral("Channels       : 1")), qPrintable(info));
        QVERIFY2(info.contains(QStringLiteral("Sample Rate    : 44100")), qPrintable(info));
        QVERIFY2(info.contains(QStringLiteral("Precision      : 8-bit")), qPrintable(info));
        QVERIFY2(info.contains(QStringLiteral("00:00:01.00")), qPrintable(info));
        w.f.Action("editUndo")->trigger();
        QCOMPARE(w.Doc().Data()->Format().nSamplesPerSec, 22050u);
        QCOMPARE(int(w.Doc().Data()->Format().nChannels), 2);
    }

    void ctrlWheelZoomsAtThePointer() {
        Wave w;
        QVERIFY(w.window);
        gui::WaveView* view = w.window->View();
        const QPoint at(view->width() / 3, view->WaveArea().center().y());
        const double frame = view->FrameAtX(at.x());
        const double before = view->FramesPerPixel();
        QWheelEvent wheel(at, view->mapToGlobal(at), QPoint(), QPoint(0, 240), Qt::NoButton,
                          Qt::ControlModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(view, &wheel);
        QVERIFY(view->FramesPerPixel() < before);
        QVERIFY(std::abs(view->FrameAtX(at.x()) - frame) <= before);
    }
};

QTEST_MAIN(WaveEditorTest)
#include "wave_editor_test.moc"
