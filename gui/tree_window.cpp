#include "gui/tree_window.h"

#include "documents/event_list_document.h"
#include "documents/tree_document.h"
#include "documents/undo_stack.h"
#include "editing/tree_editor.h"
#include "events/event_tree.h"
#include "events/song_event.h"
#include "gui/graph_window.h"
#include "gui/param_dialog.h"
#include "gui/shell.h"
#include "gui/tree_view.h"
#include "gui/type_choice_dialog.h"

#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <initializer_list>

namespace gui {

namespace {

// How often the strip looks for new chunks while the tree solves.
constexpr int kSolveWatchMs = 40;

// A change of the document outside the tree (an option, the comments) as one undo step.
class DocumentValueCommand : public Command {
public:
    DocumentValueCommand(std::string label, std::function<void(bool after)> set)
        : label_(std::move(label)), set_(std::move(set)) {}
    std::string Label() const override { return label_; }
    bool Do() override {
        set_(true);
        return true;
    }
    bool Undo() override {
        set_(false);
        return true;
    }

private:
    std::string label_;
    std::function<void(bool)> set_;
};

const char* MenuName(TreeMenuAction a) {
    switch (a) {
    case TreeMenuAction::AddNewNode:
        return "menuAddNewNode";
    case TreeMenuAction::DefineNode:
        return "menuDefineNode";
    case TreeMenuAction::GraphNode:
        return "menuGraphNode";
    case TreeMenuAction::Separator:
        return "";
    case TreeMenuAction::Special1:
        return "menuSpecial1";
    case TreeMenuAction::Special2:
        return "menuSpecial2";
    case TreeMenuAction::MakeAccretion:
        return "menuMakeAccretion";
    case TreeMenuAction::AlignTimes:
        return "menuAlignTimes";
    }
    return "";
}

struct TreeCommand {
    const char* name;
    const char* text;
    const char* tip;
    const char* shortcut;
};

const TreeCommand kTreeCommands[] = {
    {"treeDefine", "Define Node", "Add A Function to selected NULL node.", "Return"},
    {"treeGraph", "Graph Node", "Show what the selected node yields.", nullptr},
    {"treeCut", "Cut", "Cut the selection and put it on the Clipboard", "Ctrl+X"},
    {"treeCopy", "Copy", "Copy the selection and put it on the Clipboard", "Ctrl+C"},
    {"treePaste", "Paste", "Insert Clipboard contents", "Ctrl+V"},
    {"treeDelete", "Delete", "Erase the selection", "Del"},
    {"treeRoot", "Root", "Select the Root and show the tree from it.", nullptr},
    {"treeParent", "Parent", "Select the parent of the selected node.", nullptr},
    {"treeLeft", "Left", "Select the left branch of the selected node.", nullptr},
    {"treeRight", "Right", "Select the right branch of the selected node.", nullptr},
    {"treeRows", "Rows...", "Set the number of rows, etc.", nullptr},
    {"treeZoomFit", "Fit", "Show the whole width of the tree.", "Ctrl+0"},
    {"treeCancelPick", "Cancel Pick", "Cancel the pending pick.", "Esc"},
    {"treeSolve", "Solve", "Solve the tree in the background.", nullptr},
    {"treeStopSolve", "Stop Solve", "Stop solving the tree.", nullptr},
    {"treePlay", "Play", "Play the tree.", nullptr},
    {"treeStop", "Stop", "Stop playing.", nullptr},
    {"treeSaveGenerated", "Save Generated Material", "Save the solution with the tree.", nullptr},
    {"treeSolvable", "Make the Tree solvable", "Let the tree be solved.", nullptr},
    {"treeComments", "Comments...", "Edit the comments of the tree.", nullptr},
};

} // namespace

// ---- SolutionStrip ----

SolutionStrip::SolutionStrip(CDendraDoc& doc, QWidget* parent) : QWidget(parent), doc_(doc) {
    setObjectName(QStringLiteral("solutionStrip"));
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    Reload();
}

QSize SolutionStrip::sizeHint() const {
    return QSize(fontMetrics().averageCharWidth() * 60, fontMetrics().height() * 7);
}

QSize SolutionStrip::minimumSizeHint() const {
    return QSize(fontMetrics().averageCharWidth() * 10, fontMetrics().height() * 3);
}

void SolutionStrip::Reload() {
    notes_.clear();
    otherTimes_.clear();
    others_ = 0;
    CEventTree& events = doc_.Solution();
    int low = 128, high = -1;
    for (SongEvent* e = events.First(); e; e = events.Next()) {
        if (e->IsNote()) {
            const int pitch = e->GetData1();
            notes_.push_back({e->time, e->GetDuration(), pitch});
            low = std::min(low, pitch);
            high = std::max(high, pitch);
        } else {
            otherTimes_.push_back(e->time);
            ++others_;
        }
    }
    if (high < 0) low = 60, high = 72;
    low_ = std::max(0, low - 1);
    high_ = std::min(127, high + 1);
    end_ = std::max<uint32_t>(1, doc_.GetRoot().duration);
    update();
}

void SolutionStrip::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QFontMetrics fm = fontMetrics();
    const QRect area = rect().adjusted(2, 2, -2, -2 - fm.height());
    const double xScale = double(area.width()) / end_;
    const int pitches = high_ - low_ + 1;
    const double rowH = double(area.height()) / pitches;

    // Beat lines (the tree counts a thousand units a beat).
    const QColor grid = palette().color(QPalette::Midlight);
    const int beats = int(end_ / 1000);
    const int every = std::max(1, beats / std::max(1, area.width() / (fm.averageCharWidth() * 6)));
    for (int b = 0; b <= beats; b += every) {
        const int x = area.left() + int(b * 1000 * xScale);
        p.setPen(QPen(grid, 0));
        p.drawLine(x, area.top(), x, area.bottom());
        p.setPen(palette().color(QPalette::PlaceholderText));
        p.drawText(QRect(x + 2, area.bottom() + 1, fm.averageCharWidth() * 6, fm.height()),
                   Qt::AlignLeft, QString::number(b));
    }

    const QColor ink = palette().color(QPalette::Highlight);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    for (const Note& n : notes_) {
        const double x = area.left() + n.time * xScale;
        const double w = std::max(1.5, n.duration * xScale);
        const double y = area.top() + (high_ - n.pitch) * rowH;
        p.drawRect(QRectF(x, y, w, std::max(1.5, rowH - 0.5)));
    }
    p.setBrush(palette().color(QPalette::Text));
    for (uint32_t t : otherTimes_)
        p.drawRect(QRectF(area.left() + t * xScale, area.bottom() - 3, 1.5, 3));

    if (doc_.IsSolving()) {
        const double x = area.left() + doc_.Solver().Position() * xScale;
        p.setPen(QPen(QColor(0xd0, 0x30, 0x30), 0));
        p.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
    }
    p.setPen(palette().color(QPalette::PlaceholderText));
    const QString summary = doc_.IsSolving()
                                ? tr("Solving... %1 notes").arg(notes_.size())
                                : tr("%1 notes, %2 other events").arg(notes_.size()).arg(others_);
    // In the label row, over the last beat numbers, so that it never hides a note.
    const int w = fm.horizontalAdvance(summary) + fm.averageCharWidth() * 2;
    const QRect box(area.right() - w, area.bottom() + 1, w, fm.height());
    p.fillRect(box, palette().color(QPalette::Base));
    p.drawText(box, Qt::AlignRight | Qt::AlignVCenter, summary);
}

// ---- TreeWindow ----

TreeWindow::TreeWindow(CDendraDoc& doc, Shell& shell, QWidget* parent)
    : DocumentWindow(doc, kDocKindDendra, parent), tree_(doc), shell_(shell) {
    setObjectName(QStringLiteral("treeWindow"));
    editor_ = std::make_unique<TreeEditor>(doc);
    view_ = new TreeView(*editor_);
    strip_ = new SolutionStrip(doc);

    pickBar_ = new QWidget;
    pickBar_->setObjectName(QStringLiteral("pickBar"));
    pickPrompt_ = new QLabel;
    pickPrompt_->setObjectName(QStringLiteral("pickPrompt"));
    pickPrompt_->setWordWrap(true);
    auto* cancel = new QPushButton(tr("Cancel"));
    cancel->setObjectName(QStringLiteral("pickCancel"));
    auto* pickLayout = new QHBoxLayout(pickBar_);
    pickLayout->setContentsMargins(6, 2, 6, 2);
    pickLayout->addWidget(pickPrompt_, 1);
    pickLayout->addWidget(cancel);
    pickBar_->setAutoFillBackground(true);
    pickBar_->setBackgroundRole(QPalette::ToolTipBase);
    pickBar_->hide();
    connect(cancel, &QPushButton::clicked, this, [this] { editor_->CancelPick(); });

    MakeCommands();
    auto* bar = new QToolBar;
    bar->setObjectName(QStringLiteral("treeBar"));
    bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    for (const char* n : std::initializer_list<const char*>{
             "treeDefine", "treeGraph", nullptr, "treeCut", "treeCopy", "treePaste", "treeDelete",
             nullptr, "treeRoot", "treeParent", "treeLeft", "treeRight", nullptr, "treeRows",
             "treeZoomFit", nullptr, "treeSolve", "treePlay", "treeStop"}) {
        if (n)
            bar->addAction(Command(n));
        else
            bar->addSeparator();
    }
    auto* more = new QMenu(tr("Tree"), this);
    more->setObjectName(QStringLiteral("treeMenu"));
    for (const char* n :
         {"treeStopSolve", "treeSaveGenerated", "treeSolvable", "treeComments", "treeCancelPick"})
        more->addAction(Command(n));
    QAction* moreAction = bar->addAction(tr("More"));
    moreAction->setMenu(more);
    moreAction->setObjectName(QStringLiteral("treeMore"));
    connect(moreAction, &QAction::triggered, this, [more, bar, moreAction] {
        more->popup(bar->mapToGlobal(bar->actionGeometry(moreAction).bottomLeft()));
    });

    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(view_);
    split->addWidget(strip_);
    split->setStretchFactor(0, 4);
    split->setStretchFactor(1, 1);
    split->setChildrenCollapsible(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(split, 1);
    layout->addWidget(pickBar_);

    connect(view_, &TreeView::menuRequested, this, &TreeWindow::ShowMenu);
    connect(view_, &TreeView::activated, this, [this](ProtoType* n) { DefineOrAdd(n); });
    editor_->AddListener([this](long) { Changed(); });

    solveWatch_ = new QTimer(this);
    solveWatch_->setInterval(kSolveWatchMs);
    connect(solveWatch_, &QTimer::timeout, this, [this] {
        const bool solving = tree_.IsSolving();
        if (solving || wasSolving_) strip_->Reload();
        if (!solving && wasSolving_) Refresh();
        wasSolving_ = solving;
        if (!solving) solveWatch_->stop();
    });

    doc.onDisplayTree = [](CDendraDoc& d) {
        auto graph = std::make_unique<CSELDoc>();
        graph->OnNewDocument();
        graph->SetTitle(d.GetTitle());
        graph->ReplaceEvents(d.Solution());
        graph->SetModifiedFlag(false);
        (new GraphWindow(std::move(graph)))->show();
    };
    setFocusProxy(view_);
    Refresh();
    if (tree_.IsSolving()) solveWatch_->start();
}

TreeWindow::~TreeWindow() {
    Release();
}

void TreeWindow::Detach() {
    Release();
    DocumentWindow::Detach();
}

void TreeWindow::Release() {
    if (!editor_) return;
    solveWatch_->stop();
    for (QAction* a : actions()) a->setEnabled(false);
    if (Document()) tree_.onDisplayTree = nullptr;
    // The view listens to the editor, the strip reads the document.
    delete view_;
    view_ = nullptr;
    delete strip_;
    strip_ = nullptr;
    editor_.reset();
}

QAction* TreeWindow::Command(const char* name) const {
    return findChild<QAction*>(QString::fromUtf8(name));
}

void TreeWindow::MakeCommands() {
    for (const TreeCommand& c : kTreeCommands) {
        auto* a = new QAction(tr(c.text), this);
        a->setObjectName(QString::fromUtf8(c.name));
        a->setStatusTip(QString::fromUtf8(c.tip));
        a->setToolTip(QString::fromUtf8(c.tip));
        if (c.shortcut) {
            a->setShortcut(QKeySequence(QString::fromUtf8(c.shortcut)));
            a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        }
        addAction(a);
    }
    auto on = [this](const char* name, std::function<void()> f) {
        connect(Command(name), &QAction::triggered, this, [f = std::move(f)] { f(); });
    };
    TreeEditor* e = editor_.get();
    on("treeDefine", [this] { DefineOrAdd(editor_->Selected()); });
    on("treeGraph", [e] { e->GraphNode(e->Selected()); });
    on("treeCut", [e] { e->Cut(); });
    on("treeCopy", [this, e] {
        e->Copy();
        Refresh();
    });
    on("treePaste", [e] { e->Paste(); });
    on("treeDelete", [e] { e->Delete(); });
    on("treeRoot", [e] { e->GoToRoot(); });
    on("treeParent", [this, e] {
        e->GoToParent();
        if (view_->NodeRect(e->Selected()).isNull()) e->SetTop(e->Selected(), false);
    });
    on("treeLeft", [e] { e->GoToLeft(); });
    on("treeRight", [e] { e->GoToRight(); });
    on("treeRows", [this] {
        bool ok = false;
        const int rows = QInputDialog::getInt(this, tr("Rows"), tr("Set the number of rows, etc."),
                                              view_->Rows(), 1, TreeView::kMaxRows, 1, &ok);
        if (ok) view_->SetRows(rows);
    });
    on("treeZoomFit", [this] { view_->ZoomToFit(); });
    on("treeCancelPick", [e] { e->CancelPick(); });
    on("treeSolve", [this] {
        tree_.Solve();
        Changed();
    });
    on("treeStopSolve", [this] {
        tree_.StopSolve();
        Changed();
    });
    on("treePlay", [this] { shell_.Play(&tree_); });
    on("treeStop", [this] { shell_.Stop(); });
    Command("treeSaveGenerated")->setCheckable(true);
    Command("treeSolvable")->setCheckable(true);
    connect(Command("treeSaveGenerated"), &QAction::triggered, this,
            [this](bool on) { SetOption(true, on); });
    connect(Command("treeSolvable"), &QAction::triggered, this,
            [this](bool on) { SetOption(false, on); });
    on("treeComments", [this] { EditComments(); });
}

void TreeWindow::SetOption(bool saveGenerated, bool on) {
    bool& option = saveGenerated ? tree_.Options().saveGenerated : tree_.Options().solvable;
    if (option == on) return;
    CDendraDoc& doc = tree_;
    tree_.History().Push(std::make_unique<DocumentValueCommand>(
        saveGenerated ? "Save Generated Material" : "Make the Tree solvable",
        [&doc, &option, on](bool after) {
            option = after ? on : !on;
            doc.UpdateAllViews(nullptr, 0);
        }));
}

void TreeWindow::EditComments() {
    QDialog d(this);
    d.setObjectName(QStringLiteral("commentsDialog"));
    d.setWindowTitle(tr("Comments"));
    auto* text = new QPlainTextEdit(QString::fromStdString(tree_.GetComments()));
    text->setObjectName(QStringLiteral("comments"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
    auto* layout = new QVBoxLayout(&d);
    layout->addWidget(text);
    layout->addWidget(buttons);
    if (d.exec() != QDialog::Accepted) return;
    const std::string before = tree_.GetComments();
    const std::string after = text->toPlainText().toStdString();
    if (before == after) return;
    CDendraDoc& doc = tree_;
    tree_.History().Push(std::make_unique<DocumentValueCommand>(
        "Comments", [&doc, before, after](bool done) { doc.SetComments(done ? after : before); }));
}

std::unique_ptr<QMenu> TreeWindow::MakeContextMenu(ProtoType* node) {
    auto menu = std::make_unique<QMenu>();
    menu->setObjectName(QStringLiteral("treeContextMenu"));
    for (const TreeMenuEntry& entry : editor_->ContextMenu(node)) {
        if (entry.action == TreeMenuAction::Separator) {
            menu->addSeparator();
            continue;
        }
        QAction* a = menu->addAction(QString::fromStdString(entry.text));
        a->setObjectName(QString::fromUtf8(MenuName(entry.action)));
        const TreeMenuAction action = entry.action;
        connect(a, &QAction::triggered, this, [this, node, action] {
            // The node may have gone while the menu was open; the model refuses it then.
            RunEntry(node, action);
        });
    }
    return menu;
}

void TreeWindow::ShowMenu(ProtoType* node, QPoint global) {
    if (!node) return;
    std::unique_ptr<QMenu> menu = MakeContextMenu(node);
    if (menu->isEmpty()) return;
    menu->exec(global);
}

bool TreeWindow::RunEntry(ProtoType* node, TreeMenuAction action) {
    if (action == TreeMenuAction::AddNewNode) return AddNewNode(node);
    const bool done = editor_->RunMenuAction(node, action);
    Changed();
    return done;
}

bool TreeWindow::DefineOrAdd(ProtoType* node) {
    if (!node) return false;
    if (editor_->CanDefine(node)) return AddNewNode(node);
    return RunEntry(node, TreeMenuAction::DefineNode);
}

bool TreeWindow::AddNewNode(ProtoType* node) {
    if (!editor_->CanDefine(node)) return false;
    TypeChoiceDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted) return false;
    // The dialog ran an event loop: the node is looked for again by the model's rules.
    if (!editor_->CanDefine(node)) return false;
    bool done = false;
    if (dialog.FromFile()) {
        const QString file = QFileDialog::getOpenFileName(this, tr("Add From File"), QString(),
                                                          tr("Dendras (*.dra *.DRA)"));
        if (file.isEmpty() || !editor_->CanDefine(node)) return false;
        done = editor_->DefineFromFile(node, file.toStdString());
    } else {
        done = editor_->Define(node, dialog.Chosen().toStdString());
    }
    Changed();
    return done;
}

void TreeWindow::Changed() {
    if (!Document() || !editor_) return;
    if (tree_.IsSolving()) {
        shell_.KickIdle();
        if (!solveWatch_->isActive()) solveWatch_->start();
    }
    strip_->Reload();
    Refresh();
}

void TreeWindow::Refresh() {
    if (!Document() || !editor_) return;
    TreeEditor& e = *editor_;
    ProtoType* s = e.Selected();
    const bool picking = e.PickMode() != 0;
    Command("treeDefine")->setEnabled(s && !picking);
    Command("treeDefine")
        ->setText(s && e.CanDefine(s) ? QString::fromUtf8(kAddNewNodeText)
                                      : QString::fromUtf8(kDefineNodeText));
    Command("treeGraph")->setEnabled(s && !e.CanDefine(s) && !picking);
    Command("treeCut")->setEnabled(e.CanCut() && !picking);
    Command("treeCopy")->setEnabled(e.CanCopy() && !picking);
    Command("treePaste")->setEnabled(e.CanPaste() && !picking);
    Command("treeDelete")->setEnabled(e.CanDelete() && !picking);
    Command("treeParent")->setEnabled(s && s->parent);
    Command("treeLeft")->setEnabled(s && s->GetChild(1));
    Command("treeRight")->setEnabled(s && s->GetChild(2));
    Command("treeCancelPick")->setEnabled(picking);
    Command("treeSolve")->setEnabled(tree_.Options().solvable);
    Command("treeStopSolve")->setEnabled(tree_.IsSolving());
    Command("treePlay")->setEnabled(shell_.CanPlay(&tree_));
    Command("treeStop")->setEnabled(shell_.IsPlaying());
    Command("treeSaveGenerated")->setChecked(tree_.Options().saveGenerated);
    Command("treeSolvable")->setChecked(tree_.Options().solvable);
    const QString prompt = QString::fromStdString(e.PickPrompt());
    if (pickPrompt_->text() != prompt) pickPrompt_->setText(prompt);
    pickBar_->setVisible(picking);
    if (tree_.IsSolving() && !solveWatch_->isActive()) solveWatch_->start();
}

void RegisterTreeEditor() {
    InstallGuiNodeHost();
    RegisterDocumentWindow(kDocKindDendra,
                           [](CAmpDoc& doc, uint32_t, Shell& shell, QWidget* parent) {
                               return new TreeWindow(static_cast<CDendraDoc&>(doc), shell, parent);
                           });
}

} // namespace gui
