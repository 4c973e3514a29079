// The set family: nodes that hold fuzzy sets of words (tree/word_set.h) and play a word picked
// from them.
//
// A `Set` holds the set the user edits; the operators (Complement, ExclusiveUnion,
// Intersection, SubtractSet, Union) compute theirs from the sets of their branches when
// GenerateSet runs, and then ask their parent to do the same, so a change ripples up through
// the operators above. Every set node picks a word (Pick Word, ResetCounters, or at the start of
// its window with "Re-choose at Start."), loads that word file's events from the lexicon
// through the installed WordSource, and yields them in its window exactly as a Word yields its
// stored events.
//
// Operations, with DOM_A(w) and DOM_B(w) the DOM of w in the left and right branch's set (0.0
// when absent). Each first empties the node's set and then inserts in the order given, by the
// set's own `sorted` rule; a name already present is skipped, so its first insertion decides
// its DOM:
//   Complement      every w of A with 1 − DOM_A(w) (the right branch is not used)
//   ExclusiveUnion  every w of A with DOM_B(w) = 0, keeping DOM_A; then every w of B with
//                   DOM_A(w) = 0, keeping DOM_B
//   Intersection    every w of A with DOM_B(w) ≠ 0, DOM by domMode: 1 the average, 2 the larger,
//                   3 the smaller of DOM_A and DOM_B
//   Union           every w of A, then every w of B, DOM by domMode as above (a word in one
//                   set only is combined with 0.0)
//   SubtractSet     subtractValues clear: every w of A with DOM_B(w) = 0, keeping DOM_A;
//                   set: every w of A with DOM_A − DOM_B, or 0.0 when that is not positive
//
// Stored after the base record: the word set (layout in tree/word_set.h), then the table's
// fields (rechoose; domMode or subtractValues).
//
// Choices made where the behaviour was open:
// - A branch that is not a set node counts as an empty set.
// - Intersection and Union with a domMode other than 1, 2 or 3 (only a file can give one) give
//   an empty set.
// - The picked word's events are copied as the word file holds them; a pick that gives no name
//   (an empty or one-word set, or a word missing from the lexicon) leaves the word events as
//   they were, and a word file that cannot be read leaves none.
#pragma once

#include "events/event_tree.h"
#include "tree/proto_type.h"
#include "tree/registry.h"
#include "tree/word_set.h"

#include <span>
#include <string>
#include <utility>
#include <vector>

std::span<const NodeFactoryEntry> SetNodeTypes();

// What every set node has; the six types derive from it through TypedNode.
class SetNode : public ProtoType {
public:
    void Copy(const ProtoType& source) override;
    void Serialize(CArchive& ar) override;
    void EditData() override;
    bool IsActive(CNoteEventList& list) override;
    // Picks a word and, when the pick names a word of the lexicon, takes its events.
    void ResetCounters() override;
    void Solve(CNoteEventList& list) override;
    void Display() override;
    void GetSpecialName(int which,
                        std::string& label) const override; // 1 Pick Word, 2 Generate Set
    void Special(int which) override;
    // Recomputes the set (operators) and then asks the parent to do the same.
    void GenerateSet() override;
    WordSet* GetWordSet() override { return &wordSet; }

    // The word whose events wordEvents holds ("" before the first pick that found one, and
    // after a word file that could not be read).
    const std::string& PickedWord() const { return picked_; }

    WordSet wordSet;
    CEventTree wordEvents; // the picked word's events, times relative to the window; not stored
    bool rechoose = false; // "Re-choose at Start."

protected:
    // The words an operation inserts, in order.
    using Insertions = std::vector<std::pair<std::string, float>>;
    // The operators list what they insert from the left (a) and right (b) branch's sets and
    // return true; Set keeps its own set and returns false.
    virtual bool Operate(const WordSet& a, const WordSet& b, Insertions& out) const;

private:
    std::string picked_;
};

class Set : public TypedNode<Set, SetNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
};

class Complement : public TypedNode<Complement, SetNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];

protected:
    bool Operate(const WordSet& a, const WordSet& b, Insertions& out) const override;
};

class ExclusiveUnion : public TypedNode<ExclusiveUnion, SetNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];

protected:
    bool Operate(const WordSet& a, const WordSet& b, Insertions& out) const override;
};

// domMode values of Intersection and Union.
constexpr int32_t kDomAverage = 1;
constexpr int32_t kDomMaximum = 2;
constexpr int32_t kDomMinimum = 3;

class Intersection : public TypedNode<Intersection, SetNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];

    int32_t domMode = kDomMinimum;

protected:
    bool Operate(const WordSet& a, const WordSet& b, Insertions& out) const override;
};

class SubtractSet : public TypedNode<SubtractSet, SetNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];

    bool subtractValues = false; // "Remove Completely"

protected:
    bool Operate(const WordSet& a, const WordSet& b, Insertions& out) const override;
};

class Union : public TypedNode<Union, SetNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];

    int32_t domMode = kDomMaximum;

protected:
    bool Operate(const WordSet& a, const WordSet& b, Insertions& out) const override;
};
