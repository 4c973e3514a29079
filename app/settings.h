// The per-user settings store: sections of keys with a default for every read.
//
// The settings live in an INI file, by default $XDG_CONFIG_HOME/Ondrelles/Dendra.conf
// ($HOME/.config/Ondrelles/Dendra.conf when XDG_CONFIG_HOME is unset). The environment variable
// DENDRA_SETTINGS_FILE, or the path given to the constructor, points the store at another file
// (tests do that). Sections and keys are compared without regard to case, as the desktop's
// registry does; their spelling, order and any entries this program does not know are kept when
// the file is written back. Writing goes through a temporary file renamed over the target.
//
// Used on the user-interface thread only.
#pragma once

#include <string>
#include <vector>

namespace app {

class CSettings {
public:
    // The file the store uses unless told otherwise (see above).
    static std::string DefaultPath();

    CSettings();
    explicit CSettings(std::string path);

    const std::string& Path() const { return path_; }

    // Reads the file. A missing file is an empty store (every read gives its default) and
    // succeeds; a file that exists but cannot be read fails with *error set and leaves the
    // store as it was.
    bool Load(std::string* error = nullptr);
    // Writes the store back atomically, creating the folder when needed.
    bool Save(std::string* error = nullptr) const;

    // Parses INI text into the store, replacing what it held.
    void Parse(const std::string& text);
    // The store as INI text.
    std::string Format() const;

    bool Has(const std::string& section, const std::string& key) const;
    // An integer setting; the default when it is missing or not a whole number.
    int GetProfileInt(const std::string& section, const std::string& key, int def) const;
    std::string GetProfileString(const std::string& section, const std::string& key,
                                 const std::string& def) const;
    void WriteProfileInt(const std::string& section, const std::string& key, int value);
    void WriteProfileString(const std::string& section, const std::string& key,
                            const std::string& value);
    // Removes a key; true when it was there.
    bool Erase(const std::string& section, const std::string& key);

private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };

    const Entry* Find(const std::string& section, const std::string& key) const;
    Section& SectionFor(const std::string& section);

    std::string path_;
    std::vector<Section> sections_;
};

// Section and key names.
inline constexpr const char* kSectionBehavior = "Behavior";
inline constexpr const char* kSectionDevices = "Devices";
inline constexpr const char* kSectionLocations = "Locations";
inline constexpr const char* kSectionRecentFiles = "Recent File List";
// The effect-library slots: keys Library1 to Library6, each an absolute path (empty: none).
inline constexpr const char* kSectionLibraries = "Libraries";
inline constexpr int kLibrarySlotCount = 6;

// The device slots of section Devices, in order.
inline constexpr int kDeviceSlotCount = 7;
extern const char* const kDeviceSlotKeys[kDeviceSlotCount];
// Entries of the recent-file list (keys File1 to File6).
inline constexpr int kRecentFileCount = 6;

// The application's settings, as read at start-up and written by the settings dialog.
struct AppSettings {
    // Behavior
    bool runOnce = true;
    bool newDocument = true;
    bool include = true;
    bool followActive = true;
    bool saveLocations = false;
    bool compressWaves = false;
    // Devices
    bool waveEnabled = true;
    bool directSound = false;
    std::string
        deviceSlots[kDeviceSlotCount]; // "MIDI IN 1", "MIDI OUT 1".."4", "WAVE IN 1", "WAVE OUT 1"
    // Locations, each ending in "/"
    std::string media;
    std::string lexicon;
    std::string dendretum;
    // The recent-file list, most recent first; empty entries are unused.
    std::string recentFiles[kRecentFileCount];
    // Libraries: the effect libraries loaded at start-up, in slot order; empty slots are unused.
    std::string libraries[kLibrarySlotCount];
};

// The default folders: $XDG_DATA_HOME/Dendra/MEDIA/ ($HOME/.local/share/... when unset) and its
// LEXICON/ and DENDRETUM/ sub-folders.
std::string DefaultMediaFolder();
std::string DefaultLexiconFolder();
std::string DefaultDendretumFolder();

// An AppSettings holding every default.
AppSettings DefaultAppSettings();
// Reads every setting, each with its default.
AppSettings ReadAppSettings(const CSettings& store);
// Stores every setting under its key, in the order the settings dialog stores them (CompressWaves,
// Devices/Wave, Devices/DirectSound, NewDocument, SaveLocations, Include, FollowActive, the three
// Locations), then RunOnce, the device slots, the recent files and the library slots (an empty
// slot's key is removed). The caller saves the store.
void WriteAppSettings(CSettings& store, const AppSettings& settings);

} // namespace app
