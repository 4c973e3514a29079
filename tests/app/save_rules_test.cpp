#include "tests/song/song_helpers.h"

#include "app/document_save.h"
#include "documents/midi_document.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace songtest;

namespace {

class FixedPrompt : public SavePathPrompt {
public:
    explicit FixedPrompt(std::string answer) : answer_(std::move(answer)) {}
    bool AskPath(const SaveDialog& d, const std::string&, std::string& path) override {
        asked.push_back(d);
        path = answer_;
        return !answer_.empty();
    }
    std::vector<SaveDialog> asked;

private:
    std::string answer_;
};

TEST(SaveRules, IncludedDocumentsSaveCopiesAndKeepTheirPathAndFlag) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(::testing::TempDir()) / "save_rules";
    fs::create_directories(dir);
    const std::string own = (dir / "own.mid").string(), copy = (dir / "copy.mid").string();

    auto midi = std::make_shared<CMidiDoc>();
    EXPECT_EQ(SaveAsDialogFor(*midi).defaultExtension, ".mid");
    FixedPrompt first(own);
    ASSERT_TRUE(SaveDocumentAs(*midi, first));
    EXPECT_EQ(midi->GetPathName(), own);
    EXPECT_EQ(midi->GetTitle(), "own.mid");

    CSongDoc song;
    song.IncludeDocument(midi);
    ASSERT_TRUE(midi->IsIncluded());
    midi->SetModifiedFlag(true);
    FixedPrompt second(copy);
    ASSERT_TRUE(SaveDocument(*midi, second)); // an included document asks for a path
    ASSERT_EQ(second.asked.size(), 1u);
    EXPECT_TRUE(second.asked[0].filter.empty()); // the plain dialog
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_EQ(midi->GetPathName(), own);
    EXPECT_TRUE(midi->IsModified());

    FixedPrompt cancel("");
    EXPECT_FALSE(SaveDocumentAs(song, cancel));
    EXPECT_EQ(cancel.asked[0].defaultExtension, ".sng");
    fs::remove_all(dir);
}

TEST(SaveRules, ExportingASongWritesEveryEntry) {
    const std::string path = (std::filesystem::path(::testing::TempDir()) / "rules.mid").string();
    CSongDoc song;
    song.IncludeDocument(List(1000, {Note(0, 60)}));
    song.IncludeDocument(List(1000, {Note(0, 61)}));
    FixedPrompt prompt(path);
    ASSERT_TRUE(ExportAsMidi(song, prompt, false));
    CMidiDoc back;
    ASSERT_TRUE(back.OnOpenDocument(path));
    EXPECT_EQ(back.GetChannelCount(), 3);
    std::filesystem::remove(path);
}

} // namespace
