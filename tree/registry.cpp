#include "tree/registry.h"

#include <algorithm>
#include <cstring>
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

// The system's families in the order of the family menu (after "All Types") ...
constexpr const char* kFamilyMenu[] = {"Basic", "Numerical",     "Midi",
                                       "Set",   "Sound Blaster", "Wave"};
// ... and in the order the registry lists their types (what "All Types" shows).
constexpr const char* kFamilyListing[] = {"Basic", "Midi",          "Numerical",
                                          "Set",   "Sound Blaster", "Wave"};
constexpr const char* kWaveFamily = "Wave";

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
    // Types that report an "Fx" name are found by the name the factory looks up.
    for (const NodeFactoryEntry& e : family)
        FactoryMap().emplace(CanonicalTypeName(e.info->typeName), &e);
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

void NodeRegistry::BuildBuiltins(bool waveSupport,
                                 std::span<const std::span<const NodeFactoryEntry>> families) {
    struct Offered {
        const NodeTypeInfo* info;
        size_t familyRank;
    };
    std::vector<std::string> others; // families beyond the system's, in order of appearance
    std::vector<Offered> offered;
    auto known = [&](const char* name) {
        for (const Offered& o : offered) {
            if (std::strcmp(o.info->typeName, name) == 0) return true;
        }
        return false;
    };
    for (std::span<const NodeFactoryEntry> family : families) {
        for (const NodeFactoryEntry& e : family) {
            const NodeTypeInfo* info = e.info;
            if (!info || !info->typeName || !info->family || !*info->family) continue;
            if (!waveSupport && std::strcmp(info->family, kWaveFamily) == 0) continue;
            if (known(info->typeName)) continue; // the factory makes the first one registered
            const auto system =
                std::find_if(std::begin(kFamilyListing), std::end(kFamilyListing),
                             [&](const char* f) { return std::strcmp(f, info->family) == 0; });
            size_t rank = static_cast<size_t>(system - std::begin(kFamilyListing));
            if (system == std::end(kFamilyListing)) {
                auto other = std::find(others.begin(), others.end(), info->family);
                if (other == others.end()) other = others.insert(others.end(), info->family);
                rank += static_cast<size_t>(other - others.begin());
            }
            offered.push_back({info, rank});
        }
    }
    std::stable_sort(offered.begin(), offered.end(), [](const Offered& a, const Offered& b) {
        if (a.familyRank != b.familyRank) return a.familyRank < b.familyRank;
        return a.info->menuOrder < b.info->menuOrder;
    });

    entries_.clear();
    for (const Offered& o : offered)
        entries_.push_back({CanonicalTypeName(o.info->typeName), o.info->family, ""});
    families_ = {kAllTypes};
    auto has = [&](const std::string& family) {
        return std::any_of(entries_.begin(), entries_.end(),
                           [&](const RegistryEntry& e) { return e.family == family; });
    };
    for (const char* f : kFamilyMenu) {
        if (has(f)) families_.push_back(f);
    }
    families_.insert(families_.end(), others.begin(), others.end());
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
