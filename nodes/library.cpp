#include "nodes/library.h"

#include "events/archive.h"
#include "events/event_list.h"
#include "nodes/node_params.h"
#include "platform/dynamic_library.h"
#include "platform/user_messages.h"
#include "tree/node_io.h"

#include <algorithm>
#include <cstring>
#include <set>

using nodes::Passes;

namespace {

std::set<std::string>& ReportedMissing() {
    static std::set<std::string> reported;
    return reported;
}

// A text buffer handed to a library: zeroed, and read back to its size at most.
std::string TextFrom(const char* buffer, size_t size) {
    return std::string(buffer, strnlen(buffer, size - 1));
}

template <class F> F Export(void* handle, const char* name) {
    return reinterpret_cast<F>(platform::FindLibrarySymbol(handle, name));
}

// ---- the host's side of the C handles ---------------------------------------------------------

struct HostList : DendraEventList {
    CNoteEventList* list;
    ProtoType* node;
};

CNoteEventList& L(const DendraEventList* h) {
    return *static_cast<const HostList*>(h)->list;
}

SongEvent* At(const DendraEventList* h, int32_t index) {
    if (index < 0) return nullptr;
    SongEvent* e = L(h).head;
    for (int32_t i = 0; e && i < index; ++i) e = e->next;
    return e;
}

uint32_t ListNow(const DendraEventList* h) {
    return L(h).now;
}
uint32_t ListNext(const DendraEventList* h) {
    return L(h).next;
}
void ListLowerNext(DendraEventList* h, uint32_t t) {
    nodes::LowerNext(L(h), t);
}
uint32_t ListWindowStart(const DendraEventList* h) {
    return static_cast<uint32_t>(L(h).offset);
}
int32_t ListSolveBranch(DendraEventList* h, int32_t which) {
    auto* host = static_cast<HostList*>(h);
    ProtoType* branch = which == 1   ? host->node->childOne
                        : which == 2 ? host->node->childTwo
                                     : nullptr;
    CNoteEventList& list = *host->list;
    if (!branch) {
        list.RemoveAll();
        return 0;
    }
    // Each branch is solved from the node's own window, whatever the other one did.
    const int32_t offset = list.offset;
    branch->Solve(list);
    list.offset = offset;
    return 1;
}
void ListClear(DendraEventList* h) {
    L(h).RemoveAll();
}
int32_t ListCount(const DendraEventList* h) {
    return L(h).Count();
}
int32_t ListGet(const DendraEventList* h, int32_t index, DendraEvent* out) {
    SongEvent* e = At(h, index);
    if (!e || !out) return 0;
    *out = DendraEvent{};
    out->time = e->time;
    if (e->IsMidi()) {
        const auto& m = static_cast<const EventMidi&>(*e);
        out->kind = DENDRA_EVENT_MIDI;
        out->duration = m.duration;
        out->status = m.status;
        out->data1 = m.data1;
        out->data2 = m.data2;
        out->data3 = m.data3;
    } else if (e->IsWave()) {
        out->kind = DENDRA_EVENT_WAVE;
        out->duration = e->GetDuration();
    } else if (e->IsValue()) {
        out->kind = DENDRA_EVENT_VALUE;
        out->value = static_cast<float>(e->GetValue());
    } else {
        out->kind = -1;
    }
    return 1;
}
int32_t ListSet(DendraEventList* h, int32_t index, const DendraEvent* in) {
    SongEvent* e = At(h, index);
    if (!e || !in) return 0;
    if (e->IsMidi()) {
        auto& m = static_cast<EventMidi&>(*e);
        m.status = in->status;
        m.data1 = in->data1;
        m.data2 = in->data2;
        m.data3 = in->data3;
        m.duration = in->duration;
    } else if (e->IsValue()) {
        e->SetValue(in->value);
    }
    if (e->time != in->time) {
        L(h).Unlink(e);
        e->time = in->time;
        L(h).Add(e);
    }
    return 1;
}
int32_t ListAdd(DendraEventList* h, const DendraEvent* in) {
    if (!in) return 0;
    if (in->kind == DENDRA_EVENT_MIDI) {
        L(h).Add(
            new EventMidi(in->time, in->status, in->data1, in->data2, in->duration, in->data3));
        return 1;
    }
    if (in->kind == DENDRA_EVENT_VALUE) {
        L(h).Add(new EventValue(in->value, in->time));
        return 1;
    }
    return 0;
}
int32_t ListRemove(DendraEventList* h, int32_t index) {
    SongEvent* e = At(h, index);
    if (!e) return 0;
    L(h).Remove(e);
    return 1;
}

constexpr DendraEventListApi kListApi = {
    ListNow,   ListNext, ListLowerNext, ListWindowStart, ListSolveBranch, ListClear,
    ListCount, ListGet,  ListSet,       ListAdd,         ListRemove,
};

struct HostArchive : DendraArchive {
    CArchive* ar;
};

CArchive& A(const DendraArchive* h) {
    return *static_cast<const HostArchive*>(h)->ar;
}
int32_t ArchiveIsStoring(const DendraArchive* h) {
    return A(h).IsStoring() ? 1 : 0;
}
void ArchiveWrite(DendraArchive* h, const void* bytes, uint32_t count) {
    if (bytes && A(h).IsStoring()) A(h).WriteBytes(bytes, count);
}
int32_t ArchiveRead(DendraArchive* h, void* bytes, uint32_t count) {
    if (!bytes) return 0;
    return A(h).ReadBytes(bytes, count) ? 1 : 0;
}
uint32_t ArchiveRemaining(const DendraArchive* h) {
    return static_cast<uint32_t>(std::min<size_t>(A(h).Remaining(), 0xFFFFFFFFu));
}

constexpr DendraArchiveApi kArchiveApi = {ArchiveIsStoring, ArchiveWrite, ArchiveRead,
                                          ArchiveRemaining};

struct HostDC : DendraDC {
    DrawContext* dc;
};

DrawContext& D(DendraDC* h) {
    return *static_cast<HostDC*>(h)->dc;
}
void DcFillRect(DendraDC* h, int32_t x, int32_t y, int32_t w, int32_t hgt, uint32_t rgb) {
    D(h).FillRect(x, y, w, hgt, rgb);
}
void DcDrawLine(DendraDC* h, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    D(h).DrawLine(x1, y1, x2, y2);
}
void DcDrawText(DendraDC* h, int32_t x, int32_t y, const char* text) {
    D(h).DrawText(x, y, text ? text : "");
}

constexpr DendraDCApi kDcApi = {DcFillRect, DcDrawLine, DcDrawText};

// Whether the library named `library` in Registry() offers the effect.
bool Offers(const NodeRegistry& registry, const std::string& library, const std::string& effect) {
    return std::any_of(
        registry.Entries().begin(), registry.Entries().end(),
        [&](const RegistryEntry& e) { return e.library == library && e.typeName == effect; });
}

} // namespace

// ---- loading ----------------------------------------------------------------------------------

EffectExports ResolveEffectExports(void* handle) {
    EffectExports x;
    x.constructor = Export<DendraConstructorFn>(handle, "Constructor");
    x.destructor = Export<DendraDestructorFn>(handle, "Destructor");
    x.drawBM = Export<DendraDrawBMFn>(handle, "DrawBM");
    x.display = Export<DendraDisplayFn>(handle, "Display");
    x.getFxTypeName = Export<DendraGetFxTypeNameFn>(handle, "GetFxTypeName");
    x.getInfo = Export<DendraGetInfoFn>(handle, "GetInfo");
    x.solve = Export<DendraSolveFn>(handle, "Solve");
    x.copy = Export<DendraCopyFn>(handle, "Copy");
    x.serialize = Export<DendraSerializeFn>(handle, "Serialize");
    x.params = Export<DendraParamsFn>(handle, "Params");
    x.resetCounters = Export<DendraResetCountersFn>(handle, "ResetCounters");
    x.getSpecialName = Export<DendraGetSpecialNameFn>(handle, "GetSpecialName");
    x.special = Export<DendraSpecialFn>(handle, "Special");
    return x;
}

int LoadEffectLibraries(NodeRegistry& registry, const std::vector<std::string>& paths) {
    int loaded = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        if (i >= static_cast<size_t>(kLibrarySlots)) {
            platform::MessageBox("At most six effect libraries can be loaded: \"" + path +
                                 "\" was not.");
            continue;
        }
        LibrarySlot& slot = registry.slots[i];
        slot.path = path;
        slot.handle = nullptr;
        slot.name.clear();
        if (path.empty()) continue;
        std::string error;
        void* handle = platform::OpenDynamicLibrary(path, &error);
        if (!handle) {
            platform::MessageBox("Could not load the effect library \"" + path + "\": " + error +
                                 ".");
            continue;
        }
        // The slot takes the handle only once the library has added its effects: a slot with a
        // handle holds a library, and built-in types are made through the first slot that
        // holds none. A library refused below stays loaded but unused.
        auto getFxList = Export<DendraGetFxListFn>(handle, "GetFxList");
        if (!getFxList) {
            platform::MessageBox(kProblemInLibraryMessage);
            continue;
        }
        char list[DENDRA_FX_LIST_SIZE] = {};
        char name[DENDRA_FX_NAME_SIZE] = {};
        getFxList(list, name);
        const std::string libraryName = TextFrom(name, sizeof name);
        if (libraryName.empty()) {
            platform::MessageBox("The effect library \"" + path + "\" gives itself no name.");
            continue;
        }
        if (FindLoadedLibrary(registry, libraryName)) {
            platform::MessageBox("The effect library \"" + path + "\" has the name \"" +
                                 libraryName + "\" of a library loaded before: it was not used.");
            continue;
        }
        if (registry.AddLibraryEntries(static_cast<int>(i), TextFrom(list, sizeof list),
                                       libraryName) == 0) {
            platform::MessageBox("The effect library \"" + path + "\" offers no effects.");
            continue;
        }
        slot.handle = handle;
        ++loaded;
    }
    return loaded;
}

void* FindLoadedLibrary(const NodeRegistry& registry, const std::string& name) {
    if (name.empty()) return nullptr;
    for (const LibrarySlot& s : registry.slots)
        if (s.handle && s.name == name) return s.handle;
    return nullptr;
}

ProtoType* DefineLibraryNode(ProtoType* x, void* handle, const std::string& typeName) {
    if (!x) return nullptr;
    std::string library;
    for (const LibrarySlot& s : Registry().slots)
        if (s.handle && s.handle == handle) library = s.name;
    ProtoType* q = ReplaceWith(x, "Library");
    if (!q) return nullptr;
    auto* node = static_cast<LibraryNode*>(q);
    node->Bind(handle, library, typeName);
    node->name = typeName;
    return q;
}

void ResetMissingLibraryNotices() {
    ReportedMissing().clear();
}

// ---- LibraryNode ------------------------------------------------------------------------------

constinit const NodeTypeInfo LibraryNode::kInfo = {
    .typeName = "Library",
    .displayName = "Library",
    .typeId = 8,
    .branches = 0,
    .info = "This node runs an effect of an effect library."};

LibraryNode::~LibraryNode() {
    Unbind();
}

void LibraryNode::Unbind() {
    if (bound_ && fx_.destructor) fx_.destructor(&data_);
    data_ = nullptr;
    fx_ = EffectExports{};
    handle_ = nullptr;
    bound_ = false;
}

bool LibraryNode::Bind(void* handle, const std::string& library, const std::string& effect) {
    Unbind();
    library_ = library;
    effect_ = effect;
    kept_.clear();
    const EffectExports x = handle ? ResolveEffectExports(handle) : EffectExports{};
    if (!x.constructor) {
        platform::MessageBox(kNoConstructorMessage);
        MakeNullBranches(0);
        return false;
    }
    int32_t branches = 0;
    uint32_t s = start;
    uint32_t d = duration;
    void* data = nullptr;
    x.constructor(&data, effect.c_str(), &branches, &s, &d, library.c_str());
    if (branches < 0 || branches > 2) {
        if (x.destructor) x.destructor(&data);
        platform::MessageBox("The effect \"" + effect + "\" of the library \"" + library +
                             "\" asks for " + std::to_string(branches) +
                             " branches: an effect has 0, 1 or 2.");
        MakeNullBranches(0);
        return false;
    }
    handle_ = handle;
    data_ = data;
    fx_ = x;
    bound_ = true;
    start = s;
    duration = d;
    MakeNullBranches(branches);
    return true;
}

std::vector<uint8_t> LibraryNode::LibraryBytes() const {
    if (!bound_) return kept_;
    CArchive sub;
    if (fx_.serialize) {
        HostArchive h;
        h.api = &kArchiveApi;
        h.ar = &sub;
        fx_.serialize(data_, &h);
    }
    return sub.Buffer();
}

void LibraryNode::Copy(const ProtoType& source) {
    if (&source == this || source.TypeName() != TypeName()) {
        ProtoType::Copy(source);
        return;
    }
    const auto& src = static_cast<const LibraryNode&>(source);
    if (src.bound_) {
        Bind(src.handle_, src.library_, src.effect_);
    } else {
        Unbind();
        library_ = src.library_;
        effect_ = src.effect_;
        kept_ = src.kept_;
        MakeNullBranches(0);
    }
    ProtoType::Copy(source);
    if (bound_ && src.bound_ && fx_.copy) fx_.copy(data_, src.data_);
}

void LibraryNode::Serialize(CArchive& ar) {
    if (ar.IsLoading()) {
        ReadRecord(ar);
        return;
    }
    ar.WriteString(name);
    ar.WriteU32(start);
    ar.WriteU32(duration);
    ar.WriteString(library_);
    ar.WriteString(effect_);
    ar.WriteU16(static_cast<uint16_t>(GetChildCount()));
    if (childOne) WriteTypedNode(ar, *childOne);
    if (childTwo) WriteTypedNode(ar, *childTwo);
    const std::vector<uint8_t> bytes = LibraryBytes();
    ar.WriteU32(static_cast<uint32_t>(bytes.size()));
    ar.WriteBytes(bytes.data(), bytes.size());
}

void LibraryNode::ReadRecord(CArchive& ar) {
    name = ar.ReadString();
    start = ar.ReadU32();
    duration = ar.ReadU32();
    std::string library = ar.ReadString();
    std::string effect = ar.ReadString();
    const uint16_t branches = ar.ReadU16();
    if (ar.Failed()) return;
    if (branches > 2) {
        ar.Fail();
        return;
    }
    const uint32_t windowStart = start;
    const uint32_t windowLength = duration;
    const NodeRegistry& registry = Registry();
    void* handle = FindLoadedLibrary(registry, library);
    std::string why;
    if (!handle) {
        if (ReportedMissing().insert(library).second) {
            platform::MessageBox("This tree uses the effect library \"" + library +
                                 "\", which is not loaded: its effects are kept as they are "
                                 "but yield nothing.");
        }
    } else if (!Offers(registry, library, effect)) {
        why = "the library does not offer it";
    } else if (Bind(handle, library, effect) && GetChildCount() != branches) {
        why = "the library now gives it " + std::to_string(GetChildCount()) + " branches, not " +
              std::to_string(branches);
        Unbind();
    }
    // The stored record decides the window and the branches, whatever the constructor did.
    start = windowStart;
    duration = windowLength;
    library_ = std::move(library);
    effect_ = std::move(effect);
    if (!bound_) MakeNullBranches(branches);
    if (branches >= 1 && !ReadBranch(ar, *this, 1)) return;
    if (branches >= 2 && !ReadBranch(ar, *this, 2)) return;
    const uint32_t length = ar.ReadU32();
    if (ar.Failed() || length > ar.Remaining()) {
        ar.Fail();
        return;
    }
    std::vector<uint8_t> bytes(length);
    if (!ar.ReadBytes(bytes.data(), length)) return;
    if (bound_) {
        CArchive sub(bytes);
        if (fx_.serialize) {
            HostArchive h;
            h.api = &kArchiveApi;
            h.ar = &sub;
            fx_.serialize(data_, &h);
        }
        if (sub.Failed() || (!fx_.serialize && length > 0)) {
            why = "it cannot read its stored data";
            Unbind();
        }
    }
    if (!bound_) kept_ = std::move(bytes);
    if (!why.empty()) {
        platform::MessageBox("The effect \"" + effect_ + "\" of the library \"" + library_ +
                             "\" is kept as it was read and yields nothing: " + why + ".");
    }
}

void LibraryNode::GetInfo(std::string& text) const {
    if (bound_ && fx_.getInfo) {
        char buffer[DENDRA_FX_TEXT_SIZE] = {};
        fx_.getInfo(data_, buffer);
        text = TextFrom(buffer, sizeof buffer);
        return;
    }
    if (bound_) {
        text = kInfo.info;
        return;
    }
    text = "This node runs the effect \"" + effect_ + "\" of the library \"" + library_ +
           "\", which is not loaded: it yields nothing.";
}

std::string LibraryNode::LibraryTypeName() const {
    if (!bound_ || !fx_.getFxTypeName) return bound_ ? effect_ : "";
    char buffer[DENDRA_FX_TEXT_SIZE] = {};
    fx_.getFxTypeName(data_, buffer);
    return TextFrom(buffer, sizeof buffer);
}

void LibraryNode::Params() {
    if (bound_ && fx_.params) {
        fx_.params(data_);
        return;
    }
    ProtoType::Params();
}

void LibraryNode::ResetCounters() {
    if (bound_ && fx_.resetCounters) fx_.resetCounters(data_);
}

void LibraryNode::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    if (!bound_ || !fx_.solve) {
        list.RemoveAll();
        return;
    }
    HostList h;
    h.api = &kListApi;
    h.list = &list;
    h.node = this;
    fx_.solve(data_, &h);
}

void LibraryNode::Display() {
    if (bound_ && fx_.display) {
        ShowGraph(fx_.display(data_, nullptr) != 1);
        return;
    }
    ShowGraph(false);
}

void LibraryNode::DrawBM(DrawContext& dc, int x, int y, int size) {
    if (!bound_ || !fx_.drawBM) {
        ProtoType::DrawBM(dc, x, y, size);
        return;
    }
    HostDC h;
    h.api = &kDcApi;
    h.dc = &dc;
    fx_.drawBM(data_, &h, x, y, size);
}

void LibraryNode::GetSpecialName(int which, std::string& label) const {
    label.clear();
    if (!bound_ || !fx_.getSpecialName) return;
    char buffer[DENDRA_FX_TEXT_SIZE] = {};
    fx_.getSpecialName(data_, which, buffer);
    label = TextFrom(buffer, sizeof buffer);
}

void LibraryNode::Special(int which) {
    if (bound_ && fx_.special) fx_.special(data_, which);
}

namespace {
const NodeFactoryEntry kLibraryTypes[] = {
    {&LibraryNode::kInfo, &CreateTyped<LibraryNode>},
};
} // namespace

std::span<const NodeFactoryEntry> LibraryNodeTypes() {
    return kLibraryTypes;
}
