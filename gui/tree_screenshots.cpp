// The tree editor's pictures for scripts/screenshots (see gui/screenshots.h): the demo tree in
// its window, a pick pending, the context menu, the type choice, a parameter dialog of each
// family, and both graph windows.
#include "documents/node_graph.h"
#include "documents/tree_document.h"
#include "editing/tree_editor.h"
#include "gui/graph_window.h"
#include "gui/main_window.h"
#include "gui/param_dialog.h"
#include "gui/shell.h"
#include "gui/tree_view.h"
#include "gui/tree_window.h"
#include "gui/type_choice_dialog.h"
#include "tree/registry.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QTabWidget>

#include <functional>
#include <set>

namespace gui {

namespace {

void Settle(int ms) {
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (t.elapsed() < ms);
}

} // namespace

int TakeTreeEditorScreenshots(Shell& shell, const QString& dir) {
    MainWindow* main = shell.Window();
    if (!main) return 0;
    int written = 0;
    auto shoot = [&](QWidget* w, const QString& name) {
        Settle(50);
        if (w->grab().save(dir + QLatin1Char('/') + name + QStringLiteral(".png"))) ++written;
    };
    auto shootShown = [&](QWidget* w, const QString& name) {
        w->show();
        shoot(w, name);
        w->hide();
    };

    TreeWindow* tree = nullptr;
    QMdiSubWindow* sub = nullptr;
    for (QMdiSubWindow* s : main->DocumentArea()->subWindowList()) {
        if (auto* t = qobject_cast<TreeWindow*>(s->widget())) {
            tree = t;
            sub = s;
        }
    }
    if (!tree) return 0;
    main->DocumentArea()->setActiveSubWindow(sub);
    sub->showMaximized();
    Settle(300);
    TreeEditor& editor = tree->Editor();
    Root& root = tree->Tree().GetRoot();
    while (tree->Tree().IsSolving()) tree->Tree().OnIdle();
    tree->Strip()->Reload();
    editor.Select(root.childOne->childOne, false);
    shoot(main, QStringLiteral("tree-editor"));

    // A pick pending: the prompt under the tree and the picker outlined.
    ProtoType* every = root.childOne->childOne;
    tree->Tree().SetPickMode(1, every);
    tree->Refresh();
    shoot(tree, QStringLiteral("tree-pick"));
    editor.CancelPick();
    tree->Refresh();

    std::unique_ptr<QMenu> menu = tree->MakeContextMenu(every);
    menu->popup(tree->mapToGlobal(QPoint(40, 40)));
    shoot(menu.get(), QStringLiteral("tree-context-menu"));
    menu->hide();

    TypeChoiceDialog choice(main);
    shootShown(&choice, QStringLiteral("type-choice"));
    choice.SetFilter(QStringLiteral("arp"));
    shootShown(&choice, QStringLiteral("type-choice-filtered"));

    // A parameter dialog of each family in the tree, and the common page once.
    std::set<std::string> families;
    std::function<void(ProtoType*)> walk = [&](ProtoType* n) {
        if (!n) return;
        const NodeFactoryEntry* entry = FindNodeType(n->TypeName());
        const std::string family = entry ? entry->info->family : "";
        if (!family.empty() && families.insert(family).second) {
            ParamsDialog d(n->GetParamTable(), editor.ParamsDialogFor(n),
                           QString::fromStdString(n->TypeName()), main);
            shootShown(&d, QStringLiteral("params-") + QString::fromStdString(family));
            if (families.size() == 1) {
                d.Pages()->setCurrentIndex(0);
                shootShown(&d, QStringLiteral("params-common"));
            }
        }
        walk(n->GetInnerChild(1));
        walk(n->GetInnerChild(2));
    };
    walk(&root);

    // The event graph of the arpeggio and the sampled graph of its rate.
    ProtoType* arp = every->childTwo;
    GraphWindow events(GraphNode(*arp, 0));
    events.resize(events.sizeHint());
    shootShown(&events, QStringLiteral("graph-events"));
    GraphWindow sampled(GraphNode(*every->childOne, kSampledGraphStep));
    sampled.resize(sampled.sizeHint());
    shootShown(&sampled, QStringLiteral("graph-sampled"));
    sub->showNormal();
    return written;
}

} // namespace gui
