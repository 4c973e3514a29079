#include "tree/registry.h"

#include <algorithm>
#include <unordered_map>

namespace {

struct Alias {
    const char* old;
    const char* now;
};
constexpr Alias kAliases[] = {
    {"Note", "MidiNote"},   {"NoteProperty", "MidiNoteProperty"}, {"DrumNote", "MidiDrumNote"},
    {"Input", "MidiInput"}, {"WaveSource", "WaveFile"},
};

struct FamilyList {
    const char* family;
    std::initializer_list<const char*> names;
};

const FamilyList kBuiltins[] = {
    {"Basic",
     {"And", "Counter", "Every", "IfThen", "Initialize", "Loop", "MetaWord", "Null", "Or",
      "Pointer", "Quantize", "Stretch", "Substitute", "Tempo", "Word"}},
    {"Midi",
     {"Arpeggiate", "ChordBuilder", "Delay", "MidiDrumNote", "MidiInput", "Interpolate", "Invert",
      "MidiController", "MidiData", "MidiNote", "MidiNoteProperty", "PitchBend", "Scale"}},
    {"Numerical", {"AbsVal",  "Add",         "Constant",    "Cosine",   "Divide",
                   "EqualTo", "Exponential", "GreaterThan", "LessThan", "Limit",
                   "Log",     "LogicalAnd",  "LogicalOr",   "Max",      "Min",
                   "Modulus", "Multiply",    "Not",         "Random",   "RoundTo",
                   "Sine",    "Subtract",    "Tangent",     "Temporal", "TemporalPhase"}},
    {"Set", {"Complement", "ExclusiveUnion", "Intersection", "Set", "SubtractSet", "Union"}},
    {"Sound Blaster", {"SbEffects", "SbEnvelope", "SbFilter", "SbLFO", "SbPitch"}},
    {"Wave", {"Envelope", "WaveFile", "WaveCompiler"}},
};

std::vector<std::span<const NodeFactoryEntry>>& Families() {
    static std::vector<std::span<const NodeFactoryEntry>> families;
    return families;
}

std::unordered_map<std::string, const NodeFactoryEntry*>& FactoryMap() {
    static std::unordered_map<std::string, const NodeFactoryEntry*> map;
    return map;
}

} // namespace

void RegisterNodeFamily(std::span<const NodeFactoryEntry> family) {
    for (std::span<const NodeFactoryEntry> known : Families()) {
        if (known.data() == family.data()) return;
    }
    Families().push_back(family);
    for (const NodeFactoryEntry& e : family) FactoryMap().emplace(e.info->typeName, &e);
}

std::span<const std::span<const NodeFactoryEntry>> NodeFamilies() {
    return Families();
}

std::string CanonicalTypeName(const std::string& name) {
    std::string n = name;
    if (n.find("Fx") != std::string::npos) n = n.substr(2);
    for (const Alias& a : kAliases) {
        if (n == a.old) return a.now;
    }
    return n;
}

const NodeFactoryEntry* FindNodeType(const std::string& name) {
    const auto& map = FactoryMap();
    auto it = map.find(CanonicalTypeName(name));
    return it == map.end() ? nullptr : it->second;
}

ProtoType* CreateNode(const std::string& name, bool loading) {
    const NodeFactoryEntry* e = FindNodeType(name);
    return e ? e->create(loading) : nullptr;
}

ProtoType* ReplaceWith(ProtoType* x, const std::string& name, bool loading) {
    if (!x) return nullptr;
    ProtoType* q = CreateNode(name, loading);
    if (!q) return nullptr;
    q->parent = x->parent;
    q->duration = x->duration;
    if (ProtoType* p = x->parent) {
        if (p->childOne == x)
            p->childOne = q;
        else if (p->childTwo == x)
            p->childTwo = q;
    }
    if (!loading) {
        if (x->childOne) x->childOne->AnnounceRemoval();
        if (x->childTwo) x->childTwo->AnnounceRemoval();
        q->GetRoot()->ReplaceNode(x, q);
    }
    x->parent = nullptr;
    delete x;
    return q;
}

// ---- Registry ---------------------------------------------------------------------------

void NodeRegistry::BuildBuiltins(bool waveSupport) {
    families_ = {kAllTypes, "Basic", "Numerical", "Midi", "Set", "Sound Blaster"};
    if (waveSupport) families_.push_back("Wave");
    entries_.clear();
    for (const FamilyList& f : kBuiltins) {
        if (!waveSupport && std::string(f.family) == "Wave") continue;
        for (const char* n : f.names) entries_.push_back({n, f.family, ""});
    }
    for (LibrarySlot& s : slots) {
        s.handle = nullptr;
        s.name.clear();
    }
}

std::vector<FxListEntry> ParseFxList(const std::string& fxList) {
    std::vector<FxListEntry> out;
    std::string rest = fxList.substr(0, std::min<size_t>(fxList.size(), 500));
    rest = rest.substr(0, rest.find('\0'));
    for (;;) {
        size_t bar = rest.find('|');
        if (bar == std::string::npos || bar == 0) break;
        FxListEntry e;
        e.typeName = rest.substr(0, bar);
        rest.erase(0, bar + 1);
        size_t bar2 = rest.find('|');
        if (bar2 == std::string::npos) break; // a type name without its family
        e.family = rest.substr(0, bar2);
        rest.erase(0, bar2 + 1);
        out.push_back(std::move(e));
    }
    return out;
}

int NodeRegistry::AddLibraryEntries(int slot, const std::string& fxList,
                                    const std::string& libraryName) {
    if (slot < 0 || slot >= kLibrarySlots) return 0;
    std::string lib = libraryName.substr(0, std::min<size_t>(libraryName.size(), 30));
    lib = lib.substr(0, lib.find('\0'));
    std::vector<FxListEntry> parsed = ParseFxList(fxList);
    for (const FxListEntry& e : parsed) entries_.push_back({e.typeName, e.family, lib});
    if (parsed.empty()) return 0;
    slots[slot].name = lib;
    for (const FxListEntry& e : parsed) {
        bool known = false;
        for (const std::string& f : families_) known = known || f == e.family;
        if (!known) families_.push_back(e.family);
    }
    return static_cast<int>(parsed.size());
}

std::vector<std::string> NodeRegistry::NamesInFamily(const std::string& family) const {
    std::vector<std::string> out;
    for (const RegistryEntry& e : entries_) {
        if (family == kAllTypes || e.family == family) out.push_back(e.typeName);
    }
    return out;
}

const RegistryEntry* NodeRegistry::Find(const std::string& typeName) const {
    for (const RegistryEntry& e : entries_) {
        if (e.typeName == typeName) return &e;
    }
    return nullptr;
}

bool NodeRegistry::CreateByName(NodeDefiner& document, ProtoType* node,
                                const std::string& typeName) const {
    const RegistryEntry* e = Find(typeName);
    if (!e) return false;
    for (const LibrarySlot& s : slots) {
        if (s.name == e->library) {
            document.DefineNode(node, typeName, s.handle);
            return true;
        }
    }
    return false;
}

NodeRegistry& Registry() {
    static NodeRegistry registry = [] {
        NodeRegistry r;
        r.BuildBuiltins(false);
        return r;
    }();
    return registry;
}
