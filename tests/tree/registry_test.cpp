#include "tests/tree/tree_helpers.h"
#include "tree/params.h"

#include <gtest/gtest.h>

namespace {

TEST(Registry, FamiliesAndEntriesInMenuOrder) {
    NodeRegistry r;
    r.BuildBuiltins(false);
    EXPECT_EQ(r.Families(), (std::vector<std::string>{"All Types", "Basic", "Numerical", "Midi",
                                                      "Set", "Sound Blaster"}));
    ASSERT_EQ(r.Entries().size(), 15u + 13 + 25 + 6 + 5);
    EXPECT_EQ(r.Entries()[0].typeName, "And");
    EXPECT_EQ(r.Entries()[15].typeName, "Arpeggiate"); // Midi follows Basic in the list
    EXPECT_EQ(r.Entries()[28].typeName, "AbsVal");
    EXPECT_EQ(r.Entries().back().typeName, "SbPitch");
    EXPECT_EQ(r.NamesInFamily("Set"),
              (std::vector<std::string>{"Complement", "ExclusiveUnion", "Intersection", "Set",
                                        "SubtractSet", "Union"}));
    EXPECT_EQ(r.NamesInFamily("All Types").size(), r.Entries().size());
    r.BuildBuiltins(true);
    EXPECT_EQ(r.Families().back(), "Wave");
    EXPECT_EQ(r.Entries().back().typeName, "WaveCompiler");
}

TEST(Factory, NamesAliasesAndTheFxRule) {
    EXPECT_EQ(CanonicalTypeName("Note"), "MidiNote");
    EXPECT_EQ(CanonicalTypeName("DrumNote"), "MidiDrumNote");
    EXPECT_EQ(CanonicalTypeName("NoteProperty"), "MidiNoteProperty");
    EXPECT_EQ(CanonicalTypeName("Input"), "MidiInput");
    EXPECT_EQ(CanonicalTypeName("WaveSource"), "WaveFile");
    EXPECT_EQ(CanonicalTypeName("FxSbFilter"), "SbFilter");
    EXPECT_EQ(CanonicalTypeName("FxBandPass"), "BandPass");
    EXPECT_EQ(CanonicalTypeName("AbFxCd"), "FxCd"); // the first two characters go, wherever Fx is
    std::unique_ptr<ProtoType> note(CreateNode("Note"));
    ASSERT_TRUE(note);
    EXPECT_EQ(note->GetTypeId(), 208);
    std::unique_ptr<ProtoType> fx(CreateNode("FxConstant"));
    ASSERT_TRUE(fx);
    EXPECT_EQ(fx->TypeName(), "Constant");
    EXPECT_EQ(CreateNode("Unknown"), nullptr);
    EXPECT_EQ(CreateNode("Root"), nullptr) << "the Root is never created by name";
    EXPECT_EQ(CreateNode("and"), nullptr) << "names compare case-sensitively";
}

TEST(Factory, ReplaceWithLinksTheNewNode) {
    Root root;
    root.childOne->duration = 3000;
    ProtoType* old = root.childOne;
    EXPECT_EQ(ReplaceWith(old, "Unknown"), nullptr);
    EXPECT_EQ(root.childOne, old) << "an unknown name leaves the tree unchanged";
    ProtoType* a = ReplaceWith(old, "And");
    ASSERT_TRUE(a);
    EXPECT_EQ(root.childOne, a);
    EXPECT_EQ(a->parent, &root);
    EXPECT_EQ(a->duration, 3000u);
    EXPECT_EQ(a->start, 0u);
    ASSERT_EQ(a->GetChildCount(), 2);
    for (ProtoType* c : {a->childOne, a->childTwo}) {
        EXPECT_EQ(c->TypeName(), "Null");
        EXPECT_EQ(c->parent, a);
        EXPECT_EQ(c->start, 0u);
    }
    a->AlignTimes(0);
    EXPECT_EQ(a->childTwo->duration, 3000u);
    ProtoType* b = ReplaceWith(a->childTwo, "Every");
    EXPECT_EQ(a->childTwo, b);
    EXPECT_EQ(a->WhichChild(b), 1);
}

TEST(Registry, GetFxListParseAndLibrarySlots) {
    auto parsed = ParseFxList("Echo|Effects|Warp|Effects|Hum|Noises|Tail|");
    ASSERT_EQ(parsed.size(), 3u);
    EXPECT_EQ(parsed[2].typeName, "Hum");
    EXPECT_EQ(parsed[2].family, "Noises");
    EXPECT_TRUE(ParseFxList("|Echo|Effects|").empty()) << "a bar at position 0 ends the list";
    EXPECT_TRUE(ParseFxList("").empty());

    NodeRegistry r;
    r.BuildBuiltins(false);
    EXPECT_EQ(r.AddLibraryEntries(0, "", "Empty"), 0);
    EXPECT_EQ(r.slots[0].name, "");
    int dummy = 0;
    r.slots[1].handle = &dummy;
    EXPECT_EQ(r.AddLibraryEntries(1, "Echo|Effects|Warp|Basic|", "FxPack"), 2);
    EXPECT_EQ(r.slots[1].name, "FxPack");
    EXPECT_EQ(r.Families().back(), "Effects");
    EXPECT_EQ(r.NamesInFamily("Basic").back(), "Warp");

    struct Definer : NodeDefiner {
        void DefineNode(ProtoType* node, const std::string& type, void* handle) override {
            calls.push_back({node, type, handle});
        }
        struct Call {
            ProtoType* node;
            std::string type;
            void* handle;
        };
        std::vector<Call> calls;
    } doc;
    Null n;
    EXPECT_TRUE(r.CreateByName(doc, &n, "Echo"));
    EXPECT_TRUE(r.CreateByName(doc, &n, "Loop"));
    EXPECT_FALSE(r.CreateByName(doc, &n, "Nothing"));
    ASSERT_EQ(doc.calls.size(), 2u);
    EXPECT_EQ(doc.calls[0].handle, &dummy);
    EXPECT_EQ(doc.calls[1].handle, nullptr) << "built-ins match the first slot without a library";
    for (int i = 0; i < kLibrarySlots; ++i) r.slots[i].name = "L" + std::to_string(i);
    EXPECT_FALSE(r.CreateByName(doc, &n, "Loop"));
}

TEST(Params, TableDefaultsMatchNewNodes) {
    for (std::span<const NodeFactoryEntry> family : NodeFamilies()) {
        for (const NodeFactoryEntry& e : family) {
            std::unique_ptr<ProtoType> node(e.create(false));
            EXPECT_EQ(node->TypeName(), e.info->typeName);
            EXPECT_EQ(node->name, e.info->displayName);
            EXPECT_EQ(node->GetChildCount(), e.info->branches);
            for (const ParamField& f : node->GetParamTable()) {
                if (f.type == ParamType::Text) continue;
                EXPECT_EQ(GetParamNumber(f, *node), f.def) << e.info->typeName << "." << f.key;
                EXPECT_GE(f.def, f.min) << f.key;
                EXPECT_LE(f.def, f.max) << f.key;
            }
        }
    }
}

TEST(Params, ConversionsAndDialogRanges) {
    Loop loop;
    const ParamField& f = loop.GetParamTable()[0];
    SetParamNumber(f, loop, -5);
    EXPECT_EQ(loop.loopPoint, 0u) << "unsigned fields saturate";
    SetParamNumber(f, loop, 1e12);
    EXPECT_EQ(loop.loopPoint, 0xFFFFFFFFu);
    ParamDialog d;
    loop.loopPoint = 1500;
    ParamsToDialog(loop.GetParamTable(), loop, d);
    EXPECT_DOUBLE_EQ(d.fields[0].number, 1.5) << "shown in seconds";
    d.fields[0].number = 0.0;
    ParamsFromDialog(loop.GetParamTable(), loop, d);
    EXPECT_EQ(loop.loopPoint, 1u) << "held to at least 1 ms";
    d.fields[0].number = 2.0009;
    ParamsFromDialog(loop.GetParamTable(), loop, d);
    EXPECT_EQ(loop.loopPoint, 2000u) << "truncated";

    Stretch s;
    EXPECT_EQ(GetParamText(s.GetParamTable()[0], s), "1");
    SetParamText(s.GetParamTable()[0], s, "2.5");
    EXPECT_EQ(s.factor, 2.5f);
    SetParamText(s.GetParamTable()[0], s, "oops");
    EXPECT_EQ(s.factor, 2.5f);
}

} // namespace
