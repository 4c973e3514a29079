// The piano roll: edits made with the mouse and the keys reach the note editor model as the
// snapped amounts, the rubber band and the paste land where they are drawn, every command is an
// undo step named in the Edit menu, and a view of many notes draws them.
#include "editor_test_util.h"

#include "editing/event_clipboard.h"
#include "platform/user_messages.h"

#include <QImage>
#include <QTabWidget>

using guitest::Dump;
using guitest::Notes;
using guitest::NoteSpec;
using guitest::ShellFixture;

namespace {

// A started shell with a MIDI file open in its piano roll, at 100 pixels a beat, key 62 in the
// middle.
struct Roll {
    ShellFixture f;
    CAmpDoc* doc = nullptr;
    gui::NoteEditorWindow* window = nullptr;
    gui::PianoRoll* roll = nullptr;

    explicit Roll(const std::vector<NoteSpec>& notes, int tracks = 1) {
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        f.Start({});
        window = guitest::OpenNotes(f, guitest::MakeMidi(f, "notes.mid", notes, tracks), &doc);
        if (!window) return;
        roll = window->Roll();
        roll->SetPixelsPerBeat(100);
        roll->SetOriginTime(0);
        roll->CentreKey(62);
        QCoreApplication::processEvents();
    }
    CChanDoc& Doc() { return static_cast<CChanDoc&>(*doc); }
    editing::NoteEditor& Model() { return *window->Editor(); }
    // The centre of a note's bar, or a point at a time and key.
    QPoint At(double units, int key) const {
        return QPoint(int(roll->XOfTime(units)) + 1,
                      int(roll->YOfKey(key) + roll->RowHeight() / 2));
    }
    void Drag(QPoint from, QPoint to, Qt::KeyboardModifiers mods = {}) {
        QTest::mousePress(roll, Qt::LeftButton, mods, from);
        QTest::mouseMove(roll, (from + to) / 2);
        QTest::mouseMove(roll, to);
        QTest::mouseRelease(roll, Qt::LeftButton, mods, to);
    }
    QString UndoText() {
        f.Window().UpdateCommands();
        return f.Action("editUndo")->text();
    }
    void Undo() { f.Action("editUndo")->trigger(); }
    void Redo() { f.Action("editRedo")->trigger(); }
    std::vector<std::pair<uint32_t, int>> Selected() {
        std::vector<std::pair<uint32_t, int>> v;
        for (const editing::EventRef& r : Model().Selection())
            v.emplace_back(r.time, r.event->GetData1());
        return v;
    }
};

} // namespace

class PianoRollTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void midiFilesAndEventListsOpenInTheNoteEditor() {
        Roll r({{1, 0, 60, 480}});
        QVERIFY(r.window);
        QCOMPARE(r.window->Tabs()->count(), 3);
        QCOMPARE(r.window->Cache().Notes().size(), size_t(1));
        // A new event list gets the same window.
        CAmpDoc* list = r.f.Window().NewDocument(kDocKindWordList);
        QVERIFY(qobject_cast<gui::NoteEditorWindow*>(r.f.Window().WindowOf(list)));
    }

    void aDragMovesTheSelectedNotesByTheSnappedAmount() {
        Roll r({{1, 0, 60, 480}, {1, 480, 64, 480}, {1, 960, 67, 480}});
        QVERIFY(r.window);
        // Select the first two.
        QTest::mouseClick(r.roll, Qt::LeftButton, {}, r.At(100, 60));
        QTest::mouseClick(r.roll, Qt::LeftButton, Qt::ShiftModifier, r.At(580, 64));
        QCOMPARE(r.Model().Selection().size(), size_t(2));
        // 0.3 beats (144 units) right and two keys up; the grid is a quarter beat (120 units).
        const QPoint from = r.At(100, 60);
        r.Drag(from, from + QPoint(30, -int(2 * r.roll->RowHeight())));
        auto rows = Notes(r.Doc());
        std::vector<std::pair<uint32_t, int>> notes;
        for (const auto& row : rows) notes.emplace_back(std::get<1>(row), std::get<3>(row));
        QCOMPARE(notes, (std::vector<std::pair<uint32_t, int>>{{120, 62}, {600, 66}, {960, 67}}));
        QCOMPARE(r.UndoText(), QStringLiteral("&Undo Move"));
        r.Undo();
        notes.clear();
        for (const auto& row : Notes(r.Doc()))
            notes.emplace_back(std::get<1>(row), std::get<3>(row));
        QCOMPARE(notes, (std::vector<std::pair<uint32_t, int>>{{0, 60}, {480, 64}, {960, 67}}));
        // With Shift held the grid is bypassed: 0.3 beats is 144 units.
        QTest::mouseClick(r.roll, Qt::LeftButton, {}, r.At(100, 60));
        r.Drag(r.At(100, 60), r.At(100, 60) + QPoint(30, 0), Qt::ShiftModifier);
        QCOMPARE(std::get<1>(Notes(r.Doc()).front()), uint32_t(144));
    }

    void draggingTheRightEndResizesToTheGrid() {
        Roll r({{1, 0, 60, 480}});
        QVERIFY(r.window);
        const QRectF bar = r.roll->NoteRect(r.window->Cache().Notes().front());
        const QPoint end(int(bar.right()) - 2, int(bar.center().y()));
        QTest::mouseClick(r.roll, Qt::LeftButton, {}, r.At(100, 60));
        // 0.6 beats further: the end snaps to 1.5 beats (720 units).
        r.Drag(end, end + QPoint(60, 0));
        QCOMPARE(std::get<5>(Notes(r.Doc()).front()), uint32_t(720));
        QCOMPARE(r.UndoText(), QStringLiteral("&Undo Resize"));
        r.Undo();
        QCOMPARE(std::get<5>(Notes(r.Doc()).front()), uint32_t(480));
    }

    void aRubberBandSelectsExactlyTheNotesInside() {
        Roll r({{1, 0, 60, 240},
                {1, 480, 62, 240},
                {1, 960, 64, 240},
                {1, 1440, 70, 240},
                {1, 2400, 62, 240}});
        QVERIFY(r.window);
        // From before beat 1 on key 65 to beat 3.5 on key 61: the notes at 480 (62) and 960 (64)
        // lie inside; 70 is above, 60 below, 2400 after.
        r.Drag(r.At(400, 65), r.At(1680, 61));
        QCOMPARE(r.Selected(), (std::vector<std::pair<uint32_t, int>>{{480, 62}, {960, 64}}));
        // Ctrl toggles the band's notes into the selection.
        r.Drag(r.At(2300, 63), r.At(2800, 62), Qt::ControlModifier);
        QCOMPARE(r.Selected().size(), size_t(3));
        // A click on an empty place empties the selection and sets the insertion point.
        QTest::mouseClick(r.roll, Qt::LeftButton, {}, r.At(1210, 50));
        QVERIFY(r.Model().Selection().empty());
        QCOMPARE(r.Model().InsertionPoint(), uint32_t(1200));
    }

    void aPasteLandsAtTheInsertionPoint() {
        Roll r({{1, 0, 60, 240}, {1, 240, 64, 240}});
        QVERIFY(r.window);
        r.window->Action(QStringLiteral("noteSelectAll"))->trigger();
        QVERIFY(r.window->Action(QStringLiteral("noteCopy"))->isEnabled());
        r.window->Action(QStringLiteral("noteCopy"))->trigger();
        QTest::mouseClick(r.roll, Qt::LeftButton, {}, r.At(1925, 50)); // snaps to 1920
        QVERIFY(r.window->Action(QStringLiteral("notePaste"))->isEnabled());
        r.window->Action(QStringLiteral("notePaste"))->trigger();
        auto rows = Notes(r.Doc());
        QCOMPARE(rows.size(), size_t(4));
        QCOMPARE(std::get<1>(rows[2]), uint32_t(1920));
        QCOMPARE(std::get<3>(rows[2]), 60);
        QCOMPARE(std::get<1>(rows[3]), uint32_t(2160));
        QCOMPARE(r.UndoText(), QStringLiteral("&Undo Paste"));
        r.Undo();
        QCOMPARE(Notes(r.Doc()).size(), size_t(2));
        r.Redo();
        QCOMPARE(Notes(r.Doc()).size(), size_t(4));
    }

    void thePencilDrawsTheKeysNudgeAndDeleteRemoves() {
        Roll r({{1, 0, 60, 480}});
        QVERIFY(r.window);
        r.window->Action(QStringLiteral("noteToolPencil"))->trigger();
        QTest::mouseClick(r.roll, Qt::LeftButton, {}, r.At(965, 67));
        auto rows = Notes(r.Doc());
        QCOMPARE(rows.size(), size_t(2));
        QCOMPARE(std::get<1>(rows[1]), uint32_t(960));
        QCOMPARE(std::get<3>(rows[1]), 67);
        QCOMPARE(std::get<5>(rows[1]), uint32_t(120)); // one grid step
        QCOMPARE(r.UndoText(), QStringLiteral("&Undo Insert Note"));
        // The new note is selected: nudged right a grid step and up an octave.
        r.roll->setFocus();
        QTest::keyClick(r.roll, Qt::Key_Right);
        QTest::keyClick(r.roll, Qt::Key_Up, Qt::ShiftModifier);
        rows = Notes(r.Doc());
        QCOMPARE(std::get<1>(rows[1]), uint32_t(1080));
        QCOMPARE(std::get<3>(rows[1]), 79);
        r.window->Action(QStringLiteral("noteDelete"))->trigger();
        QCOMPARE(Notes(r.Doc()).size(), size_t(1));
        QCOMPARE(r.UndoText(), QStringLiteral("&Undo Delete"));
        // Four steps back: delete, two nudges, the insert.
        for (int i = 0; i < 4; ++i) r.Undo();
        QCOMPARE(Notes(r.Doc()).size(), size_t(1));
        QVERIFY(!r.Doc().IsModified());
    }

    void everyMenuCommandIsOneUndoStep() {
        platform::ScopedRecordingMessages messages;
        Roll r({{1, 95, 60, 400, 90}, {1, 500, 62, 400}, {2, 1000, 64, 400}}, 2);
        QVERIFY(r.window);
        const auto original = Dump(r.Doc());
        struct Step {
            const char* label;
            std::function<bool()> run;
        };
        auto& w = *r.window;
        auto& m = r.Model();
        const Step steps[] = {
            {"Quantize",
             [&] {
                 m.SelectRect(0, UINT32_MAX, 0, 127, editing::SelectMode::Replace);
                 editing::QuantizeSettings q;
                 q.divisor = 4;
                 return w.Quantize(q);
             }},
            {"Stretch",
             [&] {
                 w.ApplySelection(QStringLiteral("0"), QStringLiteral("2"), 0);
                 editing::StretchSettings s;
                 s.factor = 2;
                 const bool ok = w.Stretch(s);
                 if (m.RangeMode()) m.ToggleRangeMode();
                 return ok;
             }},
            {"Move to Track",
             [&] {
                 m.SelectRect(0, UINT32_MAX, 0, 127, editing::SelectMode::Replace);
                 return w.ApplySelection(QStringLiteral("0"), QStringLiteral("0"), 2) &&
                        Dump(r.Doc()) != original;
             }},
            {"Change Units per Beat", [&] { return w.ChangeUnits(960); }},
            {"Cut",
             [&] {
                 if (m.RangeMode()) m.ToggleRangeMode();
                 m.SelectRect(0, UINT32_MAX, 0, 127, editing::SelectMode::Replace);
                 w.Action(QStringLiteral("noteCut"))->trigger();
                 return Notes(r.Doc()).empty();
             }},
        };
        for (const Step& s : steps) {
            const auto before = Dump(r.Doc());
            QVERIFY2(s.run(), s.label);
            QVERIFY2(Dump(r.Doc()) != before, s.label);
            QCOMPARE(r.UndoText(), QStringLiteral("&Undo ") + QString::fromLatin1(s.label));
            r.Undo();
            QVERIFY2(Dump(r.Doc()) == before, s.label);
            r.Redo();
        }
        for (size_t i = 0; i < std::size(steps); ++i) r.Undo();
        QVERIFY(Dump(r.Doc()) == original);
        QVERIFY(messages.Shown().empty());
    }

    void theVelocityLaneSetsTheNearestNotesVelocity() {
        Roll r({{1, 480, 60, 240, 40}});
        QVERIFY(r.window);
        const QRect lane = r.roll->LaneArea();
        const int x = int(r.roll->XOfTime(480)) + 1;
        r.Drag(QPoint(x, lane.bottom() - 2), QPoint(x, lane.top() + 2));
        QCOMPARE(std::get<4>(Notes(r.Doc()).front()), 127);
        QCOMPARE(r.UndoText(), QStringLiteral("&Undo Edit Event"));
    }

    void theTrackChoiceLimitsWhatIsSelected() {
        Roll r({{1, 0, 60, 240}, {2, 0, 64, 240}}, 2);
        QVERIFY(r.window);
        r.Model().SelectOnlyTrack(2);
        r.window->Action(QStringLiteral("noteSelectAll"))->trigger();
        QCOMPARE(r.Selected(), (std::vector<std::pair<uint32_t, int>>{{0, 64}}));
    }

    void sendSelectedMakesTheRangeThePlayingRegion() {
        Roll r({{1, 0, 60, 240}});
        QVERIFY(r.window);
        QVERIFY(!r.window->Action(QStringLiteral("noteSendSelected"))->isEnabled());
        QVERIFY(r.window->ApplySelection(QStringLiteral("2"), QStringLiteral("5.5"), 0));
        QVERIFY(r.window->SendSelected());
        QCOMPARE(r.f.Shell().Engine().LoopStart(), uint32_t(2));
        QCOMPARE(r.f.Shell().Engine().LoopEnd(), uint32_t(6));
    }

    void notesMergedIntoTheDocumentAppear() {
        Roll r({{1, 0, 60, 240}});
        QVERIFY(r.window);
        // As the play engine merges a recording: into the store, then the views are told.
        r.Doc().GetChannelEvents(1)->Add(new EventMidi(480, 0x90, 72, 80, 240));
        r.Doc().UpdateAllViews(nullptr);
        QCOMPARE(r.window->Cache().Notes().size(), size_t(2));
        QCOMPARE(int(r.window->Cache().Notes().back().key), 72);
    }

    void manyNotesAreDrawnWhereTheyLie() {
        // Enough notes for the image path: every 10 units one note, keys cycling.
        std::vector<NoteSpec> notes;
        for (int i = 0; i < 20000; ++i) notes.push_back({1, uint32_t(i * 10), 40 + i % 40, 10});
        Roll r(notes);
        QVERIFY(r.window);
        r.roll->ZoomToFit();
        QCoreApplication::processEvents();
        const QImage image = r.roll->grab().toImage();
        const QColor base = r.roll->palette().color(QPalette::Base);
        // Inside the notes' band there is ink; far above it there is none.
        const NoteSpec& probe = notes[10000];
        const QPoint on(int(r.roll->XOfTime(probe.time)),
                        int(r.roll->YOfKey(probe.key) + r.roll->RowHeight() / 2));
        QVERIFY(image.pixelColor(on * image.devicePixelRatio()) != base);
        const QPoint off(on.x(), int(r.roll->YOfKey(100)));
        if (r.roll->NoteArea().contains(off))
            QCOMPARE(image.pixelColor(off * image.devicePixelRatio()), base);
    }
};

QTEST_MAIN(PianoRollTest)
#include "piano_roll_test.moc"
