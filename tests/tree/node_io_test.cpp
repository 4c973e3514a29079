#include "events/archive.h"
#include "platform/user_messages.h"
#include "tests/tree/tree_helpers.h"
#include "tree/node_io.h"
#include "tree/params.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

std::vector<uint8_t> Record(ProtoType& node) {
    CArchive ar;
    WriteNodeRecord(ar, node);
    return ar.Buffer();
}

// Gives every stored parameter a value other than its default.
void Vary(ProtoType& n, int salt) {
    for (const ParamField& f : n.GetParamTable()) {
        if (f.type == ParamType::Text) continue;
        if (f.control == ParamControl::Check || f.type == ParamType::Bool) {
            SetParamNumber(f, n, f.def == 0 ? 1 : 0);
        } else if (f.max > f.min) {
            double span = std::min(f.max - f.min, 1000.0);
            SetParamNumber(f, n, f.min + std::trunc(span * 0.37) + salt);
        }
    }
    n.name = "node " + std::to_string(salt);
    n.start = 10u + salt;
    n.duration = 7000u + salt;
}

// Root -> And(And(original subtree, Null), MidiNote) with a node of `type` as the original; a
// Pointer points at the MidiNote.
ProtoType* BuildSample(Root& root, const NodeFactoryEntry& e) {
    ProtoType* top = Put(root.childOne, "And");
    ProtoType* a = Put(top->childOne, "And");
    ProtoType* target = Put(top->childTwo, "MidiNote");
    ProtoType* n = Put(a->childOne, e.info->typeName);
    Vary(*n, 3);
    if (n->childOne) Vary(*Put(n->childOne, "Loop"), 5);
    if (n->childTwo) Vary(*Put(n->childTwo, "MidiNote"), 6);
    if (auto* w = As<Word>(n)) {
        w->events.AddCopyAt(EventMidi(0, 0x91, 60, 99, 250), 120);
        w->events.AddCopyAt(EventMidi(0, 0xB2, 7, 90), 480);
    }
    if (auto* p = As<Pointer>(n)) p->SetTarget(target);
    if (auto* acc = As<Accrete>(n)) acc->inner[0] = acc->childOne;
    return n;
}

TEST(NodeRecords, EveryTypeCopiesAndRoundTrips) {
    int types = 0;
    for (std::span<const NodeFactoryEntry> family : NodeFamilies()) {
        for (const NodeFactoryEntry& e : family) {
            ++types;
            SCOPED_TRACE(e.info->typeName);
            Root root;
            ProtoType* n = BuildSample(root, e);
            ProtoType* a = root.childOne->childOne;

            // Copy into the other branch of the same tree.
            ProtoType* c = Put(a->childTwo, e.info->typeName);
            c->Copy(*n);
            EXPECT_EQ(Record(*c), Record(*n));
            if (n->childOne) {
                EXPECT_NE(c->childOne, n->childOne) << "fresh branches";
            }
            if (auto* p = As<Pointer>(c)) {
                EXPECT_EQ(p->Target(), root.childOne->childTwo);
            }
            if (auto* acc = As<Accrete>(c)) {
                EXPECT_EQ(acc->inner[0], c->childOne);
            }

            // Store and read back.
            std::vector<uint8_t> bytes = Record(root);
            CArchive in(bytes);
            Root back;
            NodeReadError err;
            ASSERT_TRUE(ReadNodeRecord(in, back, &err)) << err.message;
            EXPECT_TRUE(in.AtEnd());
            EXPECT_EQ(Record(back), bytes);
            ProtoType* m = back.childOne->childOne->childOne;
            // What the node stores maps back to its type ("FxSbFilter" to "SbFilter").
            EXPECT_EQ(FindNodeType(m->TypeName()), &e);
            if (auto* p = As<Pointer>(m)) {
                EXPECT_EQ(p->Target(), back.childOne->childTwo);
            }
            if (auto* acc = As<Accrete>(m)) {
                EXPECT_EQ(acc->inner[0], m->childOne);
            }
        }
    }
    EXPECT_GE(types, 54); // control, MIDI, numeric and logic families at least
}

TEST(NodeRecords, PointerTargetReadLaterIsResolved) {
    Root root;
    ProtoType* a = Put(root.childOne, "And");
    auto* p = Put<Pointer>(a->childOne, "Pointer");
    ProtoType* t = Put(a->childTwo, "MidiNote");
    t->name = "Target";
    p->SetTarget(t);
    std::vector<uint8_t> bytes = Record(root);
    CArchive in(bytes);
    Root back;
    ASSERT_TRUE(ReadNodeRecord(in, back));
    auto* q = static_cast<Pointer*>(back.childOne->childOne);
    EXPECT_EQ(q->Target(), back.childOne->childTwo);
    EXPECT_EQ(q->targetName, "Target");
}

TEST(NodeRecords, AStoredPathToAnAncestorLeavesNoTarget) {
    // Root -> And(And(p, Null), MidiNote): p points at the MidiNote ("LR"); the bytes are then
    // changed to point at p's own parent ("LL"), which contains it.
    Root root;
    ProtoType* a = Put(root.childOne, "And");
    ProtoType* b = Put(a->childOne, "And");
    auto* p = Put<Pointer>(b->childOne, "Pointer");
    ASSERT_TRUE(p->SetTarget(Put(a->childTwo, "MidiNote")));
    std::vector<uint8_t> bytes = Record(root);
    const std::vector<uint8_t> path{2, 'L', 'R'};
    auto at = std::search(bytes.begin(), bytes.end(), path.begin(), path.end());
    ASSERT_NE(at, bytes.end());
    at[2] = 'L';
    CArchive in(bytes);
    Root back;
    ASSERT_TRUE(ReadNodeRecord(in, back));
    EXPECT_EQ(static_cast<Pointer*>(back.childOne->childOne->childOne)->Target(), nullptr);
}

TEST(NodeRecords, ReadingASubtreeLeavesTheTreesOtherPointersAlone) {
    // Root -> And(And(MidiNote "Tune", lost), And(MidiNote "Tune", And(p, Null))): p points at
    // the second "Tune", `lost` nowhere. Reading a branch into the Null must neither move p (a
    // search by name would find the first "Tune") nor complain about `lost`.
    Root root;
    ProtoType* a = Put(root.childOne, "And");
    ProtoType* b = Put(a->childOne, "And");
    ProtoType* c = Put(a->childTwo, "And");
    Put(b->childOne, "MidiNote")->name = "Tune";
    auto* lost = Put<Pointer>(b->childTwo, "Pointer");
    lost->targetName = "Gone";
    ProtoType* second = Put(c->childOne, "MidiNote");
    second->name = "Tune";
    ProtoType* d = Put(c->childTwo, "And");
    auto* p = Put<Pointer>(d->childOne, "Pointer");
    ASSERT_TRUE(p->SetTarget(second));

    Root source;
    Put(source.childOne, "Loop");
    CArchive out;
    WriteTypedNode(out, *source.childOne);
    platform::ScopedRecordingMessages messages;
    CArchive in(out.Buffer());
    ASSERT_NE(ReadTypedNode(in, *d->childTwo), nullptr);
    EXPECT_EQ(d->childTwo->TypeName(), "Loop");
    EXPECT_EQ(p->Target(), second);
    EXPECT_EQ(lost->Target(), nullptr);
    EXPECT_TRUE(messages.Shown().empty());
}

TEST(NodeRecords, UnknownTypeFailsAndNamesIt) {
    CArchive ar;
    ar.WriteString("Root");
    ar.WriteU32(0);
    ar.WriteU32(10000);
    ar.WriteString("Bogus");
    ar.WriteString("x");
    CArchive in(ar.Buffer());
    Root back;
    NodeReadError err;
    EXPECT_FALSE(ReadNodeRecord(in, back, &err));
    EXPECT_EQ(err.unknownType, "Bogus");
    EXPECT_NE(err.message.find("Bogus"), std::string::npos);
}

TEST(NodeRecords, NestingLimit) {
    for (int depth : {kMaxNodeDepth - 1, kMaxNodeDepth + 5}) {
        Root root;
        ProtoType* at = root.childOne;
        for (int i = 0; i < depth; ++i) at = Put(at, "Loop")->childOne;
        std::vector<uint8_t> bytes = Record(root);
        CArchive in(bytes);
        Root back;
        NodeReadError err;
        bool ok = ReadNodeRecord(in, back, &err);
        EXPECT_EQ(ok, depth < kMaxNodeDepth) << depth;
        EXPECT_EQ(err.tooDeep, depth >= kMaxNodeDepth);
    }
}

TEST(NodeRecords, TruncatedRecordsFailCleanly) {
    Root root;
    for (const NodeFactoryEntry& e : ControlNodeTypes()) {
        BuildSample(root, e);
        std::vector<uint8_t> bytes = Record(root);
        for (size_t cut = 0; cut < bytes.size(); ++cut) {
            CArchive in(bytes.data(), cut);
            Root back;
            NodeReadError err;
            EXPECT_FALSE(ReadNodeRecord(in, back, &err)) << e.info->typeName << " " << cut;
            EXPECT_FALSE(err.message.empty());
        }
    }
}

TEST(NodeRecords, OldFilesCarryABranchUnderWordAndNotes) {
    CEventTree empty;
    CArchive ar;
    ar.WriteString("Root");
    ar.WriteU32(0);
    ar.WriteU32(10000);
    ar.WriteString("Word");
    ar.WriteString("W");
    ar.WriteU32(0);
    ar.WriteU32(500);
    ar.WriteString("Note"); // the old branch, itself an old note with its own old branch
    ar.WriteString("N");
    ar.WriteU32(0);
    ar.WriteU32(0);
    ar.WriteString("Null");
    ar.WriteString("NULL");
    ar.WriteU32(0);
    ar.WriteU32(0);
    ar.WriteU16(0);
    ar.WriteU16(3);
    ar.WriteFloat(61);
    ar.WriteFloat(80);
    ar.WriteFloat(100);
    ar.WriteU16(1); // the Word's flag
    empty.Serialize(ar);
    CArchive in(ar.Buffer());
    Root back;
    back.fileVersion = 4;
    ASSERT_TRUE(ReadNodeRecord(in, back));
    EXPECT_TRUE(in.AtEnd());
    auto* w = static_cast<Word*>(back.childOne);
    EXPECT_EQ(w->TypeName(), "Word");
    EXPECT_EQ(w->GetChildCount(), 0);
    EXPECT_TRUE(w->generateFromTree);
    EXPECT_EQ(w->duration, 500u);
}

TEST(NodeRecords, ValuesThatWouldExplodeAreHeldWhenRead) {
    Root root;
    auto* a = Put(root.childOne, "And");
    auto* loop = Put<Loop>(a->childOne, "Loop");
    auto* a2 = Put(a->childTwo, "And");
    auto* q = Put<Quantize>(a2->childOne, "Quantize");
    auto* p = Put<Pointer>(a2->childTwo, "Pointer");
    loop->loopPoint = 0;
    q->quanta = -7;
    p->recursionLimit = 99;
    std::vector<uint8_t> bytes = Record(root);
    CArchive in(bytes);
    Root back;
    ASSERT_TRUE(ReadNodeRecord(in, back));
    EXPECT_EQ(static_cast<Loop*>(back.childOne->childOne)->loopPoint, 1u);
    EXPECT_EQ(static_cast<Quantize*>(back.childOne->childTwo->childOne)->quanta, 1);
    EXPECT_EQ(static_cast<Pointer*>(back.childOne->childTwo->childTwo)->recursionLimit, 40);
}

} // namespace
