#include "documents/collection.h"

#include "events/archive.h"
#include "platform/user_messages.h"

#include <algorithm>

bool PathList::Contains(const std::string& path) const {
    return std::any_of(words_.begin(), words_.end(),
                       [&](const auto& w) { return w.first == path; });
}

bool PathList::Insert(const std::string& path, float degree) {
    if (Contains(path)) return false;
    degree = degree == degree ? std::clamp(degree, 0.0f, 1.0f) : 0.0f;
    if (sorted) {
        auto at = std::find_if(words_.begin(), words_.end(),
                               [&](const auto& w) { return path < w.first; });
        words_.insert(at, {path, degree});
    } else {
        words_.insert(words_.begin(), {path, degree});
    }
    return true;
}

void PathList::UnionWith(const PathList& other) {
    for (const auto& w : other.words_) Insert(w.first, w.second);
}

void PathList::Sort() {
    std::stable_sort(words_.begin(), words_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
}

void PathList::Write(CArchive& ar) const {
    ar.WriteU16(1);
    ar.WriteFloat(chance);
    ar.WriteU16(sorted ? 1 : 0);
    size_t n = std::min<size_t>(words_.size(), 0xFFFF);
    ar.WriteU16(static_cast<uint16_t>(n));
    for (size_t i = 0; i < n; ++i) {
        ar.WriteString(words_[i].first);
        ar.WriteFloat(words_[i].second);
    }
}

bool PathList::Read(CArchive& ar) {
    ar.ReadU16(); // version
    float readChance = ar.ReadFloat();
    bool readSorted = ar.ReadU16() != 0;
    uint16_t n = ar.ReadU16();
    if (ar.Failed()) return false;
    std::vector<std::pair<std::string, float>> read;
    for (uint16_t i = 0; i < n; ++i) {
        std::string path = ar.ReadString();
        float dom = ar.ReadFloat();
        if (ar.Failed()) return false;
        if (std::none_of(read.begin(), read.end(), [&](const auto& w) { return w.first == path; }))
            read.emplace_back(std::move(path), dom == dom ? std::clamp(dom, 0.0f, 1.0f) : 0.0f);
    }
    words_ = std::move(read);
    chance = readChance == readChance ? readChance : 0.0f;
    sorted = readSorted;
    return true;
}

bool CFileListDoc::OnNewDocument() {
    text1_.clear();
    text2_.clear();
    paths_ = PathList{};
    StopPlay();
    return CAmpDoc::OnNewDocument();
}

bool CFileListDoc::ReadDocument(CArchive& ar) {
    ar.ReadU32(); // version
    std::string t1 = ar.ReadString();
    PathList list;
    bool ok = !ar.Failed() && list.Read(ar);
    std::string t2 = ok ? ar.ReadString() : std::string();
    if (!ok || ar.Failed()) {
        platform::Messages().Show(kDamagedCollectionMessage, platform::MessageKind::Error);
        return false;
    }
    text1_ = std::move(t1);
    paths_ = std::move(list);
    text2_ = std::move(t2);
    StopPlay();
    UpdateAllViews(nullptr);
    return true;
}

void CFileListDoc::WriteDocument(CArchive& ar) {
    ar.WriteU32(0);
    ar.WriteString(text1_);
    paths_.Write(ar);
    ar.WriteString(text2_);
}

void CFileListDoc::SetTexts(const std::string& text1, const std::string& text2) {
    if (text1 == text1_ && text2 == text2_) return;
    text1_ = text1;
    text2_ = text2;
    SetModifiedFlag();
}

int CFileListDoc::AddFiles(const std::vector<std::string>& paths) {
    int added = 0;
    for (const std::string& p : paths)
        if (!p.empty() && paths_.Insert(p)) ++added;
    if (added) {
        SetModifiedFlag();
        UpdateAllViews(nullptr);
    }
    return added;
}

bool CFileListDoc::AddCollection(const std::string& path) {
    CFileListDoc other;
    if (!other.OnOpenDocument(path)) return false;
    if (paths_.sorted) other.paths_.Sort();
    size_t before = paths_.Count();
    paths_.UnionWith(other.paths_);
    if (paths_.Count() != before) {
        SetModifiedFlag();
        UpdateAllViews(nullptr);
    }
    return true;
}

std::string CFileListDoc::BeginPlay() {
    playIndex_ = -1;
    playing_ = true;
    return NextToPlay();
}

std::string CFileListDoc::NextToPlay() {
    if (!playing_) return "";
    ++playIndex_;
    if (playIndex_ < 0 || static_cast<size_t>(playIndex_) >= paths_.Count()) {
        StopPlay();
        return "";
    }
    return paths_.Path(static_cast<size_t>(playIndex_));
}

void CFileListDoc::StopPlay() {
    playing_ = false;
    playIndex_ = -1;
}
