// The byte cursor and writer: both byte orders, the bounds and the sticky failure.
#include "platform/byte_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <vector>

using platform::ByteOrder;
using platform::ByteReader;
using platform::ByteWriter;

namespace {

TEST(ByteCursor, ReadsBothByteOrders) {
    const std::vector<uint8_t> b = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC,
                                    0xDE, 0xF0, 0x01, 0x02, 0x03, 0x04};
    ByteReader r(b);
    EXPECT_EQ(r.Le16(), 0x3412);
    EXPECT_EQ(r.Be16(), 0x5678);
    EXPECT_EQ(r.Le32(), 0xF0DEBC9Au);
    EXPECT_EQ(r.Be32(), 0x01020304u);
    EXPECT_TRUE(r.AtEnd());
    EXPECT_FALSE(r.Failed());

    ByteReader o(b);
    EXPECT_EQ(o.U32(ByteOrder::Big), 0x12345678u);
    EXPECT_EQ(o.U32(ByteOrder::Little), 0xF0DEBC9Au);
    EXPECT_EQ(o.U16(ByteOrder::Big), 0x0102);
    EXPECT_EQ(o.U16(ByteOrder::Little), 0x0403);
    // The top bit of each byte survives (no sign extension on the way).
    const uint8_t high[4] = {0xFF, 0x80, 0x81, 0xFE};
    EXPECT_EQ(platform::LoadLe32(high), 0xFE8180FFu);
    EXPECT_EQ(platform::LoadBe32(high), 0xFF8081FEu);
    EXPECT_EQ(platform::LoadLe16(high + 2), 0xFE81);
    EXPECT_EQ(platform::LoadBe16(high), 0xFF80);
}

TEST(ByteCursor, AShortReadFailsEveryReadAfterIt) {
    const std::vector<uint8_t> b = {1, 2, 3, 4, 5};
    ByteReader r(b);
    EXPECT_EQ(r.Be16(), 0x0102);
    EXPECT_EQ(r.Le32(), 0u); // three bytes left
    EXPECT_TRUE(r.Failed());
    EXPECT_EQ(r.Position(), 2u); // the failed read took nothing
    // Bytes remain, yet nothing more is read.
    EXPECT_EQ(r.U8(), 0);
    EXPECT_EQ(r.Be16(), 0);
    EXPECT_FALSE(r.Skip(0));
    EXPECT_EQ(r.Position(), 2u);
    EXPECT_TRUE(r.Failed());

    // A byte copy that does not fit zero-fills what it was given.
    ByteReader c(b);
    uint8_t out[8];
    std::fill(std::begin(out), std::end(out), 0xAA);
    EXPECT_FALSE(c.Bytes(out, 6));
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(out[i], i < 6 ? 0 : 0xAA) << i;
    EXPECT_EQ(c.Span(1), nullptr);

    // Exactly to the end is fine; one more is not.
    ByteReader e(b);
    EXPECT_TRUE(e.Skip(5));
    EXPECT_TRUE(e.AtEnd());
    EXPECT_FALSE(e.Failed());
    EXPECT_EQ(e.U8(), 0);
    EXPECT_TRUE(e.Failed());

    // Sizes near the top of the range do not wrap around the bound.
    ByteReader big(b);
    big.U8();
    EXPECT_FALSE(big.Skip(std::numeric_limits<size_t>::max()));
    EXPECT_TRUE(big.Failed());
    ByteReader seek(b);
    EXPECT_TRUE(seek.Seek(5));
    EXPECT_FALSE(seek.Seek(6));
    EXPECT_TRUE(seek.Failed());

    ByteReader none;
    EXPECT_EQ(none.U8(), 0);
    EXPECT_TRUE(none.Failed());
}

TEST(ByteCursor, MatchIsAnAnswerNotAFailure) {
    const std::vector<uint8_t> b = {'R', 'I', 'F', 'F', 9};
    ByteReader r(b);
    EXPECT_FALSE(r.Match("FORM", 4));
    EXPECT_FALSE(r.Failed());
    EXPECT_EQ(r.Position(), 0u);
    EXPECT_TRUE(r.Match("RIFF", 4));
    EXPECT_FALSE(r.Match("WAVE", 4)); // does not fit
    EXPECT_FALSE(r.Failed());
    EXPECT_EQ(r.U8(), 9);
    r.Fail(); // a value out of range fails the cursor too
    EXPECT_FALSE(r.Match("", 0));
}

TEST(ByteWriter, AppendsBothOrdersAndPatchesOnlyWhatWasWritten) {
    std::vector<uint8_t> out;
    ByteWriter w(out);
    w.Tag("MTrk").Be32(0).Le16(0x0102).Be16(0x0304).U32(0x05060708, ByteOrder::Little);
    EXPECT_EQ(out, (std::vector<uint8_t>{'M', 'T', 'r', 'k', 0, 0, 0, 0, 0x02, 0x01, 0x03, 0x04,
                                         0x08, 0x07, 0x06, 0x05}));
    EXPECT_TRUE(w.Be32At(4, 0xA1B2C3D4));
    EXPECT_TRUE(w.Le16At(14, 0xBEEF)); // the last two bytes
    EXPECT_FALSE(w.Le32At(14, 1));     // would run past the end
    EXPECT_FALSE(w.Be16At(std::numeric_limits<size_t>::max(), 1));
    EXPECT_EQ(out, (std::vector<uint8_t>{'M', 'T', 'r', 'k', 0xA1, 0xB2, 0xC3, 0xD4, 0x02, 0x01,
                                         0x03, 0x04, 0x08, 0x07, 0xEF, 0xBE}));
    // What one side writes the other reads.
    ByteReader r(out);
    r.Skip(4);
    EXPECT_EQ(r.Be32(), 0xA1B2C3D4u);
    EXPECT_EQ(r.Le16(), 0x0102);
    EXPECT_EQ(r.Be16(), 0x0304);
}

} // namespace
