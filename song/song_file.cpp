// Song files (.sng): reading versions 1 to 5, writing version 5, and opening the documents
// that a song refers to by path.
//
// Layout (little-endian, archive strings): u32 version, u32 magic 1643527 (versions 4 and up),
// the header settings (versions 2 and up; the current form above version 4, the older form
// otherwise), the description, u16 entry count (at most 40), one u16 record mode per entry, then
// per entry: its settings, u16 contained and, when contained is 1, u32 kind (256 a tree, any
// other value an event list) and the document's own data.
#include "documents/event_list_document.h"
#include "documents/midi_document.h"
#include "documents/tree_document.h"
#include "documents/wave_document.h"
#include "events/archive.h"
#include "platform/user_messages.h"
#include "song/song_document.h"
#include "song/song_text.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

CSongDoc::DocumentOpener& Opener() {
    static CSongDoc::DocumentOpener opener;
    return opener;
}

CSongDoc::FileSearch& Search() {
    static CSongDoc::FileSearch search;
    return search;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The file name of a path written on any system.
std::string BaseName(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string ExtensionOf(const std::string& path) {
    std::string name = BaseName(path);
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? "" : Lower(name.substr(dot));
}

bool IsRegularFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::is_regular_file(fs::path(path), ec);
}

// Where a stored path is found: as it is, or (relative, or written with the other separator)
// beside the song file. "" when neither exists.
std::string Locate(const std::string& stored, const std::string& folder) {
    if (IsRegularFile(stored)) return stored;
    std::string slashed = stored;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    if (IsRegularFile(slashed)) return slashed;
    if (!folder.empty()) {
        if (!slashed.empty() && slashed[0] != '/') {
            std::string beside = (fs::path(folder) / slashed).string();
            if (IsRegularFile(beside)) return beside;
        }
        std::string byName = (fs::path(folder) / BaseName(stored)).string();
        if (IsRegularFile(byName)) return byName;
    }
    return "";
}

struct ReadEntry {
    EntrySettings settings;
    int mode = kRecordOff;
    bool contained = false;
    std::shared_ptr<CChanDoc> document; // contained documents only
};

bool Damaged() {
    platform::Messages().Show(kDamagedSongMessage, platform::MessageKind::Error);
    return false;
}

} // namespace

void CSongDoc::SetDocumentOpener(DocumentOpener opener) {
    Opener() = std::move(opener);
}

void CSongDoc::SetFileSearch(FileSearch search) {
    Search() = std::move(search);
}

std::shared_ptr<CChanDoc> CSongDoc::OpenDocumentByPath(const std::string& path) {
    std::string ext = ExtensionOf(path);
    char head[12] = {};
    {
        std::ifstream in(path, std::ios::binary);
        in.read(head, sizeof head);
    }
    std::shared_ptr<CChanDoc> doc;
    uint32_t magic = 0;
    std::memcpy(&magic, head + 4, 4);
    if (ext == ".mid" || ext == ".midi" || std::memcmp(head, "MThd", 4) == 0)
        doc = std::make_shared<CMidiDoc>();
    else if (ext == ".wav" || ext == ".aif" || ext == ".aiff" || ext == ".aifc" || ext == ".au" ||
             ext == ".snd" || std::memcmp(head, "RIFF", 4) == 0 ||
             std::memcmp(head, "FORM", 4) == 0 || std::memcmp(head, ".snd", 4) == 0)
        doc = std::make_shared<CWaveDoc>();
    else if (ext == ".dra" || magic == kDendraMagic ||
             textform::SniffFile(path) == textform::TextKind::Tree)
        doc = std::make_shared<CDendraDoc>();
    else if (ext == ".sel" || ext == ".wrd")
        doc = std::make_shared<CSELDoc>();
    else {
        platform::MessageBox("A song cannot include [" + path + "]: unknown kind of document.");
        return nullptr;
    }
    if (!doc->OnOpenDocument(path)) return nullptr;
    return doc;
}

std::string CSongDoc::SearchFolderForFile(const std::string& path, const std::string& folder) {
    const std::string name = Lower(BaseName(path));
    if (name.empty()) return "";
    std::error_code ec;
    fs::path start = folder.empty() ? fs::current_path(ec) : fs::path(folder);
    if (ec) return "";
    // A bounded walk: a search never runs away over a huge disk.
    constexpr int kMaxVisited = 200000;
    int visited = 0;
    auto options = fs::directory_options::skip_permission_denied;
    for (fs::recursive_directory_iterator it(start, options, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (++visited > kMaxVisited) break;
        std::error_code fileEc;
        if (it->is_regular_file(fileEc) && Lower(it->path().filename().string()) == name)
            return it->path().string();
    }
    return "";
}

bool CSongDoc::OnOpenDocument(const std::string& path) {
    folder_ = fs::path(path).parent_path().string();
    bool ok = CChanDoc::OnOpenDocument(path);
    folder_.clear();
    return ok;
}

bool CSongDoc::ReadDocument(CArchive& ar) {
    if (textform::HoldsText(ar)) {
        SongTextFile file;
        std::string error;
        if (!SongTextToFile(textform::RemainingText(ar), file, &error)) {
            platform::Messages().Show("The text of this song cannot be read: " + error,
                                      platform::MessageKind::Error);
            return false;
        }
        CArchive in(std::move(file.bytes));
        if (!ReadDocument(in)) return false;
        ApplyLeftOutSettings(*this, file);
        return true;
    }
    const uint32_t version = ar.ReadU32();
    if (ar.Failed()) return Damaged();
    // A newer file is refused outright, so that a Save cannot overwrite it with an empty song.
    if (version > kSongFileVersion) {
        platform::Messages().Show(kNewerVersionMessage, platform::MessageKind::Error);
        return false;
    }
    if (version > 3) {
        uint32_t magic = ar.ReadU32();
        if (ar.Failed()) return Damaged();
        if (magic != kSongMagic) {
            platform::Messages().Show(kNotSongMessage, platform::MessageKind::Error);
            return false;
        }
    }
    const bool currentForm = version > 4;
    EntrySettings header;
    if (version > 1 && !ReadEntrySettings(ar, header, currentForm)) return Damaged();
    std::string description = ar.ReadString();
    const uint16_t count = ar.ReadU16();
    if (ar.Failed()) return Damaged();
    if (count > kMaxSongEntries) {
        platform::Messages().Show(kSongEntriesInFileMessage, platform::MessageKind::Error);
        return false;
    }
    std::vector<ReadEntry> read(count);
    for (ReadEntry& r : read) {
        uint16_t mode = ar.ReadU16();
        r.mode = mode <= kRecordWave ? mode : kRecordOff;
    }
    for (ReadEntry& r : read) {
        if (!ReadEntrySettings(ar, r.settings, currentForm)) return Damaged();
        uint16_t contained = ar.ReadU16();
        if (ar.Failed()) return Damaged();
        if (contained != 1) continue;
        r.contained = true;
        uint32_t kind = ar.ReadU32();
        if (ar.Failed()) return Damaged();
        std::shared_ptr<CChanDoc> doc;
        if (kind == kDocKindDendra)
            doc = std::make_shared<CDendraDoc>();
        else
            doc = std::make_shared<CSELDoc>();
        // The document's reader shows what is wrong with its data.
        if (!doc->ReadDocument(ar) || ar.Failed()) return false;
        doc->SetTitle(r.settings.name);
        doc->SetModifiedFlag(false);
        r.document = std::move(doc);
    }

    // The whole file was read: open the referenced documents, each path once.
    std::map<std::string, std::shared_ptr<CChanDoc>> opened;
    std::map<CChanDoc*, std::set<int>> usedChannels;
    for (ReadEntry& r : read) {
        if (r.contained || r.settings.sourcePath.empty()) continue;
        const std::string stored = r.settings.sourcePath;
        auto known = opened.find(stored);
        if (known != opened.end()) {
            r.document = known->second;
            continue;
        }
        std::string path = Locate(stored, folder_);
        if (path.empty() &&
            platform::Messages().Ask(MissingFileQuestion(stored), platform::Answer::No) ==
                platform::Answer::Yes) {
            FileSearch& search = Search();
            path = search ? search(stored, folder_) : SearchFolderForFile(stored, folder_);
            if (!path.empty()) r.settings.sourcePath = path;
        }
        std::shared_ptr<CChanDoc> doc;
        if (!path.empty()) {
            DocumentOpener& opener = Opener();
            doc = opener ? opener(path) : OpenDocumentByPath(path);
            if (doc &&
                (doc->GetDocKind() == kDocKindSong || doc->GetDocKind() == kDocKindCollection)) {
                platform::MessageBox(kCannotIncludeMessage);
                doc.reset();
            }
        }
        opened[stored] = doc;
        r.document = doc;
        // Entries after this one that name the same path take the found path too.
        if (r.settings.sourcePath != stored)
            for (ReadEntry& other : read)
                if (!other.contained && other.settings.sourcePath == stored)
                    other.settings.sourcePath = r.settings.sourcePath;
    }

    // Take everything over.
    while (!entries_.empty()) RemoveEntry(EntryCount() - 1);
    ResetMerge();
    header_ = header;
    description_ = std::move(description);
    versionRead_ = version < 1 ? 1 : version;
    length_ = 0;
    prepared_ = false;
    for (ReadEntry& r : read) {
        int channel = 1;
        std::shared_ptr<CChanDoc> doc = r.document;
        if (doc && !r.contained) {
            // The channel stored with the entry, else the document's next channel not yet taken.
            std::set<int>& used = usedChannels[doc.get()];
            int channels =
                doc->GetDocKind() == kDocKindMidi ? std::max(1, doc->GetChannelCount()) : 1;
            int want = r.settings.word1;
            if (want < 1 || want > channels || used.count(want)) {
                want = 0;
                for (int ch = 1; ch <= channels && !want; ++ch)
                    if (!used.count(ch)) want = ch;
            }
            if (want == 0) {
                doc.reset(); // the document no longer has a channel for this entry
            } else {
                used.insert(want);
                channel = want;
            }
        }
        int index = AddEntry(doc, channel, &r.settings);
        SongEntry& e = Entry(index);
        if (!doc) e.settings.word1 = r.settings.word1;
        e.contained = r.contained;
        e.recordMode = r.mode;
        if (r.contained) e.settings.sourcePath = kContainedPath;
        UpdateAllViews(nullptr, kHintSongEntry + index);
    }
    UpdateAllViews(nullptr);
    return true;
}

void CSongDoc::WriteDocumentTo(const std::string& path, CArchive& ar) {
    if (!textform::IsTextPath(path)) {
        WriteDocument(ar);
        return;
    }
    const std::string text = SongText(*this);
    ar.WriteBytes(text.data(), text.size());
}

void CSongDoc::WriteDocument(CArchive& ar) {
    ar.WriteU32(kSongFileVersion);
    ar.WriteU32(kSongMagic);
    WriteEntrySettings(ar, header_);
    ar.WriteString(description_);
    ar.WriteU16(static_cast<uint16_t>(EntryCount()));
    for (int i = 0; i < EntryCount(); ++i)
        ar.WriteU16(static_cast<uint16_t>(Entry(i).recordMode & 0xFFFF));
    for (int i = 0; i < EntryCount(); ++i) {
        SongEntry& e = Entry(i);
        WriteEntrySettings(ar, e.settings);
        const bool contained = e.contained && e.document;
        ar.WriteU16(contained ? 1 : 0);
        if (!contained) continue;
        CChanDoc& doc = *e.document;
        if (doc.GetDocKind() == kDocKindDendra) {
            ar.WriteU32(kDocKindDendra);
            doc.WriteDocument(ar);
        } else if (doc.GetDocKind() == kDocKindWordList) {
            ar.WriteU32(kDocKindWordList);
            doc.WriteDocument(ar);
        } else {
            // Any other kept document is stored as an event list of the entry's channel.
            ar.WriteU32(kDocKindWordList);
            ar.WriteU32(0);
            ar.WriteU32(doc.GetTicksPerBeat(kUnitsPerBeat));
            CEventTree empty;
            CEventTree* store = EntryEvents(i);
            (store ? *store : empty).Serialize(ar);
        }
    }
}
