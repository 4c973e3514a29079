// The collection: a list of document paths that can be opened or played one after another,
// stored as a ".COL" file.
//
// File (little-endian, archive strings): u32 version (written 0, ignored when read), text 1, the
// path list in the word-set form (u16 version written 1 and ignored when read, f32 chance, u16
// sorted, u16 count, then per path: string, f32 degree), text 2. Reading is all or nothing: a
// short or damaged file shows "This collection file is damaged or incomplete." and the
// collection keeps what it had.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/channel_document.h"
#include "documents/document.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CArchive;

inline constexpr const char* kDamagedCollectionMessage =
    "This collection file is damaged or incomplete.";
inline constexpr const char* kAddFilesTitle = "Select File(s) to be Added";
inline constexpr const char* kAddFilesFilter =
    "Ondrelles (*.dra)|*.dra|Midi Files (*.mid)|*.mid|Song Files (*.sng)|*.sng||";
inline constexpr const char* kAddCollectionFilter = "Select Collection to be Added (*.COL)|*.COL||";

// A list of unique paths, each with a degree; while sorted, a new path goes in ascending order,
// otherwise at the front. A second insertion of a path already present is ignored.
class PathList {
public:
    // False when the path was already in the list (nothing changes).
    bool Insert(const std::string& path, float degree = 1.0f);
    bool Contains(const std::string& path) const;
    // Adds every path of the other list that this one lacks, in the other's order.
    void UnionWith(const PathList& other);
    // Puts the paths in ascending order.
    void Sort();
    void Clear() { words_.clear(); }
    size_t Count() const { return words_.size(); }
    const std::string& Path(size_t i) const { return words_[i].first; }
    float Degree(size_t i) const { return words_[i].second; }

    bool sorted = true;
    float chance = 0.0f;

    void Write(CArchive& ar) const;
    // Appends the stored paths in their order (repeats skipped), then takes the sorted flag.
    // False when the archive ran short.
    bool Read(CArchive& ar);

private:
    std::vector<std::pair<std::string, float>> words_;
};

class CFileListDoc : public CAmpDoc {
public:
    uint32_t GetDocKind() const { return kDocKindCollection; }

    bool OnNewDocument() override;
    bool ReadDocument(CArchive& ar) override;
    void WriteDocument(CArchive& ar) override;

    const std::string& Text1() const { return text1_; }
    const std::string& Text2() const { return text2_; }
    void SetTexts(const std::string& text1, const std::string& text2);
    PathList& Paths() { return paths_; }
    const PathList& Paths() const { return paths_; }

    // The chosen paths join the list; returns how many were new.
    int AddFiles(const std::vector<std::string>& paths);
    // Loads the collection file into a temporary collection, sorts its list when this list is
    // sorted and takes the union. False (with the reader's message) when it cannot be read.
    bool AddCollection(const std::string& path);

    // Playing through: BeginPlay gives the first path ("" when the list is empty); each time a
    // document ends, NextToPlay gives the next one, and "" after the last, when play mode ends.
    std::string BeginPlay();
    std::string NextToPlay();
    bool IsPlaying() const { return playing_; }
    int PlayIndex() const { return playIndex_; }
    void StopPlay();

private:
    std::string text1_;
    PathList paths_;
    std::string text2_;
    int playIndex_ = -1;
    bool playing_ = false;
};
