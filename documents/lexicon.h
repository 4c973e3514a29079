// The lexicon: the folder of word files that the set family names by file name.
//
// A word is looked up by its file name alone (any folder part, up to the last "\" or "/", is
// dropped) in the lexicon folder itself. Found, the word becomes the file's full path; not
// found, it becomes empty and, when asked, the user is told:
//   Could not find "WORD " in Lexicon( "FOLDER" ).
#pragma once

#include <string>

// The default lexicon folder under the program folder.
std::string DefaultLexiconFolder(const std::string& programFolder);

// The message for a word missing from the lexicon folder.
std::string LexiconMissingMessage(const std::string& word, const std::string& folder);

// The file-name part of a word.
std::string WordFileName(const std::string& word);

// Looks `word` up in `folder`; true when found (word := full path). Otherwise word := "" and,
// with showMessage, LexiconMissingMessage is shown.
bool LookupWord(std::string& word, const std::string& folder, bool showMessage);
