#include "events/archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CArchive Reopen(const CArchive& stored) {
    return CArchive(stored.Buffer());
}

TEST(Archive, NumbersRoundTripLittleEndian) {
    CArchive out;
    out << uint8_t{0xAB} << uint16_t{0x1234} << int16_t{-2} << uint32_t{0xDEADBEEF} << int32_t{-7}
        << 1.5f;
    out.WriteDouble(-0.25);
    const std::vector<uint8_t>& b = out.Buffer();
    ASSERT_EQ(b.size(), 1u + 2 + 2 + 4 + 4 + 4 + 8);
    EXPECT_EQ(b[1], 0x34);
    EXPECT_EQ(b[2], 0x12);
    EXPECT_EQ(b[5], 0xEF);
    EXPECT_EQ(b[8], 0xDE);

    CArchive in = Reopen(out);
    uint8_t u8;
    uint16_t u16;
    int16_t i16;
    uint32_t u32;
    int32_t i32;
    float f;
    in >> u8 >> u16 >> i16 >> u32 >> i32 >> f;
    EXPECT_EQ(u8, 0xAB);
    EXPECT_EQ(u16, 0x1234);
    EXPECT_EQ(i16, -2);
    EXPECT_EQ(u32, 0xDEADBEEFu);
    EXPECT_EQ(i32, -7);
    EXPECT_EQ(f, 1.5f);
    EXPECT_EQ(in.ReadDouble(), -0.25);
    EXPECT_FALSE(in.Failed());
    EXPECT_TRUE(in.AtEnd());
}

TEST(Archive, StringLengthPrefixForms) {
    struct Case {
        size_t length;
        std::vector<uint8_t> prefix;
    };
    const Case cases[] = {
        {0, {0x00}},
        {254, {0xFE}},
        {255, {0xFF, 0xFF, 0x00}},
        {0xFFFD, {0xFF, 0xFD, 0xFF}},
        {0xFFFE, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}},
        {70000, {0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}},
    };
    for (const Case& c : cases) {
        std::string s(c.length, 'x');
        if (!s.empty()) s.back() = 'y';
        CArchive out;
        out << s;
        const std::vector<uint8_t>& b = out.Buffer();
        ASSERT_EQ(b.size(), c.prefix.size() + c.length) << c.length;
        EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), b.begin())) << c.length;
        CArchive in = Reopen(out);
        EXPECT_EQ(in.ReadString(), s) << c.length;
        EXPECT_FALSE(in.Failed());
        EXPECT_TRUE(in.AtEnd());
    }
}

TEST(Archive, WideStringIsReadAsNarrow) {
    const std::vector<uint8_t> bytes = {0xFF, 0xFE, 0xFF, 2, 'h', 0, 0xE9, 0};
    CArchive in(bytes);
    EXPECT_EQ(in.ReadString(), "h?");
    EXPECT_FALSE(in.Failed());
}

TEST(Archive, TruncatedInputFailsAndStaysFailed) {
    CArchive out;
    out << uint32_t{1} << uint16_t{2} << std::string("hello");
    const std::vector<uint8_t>& full = out.Buffer();
    for (size_t cut = 0; cut < full.size(); ++cut) {
        CArchive in(full.data(), cut);
        const uint32_t a = in.ReadU32();
        const uint16_t b = in.ReadU16();
        const std::string s = in.ReadString();
        EXPECT_TRUE(in.Failed()) << cut;
        EXPECT_LE(in.Position(), cut);
        EXPECT_EQ(a, cut < 4 ? 0u : 1u);
        EXPECT_EQ(b, cut < 6 ? 0u : 2u);
        EXPECT_TRUE(s.empty());
        // Once failed, even a read that would fit returns zero.
        EXPECT_EQ(in.ReadU8(), 0);
    }
}

TEST(Archive, StringLongerThanInputFailsWithoutAllocating) {
    const std::vector<std::vector<uint8_t>> hostile = {
        {5, 'a', 'b'},
        {0xFF, 0x00, 0x01, 'a'},
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'a'},
        {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0},
    };
    for (const auto& bytes : hostile) {
        CArchive in(bytes);
        EXPECT_TRUE(in.ReadString().empty());
        EXPECT_TRUE(in.Failed());
    }
}

TEST(Archive, BytesAndSkipAreBoundsChecked) {
    const uint8_t data[4] = {1, 2, 3, 4};
    CArchive in(data, sizeof data);
    uint8_t got[4] = {9, 9, 9, 9};
    EXPECT_TRUE(in.Skip(1));
    EXPECT_FALSE(in.ReadBytes(got, 4));
    EXPECT_EQ(got[0], 0); // cleared on failure
    EXPECT_TRUE(in.Failed());
    EXPECT_FALSE(in.Skip(0)); // a failed archive refuses even an empty skip
}

TEST(Archive, WritingIntoALoadingArchiveIsRefused) {
    const uint8_t data[2] = {7, 8};
    CArchive in(data, sizeof data);
    in.WriteU32(0x01020304);
    in << std::string("x");
    EXPECT_TRUE(in.Failed());
    EXPECT_EQ(in.Buffer().size(), 2u);

    CArchive out;
    EXPECT_EQ(out.ReadU8(), 0);
    EXPECT_TRUE(out.Failed());
}

} // namespace
