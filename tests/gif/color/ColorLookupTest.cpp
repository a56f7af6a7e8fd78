#include "gif/color/ColorLookup.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace mv;

namespace {

struct TMapped {
    int Index;
    int R, G, B;
};

TMapped Ask(TColorLookup& L, int Red, int Green, int Blue) {
    uint8_t R = 1, G = 1, B = 1;
    int Index = L.MapColor(static_cast<uint8_t>(Red), static_cast<uint8_t>(Green),
                           static_cast<uint8_t>(Blue), R, G, B);
    return {Index, R, G, B};
}

std::vector<TLookupEntry> Palette(std::initializer_list<std::array<int, 3>> Colors) {
    std::vector<TLookupEntry> P;
    for (const auto& C : Colors)
        P.push_back({static_cast<uint8_t>(C[0]), static_cast<uint8_t>(C[1]),
                     static_cast<uint8_t>(C[2]), 0});
    return P;
}

} // namespace

TEST(NetscapeLookup, CubeIndicesAndColors) {
    TNetscapeColorLookup L;
    EXPECT_EQ(L.Colors(), 216);
    struct Case {
        int R, G, B, Index, ER, EG, EB;
    } Cases[] = {
        {47, 48, 255, 11, 0, 51, 255},
        {255, 255, 255, 215, 255, 255, 255},
        {252, 0, 0, 180, 255, 0, 0},
        {251, 0, 0, 144, 204, 0, 0},
        {0, 0, 0, 0, 0, 0, 0},
        {48, 48, 48, 43, 51, 51, 51},
        {98, 99, 149, 1 * 36 + 2 * 6 + 2, 51, 102, 102},
        {150, 200, 201, 3 * 36 + 3 * 6 + 4, 153, 153, 204},
    };
    for (const Case& C : Cases) {
        TMapped M = Ask(L, C.R, C.G, C.B);
        EXPECT_EQ(M.Index, C.Index) << C.R << "," << C.G << "," << C.B;
        EXPECT_EQ(M.R, C.ER);
        EXPECT_EQ(M.G, C.EG);
        EXPECT_EQ(M.B, C.EB);
    }
}

TEST(GrayAndMonochromeLookups, WeightsAndThreshold) {
    TGrayScaleLookup Gray;
    EXPECT_EQ(Gray.Colors(), 256);
    EXPECT_EQ(Ask(Gray, 255, 255, 255).Index, 255);
    EXPECT_EQ(Ask(Gray, 255, 0, 0).Index, 76);
    EXPECT_EQ(Ask(Gray, 0, 255, 0).Index, 149);
    EXPECT_EQ(Ask(Gray, 0, 0, 255).Index, 28);
    TMapped M = Ask(Gray, 200, 100, 50);
    EXPECT_EQ(M.Index, 124);
    EXPECT_EQ(M.R, 124);
    EXPECT_EQ(M.B, 124);

    TMonochromeLookup Mono;
    EXPECT_EQ(Mono.Colors(), 2);
    struct Case {
        int R, G, B, Index;
    } Cases[] = {{127, 127, 127, 0}, {128, 128, 128, 1}, {255, 0, 0, 0},
                 {0, 255, 0, 1},     {0, 0, 255, 0},     {255, 255, 255, 1}};
    for (const Case& C : Cases) {
        TMapped W = Ask(Mono, C.R, C.G, C.B);
        EXPECT_EQ(W.Index, C.Index) << C.R << "," << C.G << "," << C.B;
        EXPECT_EQ(W.R, C.Index ? 255 : 0);
    }
}

// The row loops of the fixed lookups give what MapColor gives, on every channel value.
TEST(FixedLookups, RowsAgreeWithMapColor) {
    std::mt19937 Rng(7);
    std::vector<uint8_t> Row(3 * 4096);
    for (size_t I = 0; I < Row.size(); ++I) Row[I] = static_cast<uint8_t>(Rng());
    for (int C = 0; C < 256; ++C) Row[3 * C] = Row[3 * C + 1] = Row[3 * C + 2] = C;
    TNetscapeColorLookup Cube;
    TGrayScaleLookup Gray;
    TMonochromeLookup Mono;
    for (TColorLookup* L : std::initializer_list<TColorLookup*>{&Cube, &Gray, &Mono}) {
        std::vector<uint8_t> Got(4096);
        L->LookupRow(Row.data(), Got.data(), 4096, false);
        for (int X = 0; X < 4096; ++X)
            ASSERT_EQ(Got[X], Ask(*L, Row[3 * X + 2], Row[3 * X + 1], Row[3 * X]).Index)
                << L->ClassName() << " pixel " << X;
    }
}

TEST(FastLookup, CellQuirks) {
    {
        // Both colors lie in cell 0, which answers its lowest entry.
        auto P = Palette({{0, 0, 0}, {7, 7, 7}});
        TFastColorLookup L(P.data(), 2);
        TMapped M = Ask(L, 6, 6, 6);
        EXPECT_EQ(M.Index, 0);
        EXPECT_EQ(M.R, 0);
    }
    {
        // A tie keeps the lowest index.
        auto P = Palette({{0, 0, 100}, {100, 0, 0}});
        TFastColorLookup L(P.data(), 2);
        TMapped M = Ask(L, 50, 0, 50);
        EXPECT_EQ(M.Index, 0);
        EXPECT_EQ(M.B, 100);
    }
    {
        // Two equal colors: index 1 is never answered.
        auto P = Palette({{10, 20, 30}, {10, 20, 30}});
        TFastColorLookup L(P.data(), 2);
        EXPECT_EQ(Ask(L, 10, 20, 30).Index, 0);
        EXPECT_EQ(Ask(L, 200, 200, 200).Index, 0);
    }
}

TEST(FastLookup, FirstColorAskedFixesTheCell) {
    // (16..23) is one cell. Asked first, (23,23,23) is nearer (40,40,40); (16,16,16) asked later
    // gets the same answer although black is nearer to it.
    auto P = Palette({{0, 0, 0}, {40, 40, 40}});
    {
        TFastColorLookup L(P.data(), 2);
        EXPECT_EQ(Ask(L, 23, 23, 23).Index, 1);
        TMapped M = Ask(L, 16, 16, 16);
        EXPECT_EQ(M.Index, 1);
        EXPECT_EQ(M.G, 40);
    }
    {
        TFastColorLookup L(P.data(), 2);
        EXPECT_EQ(Ask(L, 16, 16, 16).Index, 0);
        EXPECT_EQ(Ask(L, 23, 23, 23).Index, 0);
    }
    // A row asked right to left fixes the cell by its last pixel.
    const uint8_t Row[] = {16, 16, 16, 23, 23, 23};
    uint8_t Got[2];
    TFastColorLookup Backwards(P.data(), 2);
    Backwards.LookupRow(Row, Got, 2, true);
    EXPECT_EQ(Got[0], 1);
    EXPECT_EQ(Got[1], 1);
    TFastColorLookup Forwards(P.data(), 2);
    Forwards.LookupRow(Row, Got, 2, false);
    EXPECT_EQ(Got[0], 0);
    EXPECT_EQ(Got[1], 0);
}

TEST(FastLookup, SearchFindsTheNearestBySumOfDifferences) {
    // Each cell is asked once, so every answer is a fresh search: check it against a plain one.
    std::mt19937 Rng(11);
    std::vector<TLookupEntry> P(256);
    for (auto& E : P) E = {uint8_t(Rng()), uint8_t(Rng()), uint8_t(Rng()), 0};
    TFastColorLookup L(P.data(), 256);
    EXPECT_EQ(L.Colors(), 256);
    int Checked = 0;
    for (int Key = 0; Key < 32768; Key += 37) {
        int R = (Key & 31) * 8 + 3, G = ((Key >> 5) & 31) * 8 + 5, B = (Key >> 10) * 8 + 1;
        bool HasEntry = false;
        for (const auto& E : P)
            HasEntry |=
                TFastColorLookup::CellKey(E.Red, E.Green, E.Blue) == static_cast<uint32_t>(Key);
        if (HasEntry) continue;
        int Best = 1 << 30, BestIndex = -1;
        for (int I = 0; I < 256; ++I) {
            int D = std::abs(P[I].Red - R) + std::abs(P[I].Green - G) + std::abs(P[I].Blue - B);
            if (D < Best) Best = D, BestIndex = I;
        }
        TMapped M = Ask(L, R, G, B);
        ASSERT_EQ(M.Index, BestIndex) << R << "," << G << "," << B;
        EXPECT_EQ(M.R, P[BestIndex].Red);
        ++Checked;
    }
    EXPECT_GT(Checked, 500);
}

TEST(FastLookup, CountComesFromThePalette) {
    TFastColorLookup None(nullptr, 5);
    EXPECT_EQ(None.Colors(), 0);
    std::vector<TLookupEntry> Big(300, TLookupEntry{1, 2, 3, 0});
    TFastColorLookup Capped(Big.data(), 300);
    EXPECT_EQ(Capped.Colors(), 256);
    auto One = Palette({{9, 9, 9}});
    TFastColorLookup Single(One.data(), 1);
    EXPECT_EQ(Ask(Single, 255, 0, 128).Index, 0);
}
