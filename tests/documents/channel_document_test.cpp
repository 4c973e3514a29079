#include "documents/channel_document.h"

#include <gtest/gtest.h>

namespace {
class RecordingView : public CDocView {
public:
    void OnUpdate(CDocView*, long hint) override { hints.push_back(hint); }
    std::vector<long> hints;
};
} // namespace

TEST(ChanDoc, TitleFollowsThePathOnce) {
    CChanDoc doc;
    EXPECT_TRUE(doc.TitleFollowsPath());
    doc.SetPathName("/music/trees/first.dra");
    EXPECT_EQ(doc.GetTitle(), "first.dra");
    EXPECT_FALSE(doc.TitleFollowsPath());
    doc.SetPathName("bare.mid");
    EXPECT_EQ(doc.GetTitle(), "bare.mid");
    EXPECT_EQ(doc.GetDocKind(), 0u);
}

TEST(ChanDoc, ExportDocumentsNeverBecomeModified) {
    CChanDoc doc;
    doc.SetModifiedFlag();
    EXPECT_TRUE(doc.IsModified());
    doc.SetExport(true);
    EXPECT_FALSE(doc.IsModified());
    doc.SetModifiedFlag();
    EXPECT_FALSE(doc.IsModified());
}

TEST(ChanDoc, ResolutionsAndConversion) {
    CChanDoc doc;
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 1000u);
    EXPECT_EQ(doc.GetTicksPerBeat(kPlayResolution), 480u);
    EXPECT_EQ(doc.UnitsToTicks(1500), 720u);
    EXPECT_EQ(doc.SetPosition(2.5), 2500u);
    EXPECT_EQ(doc.SetPosition(-1), 0u);
    doc.SetTicksPerBeat(kUnitsPerBeat, 0);
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 1000u) << "0 would divide by zero";
    EXPECT_EQ(doc.UnitsToTicks(4000000000u), 1920000000u) << "no overflow in between";
}

TEST(ChanDoc, ChannelsAreMadeOnFirstUseAndRescaled) {
    CChanDoc doc;
    EXPECT_EQ(doc.GetChannelEvents(1), nullptr);
    EXPECT_EQ(doc.SetChannelCount(3, false), 3);
    CEventTree* two = doc.GetChannelEvents(2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(doc.GetChannelEvents(2), two);
    EXPECT_EQ(doc.GetChannelEvents(0), nullptr);
    EXPECT_EQ(doc.GetChannelEvents(4), nullptr);
    two->Add(new EventMidi(1500, 0x90, 60, 100, 500));

    doc.SetCurrentChannel(3);
    EXPECT_EQ(doc.GetCurrentChannel(), 3);
    doc.SetCurrentChannel(9);
    EXPECT_EQ(doc.GetCurrentChannel(), 3);

    doc.ChangeTicksPerBeat(480);
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 480u);
    SongEvent* e = two->First();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(two->CurrentTime(), 720u);
    EXPECT_EQ(e->GetDuration(), 240u);

    EXPECT_EQ(doc.SetChannelCount(1, true), 3) << "kept";
    EXPECT_EQ(doc.SetChannelCount(1, false), 1);
    EXPECT_EQ(doc.GetCurrentChannel(), 1);
}

TEST(AmpDoc, ViewsAreToldOfChangesExceptTheSender) {
    CChanDoc doc;
    RecordingView a, b;
    doc.AddView(&a);
    doc.AddView(&b);
    doc.AddView(&a);
    EXPECT_EQ(doc.ViewCount(), 2u);
    doc.UpdateAllViews(&a, 7);
    EXPECT_TRUE(a.hints.empty());
    ASSERT_EQ(b.hints.size(), 1u);
    EXPECT_EQ(b.hints[0], 7);
    doc.RemoveView(&b);
    doc.UpdateAllViews(nullptr);
    EXPECT_EQ(a.hints.size(), 1u);
    EXPECT_EQ(b.hints.size(), 1u);
}
