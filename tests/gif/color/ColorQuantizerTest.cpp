#include "gif/color/ColorQuantizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <vector>

using namespace mv;

namespace {

using TRGB = std::array<int, 3>;

std::vector<uint8_t> Row(const std::vector<TRGB>& Colors) {
    std::vector<uint8_t> BGR;
    for (const TRGB& C : Colors)
        BGR.insert(BGR.end(), {uint8_t(C[2]), uint8_t(C[1]), uint8_t(C[0])});
    return BGR;
}

std::vector<TRGB> Table(const TColorQuantizer& Q) {
    std::vector<uint8_t> Raw(4 * 256 + 4, 0xCD);
    int N = Q.FillColorTable(Raw.data());
    EXPECT_EQ(N, Q.Leaves());
    EXPECT_EQ(Raw[4 * N], 0xCD) << "wrote past its leaves";
    std::vector<TRGB> Out;
    for (int I = 0; I < N; ++I) {
        EXPECT_EQ(Raw[4 * I + 3], 0);
        Out.push_back({Raw[4 * I + 2], Raw[4 * I + 1], Raw[4 * I]});
    }
    return Out;
}

std::vector<TRGB> Quantize(const std::vector<TRGB>& Pixels, int MaxColors) {
    TColorQuantizer Q(MaxColors, 8);
    std::vector<uint8_t> BGR = Row(Pixels);
    Q.AddPixels(BGR.data(), static_cast<int32_t>(Pixels.size()));
    EXPECT_LE(Q.Leaves(), std::clamp(MaxColors, 1, 256));
    return Table(Q);
}

// Depth-first order of exact colors: the bits of red, green and blue interleaved from the top.
uint32_t OctreeOrder(const TRGB& C) {
    uint32_t Key = 0;
    for (int Bit = 7; Bit >= 0; --Bit)
        Key = (Key << 3) | (((C[0] >> Bit) & 1) << 2) | (((C[1] >> Bit) & 1) << 1) |
              ((C[2] >> Bit) & 1);
    return Key;
}

} // namespace

TEST(ColorQuantizer, FewColorsStayExactInDepthFirstOrder) {
    EXPECT_EQ(Quantize({{255, 0, 0}, {0, 0, 255}, {0, 0, 0}, {0, 0, 255}}, 256),
              (std::vector<TRGB>{{0, 0, 0}, {0, 0, 255}, {255, 0, 0}}));
    EXPECT_EQ(Quantize({{17, 99, 201}, {17, 99, 201}, {17, 99, 201}}, 256),
              (std::vector<TRGB>{{17, 99, 201}}));

    // 256 distinct random colors, each several times, in random order.
    std::mt19937 Rng(5);
    std::set<TRGB> Distinct;
    while (Distinct.size() < 256)
        Distinct.insert({int(Rng() % 256), int(Rng() % 256), int(Rng() % 256)});
    std::vector<TRGB> Pixels;
    for (int Copy = 0; Copy < 3; ++Copy)
        Pixels.insert(Pixels.end(), Distinct.begin(), Distinct.end());
    std::shuffle(Pixels.begin(), Pixels.end(), Rng);
    std::vector<TRGB> Expected(Distinct.begin(), Distinct.end());
    std::sort(Expected.begin(), Expected.end(),
              [](const TRGB& A, const TRGB& B) { return OctreeOrder(A) < OctreeOrder(B); });
    EXPECT_EQ(Quantize(Pixels, 256), Expected);
}

TEST(ColorQuantizer, MergingClimbsSingleChildChains) {
    // Black and white fit a limit of 2.
    EXPECT_EQ(Quantize({{0, 0, 0}, {255, 255, 255}, {0, 0, 0}}, 2),
              (std::vector<TRGB>{{0, 0, 0}, {255, 255, 255}}));
    // Red makes three leaves; merging single-child nodes changes nothing until the root itself
    // is merged: one leaf, the average of all pixels (510 / 3, 255 / 3, 255 / 3).
    EXPECT_EQ(Quantize({{0, 0, 0}, {255, 255, 255}, {255, 0, 0}}, 2),
              (std::vector<TRGB>{{170, 85, 85}}));
    // Once merged, a node stays a leaf and counts later colors too.
    EXPECT_EQ(Quantize({{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 2),
              (std::vector<TRGB>{{102, 51, 51}}));
}

TEST(ColorQuantizer, MergesTheMostRecentDeepestNodeAndTruncatesAverages) {
    // Four colors, limit 3: the newest level-7 node (white's) is merged, black's pair is kept.
    EXPECT_EQ(Quantize({{0, 0, 0}, {0, 0, 1}, {255, 255, 255}, {255, 255, 254}}, 3),
              (std::vector<TRGB>{{0, 0, 0}, {0, 0, 1}, {255, 255, 254}}));
    // (0,0,0) and (1,1,1) averaged give (0,0,0).
    EXPECT_EQ(Quantize({{0, 0, 0}, {1, 1, 1}}, 1), (std::vector<TRGB>{{0, 0, 0}}));
}

TEST(ColorQuantizer, LimitHoldsOnALargeNoisyPicture) {
    std::mt19937 Rng(8);
    std::vector<uint8_t> BGR(3 * 20000);
    for (auto& B : BGR) B = static_cast<uint8_t>(Rng());
    for (int Limit : {1, 2, 16, 236, 256}) {
        TColorQuantizer Q(Limit, 8);
        for (int Y = 0; Y < 100; ++Y) Q.AddPixels(BGR.data() + 3 * 200 * Y, 200);
        EXPECT_LE(Q.Leaves(), Limit);
        EXPECT_GE(Q.Leaves(), 1);
        EXPECT_EQ(static_cast<int>(Table(Q).size()), Q.Leaves());
    }
}

TEST(ColorQuantizer, LargeBrightPictureAveragesWithoutOverflow) {
    // 9 million white pixels: sums far past 2^31.
    std::vector<uint8_t> Line(3 * 3000, 255);
    TColorQuantizer Q(256, 8);
    for (int Y = 0; Y < 3000; ++Y) Q.AddPixels(Line.data(), 3000);
    EXPECT_EQ(Table(Q), (std::vector<TRGB>{{255, 255, 255}}));
}

TEST(ColorQuantizer, SettingsAreClampedToWhatTheTreeHolds) {
    TColorQuantizer Q(0, 12);
    EXPECT_EQ(Q.MaxColors(), 1);
    EXPECT_EQ(Q.ColorBits(), 8);
    TColorQuantizer Big(1000, -1);
    EXPECT_EQ(Big.MaxColors(), 256);
    EXPECT_EQ(Big.ColorBits(), 0);
    // With 0 color bits the root is the only leaf.
    std::vector<uint8_t> BGR = Row({{10, 20, 30}, {30, 40, 50}});
    Big.AddPixels(BGR.data(), 2);
    EXPECT_EQ(Table(Big), (std::vector<TRGB>{{20, 30, 40}}));
    EXPECT_FALSE(Big.MergeDeepestNode());
    // An empty quantizer gives an empty table.
    TColorQuantizer Empty(8, 8);
    EXPECT_TRUE(Table(Empty).empty());
}

TEST(OctreePalette, EntriesFollowTheLeavesAndTheSystemColors) {
    std::vector<TLookupEntry> System(20);
    for (int I = 0; I < 20; ++I) System[I] = {uint8_t(I + 1), uint8_t(2 * I), uint8_t(3 * I), 0};
    TColorQuantizer Q(236, 8);
    std::vector<uint8_t> BGR = Row({{255, 0, 0}, {0, 0, 255}, {0, 0, 0}});
    Q.AddPixels(BGR.data(), 3);

    // Without system colors: one entry per leaf, nothing undefined.
    auto Plain = OctreePaletteEntries(Q, false, nullptr);
    ASSERT_EQ(Plain.size(), 3u);
    EXPECT_EQ(Plain[1].Blue, 255);
    EXPECT_EQ(Plain[2].Red, 255);

    auto WithSystem = OctreePaletteEntries(Q, true, System.data());
    ASSERT_EQ(WithSystem.size(), 256u);
    for (int I = 0; I < 10; ++I) {
        EXPECT_EQ(WithSystem[I].Red, System[I].Red);
        EXPECT_EQ(WithSystem[246 + I].Red, System[10 + I].Red);
        EXPECT_EQ(WithSystem[246 + I].Blue, System[10 + I].Blue);
    }
    EXPECT_EQ(WithSystem[10].Red, 0);
    EXPECT_EQ(WithSystem[11].Blue, 255);
    EXPECT_EQ(WithSystem[12].Red, 255);
    for (int I = 13; I < 246; ++I)
        EXPECT_EQ(WithSystem[I].Red | WithSystem[I].Green | WithSystem[I].Blue, 0);
}
