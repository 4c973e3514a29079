#include "documents/lexicon.h"

#include "documents/event_list_document.h"
#include "events/event_tree.h"
#include "platform/user_messages.h"

#include <filesystem>
#include <memory>
#include <system_error>

std::string DefaultLexiconFolder(const std::string& programFolder) {
    std::string folder = programFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + "MEDIA/LEXICON/";
}

std::string LexiconMissingMessage(const std::string& word, const std::string& folder) {
    std::string text = "Could not find ";
    text += '"';
    text += word;
    text += " \"";
    text += " in Lexicon( ";
    text += '"';
    text += folder;
    text += '"';
    text += " ).";
    return text;
}

std::string WordFileName(const std::string& word) {
    const size_t cut = word.find_last_of("\\/");
    return cut == std::string::npos ? word : word.substr(cut + 1);
}

bool LookupWord(std::string& word, const std::string& folder, bool showMessage) {
    word = WordFileName(word);
    if (!word.empty() && word != "." && word != "..") {
        std::filesystem::path path = std::filesystem::path(folder) / word;
        std::error_code ec;
        if (std::filesystem::is_regular_file(path, ec)) {
            word = path.string();
            return true;
        }
    }
    if (showMessage) platform::MessageBox(LexiconMissingMessage(word, folder));
    word.clear();
    return false;
}

WordLoad LexiconWords::LoadWord(const std::string& word, CEventTree& events) {
    std::string path = word;
    if (!LookupWord(path, folder_, false)) return WordLoad::Missing;
    CSELDoc doc;
    if (!doc.OnOpenDocument(path)) return WordLoad::Unreadable;
    CEventTree& read = doc.GetEvents();
    events.Clear();
    for (SongEvent* e = read.First(); e; e = read.Next()) events.AddCopyAt(*e, read.CurrentTime());
    return WordLoad::Loaded;
}

void UseLexiconFolder(const std::string& folder) {
    static std::unique_ptr<LexiconWords> source;
    source = std::make_unique<LexiconWords>(folder);
    SetWordSource(source.get());
}
