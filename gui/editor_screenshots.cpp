#include "gui/editor_screenshots.h"

#include "documents/event_list_document.h"
#include "documents/tree_document.h"
#include "documents/wave_document.h"
#include "formats/sample_format.h"
#include "gui/event_list_view.h"
#include "gui/main_window.h"
#include "gui/note_editor_window.h"
#include "gui/piano_roll.h"
#include "gui/shell.h"
#include "gui/staff_view.h"
#include "gui/wave_view.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTabWidget>
#include <QTableView>

namespace gui {

namespace {

void Settle(int ms) {
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (t.elapsed() < ms);
}

class Shots {
public:
    explicit Shots(const QString& dir) : dir_(dir) {}
    void Take(QWidget* w, const QString& name) {
        Settle(50);
        if (w->grab().save(dir_ + QLatin1Char('/') + name + QStringLiteral(".png"))) ++written_;
    }
    void TakeShown(QWidget* w, const QString& name) {
        w->show();
        Take(w, name);
        w->hide();
    }
    int Written() const { return written_; }

private:
    QString dir_;
    int written_ = 0;
};

// The document's window alone in the area, at a size of the area.
QMdiSubWindow* Front(MainWindow& w, CAmpDoc* doc) {
    QMdiSubWindow* sub = w.SubWindowOf(doc);
    if (!sub) return nullptr;
    w.DocumentArea()->setActiveSubWindow(sub);
    sub->showNormal();
    const QSize room = w.DocumentArea()->viewport()->size();
    sub->setGeometry(0, 0, room.width(), room.height());
    Settle(250);
    return sub;
}

void ShootNotes(Shots& shots, MainWindow& w, CAmpDoc* doc, const QString& prefix) {
    QMdiSubWindow* sub = Front(w, doc);
    auto* notes = sub ? qobject_cast<NoteEditorWindow*>(sub->widget()) : nullptr;
    if (!notes) return;
    // A few notes selected, so that the selection shows.
    if (editing::NoteEditor* e = notes->Editor()) {
        const uint32_t beat = e->Doc().GetTicksPerBeat(kUnitsPerBeat);
        e->SelectRect(beat * 4, beat * 6, 0, 127, editing::SelectMode::Replace);
        e->SetInsertionPoint(beat * 8);
    }
    notes->Tabs()->setCurrentWidget(notes->Roll()->parentWidget());
    notes->Roll()->SetPixelsPerBeat(
        notes->Roll()->fontMetrics().horizontalAdvance(QStringLiteral("000")) * 2.5);
    notes->Roll()->SetOriginTime(0);
    shots.Take(sub, prefix + QStringLiteral("-piano-roll"));
    notes->Tabs()->setCurrentWidget(notes->Staff());
    shots.Take(sub, prefix + QStringLiteral("-staff"));
    notes->Tabs()->setCurrentWidget(notes->List());
    shots.Take(sub, prefix + QStringLiteral("-event-list"));
    notes->Tabs()->setCurrentIndex(0);
}

} // namespace

int TakeEditorScreenshots(Shell& shell, const QString& dir) {
    MainWindow* w = shell.Window();
    if (!w) return 0;
    QDir().mkpath(dir);
    Shots shots(dir);
    app::CDendraApp& app = shell.App();
    CAmpDoc* midi = nullptr;
    CAmpDoc* wave = nullptr;
    CDendraDoc* tree = nullptr;
    for (const auto& doc : app.Documents()) {
        const uint32_t kind = app.DocumentKind(doc.get());
        if (kind == kDocKindMidi && !midi) midi = doc.get();
        if (kind == kDocKindWave && !wave) wave = doc.get();
        if (kind == kDocKindDendra && !tree) tree = static_cast<CDendraDoc*>(doc.get());
    }
    if (midi) ShootNotes(shots, *w, midi, QStringLiteral("midi"));
    // A Word's events: the tree's solution in an event list, as a Word's editor shows them.
    if (tree) {
        tree->Solver().SolveAtOnce();
        if (CAmpDoc* word = w->NewDocument(kDocKindWordList)) {
            auto* list = static_cast<CSELDoc*>(word);
            list->SetUnitsPerBeat(tree->GetTicksPerBeat(kUnitsPerBeat));
            CEventTree& solution = tree->Solution();
            for (SongEvent* e = solution.First(); e; e = solution.Next())
                list->GetEvents().AddCopyAt(*e, solution.CurrentTime());
            list->SetTitle("Word");
            list->UpdateAllViews(nullptr);
            ShootNotes(shots, *w, word, QStringLiteral("word"));
        }
    }
    if (wave) {
        QMdiSubWindow* sub = Front(*w, wave);
        auto* editor = sub ? qobject_cast<WaveEditorWindow*>(sub->widget()) : nullptr;
        if (editor && editor->Editor()) {
            editor->Peaks().Wait();
            editor->View()->ZoomToFit();
            const uint32_t frames = editor->Editor()->Doc().FrameCount();
            editor->Editor()->Select(frames / 5, frames / 2);
            shots.Take(sub, QStringLiteral("wave-editor"));
            const WAVEFORMATEX& f = editor->Editor()->Doc().Data()->Format();
            WaveFormatDialog format(sound::FormatToFlag(f), f.nSamplesPerSec,
                                    CWaveDoc::CompressWaves(), w);
            shots.TakeShown(&format, QStringLiteral("wave-format-dialog"));
        }
    }
    QuantizeDialog quantize(editing::QuantizeSettings{}, w);
    shots.TakeShown(&quantize, QStringLiteral("quantize-dialog"));
    StretchDialog stretch(editing::StretchSettings{}, 1920, w);
    shots.TakeShown(&stretch, QStringLiteral("stretch-dialog"));
    SelectionDialog selection(QStringLiteral("4.000"), QStringLiteral("8.000"), 2, w);
    shots.TakeShown(&selection, QStringLiteral("selection-dialog"));
    return shots.Written();
}

} // namespace gui
