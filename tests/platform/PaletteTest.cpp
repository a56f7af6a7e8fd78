#include "platform/Graphics.h"
#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <random>

using namespace mv;

namespace {

std::vector<TPaletteEntry> EntriesOf(const HPALETTE& P) {
    std::vector<TPaletteEntry> E(GetPaletteEntries(P, 0, 0, nullptr));
    GetPaletteEntries(P, 0, static_cast<uint32_t>(E.size()), E.data());
    return E;
}

} // namespace

TEST(Palette, StockPaletteHasTheTwentyStaticColors) {
    const uint8_t Expected[20][3] = {
        {0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128},
        {128, 0, 128},   {0, 128, 128},   {192, 192, 192}, {192, 220, 192}, {166, 202, 240},
        {255, 251, 240}, {160, 160, 164}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0},
        {255, 255, 0},   {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};
    HPALETTE P = HandleCast<TPaletteObject>(GetStockObject(DEFAULT_PALETTE));
    ASSERT_TRUE(P);
    EXPECT_EQ(P, DefaultPalette()); // the same object every time
    auto E = EntriesOf(P);
    ASSERT_EQ(E.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(E[i].peRed, Expected[i][0]) << i;
        EXPECT_EQ(E[i].peGreen, Expected[i][1]) << i;
        EXPECT_EQ(E[i].peBlue, Expected[i][2]) << i;
    }
    uint16_t Count = 0;
    EXPECT_EQ(GetObject(P, 2, &Count), 2);
    EXPECT_EQ(Count, 20);
}

TEST(Palette, HalftonePaletteLayout) {
    HPALETTE P = CreateHalftonePalette(nullptr);
    auto E = EntriesOf(P);
    auto Stock = EntriesOf(DefaultPalette());
    ASSERT_EQ(E.size(), 256u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(E[i], Stock[i]) << i;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(E[246 + i], Stock[10 + i]) << i;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b) {
                const auto& X = E[10 + r * 36 + g * 6 + b];
                EXPECT_EQ(X.peRed, 51 * r);
                EXPECT_EQ(X.peGreen, 51 * g);
                EXPECT_EQ(X.peBlue, 51 * b);
            }
    for (int k = 1; k <= 20; ++k) {
        int v = (255 * k + 10) / 21;
        EXPECT_EQ(E[225 + k], (TPaletteEntry{uint8_t(v), uint8_t(v), uint8_t(v), 0})) << k;
    }
    EXPECT_EQ(E[226].peRed, 12);
    EXPECT_EQ(E[245].peRed, 243);
    // A new palette each call.
    EXPECT_NE(CreateHalftonePalette(nullptr), P);
}

TEST(Palette, CreateCopyAndErrors) {
    TLogPalette L;
    L.palNumEntries = 3;
    L.palPalEntry = {{1, 2, 3, PC_NOCOLLAPSE}, {4, 5, 6, 0}, {7, 8, 9, 0}};
    HPALETTE P = CreatePalette(L);
    ASSERT_TRUE(P);
    HPALETTE C = CopyPalette(P);
    EXPECT_NE(C, P);
    EXPECT_EQ(EntriesOf(C), EntriesOf(P));
    TPaletteEntry Two[2];
    EXPECT_EQ(GetPaletteEntries(P, 1, 5, Two), 2u);
    EXPECT_EQ(Two[1].peBlue, 9);
    EXPECT_TRUE(DeleteObject(P));
    EXPECT_FALSE(P);
    EXPECT_TRUE(C); // the copy lives on

    L.palVersion = 0x200;
    SetLastError(0);
    EXPECT_FALSE(CreatePalette(L));
    EXPECT_NE(GetLastError(), 0u);
    L.palVersion = 0x300;
    L.palNumEntries = 4; // more than given
    EXPECT_FALSE(CreatePalette(L));
    EXPECT_EQ(GetPaletteEntries(nullptr, 0, 1, Two), 0u);
    EXPECT_FALSE(CopyPalette(nullptr));
}

TEST(ColorMapper, AgreesWithBruteForceOnManyColors) {
    std::mt19937 Rng(7);
    std::vector<std::vector<RGBQUAD>> Tables;
    Tables.push_back(PaletteToColorTable(CreateHalftonePalette(nullptr)));
    Tables.push_back(PaletteToColorTable(DefaultPalette()));
    // Random tables, with duplicated entries so that ties occur.
    for (int t = 0; t < 3; ++t) {
        std::vector<RGBQUAD> T(1 + Rng() % 256);
        for (auto& Q : T) Q = {uint8_t(Rng()), uint8_t(Rng()), uint8_t(Rng()), 0};
        for (size_t i = 1; i < T.size(); i += 7) T[i] = T[i - 1];
        Tables.push_back(T);
    }
    // A tie: two entries equally far from the probe; the lower index wins.
    Tables.push_back({{0, 0, 10, 0}, {0, 0, 20, 0}});
    for (auto& T : Tables) {
        TColorMapper M(T);
        for (int i = 0; i < 60000; ++i) {
            uint8_t R = uint8_t(Rng()), G = uint8_t(Rng()), B = uint8_t(Rng());
            ASSERT_EQ(M.Map(R, G, B), M.MapSlow(R, G, B))
                << int(R) << "," << int(G) << "," << int(B);
        }
        // Repeated colors come from the cache and must still agree.
        for (int i = 0; i < 1000; ++i) ASSERT_EQ(M.Map(15, 0, 0), M.MapSlow(15, 0, 0));
    }
    TColorMapper Tie({{0, 0, 10, 0}, {0, 0, 20, 0}});
    EXPECT_EQ(Tie.Map(15, 0, 0), 0);
}

TEST(Colors, SystemColorsAndRGB) {
    EXPECT_EQ(clNone, 0x1FFFFFFF);
    EXPECT_EQ(ColorToRGB(clWindow), 0xFFFFFF);
    EXPECT_EQ(ColorToRGB(clWindowText), 0x000000);
    EXPECT_EQ(ColorToRGB(clBtnFace), 0xF0F0F0);
    EXPECT_EQ(ColorToRGB(clRed), clRed);
    EXPECT_EQ(RGB(1, 2, 3), 0x030201u);
}
