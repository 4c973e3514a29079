#include "tree/params.h"

#include "events/archive.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

// Converts toward zero and saturates at the type's limits (NaN becomes 0).
template <class T> T ToInteger(double v) {
    if (std::isnan(v)) return 0;
    v = std::trunc(v);
    if (v <= static_cast<double>(std::numeric_limits<T>::min())) {
        return std::numeric_limits<T>::min();
    }
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(v);
}

double Hold(const ParamField& f, double v) {
    if (std::isnan(v)) return f.def;
    return std::clamp(v, f.min, f.max);
}

// A text field's dialog takes at most max characters when max is above 0.
std::string HoldText(const ParamField& f, const std::string& text) {
    if (!(f.max > 0.0) || text.size() <= f.max) return text;
    return text.substr(0, static_cast<size_t>(f.max));
}

} // namespace

double GetParamNumber(const ParamField& f, const ProtoType& node) {
    const void* p = f.cat(node);
    switch (f.type) {
    case ParamType::Bool:
        return *static_cast<const bool*>(p) ? 1.0 : 0.0;
    case ParamType::Int32:
        return *static_cast<const int32_t*>(p);
    case ParamType::UInt32:
        return *static_cast<const uint32_t*>(p);
    case ParamType::Float:
        return *static_cast<const float*>(p);
    case ParamType::Text:
        return 0.0;
    }
    return 0.0;
}

void SetParamNumber(const ParamField& f, ProtoType& node, double v) {
    void* p = f.at(node);
    switch (f.type) {
    case ParamType::Bool:
        *static_cast<bool*>(p) = v != 0.0;
        break;
    case ParamType::Int32:
        *static_cast<int32_t*>(p) = ToInteger<int32_t>(v);
        break;
    case ParamType::UInt32:
        *static_cast<uint32_t*>(p) = ToInteger<uint32_t>(v);
        break;
    case ParamType::Float:
        *static_cast<float*>(p) = static_cast<float>(v);
        break;
    case ParamType::Text:
        break;
    }
}

std::string GetParamText(const ParamField& f, const ProtoType& node) {
    if (f.type == ParamType::Text) return *static_cast<const std::string*>(f.cat(node));
    char buf[64];
    if (f.type == ParamType::Float) {
        std::snprintf(buf, sizeof buf, "%.9g", GetParamNumber(f, node));
    } else {
        std::snprintf(buf, sizeof buf, "%.0f", GetParamNumber(f, node));
    }
    return buf;
}

void SetParamText(const ParamField& f, ProtoType& node, const std::string& text) {
    if (f.type == ParamType::Text) {
        *static_cast<std::string*>(f.at(node)) = text;
        return;
    }
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str()) SetParamNumber(f, node, v);
}

void CopyParams(ParamTable table, ProtoType& target, const ProtoType& source) {
    for (const ParamField& f : table) {
        if (f.type == ParamType::Text) {
            *static_cast<std::string*>(f.at(target)) =
                *static_cast<const std::string*>(f.cat(source));
        } else if (f.type == ParamType::Float) {
            // Copied bit for bit (a NaN stays the same NaN).
            *static_cast<float*>(f.at(target)) = *static_cast<const float*>(f.cat(source));
        } else {
            SetParamNumber(f, target, GetParamNumber(f, source));
        }
    }
}

void SerializeParams(ParamTable table, ProtoType& node, CArchive& ar) {
    for (const ParamField& f : table) {
        if (f.store == ParamStore::None) continue;
        if (ar.IsStoring()) {
            if (f.store == ParamStore::Text) {
                ar.WriteString(GetParamText(f, node));
                continue;
            }
            if (f.store == ParamStore::F32) {
                float v = f.type == ParamType::Float ? *static_cast<const float*>(f.cat(node))
                                                     : static_cast<float>(GetParamNumber(f, node));
                ar.WriteFloat(v);
                continue;
            }
            double v = GetParamNumber(f, node);
            // Integers travel as their low bits, two's complement for negative values.
            int64_t i = ToInteger<int64_t>(v);
            if (f.store == ParamStore::U32)
                ar.WriteU32(static_cast<uint32_t>(i));
            else
                ar.WriteU16(static_cast<uint16_t>(i));
            continue;
        }
        if (ar.Failed()) return;
        double v = 0.0;
        switch (f.store) {
        case ParamStore::U16:
            v = ar.ReadU16();
            break;
        case ParamStore::I16:
            v = ar.ReadI16();
            break;
        case ParamStore::U32:
            v = f.type == ParamType::Int32 ? static_cast<double>(ar.ReadI32())
                                           : static_cast<double>(ar.ReadU32());
            break;
        case ParamStore::F32: {
            float x = ar.ReadFloat();
            if (ar.Failed()) return;
            if (f.type == ParamType::Float && !f.holdOnRead) {
                *static_cast<float*>(f.at(node)) = x;
                continue;
            }
            v = x;
            break;
        }
        case ParamStore::Text: {
            std::string s = ar.ReadString();
            if (ar.Failed()) return;
            SetParamText(f, node, s);
            continue;
        }
        case ParamStore::None:
            continue;
        }
        if (ar.Failed()) return;
        if (f.store == ParamStore::U16 && f.type == ParamType::Bool) v = v != 0.0 ? 1.0 : 0.0;
        if (f.holdOnRead) v = Hold(f, v);
        SetParamNumber(f, node, v);
    }
}

void ApplyParamDefaults(ParamTable table, ProtoType& node) {
    for (const ParamField& f : table) {
        if (f.type == ParamType::Text)
            SetParamText(f, node, f.defText ? f.defText : "");
        else
            SetParamNumber(f, node, f.def);
    }
}

const ParamField* FindParam(ParamTable table, std::string_view key) {
    for (const ParamField& f : table) {
        if (f.key && key == f.key) return &f;
    }
    return nullptr;
}

void ParamsToDialog(ParamTable table, const ProtoType& node, ParamDialog& dialog) {
    dialog.fields.assign(table.size(), ParamValue{});
    for (size_t i = 0; i < table.size(); ++i) {
        const ParamField& f = table[i];
        ParamValue& v = dialog.fields[i];
        v.text = GetParamText(f, node);
        v.number = GetParamNumber(f, node);
        if (f.control == ParamControl::Seconds) v.number *= 0.001;
    }
}

void ParamsFromDialog(ParamTable table, ProtoType& node, const ParamDialog& dialog) {
    for (size_t i = 0; i < table.size() && i < dialog.fields.size(); ++i) {
        const ParamField& f = table[i];
        const ParamValue& v = dialog.fields[i];
        switch (f.control) {
        case ParamControl::ReadOnlyText:
        case ParamControl::Hidden:
            break;
        case ParamControl::Text:
            SetParamText(f, node, HoldText(f, v.text));
            break;
        case ParamControl::List:
            if (f.type == ParamType::Text)
                SetParamText(f, node, HoldText(f, v.text));
            else
                SetParamNumber(f, node, Hold(f, v.number));
            break;
        case ParamControl::Check:
            SetParamNumber(f, node, v.number != 0.0 ? 1.0 : 0.0);
            break;
        case ParamControl::Seconds:
            // Whole microseconds first, so that the seconds the dialog showed give back the same
            // milliseconds (1.001 s × 1000 is 1000.9999999999999 as a double).
            SetParamNumber(f, node, Hold(f, std::trunc(std::nearbyint(v.number * 1e6) / 1000.0)));
            break;
        case ParamControl::Number:
            SetParamNumber(f, node, Hold(f, v.number));
            break;
        }
    }
}
