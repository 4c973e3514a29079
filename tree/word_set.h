// WordSet: a fuzzy set of words, each with a degree of membership (DOM) from 0.0 to 1.0, and
// WordSource, through which the set nodes find a word's events in the lexicon.
//
// A word is the name of a word file (an event list kept in the lexicon folder). The words of a
// set are unique and kept in list order:
//   - Insert follows the `sorted` flag: while it is set a new word goes before the first word
//     that compares greater (byte-wise), so a set built by Insert alone is in ascending order;
//     while it is clear the new word goes to the front. A word already present is ignored.
//   - Append adds at the end (how a set is read from a file); `sorted` only matters for later
//     insertions.
//   - The DOM of a word not in the set reads as 0.0; Insert and SetDom hold a DOM to 0.0 … 1.0
//     (a NaN becomes 0.0). Append keeps the stored value as it is.
//   - A set holds at most kMaxWords words (its count is 16-bit in files); further insertions
//     are refused.
//
// Picking (Pick): with q = `chance` and a fresh number r (0 … 32767) from the shared generator
// (tree/random.h) drawn for every score, score(w) = r ÷ 32767 × q + (1 − q) × DOM(w). x starts
// as the score of the first word; each following word w is picked when its score is at most x;
// otherwise x becomes a fresh score of w, and the last word is picked when no earlier one was.
// The first word is therefore never picked, and a set of fewer than two words picks nothing.
//
// File layout (little-endian): u16 version (written 1, skipped when read), f32 chance,
// u16 sorted, u16 word count, then per word an archive string and its f32 DOM. A read that
// fails leaves the set as it was; a word stored twice keeps its first DOM.
//
// Membership tests and DOM look-ups take constant time, so the set operations stay linear in the
// number of words. Used on the user-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class CArchive;
class CEventTree;

class WordSet {
public:
    static constexpr size_t kMaxWords = 65535;
    // Pick's answer when no word is picked.
    static constexpr int kNoPick = -1;

    WordSet() = default;
    WordSet(const WordSet& other);
    WordSet& operator=(const WordSet& other);
    WordSet(WordSet&&) noexcept = default;
    WordSet& operator=(WordSet&&) noexcept = default;

    // The weight of chance against the DOM when picking: 0.0 by DOM alone, 1.0 by chance alone.
    float chance = 0.0f;
    // While set, Insert keeps name order; while clear, it inserts at the front.
    bool sorted = true;

    size_t Count() const { return order_.size(); }
    bool Empty() const { return order_.empty(); }
    // The i-th word in list order and its DOM (i < Count()).
    const std::string& WordAt(size_t i) const { return order_[i]->first; }
    float DomAt(size_t i) const { return order_[i]->second; }

    bool Contains(const std::string& word) const { return members_.count(word) != 0; }
    // 0.0 for a word not in the set.
    float GetDom(const std::string& word) const;
    // Sets the DOM of a word in the set, held to 0.0 … 1.0; false when the word is not there.
    bool SetDom(const std::string& word, float dom);

    // Inserts by the `sorted` rule with the DOM held to 0.0 … 1.0. False (nothing changes) when
    // the word is present already or the set is full.
    bool Insert(const std::string& word, float dom);
    // Adds at the end, DOM as given. False when the word is present already or the set is full.
    bool Append(const std::string& word, float dom);
    bool Remove(const std::string& word);
    // Removes every word; `chance` and `sorted` stay.
    void Clear();
    // Replaces the words by the result of inserting each of `words` in turn (Insert) into an
    // empty set, in O(n log n) rather than by n insertions.
    void Assign(std::vector<std::pair<std::string, float>> words);

    // The index of the picked word, or kNoPick.
    int Pick() const;

    void Serialize(CArchive& ar);

    // Same words in the same order with the same DOMs, same chance and sorted flag (DOMs and
    // chance compared bit for bit).
    bool operator==(const WordSet& other) const;

private:
    using Member = std::pair<const std::string, float>;
    // Where Insert puts `word` under the sorted rule.
    size_t SortedPosition(const std::string& word) const;
    void Place(size_t at, const std::string& word, float dom);

    std::unordered_map<std::string, float> members_;
    std::deque<Member*> order_; // into members_ (element addresses survive rehashing)
    bool ascending_ = true;     // order_ is in strictly ascending name order
};

// What LoadWord found.
enum class WordLoad {
    Missing,    // no such word file in the lexicon
    Loaded,     // the events are those of the word file
    Unreadable, // the file is there but could not be read (its reader has told the user)
};

// The lexicon as the set nodes see it. The documents layer implements it (documents/lexicon.h)
// and the program installs one at start-up; without one no word is ever found.
class WordSource {
public:
    virtual ~WordSource() = default;
    // Looks `word` up by its file name in the lexicon, without a message, and on success
    // replaces `events` by a copy of the word file's events. Missing and Unreadable leave
    // `events` as it was.
    virtual WordLoad LoadWord(const std::string& word, CEventTree& events) = 0;
};

WordSource* GetWordSource();
// Installs the source (null: none); returns the previous one. The caller keeps ownership.
WordSource* SetWordSource(WordSource* source);
