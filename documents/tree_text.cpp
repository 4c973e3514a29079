#include "documents/tree_text.h"

#include "documents/tree_document.h"
#include "events/archive.h"
#include "nodes/control.h"
#include "nodes/library.h"
#include "nodes/wave.h"
#include "tree/node_io.h"
#include "tree/params.h"
#include "tree/registry.h"
#include "tree/word_set.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>

namespace {

using textform::Error;
using textform::ObjectReader;

// ---- hooks ------------------------------------------------------------------------------------

bool IsPath(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c == 'L' || c == 'R'; });
}

void WriteWordData(const ProtoType& node, TextJson& object) {
    // Walking the store moves only its read cursor.
    auto& word = const_cast<Word&>(static_cast<const Word&>(node));
    textform::PutEvents(object, "events", "eventsLength", word.events);
}

void ReadWordData(ObjectReader& object, NodeTextContext&, CArchive& out) {
    textform::WriteEvents(object, "events", "eventsLength", out);
}

void WritePointerData(const ProtoType& node, TextJson& object) {
    const auto& pointer = static_cast<const Pointer&>(node);
    if (!pointer.Target()) return;
    std::string path;
    pointer.Target()->GetPath(path);
    object["target"] = path;
}

void ReadPointerData(ObjectReader& object, NodeTextContext& context, CArchive& out) {
    const std::string path = object.Text("target", "");
    if (!IsPath(path))
        object.Fail("target", "takes a path of L and R steps from the Root, not " +
                                  textform::Shown(TextJson(path)));
    if (!path.empty()) context.RequireNode(path, "target", false);
    out.WriteString(path);
}

// Accrete stores its references bottom-up ("RL": right of the left branch); the text form
// writes them top-down from the Accrete ("LR").
void WriteAccreteData(const ProtoType& node, TextJson& object) {
    const auto& accrete = static_cast<const Accrete&>(node);
    TextJson inner = TextJson::array();
    for (const ProtoType* r : accrete.inner) {
        if (!r) continue;
        std::string path = accrete.InnerPath(r);
        std::reverse(path.begin(), path.end());
        inner.push_back(path);
    }
    if (!inner.empty()) object["inner"] = std::move(inner);
}

void ReadAccreteData(ObjectReader& object, NodeTextContext& context, CArchive& out) {
    std::vector<std::string> paths;
    if (const TextJson* inner = object.Take("inner")) {
        if (!inner->is_array() || inner->size() > 2)
            object.Fail("inner", "takes an array of at most two paths");
        for (const TextJson& p : *inner) {
            if (!p.is_string() || !IsPath(p.get<std::string>()))
                object.Fail("inner", "takes paths of L and R steps from the Accrete, not " +
                                         textform::Shown(p));
            std::string path = p.get<std::string>();
            // An empty path is a reference outside the Accrete's branches: none.
            if (!path.empty()) context.RequireNode(context.NodePath() + path, "inner", true);
            std::reverse(path.begin(), path.end());
            paths.push_back(std::move(path));
        }
    }
    out.WriteU16(static_cast<uint16_t>(paths.size()));
    for (const std::string& p : paths) out.WriteString(p);
}

// A set node's words in list order with their DOMs, its chance and its sorted flag.
void WriteWordSetData(const ProtoType& node, TextJson& object) {
    const WordSet* set = const_cast<ProtoType&>(node).GetWordSet();
    if (!set) return;
    TextJson words = TextJson::array();
    for (size_t i = 0; i < set->Count(); ++i) {
        TextJson w = TextJson::object();
        w["word"] = textform::String(set->WordAt(i));
        w["dom"] = textform::Float(set->DomAt(i));
        words.push_back(std::move(w));
    }
    TextJson j = TextJson::object();
    j["chance"] = textform::Float(set->chance);
    j["sorted"] = set->sorted;
    j["words"] = std::move(words);
    object["wordSet"] = std::move(j);
}

// The set as the node stores it: version, chance, sorted flag, count, then each word and DOM.
void ReadWordSetData(ObjectReader& object, NodeTextContext&, CArchive& out) {
    float chance = 0.0f;
    bool sorted = true;
    std::vector<std::pair<std::string, float>> words;
    if (const TextJson* set = object.Take("wordSet")) {
        if (!set->is_object())
            object.Fail("wordSet", "takes an object, not " + textform::KindOf(*set));
        ObjectReader s(*set, object.Where() + ": wordSet");
        chance = s.Number("chance", 0.0f, 0.0f, 1.0f);
        sorted = s.Bool("sorted", true);
        if (const TextJson* list = s.Take("words")) {
            if (!list->is_array())
                s.Fail("words", "takes an array, not " + textform::KindOf(*list));
            if (list->size() > WordSet::kMaxWords)
                s.Fail("words", "holds more than " + std::to_string(WordSet::kMaxWords) + " words");
            for (const TextJson& item : *list) {
                if (!item.is_object())
                    s.Fail("words",
                           "takes objects of a word and its DOM, not " + textform::KindOf(item));
                ObjectReader w(item, s.Where() + ": words");
                std::string word = w.Text("word", "");
                if (word.empty()) w.Fail("word", "needs a word");
                for (const auto& known : words)
                    if (known.first == word)
                        w.Fail("word", textform::Shown(item["word"]) + " is in the set twice");
                const float dom = w.Number("dom", 1.0f, 0.0f, 1.0f);
                w.Finish();
                words.emplace_back(std::move(word), dom);
            }
        }
        s.Finish();
    }
    out.WriteU16(1);
    out.WriteFloat(chance);
    out.WriteU16(sorted ? 1 : 0);
    out.WriteU16(static_cast<uint16_t>(words.size()));
    for (const auto& [word, dom] : words) {
        out.WriteString(word);
        out.WriteFloat(dom);
    }
}

std::vector<NodeTextHook>& Hooks() {
    static std::vector<NodeTextHook> hooks = {
        {"Word", &WriteWordData, &ReadWordData},
        {"Pointer", &WritePointerData, &ReadPointerData},
        {"Accrete", &WriteAccreteData, &ReadAccreteData},
        {"Set", &WriteWordSetData, &ReadWordSetData, true},
        {"Complement", &WriteWordSetData, &ReadWordSetData, true},
        {"ExclusiveUnion", &WriteWordSetData, &ReadWordSetData, true},
        {"Intersection", &WriteWordSetData, &ReadWordSetData, true},
        {"SubtractSet", &WriteWordSetData, &ReadWordSetData, true},
        {"Union", &WriteWordSetData, &ReadWordSetData, true},
    };
    return hooks;
}

// ---- writing ----------------------------------------------------------------------------------

TextJson ParamsJson(const ProtoType& node) {
    TextJson params = TextJson::object();
    for (const ParamField& field : node.GetParamTable()) {
        if (field.store == ParamStore::None) continue;
        TextJson& v = params[field.key];
        switch (field.type) {
        case ParamType::Bool:
            v = GetParamNumber(field, node) != 0.0;
            break;
        case ParamType::Int32:
            v = static_cast<int64_t>(GetParamNumber(field, node));
            break;
        case ParamType::UInt32:
            v = static_cast<uint64_t>(GetParamNumber(field, node));
            break;
        case ParamType::Float:
            v = textform::Float(*static_cast<const float*>(field.cat(node)));
            break;
        case ParamType::Text:
            v = textform::String(GetParamText(field, node));
            break;
        }
    }
    return params;
}

// ---- reading ----------------------------------------------------------------------------------

std::string Shown(const std::string& path) {
    std::string s = "Root";
    for (char c : path) {
        s += '/';
        s += c;
    }
    return s;
}

// A node's type as the factory knows it, or the Root's.
const NodeTypeInfo* TypeByName(const std::string& name) {
    if (name == Root::kInfo.typeName) return &Root::kInfo;
    const NodeFactoryEntry* entry = FindNodeType(name);
    return entry ? entry->info : nullptr;
}

const NodeTypeInfo* TypeById(int64_t id) {
    for (std::span<const NodeFactoryEntry> family : NodeFamilies())
        for (const NodeFactoryEntry& e : family)
            if (e.info->typeId == id) return e.info;
    return nullptr;
}

// What a node has at its branches once read: another read node, or a Null made for a missing
// branch (-1).
struct Shape {
    int branches = 0;
    int child[2] = {-1, -1};
};

struct Requirement {
    std::string path;
    std::string where;
    std::string field;
    std::string holder; // the path of the node that asks
    bool mayContain;
};

class TreeWriter : public NodeTextContext {
public:
    TreeWriter(std::string prefix, CArchive& out) : prefix_(std::move(prefix)), out_(out) {}

    const std::string& NodePath() const override { return path_; }
    void RequireNode(const std::string& path, const std::string& field, bool mayContain) override {
        required_.push_back({path, where_, field, path_, mayContain});
    }

    // The Root's record from the "root" field (null: a new tree's Root).
    void WriteRoot(const TextJson* root) {
        static const TextJson kEmpty = TextJson::object();
        if (root && !root->is_object())
            throw Error(Where("") + (prefix_.empty() ? "" : ": ") +
                        "\"root\" takes an object, not " + textform::KindOf(*root));
        bool isRoot = true;
        if (root) {
            const auto type = root->find("type");
            const auto id = root->find("id");
            if (type != root->end())
                isRoot = *type == Root::kInfo.typeName;
            else if (id != root->end())
                isRoot = *id == Root::kInfo.typeId;
            if (isRoot && type != root->end() && id != root->end() && *id != Root::kInfo.typeId)
                throw Error(Where("Root (Root)") + ": \"id\" of the Root is 0");
        }
        if (isRoot) {
            WriteNode(root ? *root : kEmpty, Root::kInfo, 10000, 0);
        } else {
            // A root that is not a Root is the only branch of a new tree's Root.
            const int index = NewShape(Root::kInfo.branches);
            out_.WriteString(Root::kInfo.displayName);
            out_.WriteU32(0);
            out_.WriteU32(10000);
            path_ = "L";
            shapes_[static_cast<size_t>(index)].child[0] = WriteBranch(*root, 10000, 1);
            path_.clear();
        }
        CheckRequirements();
    }

private:
    std::string Where(const std::string& node) const {
        return prefix_.empty() ? node : node.empty() ? prefix_ : prefix_ + ": " + node;
    }

    int NewShape(int branches) {
        shapes_.push_back(Shape{branches, {-1, -1}});
        return static_cast<int>(shapes_.size() - 1);
    }

    // A branch: its type name, then its record. Returns its shape.
    int WriteBranch(const TextJson& json, uint32_t parentDuration, int depth) {
        const std::string where = Where(Shown(path_));
        if (depth > kMaxNodeDepth)
            throw Error(where + ": the tree is nested deeper than " +
                        std::to_string(kMaxNodeDepth) + " levels");
        static const TextJson kNull = TextJson::object();
        const NodeTypeInfo* info = nullptr;
        const TextJson* node = &json;
        if (json.is_null()) {
            info = TypeByName("Null");
            node = &kNull;
        } else {
            ObjectReader r(json, where);
            const std::string type = r.Text("type", "");
            const bool hasId = r.Has("id");
            const int64_t id = r.Integer("id", -1, 0, std::numeric_limits<int32_t>::max());
            if (!type.empty()) {
                info = TypeByName(type);
                if (!info || info == &Root::kInfo)
                    throw Error(where + ": unknown node type " + textform::Shown(TextJson(type)));
                if (hasId && id != info->typeId)
                    r.Fail("id", std::to_string(id) + " is not the id of " + info->typeName + " (" +
                                     std::to_string(info->typeId) + ")");
            } else if (hasId) {
                info = TypeById(id);
                if (!info) r.Fail("id", std::to_string(id) + " is the id of no node type");
            } else {
                throw Error(where + ": a node needs its \"type\"");
            }
        }
        if (!info) throw Error(where + ": unknown node type");
        if (!TextFormHolds(*info))
            throw Error(where + ": the text form does not describe " + info->typeName +
                        " nodes; keep this tree as a .dra file");
        // The name a node of the type stores itself under ("FxSbFilter" for SbFilter).
        out_.WriteString(Scratch(*info).TypeName());
        return WriteNode(*node, *info, parentDuration, depth);
    }

    int WriteNode(const TextJson& json, const NodeTypeInfo& info, uint32_t parentDuration,
                  int depth) {
        where_ = Where(Shown(path_) + " (" + info.typeName + ")");
        ObjectReader n(json, where_);
        n.Take("type");
        n.Take("id");
        const int index = NewShape(info.branches);
        const std::string name = n.Text("name", info.displayName);
        const uint32_t start = n.U32("start", 0);
        const uint32_t duration = n.U32("duration", parentDuration);
        out_.WriteString(name);
        out_.WriteU32(start);
        out_.WriteU32(duration);

        const TextJson* children = n.Take("children");
        if (children && !children->is_array())
            n.Fail("children", "takes an array of nodes, not " + textform::KindOf(*children));
        const size_t given = children ? children->size() : 0;
        if (given > static_cast<size_t>(info.branches))
            n.Fail("children", "holds " + std::to_string(given) + " nodes but " + info.typeName +
                                   " has " + std::to_string(info.branches) + " branch" +
                                   (info.branches == 1 ? "" : "es"));
        for (int i = 0; i < info.branches; ++i) {
            path_ += i == 0 ? 'L' : 'R';
            static const TextJson kMissing;
            const TextJson& child = static_cast<size_t>(i) < given ? (*children)[i] : kMissing;
            const int c = WriteBranch(child, duration, depth + 1);
            // Nulls made for missing branches need no shape of their own.
            shapes_[static_cast<size_t>(index)].child[i] = child.is_null() ? -1 : c;
            path_.pop_back();
        }
        where_ = Where(Shown(path_) + " (" + info.typeName + ")");
        n.SetWhere(where_);
        const NodeTextHook* hook = FindNodeTextHook(info.typeName);
        if (hook && hook->dataFirst) hook->read(n, *this, out_);
        WriteParams(n, info);
        if (hook && !hook->dataFirst) hook->read(n, *this, out_);
        n.Finish();
        return index;
    }

    [[noreturn]] void FailParam(const ParamField& f, const std::string& what) const {
        throw Error(where_ + ": parameter \"" + f.key + "\" " + what);
    }

    // The fields of the type's table, in its order, through a node of the type so that they
    // are stored exactly as the type stores them.
    void WriteParams(ObjectReader& n, const NodeTypeInfo& info) {
        const TextJson* params = n.Take("params");
        if (params && !params->is_object())
            n.Fail("params", "takes an object, not " + textform::KindOf(*params));
        const ParamTable table = info.params;
        if (params) {
            for (auto it = params->begin(); it != params->end(); ++it) {
                const ParamField* f = FindParam(table, it.key());
                if (!f)
                    throw Error(where_ + ": unknown parameter " +
                                textform::Shown(TextJson(it.key())));
                if (f->store == ParamStore::None)
                    FailParam(*f, "is not stored and cannot be given");
            }
        }
        if (table.empty()) return;
        ProtoType& node = Scratch(info);
        for (const ParamField& f : table) {
            if (f.store == ParamStore::None) continue;
            const TextJson* v = nullptr;
            if (params) {
                auto it = params->find(f.key);
                if (it != params->end()) v = &*it;
            }
            if (!v) {
                if (f.type == ParamType::Text)
                    SetParamText(f, node, f.defText ? f.defText : "");
                else
                    SetParamNumber(f, node, f.def);
                continue;
            }
            SetParam(f, *v, node);
        }
        SerializeParams(table, node, out_);
    }

    void SetParam(const ParamField& f, const TextJson& v, ProtoType& node) {
        if (f.type == ParamType::Text) {
            if (!v.is_string()) FailParam(f, "takes a text, not " + textform::KindOf(v));
            SetParamText(f, node, v.get<std::string>());
            return;
        }
        if (f.type == ParamType::Bool) {
            if (v.is_boolean()) {
                SetParamNumber(f, node, v.get<bool>() ? 1.0 : 0.0);
                return;
            }
            if (v.is_number_integer() && (v == 0 || v == 1)) {
                SetParamNumber(f, node, v == 1 ? 1.0 : 0.0);
                return;
            }
            FailParam(f, "takes true or false, not " + textform::Shown(v));
        }
        double d = 0.0;
        if (v.is_string() && !f.choices.empty() && !textform::NumberOf(v, d)) {
            d = Choice(f, v.get<std::string>());
        } else if (v.is_boolean() && f.control == ParamControl::Check) {
            d = v.get<bool>() ? 1.0 : 0.0;
        } else if (!textform::NumberOf(v, d)) {
            FailParam(f, "takes a number" + std::string(f.choices.empty() ? "" : " or a choice") +
                             ", not " + textform::KindOf(v));
        }
        // The widest range the member and its stored width can carry.
        double lo = 0.0, hi = 4294967295.0;
        bool whole = f.type != ParamType::Float;
        if (f.type == ParamType::Int32) lo = -2147483648.0, hi = 2147483647.0;
        if (f.type == ParamType::Float) lo = -std::numeric_limits<double>::infinity(), hi = -lo;
        switch (f.store) {
        case ParamStore::U16:
            lo = std::max(lo, 0.0), hi = std::min(hi, 65535.0), whole = true;
            break;
        case ParamStore::I16:
            lo = std::max(lo, -32768.0), hi = std::min(hi, 32767.0), whole = true;
            break;
        case ParamStore::U32:
            whole = true;
            if (f.type == ParamType::Float) lo = 0.0, hi = 4294967295.0;
            break;
        default:
            break;
        }
        if (whole && d != std::trunc(d))
            FailParam(f, "takes a whole number, not " + textform::Shown(v));
        const bool ranged = f.min < f.max || f.holdOnRead;
        if (f.type == ParamType::Float) {
            const auto x = static_cast<float>(d);
            const bool inRange =
                x >= lo && x <= hi &&
                (!ranged || (x >= static_cast<float>(f.min) && x <= static_cast<float>(f.max)));
            if (!inRange) FailParam(f, textform::Shown(v) + " is outside " + Range(f, lo, hi));
        } else if (!(d >= lo && d <= hi && (!ranged || (d >= f.min && d <= f.max)))) {
            FailParam(f, textform::Shown(v) + " is outside " + Range(f, lo, hi));
        }
        SetParamNumber(f, node, d);
    }

    static std::string Number(double v) {
        if (v == std::trunc(v) && std::fabs(v) < 1e15)
            return std::to_string(static_cast<int64_t>(v));
        return textform::Compact(TextJson(static_cast<float>(v)));
    }

    static std::string Range(const ParamField& f, double lo, double hi) {
        const bool ranged = f.min < f.max || f.holdOnRead;
        const double a = ranged ? std::max(lo, f.min) : lo;
        const double b = ranged ? std::min(hi, f.max) : hi;
        return Number(a) + " to " + Number(b);
    }

    double Choice(const ParamField& f, const std::string& label) const {
        for (const ParamChoice& c : f.choices)
            if (c.label && label == c.label) return c.value;
        auto lower = [](std::string s) {
            for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            return s;
        };
        for (const ParamChoice& c : f.choices)
            if (c.label && lower(label) == lower(c.label)) return c.value;
        std::string offered;
        for (size_t i = 0; i < f.choices.size() && i < 12; ++i)
            offered += (i ? ", " : "") + std::string(f.choices[i].label ? f.choices[i].label : "");
        if (f.choices.size() > 12) offered += ", ...";
        FailParam(f, textform::Shown(TextJson(label)) + " is not one of its choices (" + offered +
                         ")");
    }

    ProtoType& Scratch(const NodeTypeInfo& info) {
        auto& made = scratch_[&info];
        if (!made) {
            const NodeFactoryEntry* entry = FindNodeType(info.typeName);
            made.reset(entry ? entry->create(true) : nullptr);
            if (!made) throw Error(where_ + ": the type cannot be made");
        }
        return *made;
    }

    // Whether the node at `path` exists once the tree is read.
    bool Exists(const std::string& path) const {
        int at = 0;
        for (size_t i = 0; i < path.size(); ++i) {
            const Shape& s = shapes_[static_cast<size_t>(at)];
            const int which = path[i] == 'L' ? 0 : 1;
            if (which >= s.branches) return false;
            at = s.child[which];
            // A Null made for a missing branch has no branches.
            if (at < 0) return i + 1 == path.size();
        }
        return true;
    }

    void CheckRequirements() const {
        for (const Requirement& r : required_) {
            if (!Exists(r.path))
                throw Error(r.where + ": \"" + r.field +
                            "\" names no node: " + textform::Shown(TextJson(r.path)));
            if (!r.mayContain && r.holder.compare(0, r.path.size(), r.path) == 0)
                throw Error(r.where + ": \"" + r.field + "\" " + textform::Shown(TextJson(r.path)) +
                            " contains the node itself");
        }
    }

    std::string prefix_;
    CArchive& out_;
    std::string path_;
    std::string where_;
    std::vector<Shape> shapes_;
    std::vector<Requirement> required_;
    std::map<const NodeTypeInfo*, std::unique_ptr<ProtoType>> scratch_;
};

} // namespace

void RegisterNodeTextHook(const NodeTextHook& hook) {
    for (NodeTextHook& h : Hooks()) {
        if (std::string_view(h.typeName) == hook.typeName) {
            h = hook;
            return;
        }
    }
    Hooks().push_back(hook);
}

const NodeTextHook* FindNodeTextHook(std::string_view typeName) {
    for (const NodeTextHook& h : Hooks())
        if (typeName == h.typeName) return &h;
    return nullptr;
}

namespace {

// What a reader wants to see of the types the text form does not describe: an envelope's points,
// a compiler's wave, an effect-library node's library and bytes.
void WriteShownData(const ProtoType& node, TextJson& j) {
    if (const auto* envelope = dynamic_cast<const FxEnvelope*>(&node)) {
        TextJson points = TextJson::array();
        for (const EnvelopePoint& p : envelope->points)
            points.push_back(
                {{"level", textform::Float(p.level)}, {"position", textform::Float(p.position)}});
        j["points"] = std::move(points);
    } else if (const auto* compiler = dynamic_cast<const FxWaveCompiler*>(&node)) {
        const WAVEFORMATEX f = compiler->Format();
        j["wave"] = {{"formatTag", f.wFormatTag},         {"rate", f.nSamplesPerSec},
                     {"channels", f.nChannels},           {"bits", f.wBitsPerSample},
                     {"frames", compiler->Frames()},      {"lengthMs", compiler->LengthMs()},
                     {"compiled", compiler->IsCompiled()}};
    } else if (const auto* effect = dynamic_cast<const LibraryNode*>(&node)) {
        static const char kHex[] = "0123456789abcdef";
        std::string hex;
        for (uint8_t b : effect->LibraryBytes()) {
            hex += kHex[b >> 4];
            hex += kHex[b & 15];
        }
        j["library"] = textform::String(effect->LibraryName());
        j["effect"] = textform::String(effect->EffectName());
        j["loaded"] = effect->IsBound();
        j["bytes"] = hex;
    }
}

} // namespace

TextJson NodeJson(const ProtoType& node) {
    std::string type;
    node.GetFxTypeName(type);
    TextJson j = TextJson::object();
    j["type"] = textform::String(type);
    j["id"] = node.GetTypeId();
    j["name"] = textform::String(node.GetName());
    j["start"] = node.start;
    j["duration"] = node.duration;
    j["params"] = ParamsJson(node);
    TextJson children = TextJson::array();
    if (node.childOne) children.push_back(NodeJson(*node.childOne));
    if (node.childTwo) children.push_back(NodeJson(*node.childTwo));
    j["children"] = std::move(children);
    if (const NodeTextHook* hook = FindNodeTextHook(type)) hook->write(node, j);
    WriteShownData(node, j);
    return j;
}

bool TextFormHolds(const NodeTypeInfo& info) {
    const std::string_view family = info.family ? info.family : "";
    const std::string_view name = info.typeName ? info.typeName : "";
    return family != "Wave" && name != "Library";
}

TextJson TreeJson(CDendraDoc& doc) {
    TextJson j = TextJson::object();
    j["kind"] = "tree";
    j["version"] = doc.FileVersionRead();
    j["solvable"] = doc.Options().solvable;
    j["saveGenerated"] = doc.Options().saveGenerated;
    j["comments"] = textform::String(doc.GetComments());
    j["root"] = NodeJson(doc.GetRoot());
    textform::PutEvents(j, "solution", "solutionLength", doc.Solution());
    return j;
}

std::string TreeText(CDendraDoc& doc) {
    return textform::Indented(TreeJson(doc));
}

void WriteTreeFile(const TextJson& tree, const std::string& where, CArchive& out, bool solve) {
    ObjectReader t(tree, where);
    if (t.Has("kind") && t.Text("kind", "") != "tree") t.Fail("kind", "must be \"tree\" here");
    t.Integer("version", kDendraFileVersion, 0, kDendraFileVersion);
    const bool solvable = t.Bool("solvable", true);
    const bool saveGenerated = t.Bool("saveGenerated", true);
    const std::string comments = t.Text("comments", kDefaultComments);
    const bool solutionGiven = t.Has("solution");

    CArchive file;
    file.WriteU32(kDendraFileVersion);
    file.WriteU32(kDendraMagic);
    file.WriteU16(solvable ? 1 : 0);
    TreeWriter(where, file).WriteRoot(t.Take("root"));
    const bool keep = saveGenerated && solutionGiven;
    file.WriteU16(keep ? 1 : 0);
    if (keep) {
        textform::WriteEvents(t, "solution", "solutionLength", file);
    } else {
        // A solution the file would not keep is not read.
        t.Take("solution");
        t.Take("solutionLength");
    }
    file.WriteString(comments);
    t.Finish();

    if (saveGenerated && !solutionGiven && solve) {
        // The tree keeps a solution but gives none: solved as reading its file would, then kept.
        CDendraDoc doc;
        CArchive in(file.Buffer());
        if (!doc.ReadDocument(in))
            throw Error((where.empty() ? "" : where + ": ") + "the tree cannot be read");
        doc.Options().saveGenerated = true;
        CArchive solved;
        doc.WriteDocument(solved);
        out.WriteBytes(solved.Buffer().data(), solved.Buffer().size());
        return;
    }
    out.WriteBytes(file.Buffer().data(), file.Buffer().size());
}

bool TreeTextToFile(std::string_view text, std::vector<uint8_t>& bytes, std::string* error,
                    bool solve) {
    TextJson json;
    if (!textform::Parse(text, json, error)) return false;
    try {
        CArchive out;
        WriteTreeFile(json, "", out, solve);
        bytes = out.Buffer();
        return true;
    } catch (const textform::Error& e) {
        if (error) *error = e.what();
        return false;
    }
}
