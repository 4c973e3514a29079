#include "app/settings.h"

#include "platform/atomic_file.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace app {

const char* const kDeviceSlotKeys[kDeviceSlotCount] = {
    "MIDI IN 1", "MIDI OUT 1", "MIDI OUT 2", "MIDI OUT 3", "MIDI OUT 4", "WAVE IN 1", "WAVE OUT 1"};

namespace {

std::string EnvOr(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : std::string();
}

// A base folder from an XDG variable, or $HOME + fallback.
std::string XdgFolder(const char* variable, const char* fallback) {
    std::string base = EnvOr(variable);
    if (base.empty()) {
        std::string home = EnvOr("HOME");
        base = (home.empty() ? std::string(".") : home) + fallback;
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base;
}

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

// Values are written on one line: backslash, line breaks and surrounding blanks are escaped.
std::string Escape(const std::string& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        bool edge = (i == 0 || i + 1 == v.size()) && (c == ' ' || c == '\t');
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (edge && c == ' ')
            out += "\\s";
        else if (edge && c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

std::string Unescape(const std::string& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        char c = v[++i];
        switch (c) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 's':
            out += ' ';
            break;
        case 't':
            out += '\t';
            break;
        default:
            out += c;
            break;
        }
    }
    return out;
}

bool ParseInt(const std::string& text, int& out) {
    std::string t = Trim(text);
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(t.c_str(), &end, 10);
    if (errno != 0 || end == t.c_str() || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

} // namespace

std::string CSettings::DefaultPath() {
    std::string overridePath = EnvOr("DENDRA_SETTINGS_FILE");
    if (!overridePath.empty()) return overridePath;
    return XdgFolder("XDG_CONFIG_HOME", "/.config") + "/Ondrelles/Dendra.conf";
}

CSettings::CSettings() : path_(DefaultPath()) {}

CSettings::CSettings(std::string path) : path_(std::move(path)) {}

bool CSettings::Load(std::string* error) {
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec) && !ec) {
        sections_.clear();
        return true;
    }
    std::vector<uint8_t> bytes;
    if (!platform::ReadWholeFile(path_, bytes, error)) return false;
    Parse(std::string(bytes.begin(), bytes.end()));
    return true;
}

bool CSettings::Save(std::string* error) const {
    std::filesystem::path p(path_);
    if (p.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(p.parent_path(), ec);
        if (ec) {
            if (error) *error = "Cannot create '" + p.parent_path().string() + "': " + ec.message();
            return false;
        }
    }
    std::string text = Format();
    return platform::WriteFileAtomically(path_, text.data(), text.size(), error);
}

void CSettings::Parse(const std::string& text) {
    sections_.clear();
    Section* current = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = Trim(text.substr(pos, eol - pos));
        pos = eol + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) continue;
            current = &SectionFor(Trim(line.substr(1, close - 1)));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos || current == nullptr) continue;
        std::string key = Trim(line.substr(0, eq));
        if (key.empty()) continue;
        std::string value = Unescape(Trim(line.substr(eq + 1)));
        bool replaced = false;
        for (Entry& e : current->entries) {
            if (SameText(e.key, key)) {
                e.value = value; // the last of repeated keys wins
                replaced = true;
                break;
            }
        }
        if (!replaced) current->entries.push_back({key, value});
    }
}

std::string CSettings::Format() const {
    std::string out;
    for (const Section& s : sections_) {
        if (!out.empty()) out += '\n';
        out += '[' + s.name + "]\n";
        for (const Entry& e : s.entries) out += e.key + '=' + Escape(e.value) + '\n';
    }
    return out;
}

const CSettings::Entry* CSettings::Find(const std::string& section, const std::string& key) const {
    for (const Section& s : sections_) {
        if (!SameText(s.name, section)) continue;
        for (const Entry& e : s.entries)
            if (SameText(e.key, key)) return &e;
    }
    return nullptr;
}

CSettings::Section& CSettings::SectionFor(const std::string& section) {
    for (Section& s : sections_)
        if (SameText(s.name, section)) return s;
    sections_.push_back({section, {}});
    return sections_.back();
}

bool CSettings::Has(const std::string& section, const std::string& key) const {
    return Find(section, key) != nullptr;
}

int CSettings::GetProfileInt(const std::string& section, const std::string& key, int def) const {
    const Entry* e = Find(section, key);
    int v = 0;
    return e && ParseInt(e->value, v) ? v : def;
}

std::string CSettings::GetProfileString(const std::string& section, const std::string& key,
                                        const std::string& def) const {
    const Entry* e = Find(section, key);
    return e ? e->value : def;
}

void CSettings::WriteProfileInt(const std::string& section, const std::string& key, int value) {
    WriteProfileString(section, key, std::to_string(value));
}

void CSettings::WriteProfileString(const std::string& section, const std::string& key,
                                   const std::string& value) {
    // Keys and section names are written on one line of their own; line breaks and the
    // characters that would end them early cannot be stored and are dropped.
    auto clean = [](const std::string& s, bool isKey) {
        std::string out;
        for (char c : s) {
            if (c == '\n' || c == '\r' || (isKey && c == '=') || (!isKey && c == ']')) continue;
            out += c;
        }
        return Trim(out);
    };
    std::string k = clean(key, true);
    std::string sec = clean(section, false);
    if (k.empty() || k[0] == '[' || k[0] == ';' || k[0] == '#') return;
    Section& s = SectionFor(sec);
    for (Entry& e : s.entries) {
        if (SameText(e.key, k)) {
            e.value = value;
            return;
        }
    }
    s.entries.push_back({k, value});
}

bool CSettings::Erase(const std::string& section, const std::string& key) {
    for (Section& s : sections_) {
        if (!SameText(s.name, section)) continue;
        for (auto it = s.entries.begin(); it != s.entries.end(); ++it) {
            if (SameText(it->key, key)) {
                s.entries.erase(it);
                return true;
            }
        }
    }
    return false;
}

std::string DefaultMediaFolder() {
    return XdgFolder("XDG_DATA_HOME", "/.local/share") + "/Dendra/MEDIA/";
}
std::string DefaultLexiconFolder() {
    return DefaultMediaFolder() + "LEXICON/";
}
std::string DefaultDendretumFolder() {
    return DefaultMediaFolder() + "DENDRETUM/";
}

AppSettings DefaultAppSettings() {
    AppSettings s;
    s.media = DefaultMediaFolder();
    s.lexicon = DefaultLexiconFolder();
    s.dendretum = DefaultDendretumFolder();
    return s;
}

AppSettings ReadAppSettings(const CSettings& store) {
    const AppSettings d = DefaultAppSettings();
    AppSettings s;
    auto flag = [&](const char* section, const char* key, bool def) {
        return store.GetProfileInt(section, key, def ? 1 : 0) != 0;
    };
    s.runOnce = flag(kSectionBehavior, "RunOnce", d.runOnce);
    s.newDocument = flag(kSectionBehavior, "NewDocument", d.newDocument);
    s.include = flag(kSectionBehavior, "Include", d.include);
    s.followActive = flag(kSectionBehavior, "FollowActive", d.followActive);
    s.saveLocations = flag(kSectionBehavior, "SaveLocations", d.saveLocations);
    s.compressWaves = flag(kSectionBehavior, "CompressWaves", d.compressWaves);
    s.waveEnabled = flag(kSectionDevices, "Wave", d.waveEnabled);
    s.directSound = flag(kSectionDevices, "DirectSound", d.directSound);
    for (int i = 0; i < kDeviceSlotCount; ++i)
        s.deviceSlots[i] = store.GetProfileString(kSectionDevices, kDeviceSlotKeys[i], "");
    s.media = store.GetProfileString(kSectionLocations, "Media", d.media);
    s.lexicon = store.GetProfileString(kSectionLocations, "Lexicon", d.lexicon);
    s.dendretum = store.GetProfileString(kSectionLocations, "Dendretum", d.dendretum);
    for (int i = 0; i < kRecentFileCount; ++i)
        s.recentFiles[i] =
            store.GetProfileString(kSectionRecentFiles, "File" + std::to_string(i + 1), "");
    for (int i = 0; i < kLibrarySlotCount; ++i)
        s.libraries[i] =
            store.GetProfileString(kSectionLibraries, "Library" + std::to_string(i + 1), "");
    return s;
}

void WriteAppSettings(CSettings& store, const AppSettings& s) {
    store.WriteProfileInt(kSectionBehavior, "CompressWaves", s.compressWaves ? 1 : 0);
    store.WriteProfileInt(kSectionDevices, "Wave", s.waveEnabled ? 1 : 0);
    store.WriteProfileInt(kSectionDevices, "DirectSound", s.directSound ? 1 : 0);
    store.WriteProfileInt(kSectionBehavior, "NewDocument", s.newDocument ? 1 : 0);
    store.WriteProfileInt(kSectionBehavior, "SaveLocations", s.saveLocations ? 1 : 0);
    store.WriteProfileInt(kSectionBehavior, "Include", s.include ? 1 : 0);
    store.WriteProfileInt(kSectionBehavior, "FollowActive", s.followActive ? 1 : 0);
    store.WriteProfileString(kSectionLocations, "Media", s.media);
    store.WriteProfileString(kSectionLocations, "Lexicon", s.lexicon);
    store.WriteProfileString(kSectionLocations, "Dendretum", s.dendretum);
    store.WriteProfileInt(kSectionBehavior, "RunOnce", s.runOnce ? 1 : 0);
    for (int i = 0; i < kDeviceSlotCount; ++i)
        store.WriteProfileString(kSectionDevices, kDeviceSlotKeys[i], s.deviceSlots[i]);
    for (int i = 0; i < kRecentFileCount; ++i) {
        std::string key = "File" + std::to_string(i + 1);
        if (s.recentFiles[i].empty())
            store.Erase(kSectionRecentFiles, key);
        else
            store.WriteProfileString(kSectionRecentFiles, key, s.recentFiles[i]);
    }
    for (int i = 0; i < kLibrarySlotCount; ++i) {
        std::string key = "Library" + std::to_string(i + 1);
        if (s.libraries[i].empty())
            store.Erase(kSectionLibraries, key);
        else
            store.WriteProfileString(kSectionLibraries, key, s.libraries[i]);
    }
}

} // namespace app
