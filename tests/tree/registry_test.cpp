#include "events/archive.h"
#include "tests/tree/tree_helpers.h"
#include "tree/node_io.h"
#include "tree/params.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

using Names = std::vector<std::string>;

TEST(Registry, BuiltFromTheFactoryInMenuOrder) {
    NodeRegistry r;
    r.BuildBuiltins(false);
    EXPECT_EQ(r.Families(),
              (Names{"All Types", "Basic", "Numerical", "Midi", "Set", "Sound Blaster"}))
        << "a family appears once it has a type";
    const Names basic = {"And",      "Counter",  "Every",      "IfThen", "Initialize",
                         "Loop",     "MetaWord", "Null",       "Or",     "Pointer",
                         "Quantize", "Stretch",  "Substitute", "Tempo",  "Word"};
    const Names midi = {
        "Arpeggiate",       "ChordBuilder", "Delay",          "MidiDrumNote", "MidiInput",
        "Interpolate",      "Invert",       "MidiController", "MidiData",     "MidiNote",
        "MidiNoteProperty", "PitchBend",    "Scale"};
    const Names numerical = {"AbsVal",  "Add",         "Constant",    "Cosine",   "Divide",
                             "EqualTo", "Exponential", "GreaterThan", "LessThan", "Limit",
                             "Log",     "LogicalAnd",  "LogicalOr",   "Max",      "Min",
                             "Modulus", "Multiply",    "Not",         "Random",   "RoundTo",
                             "Sine",    "Subtract",    "Tangent",     "Temporal", "TemporalPhase"};
    const Names set = {"Complement", "ExclusiveUnion", "Intersection",
                       "Set",        "SubtractSet",    "Union"};
    const Names soundCard = {"SbEffects", "SbEnvelope", "SbFilter", "SbLFO", "SbPitch"};
    EXPECT_EQ(r.NamesInFamily("Basic"), basic);
    EXPECT_EQ(r.NamesInFamily("Midi"), midi);
    EXPECT_EQ(r.NamesInFamily("Numerical"), numerical);
    EXPECT_EQ(r.NamesInFamily("Set"), set);
    EXPECT_EQ(r.NamesInFamily("Sound Blaster"), soundCard);
    Names all = basic;
    for (const Names* family : {&midi, &numerical, &set, &soundCard}) // Midi follows Basic
        all.insert(all.end(), family->begin(), family->end());
    EXPECT_EQ(r.NamesInFamily("All Types"), all);
    for (const char* hidden : {"Root", "Accrete"}) EXPECT_EQ(r.Find(hidden), nullptr) << hidden;
    for (const RegistryEntry& e : r.Entries()) {
        EXPECT_EQ(e.library, "");
        const NodeFactoryEntry* made = FindNodeType(e.typeName);
        ASSERT_NE(made, nullptr) << e.typeName << " is offered but the factory cannot make it";
        EXPECT_EQ(e.family, made->info->family);
    }
}

// A made-up factory: the order comes from the families and menuOrder, not from registration.
const NodeTypeInfo kSetB = {.typeName = "SetB", .family = "Set", .menuOrder = 20};
const NodeTypeInfo kSetA = {.typeName = "SetA", .family = "Set", .menuOrder = 10};
const NodeTypeInfo kWave = {.typeName = "WaveA", .family = "Wave", .menuOrder = 10};
const NodeTypeInfo kExtra = {.typeName = "ExtraA", .family = "Extra", .menuOrder = 10};
const NodeTypeInfo kNum = {.typeName = "NumA", .family = "Numerical", .menuOrder = 990};
const NodeTypeInfo kHidden = {.typeName = "HiddenA"};
const NodeTypeInfo kTwin = {.typeName = "SetA", .family = "Extra", .menuOrder = 5};
const NodeFactoryEntry kFirst[] = {{&kSetB, &CreateTyped<Null>},
                                   {&kWave, &CreateTyped<Null>},
                                   {&kExtra, &CreateTyped<Null>},
                                   {&kHidden, &CreateTyped<Null>},
                                   {&kSetA, &CreateTyped<Null>}};
const NodeFactoryEntry kSecond[] = {{&kTwin, &CreateTyped<Null>}, {&kNum, &CreateTyped<Null>}};

TEST(Registry, FamiliesOrderAndWaveSupportOfAnyFactory) {
    const std::span<const NodeFactoryEntry> families[] = {kFirst, kSecond};
    NodeRegistry r;
    r.BuildBuiltins(true, families);
    EXPECT_EQ(r.Families(), (Names{"All Types", "Numerical", "Set", "Wave", "Extra"}));
    EXPECT_EQ(r.NamesInFamily("All Types"), (Names{"NumA", "SetA", "SetB", "WaveA", "ExtraA"}))
        << "a type name is offered once, as the factory makes the first one registered";
    EXPECT_EQ(r.Find("SetA")->family, "Set");
    r.BuildBuiltins(false, families);
    EXPECT_EQ(r.Families(), (Names{"All Types", "Numerical", "Set", "Extra"}));
    EXPECT_EQ(r.Find("WaveA"), nullptr) << "wave types need wave support";
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

std::vector<uint8_t> Record(ProtoType& node) {
    CArchive ar;
    WriteNodeRecord(ar, node);
    return ar.Buffer();
}

TEST(Params, TableDefaultsMatchNewNodes) {
    for (std::span<const NodeFactoryEntry> family : NodeFamilies()) {
        for (const NodeFactoryEntry& e : family) {
            std::unique_ptr<ProtoType> node(e.create(false));
            // What a node stores maps back to its registry name ("FxSbFilter" to "SbFilter").
            EXPECT_EQ(FindNodeType(node->TypeName()), &e);
            EXPECT_EQ(node->name, e.info->displayName);
            EXPECT_EQ(node->GetChildCount(), e.info->branches);
            for (const ParamField& f : node->GetParamTable()) {
                if (f.type == ParamType::Text) {
                    EXPECT_EQ(GetParamText(f, *node), f.defText)
                        << e.info->typeName << "." << f.key;
                    continue;
                }
                EXPECT_EQ(GetParamNumber(f, *node), f.def) << e.info->typeName << "." << f.key;
                EXPECT_GE(f.def, f.min) << f.key;
                EXPECT_LE(f.def, f.max) << f.key;
            }
            // The dialog's reset gives back exactly what a new node stores.
            const std::vector<uint8_t> fresh = Record(*node);
            for (const ParamField& f : node->GetParamTable()) {
                if (f.type == ParamType::Text)
                    SetParamText(f, *node, "changed");
                else
                    SetParamNumber(f, *node, f.def == f.max ? f.min : f.max);
            }
            ApplyParamDefaults(node->GetParamTable(), *node);
            EXPECT_EQ(Record(*node), fresh) << e.info->typeName;
        }
    }
}

// What a dialog or a listing needs from each table; a slip here shows only in the dialogs.
TEST(Params, TablesAreCompleteAndConsistent) {
    std::map<std::string, std::set<int>> orders;
    for (std::span<const NodeFactoryEntry> family : NodeFamilies()) {
        for (const NodeFactoryEntry& e : family) {
            const NodeTypeInfo& info = *e.info;
            SCOPED_TRACE(info.typeName);
            if (*info.family) {
                EXPECT_TRUE(orders[info.family].insert(info.menuOrder).second)
                    << "two types share a place in " << info.family;
            }
            std::set<std::string> keys;
            for (const ParamField& f : info.params) {
                SCOPED_TRACE(f.key);
                EXPECT_TRUE(keys.insert(f.key).second) << "keys name fields in the dump";
                EXPECT_FALSE(f.store == ParamStore::None && f.control == ParamControl::Hidden);
                if (f.store != ParamStore::None) {
                    EXPECT_EQ(f.store == ParamStore::Text, f.type == ParamType::Text);
                }
                EXPECT_TRUE(f.control == ParamControl::Hidden || *f.label)
                    << "a shown field has a label";
                EXPECT_TRUE(f.control != ParamControl::List || !f.choices.empty());
                for (const ParamChoice& c : f.choices) {
                    ASSERT_NE(c.label, nullptr);
                    if (f.type == ParamType::Text) continue;
                    EXPECT_GE(c.value, f.min) << c.label;
                    EXPECT_LE(c.value, f.max) << c.label;
                }
            }
        }
    }
}

// Every type the tree editor offers is made through the registry and the factory, stored, read
// back and stored again to the same bytes.
TEST(Registry, EveryOfferedTypeIsMadeStoredAndReadBack) {
    struct Definer : NodeDefiner {
        void DefineNode(ProtoType* node, const std::string& type, void* handle) override {
            made = handle ? nullptr : ReplaceWith(node, type);
        }
        ProtoType* made = nullptr;
    };
    NodeRegistry r;
    r.BuildBuiltins(true);
    ASSERT_GE(r.Entries().size(), 53u);
    for (const RegistryEntry& e : r.Entries()) {
        SCOPED_TRACE(e.typeName);
        Root root;
        Definer doc;
        ASSERT_TRUE(r.CreateByName(doc, root.childOne, e.typeName));
        ASSERT_NE(doc.made, nullptr) << "offered but not made";
        EXPECT_EQ(root.childOne, doc.made);
        EXPECT_EQ(CanonicalTypeName(doc.made->TypeName()), e.typeName); // "FxEnvelope": "Envelope"
        doc.made->AlignTimes(0);
        const std::vector<uint8_t> first = Record(root);
        CArchive in(first);
        Root back;
        NodeReadError err;
        ASSERT_TRUE(ReadNodeRecord(in, back, &err)) << err.message;
        EXPECT_TRUE(in.AtEnd());
        EXPECT_EQ(CanonicalTypeName(back.childOne->TypeName()), e.typeName);
        EXPECT_EQ(Record(back), first);
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

    // Lists: a number is held to the field's range, a text cut to its longest length.
    Scale scale;
    ParamsToDialog(scale.GetParamTable(), scale, d);
    const ParamField* key = FindParam(scale.GetParamTable(), "key");
    const ParamField* name = FindParam(scale.GetParamTable(), "scaleName");
    ASSERT_TRUE(key && name);
    EXPECT_EQ(FindParam(scale.GetParamTable(), "nothing"), nullptr);
    d.fields[static_cast<size_t>(key - scale.GetParamTable().data())].number = 15;
    d.fields[static_cast<size_t>(name - scale.GetParamTable().data())].text = std::string(60, 'x');
    ParamsFromDialog(scale.GetParamTable(), scale, d);
    EXPECT_EQ(scale.key, 11);
    EXPECT_EQ(scale.scaleName, std::string(48, 'x'));
}

} // namespace
