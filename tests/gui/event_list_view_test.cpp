// The event list: one row per event of every kind, edits in place as the model's undoable Edit
// Event steps (refusals shown as the model's messages), and the selection shared with the model.
#include "editor_test_util.h"

#include "gui/event_list_view.h"
#include "platform/user_messages.h"

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QTabWidget>
#include <QTableView>

using guitest::Dump;
using guitest::ShellFixture;

namespace {

struct List {
    ShellFixture f;
    CAmpDoc* doc = nullptr;
    gui::NoteEditorWindow* window = nullptr;
    gui::EventListModel* model = nullptr;

    List() {
        f.Setting(app::kSectionBehavior, "NewDocument", "0");
        f.Start({});
        CSELDoc list;
        list.OnNewDocument();
        list.SetUnitsPerBeat(480);
        CEventTree& events = list.GetEvents();
        events.Add(new EventMidi(0, 0x00, 0x07, 0xA1, 0, 0x20)); // tempo 500000 us: 120 bpm
        events.Add(new EventMidi(240, 0xB2, 7, 100));            // volume on channel 3
        events.Add(new EventMidi(480, 0xF0, 0xF0, 0));           // system exclusive: 43 10 F7
        events.Add(new EventMidi(480, 0xF0, 0x43, 0));
        events.Add(new EventMidi(480, 0xF0, 0x10, 0));
        events.Add(new EventMidi(480, 0xF0, 0xF7, 0));
        events.Add(new EventMidi(960, 0x90, 60, 90, 480));
        const std::string path = f.Path("list.sel");
        list.OnSaveDocument(path);
        window = guitest::OpenNotes(f, path, &doc);
        if (!window) return;
        window->Tabs()->setCurrentWidget(window->List());
        model = window->List()->Model();
    }
    CChanDoc& Doc() { return static_cast<CChanDoc&>(*doc); }
    int RowOfKind(const QString& kind) {
        for (int r = 0; r < model->rowCount(); ++r)
            if (model->Text(r, gui::EventListModel::kKind) == kind) return r;
        return -1;
    }
    QString UndoText() {
        f.Window().UpdateCommands();
        return f.Action("editUndo")->text();
    }
};

} // namespace

class EventListViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void everyEventHasARowWithItsKindAndData() {
        List l;
        QVERIFY(l.window);
        QAbstractItemModelTester tester(l.model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(l.model->rowCount(), int(Dump(l.Doc()).size()));
        const int tempo = l.RowOfKind(QStringLiteral("Tempo"));
        QVERIFY(tempo >= 0);
        QCOMPARE(l.model->Text(tempo, gui::EventListModel::kData1), QStringLiteral("120 bpm"));
        const int volume = l.RowOfKind(QStringLiteral("Controller"));
        QCOMPARE(l.model->Text(volume, gui::EventListModel::kChannel), QStringLiteral("3"));
        QCOMPARE(l.model->Text(volume, gui::EventListModel::kData1), QStringLiteral("7"));
        QCOMPARE(l.model->Text(volume, gui::EventListModel::kTime), QStringLiteral("0.500"));
        const int sysex = l.RowOfKind(QStringLiteral("SysEx"));
        QCOMPARE(l.model->Text(sysex, gui::EventListModel::kData1), QStringLiteral("43 10"));
        const int note = l.RowOfKind(QStringLiteral("Note"));
        QCOMPARE(l.model->Text(note, gui::EventListModel::kData1), QStringLiteral("C4 (60)"));
        QCOMPARE(l.model->Text(note, gui::EventListModel::kDuration), QStringLiteral("1.000"));
    }

    void cellsEditInPlaceAsUndoableSteps() {
        List l;
        QVERIFY(l.window);
        const auto original = Dump(l.Doc());
        const int note = l.RowOfKind(QStringLiteral("Note"));
        QVERIFY(l.model->setData(l.model->index(note, gui::EventListModel::kTime),
                                 QStringLiteral("3.5"), Qt::EditRole));
        QCOMPARE(l.UndoText(), QStringLiteral("&Undo Edit Event"));
        bool moved = false;
        for (const auto& row : Dump(l.Doc()))
            moved |= std::get<1>(row) == 1680 && std::get<3>(row) == 60;
        QVERIFY(moved);
        // By name, and the velocity.
        const int again = l.RowOfKind(QStringLiteral("Note"));
        QVERIFY(l.model->SetText(again, gui::EventListModel::kData1, QStringLiteral("D#5")));
        QVERIFY(l.model->SetText(l.RowOfKind(QStringLiteral("Note")), gui::EventListModel::kData2,
                                 QStringLiteral("33")));
        // The tempo in beats per minute, and the system-exclusive bytes.
        QVERIFY(l.model->SetText(l.RowOfKind(QStringLiteral("Tempo")), gui::EventListModel::kData1,
                                 QStringLiteral("60")));
        QCOMPARE(l.model->Text(l.RowOfKind(QStringLiteral("Tempo")), gui::EventListModel::kData1),
                 QStringLiteral("60 bpm"));
        QVERIFY(l.model->SetText(l.RowOfKind(QStringLiteral("SysEx")), gui::EventListModel::kData1,
                                 QStringLiteral("7E 7F 09 01")));
        QCOMPARE(l.model->Text(l.RowOfKind(QStringLiteral("SysEx")), gui::EventListModel::kData1),
                 QStringLiteral("7E 7F 09 01"));
        // A controller made a program change.
        QVERIFY(l.model->SetText(l.RowOfKind(QStringLiteral("Controller")),
                                 gui::EventListModel::kKind, QStringLiteral("program")));
        QVERIFY(l.RowOfKind(QStringLiteral("Program")) >= 0);
        for (int i = 0; i < 7; ++i) l.f.Action("editUndo")->trigger();
        QVERIFY(Dump(l.Doc()) == original);
    }

    void refusedValuesChangeNothing() {
        platform::ScopedRecordingMessages messages;
        List l;
        QVERIFY(l.window);
        const auto original = Dump(l.Doc());
        const int note = l.RowOfKind(QStringLiteral("Note"));
        QVERIFY(!l.model->SetText(note, gui::EventListModel::kData2, QStringLiteral("0")));
        QVERIFY(!l.model->SetText(note, gui::EventListModel::kData1, QStringLiteral("200")));
        QVERIFY(!l.model->SetText(note, gui::EventListModel::kTime, QStringLiteral("soon")));
        QVERIFY(!l.model->SetText(l.RowOfKind(QStringLiteral("SysEx")), gui::EventListModel::kData1,
                                  QStringLiteral("80")));
        QVERIFY(Dump(l.Doc()) == original);
        QCOMPARE(messages.Shown().size(), size_t(3));
        QCOMPARE(QString::fromStdString(messages.Shown()[0]),
                 QString::fromLatin1(editing::kVelocityMessage));
    }

    void rowsAndTheModelShareTheSelection() {
        List l;
        QVERIFY(l.window);
        QTableView* table = l.window->List()->Table();
        const int note = l.RowOfKind(QStringLiteral("Note"));
        table->selectRow(note);
        QCOMPARE(l.window->Editor()->Selection().size(), size_t(1));
        QVERIFY(l.window->Editor()->Selection().front().event->IsNoteOn());
        // A selection made in the model selects the rows.
        l.window->Editor()->SelectRect(0, UINT32_MAX, 0, 127, editing::SelectMode::Replace);
        QCOMPARE(table->selectionModel()->selectedRows().size(), 1);
        l.window->Editor()->ClearSelection();
        QCOMPARE(table->selectionModel()->selectedRows().size(), 0);
    }

    void removeTempoAndFindNextNonNote() {
        List l;
        QVERIFY(l.window);
        l.window->Action(QStringLiteral("noteFindNonNote"))->trigger();
        QCOMPARE(l.window->Editor()->Selection().size(), size_t(1));
        QVERIFY(!l.window->Editor()->Selection().front().event->IsNoteOn());
        l.window->Action(QStringLiteral("noteRemoveTempo"))->trigger();
        QCOMPARE(l.RowOfKind(QStringLiteral("Tempo")), -1);
        QCOMPARE(l.UndoText(), QStringLiteral("&Undo Remove Tempo Changes"));
        l.f.Action("editUndo")->trigger();
        QVERIFY(l.RowOfKind(QStringLiteral("Tempo")) >= 0);
    }
};

QTEST_MAIN(EventListViewTest)
#include "event_list_view_test.moc"
