// The tree editor's window: the demo tree built from an empty document by its commands and
// dialogs only, saved, re-opened and compared with the demo file the examples program makes;
// each dialog edit undone and redone through the Edit menu; the view's hit test against where
// the view draws each node; a pick cancelled with Escape; the type choice's filter.
#include "gui_test_util.h"

#include "editing/tree_commands.h"
#include "editing/tree_editor.h"
#include "gui/param_dialog.h"
#include "gui/tree_view.h"
#include "gui/tree_window.h"
#include "gui/type_choice_dialog.h"
#include "nodes/control.h"
#include "platform/user_messages.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollBar>

#include <functional>

using guitest::ShellFixture;

namespace {

gui::TreeWindow* TreeWindowOf(ShellFixture& f) {
    CAmpDoc* doc = f.Window().ActiveDocument();
    return doc ? qobject_cast<gui::TreeWindow*>(f.Window().WindowOf(doc)) : nullptr;
}

// Defines the Null through "Add new node...": types the filter into the type choice, picks the
// name when the filter's first match is another, and presses Enter.
bool DefineByDialog(gui::TreeWindow& w, ProtoType* null, const QString& filter,
                    const QString& type) {
    guitest::AnswerNextModal([filter, type](QWidget* modal) {
        auto* dialog = qobject_cast<gui::TypeChoiceDialog*>(modal);
        if (!dialog) return modal->close(), void();
        auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("functionFilter"));
        QTest::keyClicks(edit, filter);
        if (dialog->Chosen() != type) dialog->ChooseName(type);
        QTest::keyClick(edit, Qt::Key_Return);
    });
    return w.RunEntry(null, TreeMenuAction::AddNewNode); // the Null is gone now
}

using Fill = std::function<void(gui::ParamsDialog&)>;

// "Define Node" on the node, the dialog filled by `fill` and confirmed (or cancelled).
bool EditByDialog(gui::TreeWindow& w, ProtoType* node, Fill fill, bool ok = true) {
    guitest::AnswerNextModal([fill, ok](QWidget* modal) {
        auto* dialog = qobject_cast<gui::ParamsDialog*>(modal);
        if (!dialog) return modal->close(), void();
        fill(*dialog);
        ok ? dialog->accept() : dialog->reject();
    });
    return w.RunEntry(node, TreeMenuAction::DefineNode);
}

// A number box set to the value the node stores (seconds boxes take seconds).
Fill Number(const char* key, double value) {
    return [key, value](gui::ParamsDialog& d) {
        QWidget* control = d.Control(QString::fromUtf8(key));
        if (auto* list = qobject_cast<QComboBox*>(control)) { // a list of named numbers
            const int i = list->findData(int(value));
            QVERIFY2(i >= 0, key);
            list->setCurrentIndex(i);
            return;
        }
        auto* box = qobject_cast<QDoubleSpinBox*>(control);
        QVERIFY2(box, key);
        box->setValue(box->suffix().isEmpty() ? value : value * 0.001);
    };
}
Fill ListText(const char* key, const char* text) {
    return [key, text](gui::ParamsDialog& d) {
        auto* box = qobject_cast<QComboBox*>(d.Control(QString::fromUtf8(key)));
        QVERIFY2(box, key);
        const int i = box->findText(QString::fromUtf8(text));
        QVERIFY2(i >= 0, text);
        box->setCurrentIndex(i);
    };
}
Fill ListValue(const char* key, int value) {
    return [key, value](gui::ParamsDialog& d) {
        auto* box = qobject_cast<QComboBox*>(d.Control(QString::fromUtf8(key)));
        QVERIFY2(box, key);
        const int i = box->findData(value);
        QVERIFY2(i >= 0, key);
        box->setCurrentIndex(i);
    };
}
Fill All(std::vector<Fill> fills) {
    return [fills](gui::ParamsDialog& d) {
        for (const Fill& f : fills) f(d);
    };
}

std::string DemoFolder(ShellFixture& f) {
    const QString maker = QStringLiteral(DENDRA_BINARY_DIR "/examples/dendra-make-examples");
    QDir().mkpath(QString::fromStdString(f.Path("examples")));
    QProcess p;
    p.start(maker, {QString::fromStdString(f.Path("examples"))});
    p.waitForFinished(60000);
    return f.Path("examples");
}

// The steps that build the demo tree (the examples program's) in an empty tree document.
void BuildDemo(gui::TreeWindow& w) {
    CDendraDoc& doc = w.Tree();
    Root& root = doc.GetRoot();
    QVERIFY(EditByDialog(w, &root, Number("duration", 16000)));
    QCOMPARE(root.duration, 16000u);
    QVERIFY(w.RunEntry(&root, TreeMenuAction::AlignTimes));

    QVERIFY(DefineByDialog(w, root.childOne, QStringLiteral("and"), QStringLiteral("And")));
    ProtoType* both = root.childOne;
    QVERIFY(DefineByDialog(w, both->childOne, QStringLiteral("every"), QStringLiteral("Every")));
    ProtoType* every = both->childOne;
    QVERIFY(
        DefineByDialog(w, every->childOne, QStringLiteral("const"), QStringLiteral("Constant")));
    QVERIFY(EditByDialog(w, every->childOne, Number("value", 500)));
    // "arp" and Enter: the filter's first name.
    QVERIFY(DefineByDialog(w, every->childTwo, QStringLiteral("arp"), QString()));
    ProtoType* arp = every->childTwo;
    QCOMPARE(arp->TypeName(), std::string("Arpeggiate"));
    QVERIFY(
        DefineByDialog(w, arp->childOne, QStringLiteral("chord"), QStringLiteral("ChordBuilder")));
    ProtoType* chord = arp->childOne;
    QVERIFY(EditByDialog(w, chord, ListText("chordType", "Minor")));
    QVERIFY(DefineByDialog(w, chord->childOne, QStringLiteral("scale"), QStringLiteral("Scale")));
    ProtoType* scale = chord->childOne;
    QVERIFY(EditByDialog(w, scale,
                         All({ListValue("key", 0), ListText("scaleName", "Aeolian"),
                              ListText("fitName", "Push Up")})));
    QVERIFY(
        DefineByDialog(w, scale->childOne, QStringLiteral("midinote"), QStringLiteral("MidiNote")));
    QVERIFY(
        EditByDialog(w, scale->childOne, All({Number("pitch", 57), Number("noteDuration", 400)})));

    QVERIFY(DefineByDialog(w, both->childTwo, QStringLiteral("every"), QStringLiteral("Every")));
    ProtoType* pulse = both->childTwo;
    QVERIFY(
        DefineByDialog(w, pulse->childOne, QStringLiteral("const"), QStringLiteral("Constant")));
    QVERIFY(EditByDialog(w, pulse->childOne, Number("value", 250)));
    QVERIFY(
        DefineByDialog(w, pulse->childTwo, QStringLiteral("drum"), QStringLiteral("MidiDrumNote")));
    QVERIFY(EditByDialog(
        w, pulse->childTwo,
        All({Number("pitch", 42), Number("velocity", 70), Number("noteDuration", 100)})));

    guitest::AnswerNextModal([](QWidget* modal) {
        auto* text = modal->findChild<QPlainTextEdit*>(QStringLiteral("comments"));
        if (text) text->setPlainText(QStringLiteral("A minor arpeggio over a hi-hat pulse."));
        static_cast<QDialog*>(modal)->accept();
    });
    w.Command("treeComments")->trigger();
    QCOMPARE(doc.GetComments(), std::string("A minor arpeggio over a hi-hat pulse."));
}

std::vector<uint8_t> TreeBytes(CDendraDoc& doc) {
    return SaveSubtree(doc.GetRoot());
}

} // namespace

class TreeEditorTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void theDemoTreeBuiltByCommandsSavesAsTheExamplesProgramMakesIt() {
        ShellFixture f;
        const std::string demo = DemoFolder(f) + "/demo.dra";
        CDendraDoc expected;
        QVERIFY(expected.OnOpenDocument(demo));

        const std::string path = f.MakeTree("built.dra");
        QCOMPARE(f.Start({path}), app::StartResult::kStarted);
        gui::TreeWindow* w = TreeWindowOf(f);
        QVERIFY(w);
        BuildDemo(*w);
        if (QTest::currentTestFailed()) return;
        QVERIFY(f.Window().SaveDocument(&w->Tree()));

        CDendraDoc reopened;
        QVERIFY(reopened.OnOpenDocument(path));
        QCOMPARE(TreeBytes(reopened), TreeBytes(expected));
        QCOMPARE(reopened.GetComments(), expected.GetComments());
    }

    void everyDialogEditIsOneStepUndoneAndRedoneThroughTheEditMenu() {
        ShellFixture f;
        QCOMPARE(f.Start({f.MakeTree("steps.dra")}), app::StartResult::kStarted);
        gui::TreeWindow* w = TreeWindowOf(f);
        QVERIFY(w);
        CDendraDoc& doc = w->Tree();
        const std::vector<uint8_t> empty = TreeBytes(doc);
        BuildDemo(*w);
        if (QTest::currentTestFailed()) return;
        const std::vector<uint8_t> built = TreeBytes(doc);

        QAction* undo = f.Action("editUndo");
        QAction* redo = f.Action("editRedo");
        f.Window().UpdateCommands();
        QCOMPARE(undo->text(), QStringLiteral("&Undo Comments"));
        undo->trigger();
        f.Window().UpdateCommands();
        QCOMPARE(undo->text(), QStringLiteral("&Undo Edit MidiDrumNote"));
        QCOMPARE(redo->text(), QStringLiteral("&Redo Comments"));

        // A cancelled dialog adds no step.
        ProtoType* drum = doc.GetRoot().childOne->childTwo->childTwo;
        QVERIFY(!EditByDialog(*w, drum, Number("pitch", 50), false));
        f.Window().UpdateCommands();
        QCOMPARE(undo->text(), QStringLiteral("&Undo Edit MidiDrumNote"));

        int steps = 1;
        while (undo->isEnabled()) {
            undo->trigger();
            f.Window().UpdateCommands();
            ++steps;
        }
        QCOMPARE(steps, 19);
        QVERIFY(TreeBytes(doc) == empty);
        QVERIFY(!doc.IsModified());
        while (redo->isEnabled()) {
            redo->trigger();
            f.Window().UpdateCommands();
        }
        QVERIFY(TreeBytes(doc) == built);
        QCOMPARE(doc.GetComments(), std::string("A minor arpeggio over a hi-hat pulse."));
    }

    void theHitTestFindsEachNodeWhereTheViewDrawsIt() {
        ShellFixture f;
        const std::string demo = DemoFolder(f) + "/demo.dra";
        QCOMPARE(f.Start({demo}), app::StartResult::kStarted);
        gui::TreeWindow* w = TreeWindowOf(f);
        QVERIFY(w);
        gui::TreeView* view = w->View();
        view->resize(900, 640);
        QApplication::processEvents();
        TreeEditor& e = w->Editor();

        std::vector<ProtoType*> nodes;
        std::function<void(ProtoType*)> walk = [&](ProtoType* n) {
            if (!n) return;
            nodes.push_back(n);
            walk(n->GetInnerChild(1));
            walk(n->GetInnerChild(2));
        };
        walk(&w->Tree().GetRoot());
        QCOMPARE(int(nodes.size()), 11);

        int checked = 0;
        for (int rows : {3, 4, 7}) {
            view->SetRows(rows);
            for (double zoom : {1.0, 2.5, 8.0}) {
                view->SetZoom(zoom, QPoint(300, 10));
                for (int scrollY : {0, view->RowHeight()}) {
                    view->verticalScrollBar()->setValue(scrollY);
                    const TreeViewGeometry g = view->Geometry();
                    for (ProtoType* n : nodes) {
                        const QRect r = view->NodeRect(n);
                        if (r.isNull() || !view->viewport()->rect().contains(r.center())) continue;
                        QCOMPARE(e.HitTest(r.center().x(), r.center().y(), g), n);
                        QCOMPARE(e.HitTest(r.left() + 1, r.bottom() - 1, g), n);
                        ++checked;
                    }
                    // Every point of the view names the node whose span holds it, or none.
                    for (int y = 0; y < view->viewport()->height(); y += 23) {
                        for (int x = 0; x < view->viewport()->width(); x += 31) {
                            ProtoType* hit = e.HitTest(x, y, g);
                            if (!hit) continue;
                            const QRect r = view->NodeRect(hit);
                            QVERIFY(!r.isNull());
                            const int rowTop =
                                (y + g.scrollY) / view->RowHeight() * view->RowHeight() - g.scrollY;
                            QVERIFY(r.top() >= rowTop && r.top() < rowTop + view->RowHeight());
                        }
                    }
                }
            }
        }
        QVERIFY(checked > 60);

        // A click selects the node the model names; a double click makes it the top node.
        view->SetRows(4);
        view->ZoomToFit();
        view->verticalScrollBar()->setValue(0);
        ProtoType* every = w->Tree().GetRoot().childOne->childOne;
        const QPoint at = view->NodeRect(every).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(e.Selected(), every);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(e.Top(), every);
        QVERIFY(view->NodeRect(every).top() < view->RowHeight()); // drawn in the first row
        QVERIFY(view->NodeRect(&w->Tree().GetRoot()).isNull());
        // Keys: Up climbs to the parent above the top node, which becomes the top node.
        view->setFocus();
        QTest::keyClick(view, Qt::Key_Up);
        QCOMPARE(e.Selected(), w->Tree().GetRoot().childOne);
        QCOMPARE(e.Top(), w->Tree().GetRoot().childOne);
        QTest::keyClick(view, Qt::Key_Right);
        QCOMPARE(e.Selected(), w->Tree().GetRoot().childOne->childTwo);
        QTest::keyClick(view, Qt::Key_Home);
        QCOMPARE(e.Selected(), static_cast<ProtoType*>(&w->Tree().GetRoot()));
    }

    void escapeCancelsAPendingPickAndARightClickCompletesOne() {
        ShellFixture f;
        const std::string demo = DemoFolder(f) + "/demo.dra";
        QCOMPARE(f.Start({demo}), app::StartResult::kStarted);
        gui::TreeWindow* w = TreeWindowOf(f);
        QVERIFY(w);
        w->View()->resize(900, 640);
        QApplication::processEvents();
        platform::ScopedRecordingMessages messages;
        CDendraDoc& doc = w->Tree();
        const std::vector<uint8_t> before = TreeBytes(doc);
        ProtoType* every = doc.GetRoot().childOne->childOne;

        messages.QueueAnswer(platform::Answer::Ok);
        std::unique_ptr<QMenu> menu = w->MakeContextMenu(every);
        QAction* accrete = menu->findChild<QAction*>(QStringLiteral("menuMakeAccretion"));
        QVERIFY(accrete);
        accrete->trigger();
        QCOMPARE(w->Editor().PickMode(), 1);
        QVERIFY(w->PickBar()->isVisibleTo(w));
        QCOMPARE(w->PickBar()->text(), QString::fromUtf8(kAccretionQuestion));
        QCOMPARE(w->View()->viewport()->cursor().shape(), Qt::CrossCursor);
        QVERIFY(!w->Command("treeCut")->isEnabled());

        w->View()->setFocus();
        QTest::keyClick(w->View(), Qt::Key_Escape);
        QCOMPARE(w->Editor().PickMode(), 0);
        QVERIFY(!w->PickBar()->isVisibleTo(w));
        QCOMPARE(w->View()->viewport()->cursor().shape(), Qt::ArrowCursor);
        QVERIFY(TreeBytes(doc) == before);
        QVERIFY(!doc.History().CanUndo());

        // Again, completed by a right click on the branch to leave out.
        messages.QueueAnswer(platform::Answer::Ok);
        w->RunEntry(every, TreeMenuAction::MakeAccretion);
        QCOMPARE(w->Editor().PickMode(), 1);
        ProtoType* constant = every->childOne;
        const QRect r = w->View()->NodeRect(constant);
        QVERIFY(!r.isNull());
        QTest::mouseClick(w->View()->viewport(), Qt::RightButton, {}, r.center());
        QCOMPARE(w->Editor().PickMode(), 0);
        QCOMPARE(doc.GetRoot().childOne->childOne->TypeName(), std::string("Accrete"));
        QCOMPARE(doc.History().UndoLabel(), std::string("Make Accretion"));
    }

    void theTypeChoiceFilterNarrowsTheListAndShowsTheTypesText() {
        gui::TypeChoiceDialog d;
        const QStringList all = d.Shown();
        QVERIFY(all.size() > 30);
        d.SetFilter(QStringLiteral("note"));
        const QStringList notes = d.Shown();
        QVERIFY(!notes.isEmpty() && notes.size() < all.size());
        for (const QString& n : notes)
            QVERIFY(n.contains(QStringLiteral("note"), Qt::CaseInsensitive));
        d.SetFilter(QStringLiteral("ARP"));
        QCOMPARE(d.Chosen(), QStringLiteral("Arpeggiate"));
        QVERIFY(!d.findChild<QLabel*>(QStringLiteral("functionInfo"))->text().isEmpty());
        QCOMPARE(d.findChild<QLabel*>(QStringLiteral("functionInfo"))->text(),
                 gui::TypeChoiceDialog::InfoOf(QStringLiteral("Arpeggiate")));
        d.SetFilter(QStringLiteral("zzzz"));
        QVERIFY(d.Shown().isEmpty());
        QCOMPARE(d.Chosen(), QString());
        d.SetFilter(QString());
        d.ChooseFamily(2);
        QVERIFY(d.Shown().size() < all.size());
    }
};

QTEST_MAIN(TreeEditorTest)
#include "tree_editor_test.moc"
