// The lexicon folder the node library looks words up in (the set family's picked words).
//
// One folder for the whole process: the application sets it from its settings at start-up,
// dendra-cli from --lexicon for one run. Empty until set (no word is found then). Used on the
// user-interface thread.
#pragma once

#include <string>

void SetLexiconFolder(const std::string& folder);
const std::string& LexiconFolder();
