// The run-length encoder's code sequences and its closed-form code counts.
#include "gif/RLEEncoder.h"
#include "gif/GIFDecoder.h"
#include "tests/gif/CodecTestUtil.h"

#include <gtest/gtest.h>

namespace mv {
namespace {

using namespace codectest;

Bytes RLE(uint8_t Bits, const Bytes& Pixels) {
    TMemoryStream S;
    TRLEEncoder E;
    E.Encode(S, Bits, int32_t(Pixels.size()), 1, false, Pixels.data(), 1 << Bits);
    return S.Bytes();
}

Bytes Runs(std::initializer_list<std::pair<int, uint8_t>> List) {
    Bytes Out;
    for (auto [Count, Value] : List) Out.insert(Out.end(), size_t(Count), Value);
    return Out;
}

TEST(RLEEncoderTest, GoldenCodeSequences) {
    // Ten equal pixels: runs of 1 + 2 + 3 + 4, all 9 bits wide.
    EXPECT_EQ(RLE(8, Runs({{10, 9}})), FrameData(8, PackCodes(8, {256, 9, 258, 259, 260, 257})));
    // Twenty at 2 bits: 4, p, 6, 7 at 3 bits, then 8, 9, 9, 5 at 4 bits.
    EXPECT_EQ(RLE(2, Runs({{20, 3}})), FrameData(2, PackCodes(2, {4, 3, 6, 7, 8, 9, 9, 5})));
    // 300 alternating pixels: clear, 254 single codes, clear, 46 single codes, end.
    Bytes Alternating(300);
    std::vector<int> Codes{256};
    for (int i = 0; i < 300; ++i) {
        Alternating[i] = uint8_t(i & 1);
        if (i == 254) Codes.push_back(256);
        Codes.push_back(i & 1);
    }
    Codes.push_back(257);
    EXPECT_EQ(RLE(8, Alternating), FrameData(8, PackCodes(8, Codes)));
    // Five 3s, five 4s, nine 3s: each new value clears the table.
    EXPECT_EQ(RLE(8, Runs({{5, 3}, {5, 4}, {9, 3}})),
              FrameData(8, PackCodes(8, {256, 3, 258, 258, 256, 4, 258, 258, 256, 3, 258, 259, 259,
                                         257})));
    // A run of one is always the single-pixel code.
    EXPECT_EQ(RLE(8, {1, 2}), FrameData(8, PackCodes(8, {256, 1, 2, 257})));
}

TEST(RLEEncoderTest, IntSqrtAndTriangleCost) {
    const int32_t Roots[] = {0, 1, 1, 1, 2};
    for (int32_t X = 0; X <= 4; ++X) EXPECT_EQ(IntSqrt(X), Roots[X]);
    EXPECT_EQ(IntSqrt(1000000), 1000);
    EXPECT_EQ(IntSqrt(999999), 999);
    EXPECT_EQ(IntSqrt(2147395600), 46340);
    EXPECT_EQ(TRLEEncoder::TriangleCost(10, 3837), 4);
    EXPECT_EQ(TRLEEncoder::TriangleCost(100, 3837), 14);
    // Past one full triangle the count restarts: 3 codes carry 6 pixels when L = 3.
    EXPECT_EQ(TRLEEncoder::TriangleCost(13, 3), 3 + 3 + 1);
}

TEST(RLEEncoderTest, VeryLongRunsRefillTheTable) {
    // Runs far longer than one table's triangle, at the smallest and largest table rooms: the
    // decoder must get exactly the runs back, and the runs must cost few codes.
    for (uint8_t Bits : {2, 8}) {
        const Bytes Pixels = Runs({{2000000, 1}, {3, 2}, {70000, 1}, {1, 0}, {4996, 2}});
        TMemoryStream S;
        TRLEEncoder E;
        E.Encode(S, Bits, 1000, int32_t(Pixels.size() / 1000), false, Pixels.data(), 1 << Bits);
        EXPECT_LT(S.Size(), 10000);
        S.SetPosition(0);
        Bytes Decoded(Pixels.size());
        DecodeImageData(S, Decoded.data(), 1000, int32_t(Pixels.size() / 1000), false, nullptr);
        EXPECT_EQ(Decoded, Pixels) << int(Bits);
    }
}

} // namespace
} // namespace mv
