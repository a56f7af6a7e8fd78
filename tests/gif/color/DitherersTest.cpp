#include "gif/color/Ditherers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <vector>

using namespace mv;

namespace {

// A picture as the driver sees it: rows of blue, green, red bytes.
struct TRowPicture {
    int W, H;
    std::vector<uint8_t> BGR;
    const uint8_t* Row(int Y) const { return BGR.data() + 3 * W * Y; }
};

TRowPicture RandomPicture(int W, int H, unsigned Seed) {
    TRowPicture P{W, H, std::vector<uint8_t>(3 * W * H)};
    std::mt19937 Rng(Seed);
    for (auto& B : P.BGR) B = static_cast<uint8_t>(Rng());
    return P;
}

TRowPicture GradientPicture(int W, int H) {
    TRowPicture P{W, H, std::vector<uint8_t>(3 * W * H)};
    for (int Y = 0; Y < H; ++Y)
        for (int X = 0; X < W; ++X) {
            uint8_t* Px = P.BGR.data() + 3 * (Y * W + X);
            Px[0] = static_cast<uint8_t>(X * 255 / std::max(W - 1, 1));
            Px[1] = static_cast<uint8_t>(Y * 255 / std::max(H - 1, 1));
            Px[2] = static_cast<uint8_t>((X * 7 + Y * 13) % 256);
        }
    return P;
}

TRowPicture UniformPicture(int W, int H, uint8_t V) {
    return TRowPicture{W, H, std::vector<uint8_t>(3 * W * H, V)};
}

// Runs a ditherer over a picture the way the driver does, either pixel by pixel or a row at a
// time.
std::vector<uint8_t> DitherPicture(TDitherEngine& D, const TRowPicture& P, bool ByRow) {
    std::vector<uint8_t> Out(P.W * P.H, 0xEE);
    for (int Y = 0; Y < P.H; ++Y) {
        uint8_t* Dst = Out.data() + P.W * Y;
        const uint8_t* Src = P.Row(Y);
        if (ByRow) {
            D.DitherRow(Src, Dst);
        } else {
            uint8_t R, G, B;
            while (D.Column() >= 0 && D.Column() < P.W) {
                int X = D.Column();
                Dst[X] = D.DitherPixel(Src[3 * X + 2], Src[3 * X + 1], Src[3 * X], R, G, B);
            }
        }
        D.StartNextRow();
    }
    return Out;
}

// ---------------------------------------------------------------------------
// Reference: the arithmetic written out plainly, one channel array each, whole-picture error
// planes for the multi-row kernels.

// Maps a color to (index, palette color).
using TRefMap = std::function<int(const int In[3], int Out[3])>;

TRefMap RefCube() {
    return [](const int In[3], int Out[3]) {
        int L[3];
        for (int C = 0; C < 3; ++C) {
            L[C] = (In[C] + 3) / 51;
            Out[C] = 51 * L[C];
        }
        return L[0] * 36 + L[1] * 6 + L[2];
    };
}

TRefMap RefMono() {
    return [](const int In[3], int Out[3]) {
        bool White = 77 * In[0] + 150 * In[1] + 29 * In[2] > 32512;
        Out[0] = Out[1] = Out[2] = White ? 255 : 0;
        return White ? 1 : 0;
    };
}

TRefMap RefGray() {
    return [](const int In[3], int Out[3]) {
        int L = (77 * In[0] + 150 * In[1] + 29 * In[2]) / 256;
        Out[0] = Out[1] = Out[2] = L;
        return L;
    };
}

// The cached lookup: a cell's first answer stays.
TRefMap RefFast(std::vector<TLookupEntry> Pal) {
    auto Cache = std::make_shared<std::map<int, int>>();
    for (int I = 0; I < static_cast<int>(Pal.size()); ++I) {
        int Key = (Pal[I].Red / 8) + (Pal[I].Green / 8) * 32 + (Pal[I].Blue / 8) * 1024;
        Cache->emplace(Key, I);
    }
    return [Pal, Cache](const int In[3], int Out[3]) {
        int Key = In[0] / 8 + (In[1] / 8) * 32 + (In[2] / 8) * 1024;
        auto It = Cache->find(Key);
        int Index;
        if (It != Cache->end()) {
            Index = It->second;
        } else {
            int Best = 1 << 30;
            Index = 0;
            for (int I = 0; I < static_cast<int>(Pal.size()); ++I) {
                int D = std::abs(Pal[I].Red - In[0]) + std::abs(Pal[I].Green - In[1]) +
                        std::abs(Pal[I].Blue - In[2]);
                if (D < Best) Best = D, Index = I;
            }
            (*Cache)[Key] = Index;
        }
        Out[0] = Pal[Index].Red;
        Out[1] = Pal[Index].Green;
        Out[2] = Pal[Index].Blue;
        return Index;
    };
}

int Clamp255(int V) {
    return V < 0 ? 0 : (V > 255 ? 255 : V);
}

// Column x of row y in serpentine order: the k-th pixel visited.
int VisitColumn(int W, int Y, int K) {
    return Y % 2 == 0 ? K : W - 1 - K;
}

std::vector<uint8_t> RefNearest(const TRowPicture& P, const TRefMap& Map) {
    std::vector<uint8_t> Out(P.W * P.H);
    for (int Y = 0; Y < P.H; ++Y)
        for (int K = 0; K < P.W; ++K) {
            int X = VisitColumn(P.W, Y, K);
            const uint8_t* S = P.Row(Y) + 3 * X;
            int In[3] = {S[2], S[1], S[0]}, Pal[3];
            Out[Y * P.W + X] = static_cast<uint8_t>(Map(In, Pal));
        }
    return Out;
}

// Floyd-Steinberg's steps with one error row per channel and the carried values R, B, BB.
std::vector<uint8_t> RefFloyd(const TRowPicture& P, const TRefMap& Map) {
    std::vector<uint8_t> Out(P.W * P.H);
    std::vector<int> Row[3];
    for (auto& R : Row) R.assign(P.W + 2, 0);
    int Carry[3] = {}, Below[3] = {}, Behind[3] = {};
    int Pos = 0, Dir = 1;
    for (int Y = 0; Y < P.H; ++Y) {
        for (int K = 0; K < P.W; ++K) {
            int X = VisitColumn(P.W, Y, K);
            const uint8_t* S = P.Row(Y) + 3 * X;
            int In[3] = {S[2], S[1], S[0]}, V[3], Pal[3];
            for (int C = 0; C < 3; ++C) V[C] = Clamp255(In[C] + (Row[C][Pos] + Carry[C] + 8) / 16);
            Out[Y * P.W + X] = static_cast<uint8_t>(Map(V, Pal));
            for (int C = 0; C < 3; ++C) {
                int E = V[C] - Pal[C];
                if (E != 0) {
                    Row[C][Pos] = Behind[C] + 3 * E;
                    Behind[C] = Below[C] + 5 * E;
                    Below[C] = E;
                    Carry[C] = 7 * E;
                } else {
                    Carry[C] = 0;
                }
            }
            Pos += Dir;
        }
        for (int C = 0; C < 3; ++C) {
            Row[C][Pos] = Behind[C];
            Carry[C] = Below[C] = Behind[C] = 0;
        }
        Dir = -Dir;
        Pos = Dir > 0 ? 0 : P.W + 1;
    }
    return Out;
}

struct TWeight {
    int DY, DX, W;
};

// A kernel over whole-picture error planes: pixel (x, y) owns plane entry (x + Pad, y); DX is
// measured in the direction of travel of row y.
std::vector<uint8_t> RefKernel(const TRowPicture& P, const TRefMap& Map,
                               const std::vector<TWeight>& Kernel, int Divisor) {
    int Pad = 0, Down = 0;
    for (const TWeight& K : Kernel)
        Pad = std::max(Pad, std::abs(K.DX)), Down = std::max(Down, K.DY);
    int PW = P.W + 2 * Pad;
    std::vector<int> Plane[3];
    for (auto& Pl : Plane) Pl.assign(PW * (P.H + Down), 0);
    std::vector<uint8_t> Out(P.W * P.H);
    for (int Y = 0; Y < P.H; ++Y) {
        int Dir = Y % 2 == 0 ? 1 : -1;
        for (int K = 0; K < P.W; ++K) {
            int X = VisitColumn(P.W, Y, K);
            const uint8_t* S = P.Row(Y) + 3 * X;
            int In[3] = {S[2], S[1], S[0]}, V[3], Pal[3];
            for (int C = 0; C < 3; ++C)
                V[C] = Clamp255(In[C] + (Plane[C][Y * PW + X + Pad] + Divisor / 2) / Divisor);
            Out[Y * P.W + X] = static_cast<uint8_t>(Map(V, Pal));
            for (int C = 0; C < 3; ++C) {
                int E = V[C] - Pal[C];
                for (const TWeight& Wt : Kernel)
                    Plane[C][(Y + Wt.DY) * PW + X + Pad + Wt.DX * Dir] += E * Wt.W;
            }
        }
    }
    return Out;
}

const std::vector<TWeight> Stucki = {{0, 1, 8},  {0, 2, 4}, {1, -2, 2}, {1, -1, 4},
                                     {1, 0, 8},  {1, 1, 4}, {1, 2, 2},  {2, -2, 1},
                                     {2, -1, 2}, {2, 0, 4}, {2, 1, 2},  {2, 2, 1}};
const std::vector<TWeight> Sierra = {{0, 1, 5},  {0, 2, 3}, {1, -2, 2}, {1, -1, 4},
                                     {1, 0, 5},  {1, 1, 4}, {1, 2, 2},  {2, -2, 0},
                                     {2, -1, 2}, {2, 0, 3}, {2, 1, 2},  {2, 2, 0}};
const std::vector<TWeight> JaJuNi = {{0, 1, 7},  {0, 2, 5}, {1, -2, 3}, {1, -1, 5},
                                     {1, 0, 7},  {1, 1, 5}, {1, 2, 3},  {2, -2, 1},
                                     {2, -1, 3}, {2, 0, 5}, {2, 1, 3},  {2, 2, 1}};
const std::vector<TWeight> SteveArche = {{0, 2, 32}, {1, -3, 12}, {1, -1, 26}, {1, 1, 30},
                                         {1, 3, 16}, {2, -2, 12}, {2, 0, 26},  {2, 2, 12},
                                         {3, -3, 5}, {3, -1, 12}, {3, 1, 12},  {3, 3, 5}};
const std::vector<TWeight> Burkes = {{0, 1, 8}, {0, 2, 4}, {1, -2, 2}, {1, -1, 4},
                                     {1, 0, 8}, {1, 1, 4}, {1, 2, 2}};

std::vector<uint8_t> Reference(TDitherKind Kind, const TRowPicture& P, const TRefMap& Map) {
    switch (Kind) {
    case dkNearest:
        return RefNearest(P, Map);
    case dkFloydSteinberg:
        return RefFloyd(P, Map);
    case dkStucki:
        return RefKernel(P, Map, Stucki, 42);
    case dkSierra:
        return RefKernel(P, Map, Sierra, 32);
    case dkJaJuNi:
        return RefKernel(P, Map, JaJuNi, 48);
    case dkSteveArche:
        return RefKernel(P, Map, SteveArche, 200);
    case dkBurkes:
        return RefKernel(P, Map, Burkes, 32);
    }
    return {};
}

// A lookup of the test's own that records what it was asked and answers one fixed gray, or
// (Echo) the asked color itself, which leaves no error to diffuse.
class TRecordingLookup : public TColorLookup {
public:
    static constexpr int Echo = -1;
    explicit TRecordingLookup(int Answer) : FAnswer(Answer) { FColors = 1; }
    uint8_t MapColor(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                     uint8_t& B) override {
        Asked.push_back({Red, Green, Blue});
        if (FAnswer == Echo) {
            R = Red, G = Green, B = Blue;
        } else {
            R = G = B = static_cast<uint8_t>(FAnswer);
        }
        return 0;
    }
    std::vector<std::array<int, 3>> Asked;

private:
    int FAnswer;
};

const TDitherKind AllKinds[] = {dkNearest, dkFloydSteinberg, dkStucki, dkSierra,
                                dkJaJuNi,  dkSteveArche,     dkBurkes};

} // namespace

TEST(Ditherers, AgreeWithTheReferenceOnEveryLookup) {
    std::mt19937 Rng(3);
    std::vector<TLookupEntry> Pal(40);
    for (auto& E : Pal) E = {uint8_t(Rng()), uint8_t(Rng()), uint8_t(Rng()), 0};
    const TRowPicture Pictures[] = {RandomPicture(13, 9, 1), GradientPicture(31, 6),
                                    RandomPicture(1, 6, 2), RandomPicture(2, 5, 4),
                                    UniformPicture(9, 4, 128)};
    for (TDitherKind Kind : AllKinds)
        for (const TRowPicture& P : Pictures)
            for (int Which = 0; Which < 4; ++Which)
                for (bool ByRow : {false, true}) {
                    std::unique_ptr<TColorLookup> L;
                    TRefMap Map;
                    switch (Which) {
                    case 0:
                        L = std::make_unique<TNetscapeColorLookup>(), Map = RefCube();
                        break;
                    case 1:
                        L = std::make_unique<TMonochromeLookup>(), Map = RefMono();
                        break;
                    case 2:
                        L = std::make_unique<TGrayScaleLookup>(), Map = RefGray();
                        break;
                    default:
                        L = std::make_unique<TFastColorLookup>(Pal.data(), 40);
                        Map = RefFast(Pal);
                        break;
                    }
                    auto D = CreateDitherer(Kind, P.W, L.get());
                    ASSERT_TRUE(D);
                    EXPECT_EQ(DitherPicture(*D, P, ByRow), Reference(Kind, P, Map))
                        << "kind " << int(Kind) << ", lookup " << Which << ", " << P.W << "x" << P.H
                        << (ByRow ? " by row" : " by pixel");
                }
}

TEST(Ditherers, PlainKindDoesNotDependOnNeighbours) {
    TRowPicture P = RandomPicture(17, 5, 9);
    TNetscapeColorLookup L;
    TDitherEngine D(P.W, &L);
    std::vector<uint8_t> Got = DitherPicture(D, P, true);
    for (int I = 0; I < P.W * P.H; ++I) {
        uint8_t R, G, B;
        ASSERT_EQ(Got[I], L.MapColor(P.BGR[3 * I + 2], P.BGR[3 * I + 1], P.BGR[3 * I], R, G, B));
    }
}

TEST(Ditherers, OddRowsRunRightToLeft) {
    TRowPicture P{3, 2, {}};
    for (int I = 0; I < 6; ++I) P.BGR.insert(P.BGR.end(), {0, 0, uint8_t(10 * I)}); // red 0..50
    for (TDitherKind Kind : AllKinds) {
        for (bool ByRow : {false, true}) {
            TRecordingLookup L(TRecordingLookup::Echo);
            auto D = CreateDitherer(Kind, 3, &L);
            DitherPicture(*D, P, ByRow);
            ASSERT_EQ(L.Asked.size(), 6u);
            const int Order[] = {0, 10, 20, 50, 40, 30};
            for (int I = 0; I < 6; ++I) EXPECT_EQ(L.Asked[I][0], Order[I]) << int(Kind);
        }
    }
    // Columns and direction as the driver sees them, also at width 1.
    TNetscapeColorLookup Cube;
    TFloydSteinbergDitherer W3(3, &Cube);
    EXPECT_EQ(W3.Column(), 0);
    EXPECT_EQ(W3.Direction(), 1);
    W3.StartNextRow();
    EXPECT_EQ(W3.Column(), 2);
    EXPECT_EQ(W3.Direction(), -1);
    TStuckiDitherer W1(1, &Cube);
    for (int Row = 0; Row < 4; ++Row) {
        EXPECT_EQ(W1.Column(), 0);
        EXPECT_EQ(W1.Direction(), Row % 2 == 0 ? 1 : -1);
        W1.StartNextRow();
    }
}

TEST(Ditherers, CarriedErrorReachesTheNextPixel) {
    // Floyd-Steinberg: the first pixel's error 24 goes on as 7 x 24: (168 + 8) div 16 = 11.
    {
        TRowPicture P{3, 1, {24, 24, 24, 10, 10, 10, 0, 0, 0}};
        TRecordingLookup L(0);
        TFloydSteinbergDitherer D(3, &L);
        DitherPicture(D, P, true);
        EXPECT_EQ(L.Asked[0][0], 24);
        EXPECT_EQ(L.Asked[1][0], 10 + 11);
    }
    // JaJuNi: an error of 48 adds (7 x 48 + 24) div 48 = 7 to the second pixel.
    {
        TRowPicture P{3, 1, {48, 48, 48, 100, 100, 100, 0, 0, 0}};
        TRecordingLookup L(0);
        TJaJuNiDitherer D(3, &L);
        DitherPicture(D, P, true);
        EXPECT_EQ(L.Asked[1][1], 107);
    }
    // Negative errors round toward zero after adding half: -24 x 7 = -168, (-168 + 8) div 16 = -10.
    {
        TRowPicture P{2, 1, {0, 0, 231, 0, 0, 100}}; // red 231 then 100, the lookup answers 255
        TRecordingLookup L(255);
        TFloydSteinbergDitherer D(2, &L);
        DitherPicture(D, P, false);
        EXPECT_EQ(L.Asked[1][0], 100 - 10);
    }
}

TEST(Ditherers, CorrectedValuesAreClampedAndTheErrorMeasuredFromTheClamp) {
    // Red 255, 250, 0 with a lookup that always answers black: pixel 1 is pushed to 362 and
    // clamped to 255, so pixel 2 gets 7 x 255 from it, not 7 x 362.
    TRowPicture P{3, 1, {0, 0, 255, 0, 0, 250, 0, 0, 0}};
    TRecordingLookup Black(0);
    TFloydSteinbergDitherer D(3, &Black);
    DitherPicture(D, P, true);
    EXPECT_EQ(Black.Asked[1][0], 255);
    EXPECT_EQ(Black.Asked[2][0], (7 * 255 + 8) / 16);
    // Below 0: a dark pixel answered by white pushes the next one under 0.
    TRowPicture Q{2, 1, {10, 10, 10, 20, 20, 20}};
    TRecordingLookup White(255);
    TSierraDitherer S(2, &White);
    DitherPicture(S, Q, true);
    EXPECT_EQ(White.Asked[1][0], 0);
}

TEST(Ditherers, MidGrayMixesBlackAndWhiteWhileExtremesStay) {
    for (TDitherKind Kind : AllKinds) {
        if (Kind == dkNearest) continue;
        TMonochromeLookup L;
        for (uint8_t V : {uint8_t(0), uint8_t(128), uint8_t(255)}) {
            TRowPicture P = UniformPicture(16, 8, V);
            auto D = CreateDitherer(Kind, P.W, &L);
            std::vector<uint8_t> Got = DitherPicture(*D, P, true);
            int White = static_cast<int>(std::count(Got.begin(), Got.end(), 1));
            if (V == 128) {
                EXPECT_GT(White, 32) << int(Kind);
                EXPECT_LT(White, 96) << int(Kind);
            } else {
                EXPECT_EQ(White, V == 0 ? 0 : 128) << int(Kind);
            }
        }
    }
}

TEST(Ditherers, OutOfRangeKindGivesNoDitherer) {
    TNetscapeColorLookup L;
    EXPECT_FALSE(CreateDitherer(static_cast<TDitherKind>(7), 4, &L));
    EXPECT_FALSE(CreateDitherer(static_cast<TDitherKind>(255), 4, &L));
    EXPECT_FALSE(CreateDitherer(dkNearest, 4, nullptr));
    EXPECT_EQ(CreateDitherer(dkBurkes, 4, &L)->ClassName(), "TBurkesDitherer");
}

TEST(Ditherers, PixelsOutsideTheRowAreMappedWithoutTouchingTheErrors) {
    // A caller that ignores the column bounds gets plain answers and no stray writes.
    TNetscapeColorLookup L;
    TSteveArcheDitherer D(2, &L);
    uint8_t R, G, B;
    for (int I = 0; I < 10; ++I) EXPECT_EQ(D.DitherPixel(255, 255, 255, R, G, B) <= 215, true);
    EXPECT_EQ(D.Column(), 10);
    D.StartNextRow();
    EXPECT_EQ(D.Column(), 1);
}
