// The node registry (the type lists the tree editor offers) and the factory (type name to node).
//
// Factory: every node family lists its types in a table of NodeFactoryEntry (its type info and a
// create function) and registers it (RegisterNodeFamily). ReplaceWith / CreateNode
// find a type by its registry name, after the old aliases ("Note", "DrumNote", ...) and the
// "Fx" rule. Adding a type means adding one line to its family's table.
//
// Registry: the type-choice list of the tree editor, built once at start-up from the factory's
// registered types (BuildBuiltins), so it offers nothing the factory cannot make: each type under
// the family its NodeTypeInfo names, the system's families first in their fixed order, within a
// family by the type's menuOrder; then whatever the effect libraries add through the answer of
// their "GetFxList" export (AddLibraryEntries). CreateByName hands the chosen type to the
// document's Define-node operation (NodeDefiner).
//
// Everything here runs on the user-interface thread.
#pragma once

#include "tree/proto_type.h"

#include <array>
#include <span>
#include <string>
#include <vector>

// One node type the factory can make.
struct NodeFactoryEntry {
    const NodeTypeInfo* info;
    ProtoType* (*create)(bool loading);
};

template <class T> ProtoType* CreateTyped(bool) {
    return new T;
}

// The families the factory knows, in the order they were registered. The node library registers
// its built-in families at start-up (RegisterBuiltinNodeTypes in nodes/builtin_nodes.h); the tree
// layer knows no family of its own. Registering a table again changes nothing.
void RegisterNodeFamily(std::span<const NodeFactoryEntry> family);
std::span<const std::span<const NodeFactoryEntry>> NodeFamilies();

// The name the factory looks up for `name`: the "Fx" rule (a name containing "Fx" loses its
// first two characters), then the old aliases.
std::string CanonicalTypeName(const std::string& name);
// The factory entry for a name (after CanonicalTypeName), or null when the type is unknown.
const NodeFactoryEntry* FindNodeType(const std::string& name);

// A new, unlinked node of the named type; null when unknown.
ProtoType* CreateNode(const std::string& name, bool loading = false);

// Replace-with: makes a node Q of type `name` and links it in X's place (Q's parent := X's
// parent, Q's duration := X's duration, Q's start 0, the parent's branch points to Q), announces
// the removal of X's branches, tells the Root that X became Q (ReplaceNode) and destroys X.
// Returns Q, or null (X untouched) when the name is unknown. With `loading` set (while a tree
// file is read onto fresh Null placeholders) the removal broadcasts are skipped: nothing can
// refer to a placeholder yet.
ProtoType* ReplaceWith(ProtoType* x, const std::string& name, bool loading = false);

// ---- Registry -----------------------------------------------------------------------------

struct RegistryEntry {
    std::string typeName;
    std::string family;
    std::string library; // "" for built-in types
};

struct LibrarySlot {
    std::string path;       // at most 80 characters are used
    void* handle = nullptr; // the loaded library, null when none
    std::string name;       // at most 30 characters; empty when no library is loaded
};

constexpr int kLibrarySlots = 6;
constexpr const char* kAllTypes = "All Types";

// The document's Define-node operation, as Create by name calls it.
class NodeDefiner {
public:
    virtual ~NodeDefiner() = default;
    // libraryHandle null: a built-in node of `typeName`; otherwise a Library node bound to it.
    virtual void DefineNode(ProtoType* node, const std::string& typeName, void* libraryHandle) = 0;
};

class NodeRegistry {
public:
    // The built-in entries from the factory's types (`families`, the registered ones unless a
    // caller gives its own): every type that names a family, once per type name, under the name
    // the factory looks up (CanonicalTypeName: "FxWaveCompiler" is offered as "WaveCompiler"),
    // "Wave" types only when wave support is enabled. Entries are listed family by family (Basic,
    // Midi, Numerical, Set, Sound Blaster, Wave, then other families in the order they first
    // appear), within a family by menuOrder (ties keep the factory's order). The family list is
    // "All Types", then the system's families in menu order, then the others; a family without
    // an entry is left out. Library slots keep their paths; their names and handles are cleared.
    void
    BuildBuiltins(bool waveSupport,
                  std::span<const std::span<const NodeFactoryEntry>> families = NodeFamilies());

    // Parses a "GetFxList" answer of the library in `slot` (pairs of tokens, type name then
    // family, each closed by "|"; at most 500 characters are read) and appends its entries
    // with library name `libraryName` (at most 30 characters). When at least one entry was
    // added, the slot takes the name and each new family is appended to the family list.
    // Returns the number of entries added.
    int AddLibraryEntries(int slot, const std::string& fxList, const std::string& libraryName);

    const std::vector<std::string>& Families() const { return families_; }
    const std::vector<RegistryEntry>& Entries() const { return entries_; }
    // The type names of a family in registry order; "All Types" gives every name.
    std::vector<std::string> NamesInFamily(const std::string& family) const;
    // The first entry with this type name, or null.
    const RegistryEntry* Find(const std::string& typeName) const;

    // Create by name: the first entry named typeName, the first slot whose library name equals
    // the entry's library name, and DefineNode(node, typeName, that slot's handle). Returns
    // false (nothing done) when there is no such entry or slot.
    bool CreateByName(NodeDefiner& document, ProtoType* node, const std::string& typeName) const;

    std::array<LibrarySlot, kLibrarySlots> slots;

private:
    std::vector<std::string> families_;
    std::vector<RegistryEntry> entries_;
};

// The application's registry, built on first use (without wave support) from the families
// registered by then: the programs register the node library (RegisterBuiltinNodeTypes) first.
NodeRegistry& Registry();

// One token pair of a "GetFxList" answer.
struct FxListEntry {
    std::string typeName;
    std::string family;
};
// The parse of a "GetFxList" answer: while a "|" is found at a position above 0, the text
// before it is a type name, the text before the next "|" its family.
std::vector<FxListEntry> ParseFxList(const std::string& fxList);
