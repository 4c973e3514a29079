// Effect libraries and the Library node that runs one of their effects.
//
// An effect library is a shared object with the exports of nodes/dendra_effect.h. Up to six are
// loaded at start-up into the registry's slots (LoadEffectLibraries), from paths the user
// configured, never from a path a document names; each one's "GetFxList" answer adds its
// effects to the type-choice list. Choosing such an effect makes a Library node bound to its
// library (DefineLibraryNode), which hands every node operation to the library's export of the
// same name.
//
// Stored record (the tree file stores it under the type name "Library"): name, start, duration;
// the library's name and the effect's type name (archive strings); the branch count (u16, 0, 1
// or 2); the branches (type name and record each); then the library's own bytes as a u32 length
// and the bytes (what its Serialize export wrote). A node whose library is not loaded (or does
// not offer the effect, or cannot read the bytes) is kept exactly as it was read: it yields
// nothing, its branches are ordinary nodes, and it is saved again unchanged. The user is told
// once per library that it is missing.
//
// Checks made where the library's answers would otherwise be trusted: a branch count other than
// 0, 1 or 2 refuses the effect; the "GetFxList" buffers are read to their sizes at most and
// always terminated; a library must name itself, and two libraries of one name are not both
// loaded; library bytes are read from an archive of their own, so a library that reads too much
// or too little cannot upset the rest of the file.
//
// Everything here runs on the user-interface thread.
#pragma once

#include "nodes/dendra_effect.h"
#include "tree/proto_type.h"
#include "tree/registry.h"

#include <span>
#include <string>
#include <vector>

std::span<const NodeFactoryEntry> LibraryNodeTypes();

// The system's texts.
inline constexpr const char* kProblemInLibraryMessage = "Problem in Library.";
inline constexpr const char* kNoConstructorMessage = "uh-oh.";

// Loads the libraries at `paths` (at most kLibrarySlots; an empty path leaves its slot empty)
// into the registry's slots in order and adds their effects to it. Each failure is shown and
// skips that library: a path that is not absolute, not a file or not a library, a library
// without "GetFxList" ("Problem in Library."), one that gives no name or the name of a library
// loaded before. Returns the number of libraries whose effects were added. Build the registry's
// built-in entries first (BuildBuiltins clears the slots' handles).
int LoadEffectLibraries(NodeRegistry& registry, const std::vector<std::string>& paths);

// The handle of the loaded library named `name` in the registry's slots, or null.
void* FindLoadedLibrary(const NodeRegistry& registry, const std::string& name);

// The document's Define-node for an effect: a Library node in x's place (Replace-with), bound to
// the effect `typeName` of the library `handle` (one of Registry()'s slots) and named after the
// effect. Null when x is null; the node stays unbound (empty, no branches) when the library
// refuses the effect.
ProtoType* DefineLibraryNode(ProtoType* x, void* handle, const std::string& typeName);

// Forgets which missing libraries the user was told about (tests).
void ResetMissingLibraryNotices();

// The thirteen node exports of a library (null when missing).
struct EffectExports {
    DendraConstructorFn constructor = nullptr;
    DendraDestructorFn destructor = nullptr;
    DendraDrawBMFn drawBM = nullptr;
    DendraDisplayFn display = nullptr;
    DendraGetFxTypeNameFn getFxTypeName = nullptr;
    DendraGetInfoFn getInfo = nullptr;
    DendraSolveFn solve = nullptr;
    DendraCopyFn copy = nullptr;
    DendraSerializeFn serialize = nullptr;
    DendraParamsFn params = nullptr;
    DendraResetCountersFn resetCounters = nullptr;
    DendraGetSpecialNameFn getSpecialName = nullptr;
    DendraSpecialFn special = nullptr;
};
EffectExports ResolveEffectExports(void* handle);

class LibraryNode : public TypedNode<LibraryNode> {
public:
    static const NodeTypeInfo kInfo;
    ~LibraryNode() override;

    // Binds the node to the effect `effect` of the loaded library `handle` named `library`:
    // resolves the exports, calls Constructor and makes the Null branches it asks for. False
    // (and the node unbound, without branches) when Constructor is missing ("uh-oh.") or the
    // branch count is not 0, 1 or 2 (shown).
    bool Bind(void* handle, const std::string& library, const std::string& effect);
    bool IsBound() const { return bound_; }
    const std::string& LibraryName() const { return library_; }
    const std::string& EffectName() const { return effect_; }
    // The library's bytes as read, for a node kept without its library.
    const std::vector<uint8_t>& KeptBytes() const { return kept_; }
    // The library's own bytes as they would be stored now.
    std::vector<uint8_t> LibraryBytes() const;

    // Slot order.
    void Copy(const ProtoType& source) override;
    void Serialize(CArchive& ar) override;
    void GetInfo(std::string& text) const override;
    void Params() override;
    void ResetCounters() override;
    // With the window test made: the library's Solve; without a library, an empty list.
    void Solve(CNoteEventList& list) override;
    void Display() override;
    void DrawBM(DrawContext& dc, int x, int y, int size) override;
    void GetSpecialName(int which, std::string& label) const override;
    void Special(int which) override;

    // The effect's own type name as the library reports it ("" without a library).
    std::string LibraryTypeName() const;

private:
    void Unbind();
    void ReadRecord(CArchive& ar);

    void* handle_ = nullptr;
    void* data_ = nullptr;
    EffectExports fx_;
    bool bound_ = false;
    std::string library_;
    std::string effect_;
    std::vector<uint8_t> kept_;
};
