// The node types on the command line: `types`, the type-choice list with each type's table.
#include "cli/commands.h"
#include "cli/json.h"

#include "tree/params.h"
#include "tree/registry.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace cli {

namespace {

int RunTypes(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"types", "[--json]", "list the node types with their parameters",
     "Lists the node types the tree editor offers, in the order of its type choice (wave types\n"
     "included, then the effects of libraries loaded with --library PATH, each with its family\n"
     "and library): for each its name, type id, family and branch count, and each parameter\n"
     "of its table in stored order with its kind (bool, int, uint, float or text), default,\n"
     "range and the choices its dialog offers. The plain listing also shows each parameter's\n"
     "dialog label and control and how it is stored.\n\n"
     "  --json   print {\"types\":[{\"name\":S,\"id\":N,\"family\":S,\"branches\":N,\"params\":[\n"
     "           "
     "{\"name\":S,\"kind\":S,\"default\":V,\"min\":V,\"max\":V,\"choices\":[S,...]}]}]}\n"
     "           on one line; keys without a value are left out (a text field's max is the\n"
     "           longest text its dialog takes; choices are the labels, in the dialog's order)\n",
     RunTypes},
};

const char* KindName(ParamType type) {
    switch (type) {
    case ParamType::Bool:
        return "bool";
    case ParamType::Int32:
        return "int";
    case ParamType::UInt32:
        return "uint";
    case ParamType::Float:
        return "float";
    case ParamType::Text:
        return "text";
    }
    return "";
}

const char* ControlName(ParamControl control) {
    switch (control) {
    case ParamControl::Check:
        return "check box";
    case ParamControl::Number:
        return "number";
    case ParamControl::Seconds:
        return "seconds";
    case ParamControl::Text:
        return "text";
    case ParamControl::ReadOnlyText:
        return "read-only text";
    case ParamControl::Hidden:
        return "hidden";
    case ParamControl::List:
        return "list";
    }
    return "";
}

const char* StoreName(ParamStore store) {
    switch (store) {
    case ParamStore::U16:
        return "stored u16";
    case ParamStore::I16:
        return "stored i16";
    case ParamStore::U32:
        return "stored 32-bit";
    case ParamStore::F32:
        return "stored f32";
    case ParamStore::Text:
        return "stored text";
    case ParamStore::None:
        return "not stored";
    }
    return "";
}

// Whole numbers in plain digits; others the shortest text that reads back as the same number.
bool IsWhole(double v) {
    return std::trunc(v) == v && std::fabs(v) < 9007199254740992.0;
}

std::string Number(double v) {
    if (IsWhole(v)) return std::to_string(static_cast<int64_t>(v));
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

TextJson NumberJson(double v) {
    if (IsWhole(v)) return TextJson(static_cast<int64_t>(v));
    return TextJson(static_cast<float>(v));
}

bool HasRange(const ParamField& f) {
    return f.type != ParamType::Bool && f.type != ParamType::Text;
}

std::string DefaultText(const ParamField& f) {
    if (f.type == ParamType::Text) return '"' + std::string(f.defText ? f.defText : "") + '"';
    if (f.type == ParamType::Bool) return f.def != 0.0 ? "true" : "false";
    return Number(f.def);
}

TextJson DefaultJson(const ParamField& f) {
    if (f.type == ParamType::Text) return textform::String(f.defText ? f.defText : "");
    if (f.type == ParamType::Bool) return TextJson(f.def != 0.0);
    return NumberJson(f.def);
}

void WriteJson(const NodeRegistry& registry) {
    TextJson types = TextJson::array();
    for (const RegistryEntry& e : registry.Entries()) {
        const NodeFactoryEntry* made = e.library.empty() ? FindNodeType(e.typeName) : nullptr;
        TextJson type = TextJson::object();
        type["name"] = textform::String(e.typeName);
        if (made) type["id"] = made->info->typeId;
        type["family"] = textform::String(e.family);
        if (!e.library.empty()) type["library"] = textform::String(e.library);
        if (made) type["branches"] = made->info->branches;
        TextJson params = TextJson::array();
        for (const ParamField& f : made ? made->info->params : ParamTable{}) {
            TextJson param = TextJson::object();
            param["name"] = f.key;
            param["kind"] = KindName(f.type);
            param["default"] = DefaultJson(f);
            if (HasRange(f)) {
                param["min"] = NumberJson(f.min);
                param["max"] = NumberJson(f.max);
            } else if (f.type == ParamType::Text && f.max > 0.0) {
                param["max"] = NumberJson(f.max);
            }
            if (!f.choices.empty()) {
                TextJson choices = TextJson::array();
                for (const ParamChoice& c : f.choices) choices.push_back(c.label ? c.label : "");
                param["choices"] = std::move(choices);
            }
            params.push_back(std::move(param));
        }
        type["params"] = std::move(params);
        types.push_back(std::move(type));
    }
    TextJson json = TextJson::object();
    json["types"] = std::move(types);
    PrintJson(json);
}

// Prints the items after `lead`, wrapped before column 100 under an indent of `lead`'s width.
void PrintWrapped(const std::string& lead, const std::vector<std::string>& items) {
    std::string line = lead;
    bool empty = true; // nothing after the lead or the indent yet
    for (size_t i = 0; i < items.size(); ++i) {
        std::string item = items[i] + (i + 1 < items.size() ? "," : "");
        if (!empty && line.size() + 1 + item.size() > 99) {
            std::printf("%s\n", line.c_str());
            line.assign(lead.size(), ' ');
            empty = true;
        }
        line += ' ';
        line += item;
        empty = false;
    }
    std::printf("%s\n", line.c_str());
}

// One parameter as columns: key, kind, default, range, then its dialog control and storage.
std::vector<std::string> Columns(const ParamField& f) {
    std::string range;
    if (HasRange(f))
        range = Number(f.min) + ".." + Number(f.max);
    else if (f.type == ParamType::Text && f.max > 0.0)
        range = "at most " + Number(f.max) + " characters";
    std::string rest = ControlName(f.control);
    if (*f.label) rest += " \"" + std::string(f.label) + "\"";
    rest += ", ";
    rest += StoreName(f.store);
    if (f.holdOnRead) rest += ", held to its range when read";
    return {f.key, KindName(f.type), "default " + DefaultText(f), range, rest};
}

void PrintText(const NodeRegistry& registry) {
    for (const RegistryEntry& e : registry.Entries()) {
        const NodeFactoryEntry* made = e.library.empty() ? FindNodeType(e.typeName) : nullptr;
        if (!made) {
            std::printf("%s  (family %s, library %s)\n", e.typeName.c_str(), e.family.c_str(),
                        e.library.c_str());
            continue;
        }
        const NodeTypeInfo& info = *made->info;
        std::printf("%s  (id %d, family %s, %d branch%s)\n", e.typeName.c_str(), info.typeId,
                    e.family.c_str(), info.branches, info.branches == 1 ? "" : "es");
        std::vector<std::vector<std::string>> rows;
        std::vector<size_t> widths;
        for (const ParamField& f : info.params) {
            rows.push_back(Columns(f));
            widths.resize(rows.back().size());
            for (size_t c = 0; c < widths.size(); ++c)
                widths[c] = std::max(widths[c], rows.back()[c].size());
        }
        for (size_t i = 0; i < rows.size(); ++i) {
            std::string line = "   ";
            for (size_t c = 0; c < rows[i].size(); ++c) {
                if (widths[c] == 0) continue;
                line += ' ';
                line += rows[i][c];
                if (c + 1 < rows[i].size()) line.append(widths[c] - rows[i][c].size() + 1, ' ');
            }
            std::printf("%s\n", line.c_str());
            const ParamField& f = info.params[i];
            if (f.choices.empty()) continue;
            std::vector<std::string> items;
            for (const ParamChoice& c : f.choices) {
                std::string label = c.label ? c.label : "";
                const std::string value = std::to_string(c.value);
                const bool plain = f.type == ParamType::Text || label == value;
                items.push_back(plain ? label : label + " = " + value);
            }
            PrintWrapped(std::string(4 + widths[0] + 1, ' ') + " choices:", items);
        }
    }
}

int RunTypes(const std::vector<std::string>& args) {
    const Command& self = kCommands[0];
    if (WantsHelp(args)) {
        PrintCommandHelp(self);
        return kExitOk;
    }
    bool json = false;
    for (const std::string& a : args) {
        if (a == "--json")
            json = true;
        else
            return UsageError(self, "unknown argument: " + a);
    }
    // Built with the wave types and any --library effects (ApplyRunOptions).
    const NodeRegistry& registry = Registry();
    if (json)
        WriteJson(registry);
    else
        PrintText(registry);
    return kExitOk;
}

} // namespace

extern const CommandGroup kTypesCommands = {"types", kCommands, {}};

} // namespace cli
