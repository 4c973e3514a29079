// The lexicon: the folder of word files that the set family names by file name.
//
// A word is looked up by its file name alone (any folder part, up to the last "\" or "/", is
// dropped) in the lexicon folder itself. Found, the word becomes the file's full path; not
// found, it becomes empty and, when asked, the user is told:
//   Could not find "WORD " in Lexicon( "FOLDER" ).
//
// LexiconWords is the word source of the set nodes (tree/word_set.h): it looks a word up
// without a message and reads the word file as an event-list document, whose reader reports a
// file it cannot read. UseLexiconFolder installs one process-wide source on a folder; the
// program calls it at start-up with the "Lexicon" setting (the command line with its own
// folder when given one). Used on the user-interface thread only.
#pragma once

#include "tree/word_set.h"

#include <string>
#include <utility>

// The default lexicon folder under the program folder.
std::string DefaultLexiconFolder(const std::string& programFolder);

// The message for a word missing from the lexicon folder.
std::string LexiconMissingMessage(const std::string& word, const std::string& folder);

// The file-name part of a word.
std::string WordFileName(const std::string& word);

// Looks `word` up in `folder`; true when found (word := full path). Otherwise word := "" and,
// with showMessage, LexiconMissingMessage is shown.
bool LookupWord(std::string& word, const std::string& folder, bool showMessage);

class LexiconWords : public WordSource {
public:
    explicit LexiconWords(std::string folder) : folder_(std::move(folder)) {}
    const std::string& Folder() const { return folder_; }
    WordLoad LoadWord(const std::string& word, CEventTree& events) override;

private:
    std::string folder_;
};

// Makes the set nodes find their words in `folder` (a process-wide LexiconWords, installed as
// the word source; a later call changes its folder).
void UseLexiconFolder(const std::string& folder);
