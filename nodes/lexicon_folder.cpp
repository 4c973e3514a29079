#include "nodes/lexicon_folder.h"

namespace {
std::string& Folder() {
    static std::string folder;
    return folder;
}
} // namespace

void SetLexiconFolder(const std::string& folder) {
    Folder() = folder;
}

const std::string& LexiconFolder() {
    return Folder();
}
