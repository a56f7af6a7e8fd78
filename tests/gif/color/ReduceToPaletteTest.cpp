// The reduction driver over real bitmaps: palettes as the system and the builders give them,
// the DIB reader and writer, the result's color table and pixels.
#include "gif/color/ColorQuantizer.h"
#include "gif/color/Reduction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <vector>

using namespace mv;

namespace {

using TRGB = std::array<uint8_t, 3>;

// A 24-bit bitmap of W x (Pixels / W) pixels, rows from the top.
std::unique_ptr<TBitmap> Bitmap24(int W, const std::vector<TRGB>& Pixels,
                                  TPixelFormat Format = pf24bit) {
    int H = static_cast<int>(Pixels.size()) / W;
    auto B = std::make_unique<TBitmap>(W, H, pf24bit);
    for (int Y = 0; Y < H; ++Y) {
        auto* Row = static_cast<uint8_t*>(B->ScanLine(Y));
        for (int X = 0; X < W; ++X) {
            const TRGB& C = Pixels[Y * W + X];
            Row[3 * X] = C[2];
            Row[3 * X + 1] = C[1];
            Row[3 * X + 2] = C[0];
        }
    }
    if (Format != pf24bit) B->SetPixelFormat(Format);
    return B;
}

std::vector<uint8_t> Indices(TBitmap& B) {
    std::vector<uint8_t> Out;
    for (int Y = 0; Y < B.Height(); ++Y) {
        auto* Row = static_cast<const uint8_t*>(B.ScanLine(Y));
        Out.insert(Out.end(), Row, Row + B.Width());
    }
    return Out;
}

// The color table as a memory device context holding the bitmap reads it.
std::vector<RGBQUAD> ColorTable(TBitmap& B) {
    HDC DC = CreateCompatibleDC(nullptr);
    HGDIOBJ Old = SelectObject(DC, B.Handle());
    std::vector<RGBQUAD> Table(300);
    Table.resize(GetDIBColorTable(DC, 0, 300, Table.data()));
    SelectObject(DC, Old);
    DeleteDC(DC);
    return Table;
}

RGBQUAD Quad(uint8_t R, uint8_t G, uint8_t B) {
    return RGBQUAD{B, G, R, 0};
}

std::vector<RGBQUAD> QuadsOf(const HPALETTE& P) {
    std::vector<RGBQUAD> Q;
    for (const TPaletteEntry& E : P->Entries()) Q.push_back(Quad(E.peRed, E.peGreen, E.peBlue));
    return Q;
}

// Depth-first order of exact (8-bit) octree leaves: the channels' bits interleaved from the
// top, red, green, blue.
uint32_t OctreeOrder(const TRGB& C) {
    uint32_t Key = 0;
    for (int Bit = 7; Bit >= 0; --Bit)
        Key = (Key << 3) | (((C[0] >> Bit) & 1u) << 2) | (((C[1] >> Bit) & 1u) << 1) |
              ((C[2] >> Bit) & 1u);
    return Key;
}

// The palette each method must give for Pixels, written from the palettes' definitions.
std::vector<RGBQUAD> ExpectedPalette(TReductionMethod M, const std::vector<TRGB>& Pixels,
                                     const HPALETTE& Given) {
    std::vector<RGBQUAD> P;
    auto Grays = [&](std::initializer_list<int> Levels) {
        for (int V : Levels) P.push_back(Quad(uint8_t(V), uint8_t(V), uint8_t(V)));
    };
    std::vector<TRGB> Distinct(Pixels);
    std::sort(Distinct.begin(), Distinct.end(),
              [](const TRGB& A, const TRGB& B) { return OctreeOrder(A) < OctreeOrder(B); });
    Distinct.erase(std::unique(Distinct.begin(), Distinct.end()), Distinct.end());
    switch (M) {
    case rdSystem20:
        return QuadsOf(DefaultPalette());
    case rdHalftone:
        return QuadsOf(CreateHalftonePalette(nullptr));
    case rdSystemGray:
        Grays({0, 128, 192, 255});
        break;
    case rdMonochrome:
        Grays({0, 255});
        break;
    case rdGray256:
        for (int I = 0; I < 256; ++I) Grays({I});
        break;
    case rdNetscape216:
        for (int I = 0; I < 216; ++I)
            P.push_back(
                Quad(uint8_t(51 * (I / 36)), uint8_t(51 * (I / 6 % 6)), uint8_t(51 * (I % 6))));
        break;
    case rdOctree:
        for (const TRGB& C : Distinct) P.push_back(Quad(C[0], C[1], C[2]));
        break;
    case rdOctreeSystem: {
        auto Sys = QuadsOf(DefaultPalette());
        P.assign(256, RGBQUAD{});
        std::copy(Sys.begin(), Sys.begin() + 10, P.begin());
        std::copy(Sys.begin() + 10, Sys.end(), P.begin() + 246);
        for (size_t I = 0; I < Distinct.size(); ++I)
            P[10 + I] = Quad(Distinct[I][0], Distinct[I][1], Distinct[I][2]);
        break;
    }
    case rdGivenPalette:
        return QuadsOf(Given);
    default:
        break;
    }
    return P;
}

} // namespace

TEST(ReduceToPalette, EveryMethodAndKindGivesAnEightBitBitmapWithTheMethodsPalette) {
    // 9 x 5 random colors (45 distinct ones, so the octree keeps every one exactly).
    std::mt19937 Rng(5);
    std::vector<TRGB> Pixels(45);
    for (TRGB& C : Pixels) C = {uint8_t(Rng()), uint8_t(Rng()), uint8_t(Rng())};
    std::vector<TPaletteEntry> GivenEntries = {{10, 20, 30, 0}, {200, 100, 0, 0}, {0, 0, 0, 0}};
    HPALETTE Given = CreatePalette(GivenEntries.data(), 3);

    for (int M = rdSystem20; M <= rdGivenPalette; ++M) {
        auto Method = static_cast<TReductionMethod>(M);
        std::vector<RGBQUAD> Palette = ExpectedPalette(Method, Pixels, Given);
        ASSERT_FALSE(Palette.empty()) << M;
        std::vector<RGBQUAD> Table = Palette;
        Table.resize(256, RGBQUAD{});
        for (int K = dkNearest; K <= dkBurkes; ++K) {
            SCOPED_TRACE(testing::Message() << "method " << M << ", kind " << K);
            auto Source = Bitmap24(9, Pixels);
            auto R = ReduceToPalette(Source.get(), Method, static_cast<TDitherKind>(K), 8, Given);
            ASSERT_EQ(R->PixelFormat(), pf8bit);
            ASSERT_EQ(R->Width(), 9);
            ASSERT_EQ(R->Height(), 5);
            EXPECT_EQ(ColorTable(*R), Table);
            // The entries that matter: the palette's own, not the black padding.
            EXPECT_EQ(R->Handle()->ClrImportant, Palette.size());
            for (uint8_t I : Indices(*R)) ASSERT_LT(I, Palette.size());
        }
    }
    // The handle handed in is copied, not taken: it is still whole.
    EXPECT_EQ(GetPaletteEntries(Given, 0, 0, nullptr), 3u);
}

TEST(ReduceToPalette, PixelsOfTheFixedMethods) {
    struct TCase {
        TReductionMethod Method;
        std::vector<TRGB> Pixels;
        std::vector<uint8_t> Expected;
    } Cases[] = {
        {rdNetscape216,
         {{255, 0, 0}, {0, 0, 0}, {255, 255, 255}, {47, 47, 47}, {48, 48, 48}},
         {180, 0, 215, 0, 43}},
        {rdGray256, {{200, 100, 50}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}}, {124, 76, 149, 28}},
        {rdMonochrome, {{127, 127, 127}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0}}, {0, 1, 0, 1}},
        // (64,64,64) ties 0 and 128; the lower index wins and fixes its cell, so (71,71,71)
        // after it answers 0 too although 128 is nearer.
        {rdSystemGray, {{64, 64, 64}, {71, 71, 71}, {200, 200, 200}}, {0, 0, 2}},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(static_cast<int>(C.Method));
        auto Source = Bitmap24(static_cast<int>(C.Pixels.size()), C.Pixels);
        auto R = ReduceToPalette(Source.get(), C.Method, dkNearest, 8, nullptr);
        EXPECT_EQ(Indices(*R), C.Expected);
    }
    // Alone, (71,71,71) goes to 128.
    auto Alone = Bitmap24(1, {{71, 71, 71}});
    EXPECT_EQ(Indices(*ReduceToPalette(Alone.get(), rdSystemGray, dkNearest, 8, nullptr)),
              std::vector<uint8_t>{1});
}

TEST(ReduceToPalette, OddRowsAreMappedRightToLeft) {
    // Row 1 is mapped from its right end: (64,64,64) comes first and fixes the cell at index 0,
    // so (71,71,71) left of it answers 0. Left to right it would have fixed the cell at 1.
    auto Source = Bitmap24(2, {{255, 255, 255}, {255, 255, 255}, {71, 71, 71}, {64, 64, 64}});
    auto R = ReduceToPalette(Source.get(), rdSystemGray, dkNearest, 8, nullptr);
    EXPECT_EQ(Indices(*R), (std::vector<uint8_t>{3, 3, 0, 0}));
}

TEST(ReduceToPalette, NoneGivesATwentyFourBitCopyAndOtherMethodsConvertTheSource) {
    std::vector<TRGB> Pixels = {{1, 2, 3}, {250, 128, 7}, {9, 8, 7}, {0, 255, 0}};
    auto Source = Bitmap24(2, Pixels, pf32bit);
    auto Copy = ReduceToPalette(Source.get(), rdNone, dkFloydSteinberg, 8, nullptr);
    EXPECT_EQ(Source->PixelFormat(), pf32bit); // rdNone opens no reader
    ASSERT_EQ(Copy->PixelFormat(), pf24bit);
    ASSERT_EQ(Copy->Width(), 2);
    ASSERT_EQ(Copy->Height(), 2);
    auto* Row1 = static_cast<const uint8_t*>(Copy->ScanLine(1));
    EXPECT_EQ(Row1[0], 7);
    EXPECT_EQ(Row1[1], 8);
    EXPECT_EQ(Row1[2], 9);
    EXPECT_NE(Copy->Handle(), Source->Handle());

    auto R = ReduceToPalette(Source.get(), rdNetscape216, dkNearest, 8, nullptr);
    EXPECT_EQ(Source->PixelFormat(), pf24bit);
    EXPECT_EQ(Indices(*R), (std::vector<uint8_t>{0, 4 * 36 + 2 * 6 + 0, 0, 5 * 6}));

    auto From16 = Bitmap24(2, Pixels, pf16bit);
    ReduceToPalette(From16.get(), rdGray256, dkNearest, 8, nullptr);
    EXPECT_EQ(From16->PixelFormat(), pf24bit);
}

TEST(ReduceToPalette, RefusedSettingsAndPalettesWithoutColorsGiveTheEmptyBitmap) {
    auto Source = Bitmap24(3, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    struct TCase {
        TReductionMethod Method;
        TDitherKind Kind;
    } Cases[] = {
        {rdGivenPalette, dkNearest}, // no palette handed in
        {static_cast<TReductionMethod>(10), dkNearest},
        {static_cast<TReductionMethod>(255), dkBurkes},
        {rdNetscape216, static_cast<TDitherKind>(7)},
        {rdOctree, static_cast<TDitherKind>(200)},
    };
    for (const TCase& C : Cases) {
        auto R = ReduceToPalette(Source.get(), C.Method, C.Kind, 8, nullptr);
        EXPECT_TRUE(R->Empty()) << int(C.Method) << "/" << int(C.Kind);
        EXPECT_EQ(R->Width(), 0);
        EXPECT_EQ(R->Palette(), nullptr);
    }
    EXPECT_TRUE(ReduceToPalette(nullptr, rdNetscape216, dkNearest, 8, nullptr)->Empty());
    // A picture without pixels gives the octree no colors, hence a palette of none.
    TBitmap None;
    EXPECT_TRUE(ReduceToPalette(&None, rdOctree, dkNearest, 8, nullptr)->Empty());
}

TEST(ReduceToPalette, FailuresPassOnAfterEverythingIsFreed) {
    // An empty source passes the palette, lookup and ditherer steps and is refused by the
    // writer; the sanitizer build checks that nothing made on the way is left behind.
    for (int M : {rdSystem20, rdHalftone, rdNetscape216, rdOctreeSystem}) {
        TBitmap None;
        try {
            ReduceToPalette(&None, static_cast<TReductionMethod>(M), dkStucki, 8, nullptr);
            ADD_FAILURE() << M;
        } catch (const GIFException& E) {
            EXPECT_STREQ(E.what(), "Invalid image dimensions");
        }
    }
    // The stock palette survives being the driver's palette.
    EXPECT_EQ(GetPaletteEntries(DefaultPalette(), 0, 0, nullptr), 20u);
}

TEST(ReduceToPalette, OctreeBitsBeyondTheRangeCountAsTheirBounds) {
    std::vector<TRGB> Pixels;
    for (int I = 0; I < 16; ++I) Pixels.push_back({uint8_t(I * 16), uint8_t(255 - I * 16), 0});
    auto Source = Bitmap24(4, Pixels);
    auto At8 = ColorTable(*ReduceToPalette(Source.get(), rdOctree, dkNearest, 8, nullptr));
    EXPECT_EQ(ColorTable(*ReduceToPalette(Source.get(), rdOctree, dkNearest, 12, nullptr)), At8);
    auto At0 = Indices(*ReduceToPalette(Source.get(), rdOctree, dkNearest, -3, nullptr));
    EXPECT_EQ(std::set<uint8_t>(At0.begin(), At0.end()), std::set<uint8_t>{0});
    auto At2 = ReduceToPalette(Source.get(), rdOctree, dkFloydSteinberg, 2, nullptr);
    for (uint8_t I : Indices(*At2)) EXPECT_LT(I, 4);
}

TEST(PaletteBuilders, HandlesHoldTheFixedPalettesWithTheirFlags) {
    HPALETTE Cube = BuildNetscape216Palette();
    ASSERT_EQ(GetPaletteEntries(Cube, 0, 0, nullptr), 216u);
    EXPECT_EQ(Cube->Entries()[2 * 36 + 3 * 6 + 4], (TPaletteEntry{102, 153, 204, 0}));
    HPALETTE Ramp = BuildGrayRampPalette();
    ASSERT_EQ(Ramp->Entries().size(), 256u);
    EXPECT_EQ(Ramp->Entries()[77], (TPaletteEntry{77, 77, 77, PC_NOCOLLAPSE}));
    EXPECT_EQ(BuildBlackWhitePalette()->Entries(),
              (std::vector<TPaletteEntry>{{0, 0, 0, 4}, {255, 255, 255, 4}}));
    EXPECT_EQ(BuildSystemGrayPalette()->Entries(),
              (std::vector<TPaletteEntry>{
                  {0, 0, 0, 4}, {128, 128, 128, 4}, {192, 192, 192, 4}, {255, 255, 255, 4}}));
    HPALETTE Half = BuildScreenHalftonePalette();
    EXPECT_EQ(Half->Entries(), CreateHalftonePalette(nullptr)->Entries());
    EXPECT_NE(Half, BuildScreenHalftonePalette()); // a new palette every time
}

TEST(PaletteBuilders, OctreePaletteForABitmapReadsItAtTwentyFourBits) {
    // Black, white, red: the octree order puts black first and white last.
    auto Source = Bitmap24(3, {{255, 255, 255}, {255, 0, 0}, {0, 0, 0}}, pf8bit);
    HPALETTE P = BuildOctreePaletteForBitmap(Source.get(), 256, 8, false);
    EXPECT_EQ(Source->PixelFormat(), pf24bit);
    EXPECT_EQ(P->Entries(),
              (std::vector<TPaletteEntry>{{0, 0, 0, 0}, {255, 0, 0, 0}, {255, 255, 255, 0}}));
    HPALETTE S = BuildOctreePaletteForBitmap(Source.get(), 256, 8, true);
    ASSERT_EQ(S->Entries().size(), 256u);
    EXPECT_EQ(S->Entries()[0], DefaultPalette()->Entries()[0]);
    EXPECT_EQ(S->Entries()[255], DefaultPalette()->Entries()[19]);
    EXPECT_EQ(S->Entries()[11], (TPaletteEntry{255, 0, 0, 0}));
}

TEST(FastColorLookup, BuiltFromAPaletteHandle) {
    EXPECT_EQ(TFastColorLookup(HPALETTE()).Colors(), 0);
    std::vector<TPaletteEntry> E = {{0, 0, 0, 0}, {7, 7, 7, 0}, {0, 0, 100, 0}, {100, 0, 0, 0}};
    HPALETTE P = CreatePalette(E.data(), 4);
    TFastColorLookup L(P);
    ASSERT_EQ(L.Colors(), 4);
    uint8_t R, G, B;
    EXPECT_EQ(L.MapColor(6, 6, 6, R, G, B), 0);   // the cell's lowest entry, not the nearest
    EXPECT_EQ(L.MapColor(60, 0, 60, R, G, B), 2); // tie between 2 and 3: the lower index
    EXPECT_EQ(B, 100);
    // More than 256 entries: only the first 256 count.
    std::vector<TPaletteEntry> Many(300, TPaletteEntry{1, 2, 3, 0});
    EXPECT_EQ(TFastColorLookup(CreatePalette(Many.data(), 300)).Colors(), 256);
}
