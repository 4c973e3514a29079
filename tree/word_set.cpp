#include "tree/word_set.h"

#include "events/archive.h"
#include "tree/random.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

WordSource* g_source = nullptr;

float HoldDom(float dom) {
    if (std::isnan(dom)) return 0.0f;
    return std::clamp(dom, 0.0f, 1.0f);
}

bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

WordSource* GetWordSource() {
    return g_source;
}

WordSource* SetWordSource(WordSource* source) {
    WordSource* previous = g_source;
    g_source = source;
    return previous;
}

WordSet::WordSet(const WordSet& other) : chance(other.chance), sorted(other.sorted) {
    members_.reserve(other.Count());
    for (size_t i = 0; i < other.Count(); ++i) Append(other.WordAt(i), other.DomAt(i));
}

WordSet& WordSet::operator=(const WordSet& other) {
    if (this != &other) {
        WordSet copy(other);
        *this = std::move(copy);
    }
    return *this;
}

float WordSet::GetDom(const std::string& word) const {
    auto it = members_.find(word);
    return it == members_.end() ? 0.0f : it->second;
}

bool WordSet::SetDom(const std::string& word, float dom) {
    auto it = members_.find(word);
    if (it == members_.end()) return false;
    it->second = HoldDom(dom);
    return true;
}

size_t WordSet::SortedPosition(const std::string& word) const {
    auto greater = [&](const Member* m) { return m->first > word; };
    if (ascending_) {
        // The first word greater than `word`, found by halving.
        auto it =
            std::upper_bound(order_.begin(), order_.end(), word,
                             [](const std::string& w, const Member* m) { return w < m->first; });
        return static_cast<size_t>(it - order_.begin());
    }
    return static_cast<size_t>(std::find_if(order_.begin(), order_.end(), greater) -
                               order_.begin());
}

void WordSet::Place(size_t at, const std::string& word, float dom) {
    auto [it, inserted] = members_.emplace(word, dom);
    (void)inserted;
    if (ascending_) {
        const bool afterPrevious = at == 0 || order_[at - 1]->first < word;
        const bool beforeNext = at == order_.size() || word < order_[at]->first;
        ascending_ = afterPrevious && beforeNext;
    }
    order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(at), &*it);
}

bool WordSet::Insert(const std::string& word, float dom) {
    if (Count() >= kMaxWords || Contains(word)) return false;
    Place(sorted ? SortedPosition(word) : 0, word, HoldDom(dom));
    return true;
}

bool WordSet::Append(const std::string& word, float dom) {
    if (Count() >= kMaxWords || Contains(word)) return false;
    Place(order_.size(), word, dom);
    return true;
}

bool WordSet::Remove(const std::string& word) {
    auto it = members_.find(word);
    if (it == members_.end()) return false;
    order_.erase(std::find(order_.begin(), order_.end(), &*it));
    members_.erase(it);
    return true;
}

void WordSet::Clear() {
    order_.clear();
    members_.clear();
    ascending_ = true;
}

void WordSet::Assign(std::vector<std::pair<std::string, float>> words) {
    // Insertions into an empty set keep the first insertion of each name (up to the limit) and
    // leave the names in name order (sorted) or in reverse order of insertion (unsorted).
    Clear();
    std::vector<Member*> kept;
    kept.reserve(std::min(words.size(), kMaxWords));
    members_.reserve(std::min(words.size(), kMaxWords));
    for (auto& [word, dom] : words) {
        if (kept.size() >= kMaxWords) break;
        auto [it, inserted] = members_.emplace(std::move(word), HoldDom(dom));
        if (inserted) kept.push_back(&*it);
    }
    auto byName = [](const Member* a, const Member* b) { return a->first < b->first; };
    if (sorted) {
        std::sort(kept.begin(), kept.end(), byName);
        order_.assign(kept.begin(), kept.end());
    } else {
        order_.assign(kept.rbegin(), kept.rend());
        ascending_ = std::is_sorted(order_.begin(), order_.end(), byName);
    }
}

int WordSet::Pick() const {
    const float q = chance;
    auto score = [&](size_t i) {
        const float r = static_cast<float>(NextRandom());
        return r / static_cast<float>(kRandMax) * q + (1.0f - q) * DomAt(i);
    };
    if (order_.empty()) return kNoPick;
    float x = score(0);
    for (size_t i = 1; i < order_.size(); ++i) {
        if (score(i) <= x) return static_cast<int>(i);
        x = score(i);
        if (i + 1 == order_.size()) return static_cast<int>(i);
    }
    return kNoPick;
}

void WordSet::Serialize(CArchive& ar) {
    if (ar.IsStoring()) {
        ar.WriteU16(1);
        ar.WriteFloat(chance);
        ar.WriteU16(sorted ? 1 : 0);
        ar.WriteU16(static_cast<uint16_t>(Count()));
        for (const Member* m : order_) {
            ar.WriteString(m->first);
            ar.WriteFloat(m->second);
        }
        return;
    }
    if (ar.Failed()) return;
    ar.ReadU16(); // version
    WordSet read;
    read.chance = ar.ReadFloat();
    const bool readSorted = ar.ReadU16() != 0;
    const uint16_t count = ar.ReadU16();
    for (uint16_t i = 0; i < count && !ar.Failed(); ++i) {
        std::string word = ar.ReadString();
        const float dom = ar.ReadFloat();
        if (!ar.Failed()) read.Append(word, dom);
    }
    if (ar.Failed()) return;
    read.sorted = readSorted;
    *this = std::move(read);
}

bool WordSet::operator==(const WordSet& other) const {
    if (Count() != other.Count() || sorted != other.sorted || !SameBits(chance, other.chance))
        return false;
    for (size_t i = 0; i < Count(); ++i) {
        if (WordAt(i) != other.WordAt(i) || !SameBits(DomAt(i), other.DomAt(i))) return false;
    }
    return true;
}
