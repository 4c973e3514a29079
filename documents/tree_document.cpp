#include "documents/tree_document.h"
#include "documents/tree_text.h"
#include "nodes/builtin_nodes.h"

#include "events/archive.h"
#include "platform/user_messages.h"
#include "tree/node_io.h"

CDendraDoc::CDendraDoc()
    : root_((RegisterBuiltinNodeTypes(), std::make_unique<Root>())),
      solution_(std::make_unique<CEventTree>()),
      solver_(std::make_unique<TreeSolver>(*root_, *solution_)) {
    root_->owner = this;
    selected_ = top_ = root_.get();
}

CDendraDoc::~CDendraDoc() {
    // The solver refers to the Root and the solution: it goes first.
    solver_.reset();
}

void CDendraDoc::Adopt(std::unique_ptr<Root> root, std::unique_ptr<CEventTree> solution,
                       const SolveOptions& options, std::string comments, int version) {
    solver_.reset();
    root_ = std::move(root);
    solution_ = std::move(solution);
    root_->owner = this;
    solver_ = std::make_unique<TreeSolver>(*root_, *solution_);
    solver_->options = options;
    comments_ = std::move(comments);
    versionRead_ = version;
    selected_ = top_ = root_.get();
    picker_ = nullptr;
    pickMode_ = 0;
    // The steps name nodes of the tree that was replaced.
    History().Clear();
}

bool CDendraDoc::OnNewDocument() {
    Adopt(std::make_unique<Root>(), std::make_unique<CEventTree>(), SolveOptions{},
          kDefaultComments, kDendraFileVersion);
    CChanDoc::OnNewDocument();
    UpdateAllViews(nullptr);
    return true;
}

bool CDendraDoc::Fail(const std::string& message) {
    platform::Messages().Show(message, platform::MessageKind::Error);
    return false;
}

bool CDendraDoc::ReadDocument(CArchive& ar) {
    if (textform::HoldsText(ar)) {
        std::vector<uint8_t> file;
        std::string error;
        if (!TreeTextToFile(textform::RemainingText(ar), file, &error, solveOnRead_))
            return Fail("The text of this tree cannot be read: " + error);
        CArchive in(std::move(file));
        return ReadDocument(in);
    }
    uint32_t version = ar.ReadU32();
    if (ar.Failed()) return Fail(kDamagedTreeMessage);
    // A newer file is refused outright: opening it as an empty document that keeps its path
    // would let a Save overwrite it.
    if (version > kDendraFileVersion) return Fail(kNewerVersionMessage);
    if (version > 3) {
        uint32_t magic = ar.ReadU32();
        if (ar.Failed() || magic != kDendraMagic) return Fail(kNotDendraMessage);
    }
    SolveOptions options;
    if (version > 2) options.solvable = ar.ReadU16() != 0;

    auto root = std::make_unique<Root>();
    root->fileVersion = static_cast<int>(version);
    NodeReadError error;
    if (ar.Failed() || !ReadNodeRecord(ar, *root, &error))
        return Fail(error.message.empty() ? kDamagedTreeMessage : error.message);

    auto solution = std::make_unique<CEventTree>();
    uint16_t saveFlag = ar.ReadU16();
    options.saveGenerated = saveFlag == 1;
    if (saveFlag == 1) solution->Serialize(ar);
    std::string comments = ar.ReadString();
    if (ar.Failed()) return Fail(kDamagedTreeMessage);

    root->fileVersion = kTreeFileVersion;
    Adopt(std::move(root), std::move(solution), options, std::move(comments),
          static_cast<int>(version));
    if (saveFlag != 1 && solveOnRead_ && options.solvable) solver_->SolveAtOnce();
    UpdateAllViews(nullptr);
    return true;
}

void CDendraDoc::WriteDocument(CArchive& ar) {
    ar.WriteU32(kDendraFileVersion);
    ar.WriteU32(kDendraMagic);
    ar.WriteU16(Options().solvable ? 1 : 0);
    WriteNodeRecord(ar, *root_);
    ar.WriteU16(Options().saveGenerated ? 1 : 0);
    if (Options().saveGenerated) solution_->Serialize(ar);
    ar.WriteString(comments_);
}

void CDendraDoc::WriteDocumentTo(const std::string& path, CArchive& ar) {
    if (!textform::IsTextPath(path)) {
        WriteDocument(ar);
        return;
    }
    const std::string text = TreeText(*this);
    // A text file is written only when it reads back: a type the text form does not describe
    // would otherwise be lost.
    std::vector<uint8_t> back;
    std::string error;
    if (!TreeTextToFile(text, back, &error, false)) {
        platform::Messages().Show("This tree cannot be kept in its text form: " + error +
                                      ". Save it as a .dra file.",
                                  platform::MessageKind::Error);
        ar.Fail();
        return;
    }
    ar.WriteBytes(text.data(), text.size());
}

CEventTree* CDendraDoc::GetChannelEvents(int channel) {
    return channel == 1 ? solution_.get() : nullptr;
}

int CDendraDoc::SetChannelCount(int, bool) {
    return 1;
}

void CDendraDoc::FreeChannel(int) {}

uint32_t CDendraDoc::GetLength(int) {
    int32_t length = solution_->GetLength(1);
    return length > 0 ? static_cast<uint32_t>(length) : 0;
}

void CDendraDoc::SetComments(const std::string& text) {
    if (text == comments_) return;
    comments_ = text;
    SetModifiedFlag();
}

void CDendraDoc::ResolveRange(uint32_t start, uint32_t length) {
    if (Options().resolveOnChange && Options().solvable) solver_->ResolveRange(start, length);
}

CEventTree& CDendraDoc::GetEvents(int) {
    return solver_->GetEvents(IsModified());
}

void CDendraDoc::TreeTimeChanged(uint32_t start, uint32_t length) {
    SetModifiedFlag();
    ResolveRange(start, length);
}

void CDendraDoc::TreeChanged() {
    SetModifiedFlag();
    UpdateAllViews(nullptr, kHintTreeChanged);
}

CEventTree& CDendraDoc::TreeEvents(int flag) {
    return GetEvents(flag);
}

void CDendraDoc::SetSelectedNode(ProtoType* node) {
    if (!node) node = root_.get();
    if (node == selected_) return;
    selected_ = node;
    UpdateAllViews(nullptr, kHintSelectionChanged);
}

void CDendraDoc::SetTopNode(ProtoType* node) {
    if (!node) node = root_.get();
    if (node == top_) return;
    top_ = node;
    UpdateAllViews(nullptr, kHintSelectionChanged);
}

void CDendraDoc::SetPickMode(int mode, ProtoType* picker) {
    if (!picker) mode = 0;
    if (mode == 0) picker = nullptr;
    if (mode == pickMode_ && picker == picker_) return;
    pickMode_ = mode;
    picker_ = picker;
    UpdateAllViews(nullptr, kHintPickChanged);
}

void CDendraDoc::NodesRemoved(const ProtoType* top) {
    // Outside a step nodes went away: the steps name places in a tree that is no longer there.
    if (!History().Busy()) History().Clear();
    // The kept nodes are alive, so asking where they lie is safe.
    if (selected_ && selected_->IsWithin(top)) SetSelectedNode(root_.get());
    if (top_ && top_->IsWithin(top)) SetTopNode(root_.get());
    if (picker_ && picker_->IsWithin(top)) EndPick();
}

void CDendraDoc::NodeReplaced(const ProtoType* old, ProtoType* replacement) {
    if (!History().Busy()) History().Clear();
    if (selected_ == old) SetSelectedNode(replacement);
    if (top_ == old) SetTopNode(replacement);
    // A pick waits for one node's answer; a different node cannot take it over.
    if (picker_ == old) EndPick();
}

void CDendraDoc::DisplayTree() {
    if (onDisplayTree) onDisplayTree(*this);
}
