// The metafile readers and the record player over a plain pixel buffer.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>

#include "platform/Classes.h"
#include "platform/MetafilePlayer.h"
#include "platform/TextRender.h"
#include "tests/platform/MetafileBuilder.h"

namespace mv {
namespace {

using metafile::ReadMetafileInfo;
using testing::TEmfBuilder;
using testing::TWmfBuilder;

constexpr uint32_t kRed = 0x0000FF, kBlue = 0xFF0000, kGreen = 0x00FF00; // color references
constexpr uint32_t kPaper = 0x123456;                                    // untouched pixels
// The same colors as the surface stores them (0x00RRGGBB).
constexpr uint32_t kRedPx = 0xFF0000, kBluePx = 0x0000FF;

struct TSurface {
    int W, H;
    std::vector<uint32_t> Px;
    TSurface(int W, int H, uint32_t Fill = kPaper) : W(W), H(H), Px(size_t(W) * H, Fill) {}
    raster::TPixelBuffer Buffer() {
        return {reinterpret_cast<uint8_t*>(Px.data()), W, H, ptrdiff_t(W) * 4, 4, 0};
    }
    uint32_t At(int X, int Y) const { return Px[size_t(Y) * W + X] & 0xFFFFFF; }
    int Count(uint32_t RGB) const {
        int N = 0;
        for (uint32_t P : Px) N += (P & 0xFFFFFF) == RGB;
        return N;
    }
};

TSurface Play(const std::vector<uint8_t>& Bytes, int W, int H) {
    TSurface S(W, H);
    auto Info = ReadMetafileInfo(Bytes.data(), Bytes.size());
    raster::TRasterizer R(S.Buffer());
    metafile::PlayMetafile(Bytes.data(), Info, R, 0, 0, W, H);
    return S;
}

std::vector<uint8_t> RingEmf() {
    TEmfBuilder B(240, 240);
    B.Pen(1, 20, kRed).Select(1).Select(0x80000005); // null brush
    B.Ellipse(20, 20, 220, 220);
    return B.Finish();
}

TEST(MetafileInfo, SizesFromBothHeaderKinds) {
    struct TCase {
        const char* Name;
        std::vector<uint8_t> Bytes;
        int W, H;
        metafile::TMetafileKind Kind;
    } Cases[] = {
        {"emf frame", TEmfBuilder(240, 96).Finish(), 240, 96, metafile::mkEnhanced},
        {"placeable 1440 per inch", TWmfBuilder(1440, 720, 1440).Finish(), 96, 48,
         metafile::mkWindows},
        {"placeable 1000 per inch", TWmfBuilder(2000, 500, 1000).Finish(), 192, 48,
         metafile::mkWindows},
        {"plain window extent", TWmfBuilder().Rec(0x020B, {0, 0}).Rec(0x020C, {-200, 300}).Finish(),
         300, 200, metafile::mkWindows},
    };
    for (const auto& C : Cases) {
        auto I = ReadMetafileInfo(C.Bytes.data(), C.Bytes.size());
        EXPECT_EQ(I.Kind, C.Kind) << C.Name;
        EXPECT_EQ(I.Width, C.W) << C.Name;
        EXPECT_EQ(I.Height, C.H) << C.Name;
    }
}

TEST(MetafilePlayer, RingAtOwnSizeAndDoubled) {
    auto Bytes = RingEmf();
    for (int Scale : {1, 2}) {
        int Size = 240 * Scale;
        TSurface S = Play(Bytes, Size, Size);
        // Pen centred on the ellipse through pixel centres: radius 99.5, 10 pixels each side.
        double C = (20 * Scale + 220 * Scale - 1) / 2.0, R = (200 * Scale - 1) / 2.0;
        double In = R - 10 * Scale, Out = R + 10 * Scale;
        int Wrong = 0;
        for (int y = 0; y < Size; ++y)
            for (int x = 0; x < Size; ++x) {
                double D = std::hypot(x - C, y - C);
                uint32_t P = S.At(x, y);
                if (D < In - 0.8 || D > Out + 0.8) Wrong += P != kPaper;
                if (D > In + 0.8 && D < Out - 0.8) Wrong += P != 0xFF0000;
            }
        EXPECT_EQ(Wrong, 0) << "scale " << Scale;
        double Area = M_PI * (Out * Out - In * In);
        EXPECT_NEAR(S.Count(0xFF0000), Area, Area * 0.01) << "scale " << Scale;
    }
}

TEST(MetafilePlayer, RectangleEdgesArePixelExact) {
    TEmfBuilder B(96, 96);
    B.Brush(1, 0, kGreen).Select(1).Rectangle(10, 10, 50, 30);
    B.Select(0x80000008).Rectangle(60, 60, 70, 70); // null pen: one pixel smaller
    auto Bytes = B.Finish();
    for (int Scale : {1, 2}) {
        TSurface S = Play(Bytes, 96 * Scale, 96 * Scale);
        int L = 10 * Scale, T = 10 * Scale, R = 50 * Scale, Bt = 30 * Scale;
        for (int y = 0; y < 96 * Scale; ++y)
            for (int x = 0; x < 96 * Scale; ++x) {
                uint32_t Want = kPaper;
                if (x >= L && x < R && y >= T && y < Bt)
                    Want = (x == L || x == R - 1 || y == T || y == Bt - 1) ? 0 : 0x00FF00;
                if (x >= 60 * Scale && x < 70 * Scale - 1 && y >= 60 * Scale && y < 70 * Scale - 1)
                    Want = 0x00FF00;
                ASSERT_EQ(S.At(x, y), Want) << "scale " << Scale << " at " << x << "," << y;
            }
    }
}

TEST(MetafilePlayer, StarFillsByAlternateAndWindingRule) {
    std::vector<std::pair<int, int>> Star;
    for (int i = 0; i < 5; ++i) { // a pentagram: every second point of a pentagon
        double A = M_PI / 2 + i * 4 * M_PI / 5;
        Star.emplace_back(int(std::lround(120 + 100 * std::cos(A))),
                          int(std::lround(120 - 100 * std::sin(A))));
    }
    for (int Mode : {1, 2}) {
        TEmfBuilder B(240, 240);
        B.Brush(1, 0, kBlue).Select(1).Select(0x80000008).Rec(19, {Mode});
        B.Points(3, Star);
        auto Bytes = B.Finish();
        for (int Scale : {1, 2}) {
            TSurface S = Play(Bytes, 240 * Scale, 240 * Scale);
            EXPECT_EQ(S.At(120 * Scale, 120 * Scale), Mode == 2 ? kBluePx : kPaper);
            EXPECT_EQ(S.At(120 * Scale, 40 * Scale), kBluePx); // in the top arm
            EXPECT_EQ(S.At(5, 5), kPaper);
            EXPECT_GT(S.Count(kBluePx), 5000 * Scale * Scale);
        }
    }
}

TEST(MetafilePlayer, BezierOutlineFollowsTheCurve) {
    TEmfBuilder B(240, 240);
    B.Points(2, {{10, 200}, {60, 0}, {180, 0}, {230, 200}});
    auto Bytes = B.Finish();
    for (int Scale : {1, 2}) {
        TSurface S = Play(Bytes, 240 * Scale, 240 * Scale);
        int Off = 0;
        for (int i = 0; i <= 100; ++i) {
            double t = i / 100.0, u = 1 - t;
            double X =
                (u * u * u * 10 + 3 * u * u * t * 60 + 3 * u * t * t * 180 + t * t * t * 230) *
                Scale;
            double Y = (u * u * u * 200 + t * t * t * 200) * Scale;
            bool Near = false;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    int x = int(std::lround(X)) + dx, y = int(std::lround(Y)) + dy;
                    if (x >= 0 && y >= 0 && x < 240 * Scale && y < 240 * Scale && S.At(x, y) == 0)
                        Near = true;
                }
            Off += !Near;
        }
        EXPECT_LE(Off, 1) << "scale " << Scale; // the very last point is not drawn
        EXPECT_GT(S.Count(0), 300 * Scale);
        EXPECT_LT(S.Count(0), 420 * Scale); // one pixel wide, about the curve's length
    }
}

TEST(MetafilePlayer, DibStretchesWithBottomUpRows) {
    TEmfBuilder B(96, 96);
    B.StretchDib(0, 0, 96, 96, 2, {{0xFF0000, 0x00FF00}, {0x0000FF, 0xFFFFFF}});
    auto Bytes = B.Finish();
    for (int Scale : {1, 3}) {
        int N = 96 * Scale, H = N / 2;
        TSurface S = Play(Bytes, N, N);
        EXPECT_EQ(S.Count(0xFF0000), H * H);
        EXPECT_EQ(S.At(0, 0), 0xFF0000u);
        EXPECT_EQ(S.At(N - 1, 0), 0x00FF00u);
        EXPECT_EQ(S.At(0, N - 1), 0x0000FFu);
        EXPECT_EQ(S.At(N - 1, N - 1), 0xFFFFFFu);
        EXPECT_EQ(S.At(H - 1, H - 1), 0xFF0000u);
        EXPECT_EQ(S.At(H, H), 0xFFFFFFu);
    }
}

TEST(MetafilePlayer, TextDrawsInItsColorAlignedAndRotated) {
    if (!text::Available()) GTEST_SKIP() << "no fonts installed";
    for (int Esc : {0, 900}) {
        TEmfBuilder B(480, 480);
        B.Font(1, -60, u"宋体", Esc).Select(1);
        B.Rec(24, {int32_t(kRed)}).Rec(18, {1}); // red text, transparent background
        B.Rec(22, {24});                         // baseline
        B.Text(240, 240, u"印章AB");
        auto Bytes = B.Finish();
        TSurface S = Play(Bytes, 480, 480);
        int Red = S.Count(0xFF0000);
        EXPECT_GT(Red, 1500) << Esc;
        EXPECT_EQ(Red + S.Count(kPaper), 480 * 480) << "aliased: two colors only";
        int MinX = 480, MaxX = 0, MinY = 480, MaxY = 0;
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 480; ++x)
                if (S.At(x, y) == 0xFF0000)
                    MinX = std::min(MinX, x), MaxX = std::max(MaxX, x), MinY = std::min(MinY, y),
                    MaxY = std::max(MaxY, y);
        if (Esc == 0) {
            EXPECT_GE(MinX, 238);        // left aligned at the reference point
            EXPECT_LE(MaxY, 240 + 20);   // above the baseline but for descenders
            EXPECT_GT(MaxX - MinX, 140); // four characters side by side
        } else {
            EXPECT_LE(MaxY, 242); // written upwards from the reference point
            EXPECT_GT(MaxY - MinY, 140);
            EXPECT_LT(MaxX - MinX, 90);
        }
    }
    // Twice the size: about four times the ink.
    TEmfBuilder B(240, 240);
    B.Font(1, -30, u"Arial").Select(1).Rec(24, {int32_t(kRed)}).Rec(18, {1});
    B.Text(20, 20, u"SEAL");
    auto Bytes = B.Finish();
    int One = Play(Bytes, 240, 240).Count(0xFF0000), Two = Play(Bytes, 480, 480).Count(0xFF0000);
    EXPECT_GT(One, 100);
    EXPECT_NEAR(Two, 4.0 * One, One * 0.6);
}

TEST(MetafilePlayer, OpaqueBackgroundBehindText) {
    if (!text::Available()) GTEST_SKIP() << "no fonts installed";
    TEmfBuilder B(240, 240);
    B.Font(1, -30, u"Arial").Select(1).Rec(25, {int32_t(kGreen)}); // opaque is the default
    B.Text(20, 20, u"AB");
    TSurface S = Play(B.Finish(), 240, 240);
    EXPECT_GT(S.Count(0x00FF00), 200);
    EXPECT_GT(S.Count(0), 100);
}

TEST(MetafilePlayer, PartialCoverageLeavesTheRestUndrawn) {
    TEmfBuilder B(240, 240);
    B.Brush(1, 0, kRed).Select(1).Select(0x80000008).Ellipse(100, 100, 140, 140);
    TSurface S = Play(B.Finish(), 240, 240);
    int Drawn = S.Count(0xFF0000);
    EXPECT_EQ(Drawn + S.Count(kPaper), 240 * 240);
    EXPECT_NEAR(Drawn, M_PI * 20 * 20, 40);
    EXPECT_EQ(S.At(0, 0), kPaper);
    EXPECT_EQ(S.At(120, 120), 0xFF0000u);
}

TEST(MetafilePlayer, MappingTransformsAndSavedStates) {
    // 1000 logical units across the 240-pixel frame, a world scale of 2, and a SaveDC /
    // RestoreDC pair around a blue brush.
    TEmfBuilder B(240, 240);
    B.Rec(17, {8}).Rec(9, {1000, 1000}).Rec(11, {240, 240});
    B.Brush(1, 0, kGreen).Select(1).Select(0x80000008);
    B.Rec(33, {});
    B.Brush(2, 0, kBlue).Select(2);
    B.Rectangle(0, 0, 250, 250); // blue: pixels 0..59
    B.Rec(34, {-1});
    B.Rectangle(500, 500, 750, 750); // green again: 120..179
    float Two = 2;
    uint32_t Bits;
    std::memcpy(&Bits, &Two, 4);
    B.Rec(35, {int32_t(Bits), 0, 0, int32_t(Bits), 0, 0});
    B.Rectangle(0, 450, 50, 500); // world scale 2: 0..100 x 900..1000 -> 0..23 x 216..239
    TSurface S = Play(B.Finish(), 240, 240);
    EXPECT_EQ(S.At(0, 0), kBluePx);
    EXPECT_EQ(S.At(58, 58), kBluePx);
    EXPECT_EQ(S.At(60, 60), kPaper);
    EXPECT_EQ(S.At(120, 120), 0x00FF00u);
    EXPECT_EQ(S.At(178, 178), 0x00FF00u);
    EXPECT_EQ(S.At(180, 180), kPaper);
    EXPECT_EQ(S.At(1, 217), 0x00FF00u);
    EXPECT_EQ(S.At(25, 217), kPaper);
}

TEST(MetafilePlayer, ClipRectangleAndHatchBrush) {
    TEmfBuilder B(96, 96);
    B.Rec(30, {10, 10, 50, 50}); // clip
    B.Brush(1, 2, kBlue, 4).Select(1).Select(0x80000008).Rec(18, {1});
    B.Rectangle(0, 0, 96, 96); // cross hatch, transparent gaps
    TSurface S = Play(B.Finish(), 96, 96);
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 96; ++x)
            if (x < 10 || x >= 50 || y < 10 || y >= 50) {
                ASSERT_EQ(S.At(x, y), kPaper);
            }
    int Blue = S.Count(kBluePx);
    EXPECT_EQ(Blue, 40 * 40 * 15 / 64); // one row and one column in every 8 x 8 cell
}

TEST(MetafilePlayer, WindowsMetafileShapesAndText) {
    // Placeable, 1000 units across 96 pixels (1000 per inch).
    TWmfBuilder B(1000, 1000, 1000);
    B.Rec(0x020B, {0, 0}).Rec(0x020C, {1000, 1000});
    B.Rec(0x02FC, {0, int(kRed & 0xFFFF), int(kRed >> 16), 0}); // brush, slot 0
    B.Rec(0x02FA, {5, 0, 0, 0, 0});                             // null pen, slot 1
    B.Rec(0x012D, {0}).Rec(0x012D, {1});
    B.Rec(0x041B, {500, 500, 0, 0}); // rectangle 0..500 -> pixels 0..46 (one smaller)
    B.Rec(0x01F0, {0});              // delete the brush; slot 0 is free again
    B.Rec(0x02FC, {0, int(kGreen & 0xFFFF), int(kGreen >> 16), 0}); // green takes slot 0
    B.Rec(0x012D, {0});
    B.Rec(0x0418, {1000, 1000, 500, 500}); // ellipse in the lower right quarter
    B.Rec(0x0324, {3, 0, 1000, 250, 1000, 0, 750});
    auto Bytes = B.Finish();
    TSurface S = Play(Bytes, 96, 96);
    EXPECT_EQ(S.At(0, 0), kRedPx);
    EXPECT_EQ(S.At(46, 46), kRedPx);
    EXPECT_EQ(S.At(48, 48), kPaper);
    EXPECT_EQ(S.At(72, 72), 0x00FF00u);
    EXPECT_EQ(S.At(2, 93), 0x00FF00u); // the polygon uses the green brush too
    EXPECT_EQ(S.Count(kRedPx), 47 * 47);

    if (!text::Available()) return;
    TWmfBuilder T;
    T.Rec(0x020B, {0, 0}).Rec(0x020C, {200, 400});
    std::vector<uint8_t> Font(18 + 32, 0);
    Font[0] = uint8_t(-40 & 0xFF), Font[1] = 0xFF; // height -40
    Font[13] = 134;                                // GB2312
    const char Face[] = "\xCB\xCE\xCC\xE5";        // 宋体 in GBK
    std::memcpy(Font.data() + 18, Face, 4);
    T.RecBytes(0x02FB, Font).Rec(0x012D, {0});
    T.Rec(0x0209, {int(kRed & 0xFFFF), int(kRed >> 16)}).Rec(0x0102, {1});
    std::vector<uint8_t> Text{4, 0, 0xD3, 0xA1, 0xD5, 0xC2, 60, 0, 20, 0}; // "印章" at 20, 60
    T.RecBytes(0x0521, Text);
    TSurface U = Play(T.Finish(), 400, 200);
    EXPECT_GT(U.Count(0xFF0000), 300);
    EXPECT_EQ(U.Count(0xFF0000) + U.Count(kPaper), 400 * 200);
}

// The red pixels' bounding box (right and bottom excluded); all 0 when there are none.
raster::TIntRect RedBox(const TSurface& S) {
    raster::TIntRect R{S.W, S.H, 0, 0};
    for (int y = 0; y < S.H; ++y)
        for (int x = 0; x < S.W; ++x)
            if (S.At(x, y) == kRedPx) {
                R.Left = std::min(R.Left, x), R.Top = std::min(R.Top, y);
                R.Right = std::max(R.Right, x + 1), R.Bottom = std::max(R.Bottom, y + 1);
            }
    return R.IsEmpty() ? raster::TIntRect{} : R;
}

TEST(MetafilePlayer, WindowsMetafileMappingRecords) {
    // A placeable picture of 1000 units per inch and 1000 x 1000 units (96 pixels), drawn at
    // twice its size; the records before a filled square of logical 0..500 move it about.
    // Viewport figures are the picture's own pixels.
    struct TCase {
        const char* Name;
        std::vector<std::pair<uint16_t, std::vector<int>>> Records;
        raster::TIntRect Want;
    } Cases[] = {
        {"the bounding box", {}, {0, 0, 96, 96}},
        {"mapping mode anisotropic again", {{0x0103, {8}}}, {0, 0, 96, 96}},
        {"window origin", {{0x020B, {0, -500}}}, {96, 0, 192, 96}},
        {"window extent", {{0x020C, {2000, 2000}}}, {0, 0, 48, 48}},
        {"offset window origin", {{0x020F, {-250, -250}}}, {48, 48, 144, 144}},
        {"scale window extent", {{0x0410, {1, 2, 1, 2}}}, {0, 0, 48, 48}},
        {"viewport origin", {{0x020D, {48, 24}}}, {48, 96, 144, 192}},
        {"viewport extent", {{0x020E, {48, 48}}}, {0, 0, 48, 48}},
        {"mirrored viewport", {{0x020E, {96, -96}}, {0x020D, {0, 96}}}, {96, 0, 192, 96}},
        {"offset viewport origin", {{0x0211, {0, 12}}}, {24, 0, 120, 96}},
        {"scale viewport extent", {{0x0412, {2, 1, 2, 1}}}, {0, 0, 48, 48}},
        {"isotropic keeps the aspect", {{0x0103, {7}}, {0x020C, {2000, 1000}}}, {0, 0, 48, 48}},
        // Text mode: one unit is one picture pixel and extents are ignored.
        {"text mode",
         {{0x0103, {1}}, {0x020B, {480, 480}}, {0x020C, {2000, 2000}}},
         {0, 0, 40, 40}},
        // Y grows upwards in the fixed modes; a thousandth of an inch is 0.096 pixels.
        {"high english", {{0x0103, {5}}, {0x020D, {96, 0}}}, {0, 96, 96, 192}},
        {"saved and restored", {{0x001E, {}}, {0x020E, {1, 1}}, {0x0127, {-1}}}, {0, 0, 96, 96}},
    };
    for (const auto& C : Cases) {
        TWmfBuilder B(1000, 1000, 1000);
        B.Rec(0x02FC, {0, int(kRed & 0xFFFF), int(kRed >> 16), 0}).Rec(0x012D, {0});
        B.Rec(0x02FA, {5, 0, 0, 0, 0}).Rec(0x012D, {1}); // null pen
        for (const auto& [F, Words] : C.Records) {
            B.W.U32(static_cast<uint32_t>(3 + Words.size())), B.W.U16(F);
            for (int V : Words) B.W.U16(static_cast<uint16_t>(V));
        }
        B.Rec(0x0324, {4, 0, 0, 500, 0, 500, 500, 0, 500});
        TSurface S = Play(B.Finish(), 192, 192);
        raster::TIntRect R = RedBox(S);
        EXPECT_TRUE(R.Left == C.Want.Left && R.Top == C.Want.Top && R.Right == C.Want.Right &&
                    R.Bottom == C.Want.Bottom)
            << C.Name << ": red from " << R.Left << "," << R.Top << " to " << R.Right << ","
            << R.Bottom;
        EXPECT_EQ(S.Count(kRedPx), (R.Right - R.Left) * (R.Bottom - R.Top)) << C.Name;
    }
}

TEST(MetafilePlayer, IntersectedAndExcludedClipRectanglesInBothFormats) {
    // Clip to 10..85, then (saved) cut out a square and a slit and fill everything red; once
    // restored, the square is drawable again: a blue patch inside it.
    TEmfBuilder E(96, 96);
    E.Select(0x80000008).Rec(30, {10, 10, 86, 86}).Rec(33, {}); // null pen
    E.Rec(29, {30, 30, 60, 60}).Rec(29, {40, 0, 50, 96});
    E.Brush(1, 0, kRed).Select(1).Rectangle(0, 0, 97, 97);
    E.Rec(34, {-1}).Brush(2, 0, kBlue).Select(2).Rectangle(35, 35, 45, 45);
    TWmfBuilder W(96, 96, 96);
    W.Rec(0x02FA, {5, 0, 0, 0, 0}).Rec(0x012D, {0}); // null pen
    W.Rec(0x0416, {86, 86, 10, 10}).Rec(0x001E, {});
    W.Rec(0x0415, {60, 60, 30, 30}).Rec(0x0415, {96, 50, 0, 40});
    W.Rec(0x02FC, {0, int(kRed & 0xFFFF), int(kRed >> 16), 0}).Rec(0x012D, {1});
    W.Rec(0x041B, {97, 97, 0, 0});
    W.Rec(0x0127, {-1}).Rec(0x02FC, {0, int(kBlue & 0xFFFF), int(kBlue >> 16), 0});
    W.Rec(0x012D, {2}).Rec(0x041B, {45, 45, 35, 35});
    for (const auto& Bytes : {E.Finish(), W.Finish()}) {
        for (int Scale : {1, 2}) {
            TSurface S = Play(Bytes, 96 * Scale, 96 * Scale);
            auto In = [&](int x, int y, int L, int T, int R, int B) {
                return x >= L * Scale && x < R * Scale && y >= T * Scale && y < B * Scale;
            };
            for (int y = 0; y < 96 * Scale; ++y)
                for (int x = 0; x < 96 * Scale; ++x) {
                    uint32_t Want = kPaper;
                    if (In(x, y, 10, 10, 86, 86) && !In(x, y, 30, 30, 60, 60) &&
                        !In(x, y, 40, 0, 50, 96))
                        Want = kRedPx;
                    // The patch's rectangle, one pixel smaller without a pen.
                    if (x >= 35 * Scale && x < 45 * Scale - 1 && y >= 35 * Scale &&
                        y < 45 * Scale - 1)
                        Want = kBluePx;
                    ASSERT_EQ(S.At(x, y), Want) << (Bytes[0] == 1 ? "emf" : "wmf") << " scale "
                                                << Scale << " at " << x << "," << y;
                }
        }
    }
}

TEST(MetafilePlayer, ClipRegionRecordsCombineRectangles) {
    // A region of reference device rectangles (RGNDATA) selected, then one cut out of it.
    auto Region = [](int Mode, const std::vector<raster::TIntRect>& Rects) {
        testing::TByteWriter B;
        B.U32(static_cast<uint32_t>(32 + 16 * Rects.size())), B.U32(static_cast<uint32_t>(Mode));
        B.U32(32), B.U32(1), B.U32(static_cast<uint32_t>(Rects.size()));
        B.U32(static_cast<uint32_t>(16 * Rects.size()));
        for (int i = 0; i < 4; ++i) B.U32(0); // bounds, not needed
        for (const auto& R : Rects)
            B.U32(uint32_t(R.Left)), B.U32(uint32_t(R.Top)), B.U32(uint32_t(R.Right)),
                B.U32(uint32_t(R.Bottom));
        return B.Bytes;
    };
    TEmfBuilder E(96, 96);
    E.Raw(75, Region(5, {{0, 0, 20, 20}, {10, 10, 50, 30}, {60, 60, 90, 90}}));
    E.Raw(75, Region(4, {{70, 70, 80, 80}}));
    E.Brush(1, 0, kRed).Select(1).Select(0x80000008).Rectangle(0, 0, 97, 97);
    E.Rec(75, {0, 5}); // no region: unclipped again
    E.Brush(2, 0, kBlue).Select(2).Rectangle(90, 0, 97, 10);
    for (int Scale : {1, 2}) {
        TSurface S = Play(E.Finish(), 96 * Scale, 96 * Scale);
        auto In = [&](int x, int y, int L, int T, int R, int B) {
            return x >= L * Scale && x < R * Scale && y >= T * Scale && y < B * Scale;
        };
        for (int y = 0; y < 96 * Scale; ++y)
            for (int x = 0; x < 96 * Scale; ++x) {
                uint32_t Want = kPaper;
                if (In(x, y, 0, 0, 20, 20) || In(x, y, 10, 10, 50, 30) ||
                    (In(x, y, 60, 60, 90, 90) && !In(x, y, 70, 70, 80, 80)))
                    Want = kRedPx;
                if (x >= 90 * Scale && y < 10 * Scale - 1) Want = kBluePx;
                ASSERT_EQ(S.At(x, y), Want) << "scale " << Scale << " at " << x << "," << y;
            }
    }
}

TEST(MetafilePlayer, CosmeticPensDrawTheirDashPatterns) {
    struct TCase {
        int Style;
        std::vector<int> Runs; // on, off, ... in pixels
    } Cases[] = {{1, {18, 6}}, {2, {3, 3}}, {3, {9, 6, 3, 6}}, {4, {9, 3, 3, 3, 3, 3}}};
    for (const auto& C : Cases) {
        std::vector<bool> On;
        for (size_t k = 0; k < C.Runs.size(); ++k) On.insert(On.end(), C.Runs[k], k % 2 == 0);
        for (int Mode : {1, 2}) { // transparent, opaque gaps
            TEmfBuilder B(240, 240);
            B.Pen(1, 0, kRed, C.Style).Select(1).Rec(18, {Mode}).Rec(25, {int32_t(kGreen)});
            B.Points(4, {{0, 10}, {200, 10}});
            B.Points(4, {{0, 50}, {10, 50}, {10, 100}}); // the pattern goes round the corner
            TSurface S = Play(B.Finish(), 240, 240);
            uint32_t Gap = Mode == 2 ? 0x00FF00 : kPaper;
            for (int x = 0; x < 200; ++x)
                ASSERT_EQ(S.At(x, 10), On[x % On.size()] ? kRedPx : Gap)
                    << "style " << C.Style << " mode " << Mode << " at " << x;
            for (int k = 0; k < 50; ++k)
                ASSERT_EQ(S.At(10, 50 + k), On[(10 + k) % On.size()] ? kRedPx : Gap)
                    << "style " << C.Style << " corner " << k;
            EXPECT_EQ(S.At(200, 10), kPaper);
        }
    }
    // Wider pens draw solid.
    TEmfBuilder B(240, 240);
    B.Pen(1, 3, kRed, 1).Select(1).Points(4, {{10, 10}, {200, 10}});
    TSurface S = Play(B.Finish(), 240, 240);
    for (int x = 10; x < 200; ++x) ASSERT_EQ(S.At(x, 10), kRedPx) << x;
}

TEST(MetafileDamage, ChainErrorsNameTheNumbers) {
    auto Good = RingEmf();
    struct TCase {
        const char* Name;
        std::vector<uint8_t> Bytes;
        const char* Expect;
    };
    std::vector<TCase> Cases;
    {
        auto B = Good;
        B.resize(B.size() - 10); // the end record cut, header size still claims it
        Cases.push_back({"emf truncated", B, "claims"});
    }
    {
        auto B = Good;
        B[48 + 0] = 0, B[48 + 1] = 0, B[48 + 2] = 1; // header size 65536 beyond the file
        Cases.push_back({"emf size past the end", B, "claims 65536 bytes"});
    }
    {
        auto B = Good;
        B[88 + 4] = 0, B[88 + 5] = 0; // first record size 0: would never advance
        Cases.push_back({"emf zero record size", B, "invalid size of 0"});
    }
    {
        auto B = Good;
        B[88 + 5] = 0x10; // first record claims 4 KB
        Cases.push_back({"emf record past the end", B, "only"});
    }
    {
        TEmfBuilder E(240, 240);
        auto B = E.Finish();
        B[32] = 0xFF, B[33] = 0xFF, B[34] = 0xFF, B[35] = 0x7F; // frame 2^31 x 0.01 mm
        Cases.push_back({"emf absurd frame", B, "too large"});
    }
    {
        auto B = TWmfBuilder().Rec(0x020C, {100, 100}).Rec(0x0418, {10, 10, 0, 0}).Finish();
        B[18 + 10] = 0; // second record: size 0 words
        B[18 + 11] = 0;
        B[18 + 12] = 0;
        B[18 + 13] = 0;
        Cases.push_back({"wmf zero record size", B, "invalid size"});
    }
    {
        auto B = TWmfBuilder().Rec(0x020C, {100, 100}).Finish();
        B[18] = 0xFF; // the window record claims 255 words
        Cases.push_back({"wmf record past the end", B, "claims 510 bytes"});
    }
    Cases.push_back({"wmf without extent", TWmfBuilder().Finish(), "no window extent"});
    Cases.push_back({"wmf absurd extent", TWmfBuilder(30000, 30000, 1).Finish(), "too large"});
    Cases.push_back({"placeable zero inch", TWmfBuilder(100, 100, 1).Finish(), ""});
    Cases.back().Bytes[14] = 0;
    Cases.back().Expect = "0 units per inch";
    Cases.push_back({"not a metafile", {'G', 'I', 'F', '8', '9', 'a', 0, 0}, "Not a metafile"});
    for (const auto& C : Cases) {
        try {
            ReadMetafileInfo(C.Bytes.data(), C.Bytes.size());
            ADD_FAILURE() << C.Name << ": no error";
        } catch (const EInvalidGraphic& E) {
            EXPECT_NE(std::string(E.what()).find(C.Expect), std::string::npos)
                << C.Name << ": " << E.what();
        }
    }
}

TEST(MetafileDamage, BadRecordContentsAreSkipped) {
    TEmfBuilder B(240, 240, 4);
    B.Pen(60000, 5, kRed);                    // object index beyond the table
    B.Select(12345).Select(0x8000FFFF);       // unknown objects
    B.Rec(3, {0, 0, 0, 0, 0x7FFFFFFF, 1, 1}); // polygon count far beyond its record
    B.Rec(8, {0, 0, 0, 0, 0x40000000, 3, 3, 0, 0, 10, 0, 10, 10}); // polypolygon counts
    B.Rec(42, {-2000000000, -2000000000, 2000000000, 2000000000}); // absurd ellipse
    B.Pen(1, 2000000000, kRed).Select(1);
    B.Points(4, {{0, 0}, {2000000000, 5}, {-2000000000, 100}}); // absurd thick polyline
    B.Rec(35, {0x7F800000, 0, 0, 0x7F800000, 0, 0});            // infinite world transform
    B.Rec(81, {0, 0, 0, 0, 0, 0, 0, 0, 1000, 1000, 80, 40, 120, 0x7FFFFFFF, 0, 0xCC0020, 100, 100});
    B.Rec(84, {0, 0, 0, 0, 1, 0, 0, 0, 0, 0x7FFFFFF0, 76, 0, 0, 0, 0, 0, 0}); // text past end
    for (int i = 0; i < 2000; ++i) B.Rec(33, {});                             // SaveDC nesting
    B.Rec(34, {-100000});
    auto Bytes = B.Finish();
    auto Start = std::chrono::steady_clock::now();
    TSurface S = Play(Bytes, 240, 240);
    double Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    EXPECT_LT(Seconds, 10.0); // generous: a bound on time, not a speed figure
    (void)S;
}

TEST(MetafileDamage, MutatedFilesGiveAnErrorOrAPicture) {
    TEmfBuilder E(96, 96);
    E.Pen(1, 4, kRed).Select(1).Brush(2, 2, kBlue, 3).Select(2).Ellipse(5, 5, 90, 90);
    E.Points(2, {{0, 0}, {30, 90}, {60, -20}, {95, 95}});
    E.StretchDib(10, 10, 20, 20, 2, {{1, 2}, {3, 4}});
    E.Font(3, -20, u"Arial").Select(3).Text(10, 50, u"AB", {10, 10});
    TWmfBuilder W(96, 96, 96);
    W.Rec(0x02FA, {0, 3, 0, 0xFF, 0}).Rec(0x012D, {0}).Rec(0x0418, {90, 90, 5, 5});
    W.Rec(0x0324, {3, 0, 0, 50, 90, 90, 0});
    std::mt19937 Rng(12345);
    for (const auto& Seed : {E.Finish(), W.Finish()}) {
        for (int Round = 0; Round < 400; ++Round) {
            auto B = Seed;
            int Edits = 1 + Rng() % 8;
            for (int k = 0; k < Edits; ++k) {
                size_t At = Rng() % B.size();
                switch (Rng() % 3) {
                case 0:
                    B[At] = uint8_t(Rng());
                    break;
                case 1:
                    B[At] = 0xFF;
                    break;
                default:
                    B.resize(std::max<size_t>(1, At));
                    break;
                }
            }
            try {
                auto Info = ReadMetafileInfo(B.data(), B.size());
                TSurface S(64, 64);
                raster::TRasterizer R(S.Buffer());
                metafile::PlayMetafile(B.data(), Info, R, 0, 0, 64, 64);
            } catch (const EInvalidGraphic&) {
            }
        }
    }
}

} // namespace
} // namespace mv

namespace mv {
namespace {

// Files that once broke the player: a clean error or a picture, nothing else.
TEST(MetafileDamage, CrashFilesReplayCleanly) {
    std::string Dir = std::string(MORVELLAN_TEST_DATA) + "/crash/";
    int Seen = 0;
    for (const char* Name :
         {"metafile-text-origin-out-of-int-range.emf", "metafile-dib-source-offset-overflow.emf"}) {
        TMemoryStream S;
        S.LoadFromFile(Dir + Name);
        ++Seen;
        try {
            auto Info = metafile::ReadMetafileInfo(S.Memory(), static_cast<size_t>(S.Size()));
            std::vector<uint32_t> Px(64 * 64);
            raster::TPixelBuffer B{reinterpret_cast<uint8_t*>(Px.data()), 64, 64, 256, 4, 0};
            raster::TRasterizer R(B);
            metafile::PlayMetafile(S.Memory(), Info, R, 0, 0, 64, 64);
            metafile::PlayMetafile(S.Memory(), Info, R, 64, 32, 0, 0);
        } catch (const EInvalidGraphic&) {
        }
    }
    EXPECT_EQ(Seen, 2);
}

} // namespace
} // namespace mv
