// The staff view: the key the notes fit, how each key is written in it, and a click on a note
// head selecting that note in the model the other views share.
#include "editor_test_util.h"

#include "gui/staff_view.h"

#include <QTabWidget>

using guitest::NoteSpec;
using guitest::ShellFixture;

class StaffViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void keysAreSpeltWithTheKeysAccidentals() {
        // D major: F sharp and C sharp belong to the key, F natural needs its sign.
        QCOMPARE(gui::SpellKey(66, 2).accidental, 0); // F#4
        QCOMPARE(gui::SpellKey(65, 2).accidental, 2); // F4: natural
        QCOMPARE(gui::SpellKey(65, 2).step, gui::SpellKey(66, 2).step);
        QCOMPARE(gui::SpellKey(60, 0).step, 35);                         // middle C
        QCOMPARE(gui::SpellKey(61, 0).accidental, 1);                    // C#4 in C major
        QCOMPARE(gui::SpellKey(70, -1).accidental, 0);                   // B flat in F major
        QCOMPARE(gui::SpellKey(71, -1).accidental, 2);                   // B natural in F major
        QCOMPARE(gui::SpellKey(70, 0).accidental, 1);                    // A sharp in C major
        QCOMPARE(gui::SpellKey(63, -3).step, gui::SpellKey(64, 0).step); // E flat on E's line
        QCOMPARE(gui::KeyNameOf(-3), QStringLiteral("E\u266D major"));
    }

    void theKeyIsTheOneTheNotesFitBest() {
        ShellFixture f;
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        f.Start({});
        // The D major scale, and the E flat major scale on the second track.
        std::vector<NoteSpec> notes;
        const int d[] = {62, 64, 66, 67, 69, 71, 73, 74};
        for (int i = 0; i < 8; ++i) notes.push_back({1, uint32_t(i * 480), d[i], 480});
        const int e[] = {63, 65, 67, 68, 70, 72, 74, 75};
        for (int i = 0; i < 8; ++i) notes.push_back({2, uint32_t(i * 240), e[i], 240});
        CAmpDoc* doc = nullptr;
        auto* w = guitest::OpenNotes(f, guitest::MakeMidi(f, "keys.mid", notes, 2), &doc);
        QVERIFY(w);
        w->Editor()->SelectOnlyTrack(1);
        w->Staff()->NotesChanged();
        QCOMPARE(w->Staff()->Signature(), 2);
        w->Editor()->SelectOnlyTrack(2);
        w->Staff()->NotesChanged();
        QCOMPARE(w->Staff()->Signature(), -3);
    }

    void aClickOnANoteHeadSelectsIt() {
        ShellFixture f;
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        f.Start({});
        CAmpDoc* doc = nullptr;
        auto* w = guitest::OpenNotes(
            f,
            guitest::MakeMidi(f, "heads.mid",
                              {{1, 0, 60, 480}, {1, 480, 67, 480}, {1, 480, 48, 480}}),
            &doc);
        QVERIFY(w);
        w->Tabs()->setCurrentWidget(w->Staff());
        QCoreApplication::processEvents();
        gui::StaffView* staff = w->Staff();
        staff->SetPixelsPerBeat(80);
        staff->SetOriginTime(0);
        const double h = staff->StepHeight();
        const QPoint head(int(staff->XOfTime(480) + h * 1.2),
                          int(staff->YOfStep(gui::SpellKey(48, staff->Signature()).step)));
        QTest::mouseClick(staff, Qt::LeftButton, {}, head);
        QCOMPARE(w->Editor()->Selection().size(), size_t(1));
        QCOMPARE(int(w->Editor()->Selection().front().event->GetData1()), 48);
        // Shift adds the G above.
        const QPoint g(head.x(), int(staff->YOfStep(gui::SpellKey(67, staff->Signature()).step)));
        QTest::mouseClick(staff, Qt::LeftButton, Qt::ShiftModifier, g);
        QCOMPARE(w->Editor()->Selection().size(), size_t(2));
        // The picture shows the selection in the highlight colour at the head.
        const QImage image = staff->grab().toImage();
        const QColor at = image.pixelColor(head * image.devicePixelRatio());
        QCOMPARE(at, staff->palette().color(QPalette::Highlight));
        // An empty place empties the selection.
        QTest::mouseClick(staff, Qt::LeftButton, {}, QPoint(staff->width() - 5, 5));
        QVERIFY(w->Editor()->Selection().empty());
    }
};

QTEST_MAIN(StaffViewTest)
#include "staff_view_test.moc"
