#include "gif/color/Reduction.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

using namespace mv;

namespace {

using TRGB = std::array<int, 3>;

struct TRowPicture {
    int W, H;
    std::vector<uint8_t> BGR;
    TReductionSource Source() const {
        return {W, H, [this](int32_t Y) { return BGR.data() + 3 * W * Y; }};
    }
};

TRowPicture Picture(int W, const std::vector<TRGB>& Pixels) {
    TRowPicture P{W, static_cast<int>(Pixels.size()) / W, {}};
    for (const TRGB& C : Pixels)
        P.BGR.insert(P.BGR.end(), {uint8_t(C[2]), uint8_t(C[1]), uint8_t(C[0])});
    return P;
}

TRowPicture RandomPicture(int W, int H, unsigned Seed) {
    TRowPicture P{W, H, std::vector<uint8_t>(3 * W * H)};
    std::mt19937 Rng(Seed);
    for (auto& B : P.BGR) B = static_cast<uint8_t>(Rng());
    return P;
}

std::vector<TLookupEntry> TestSystem20() {
    std::vector<TLookupEntry> E;
    for (int I = 0; I < 20; ++I)
        E.push_back({uint8_t(I * 12), uint8_t(255 - I * 12), uint8_t(I * 5), 0});
    return E;
}

std::vector<TLookupEntry> TestHalftone() {
    std::vector<TLookupEntry> E;
    for (int I = 0; I < 256; ++I)
        E.push_back({uint8_t(I), uint8_t((I * 37) % 256), uint8_t(255 - I), 0});
    return E;
}

TSystemPalettes Palettes(const std::vector<TLookupEntry>* Given = nullptr) {
    return {TestSystem20, TestHalftone, Given};
}

// Reduces a picture; the indices row by row.
std::vector<uint8_t> Reduce(TColorReduction& R, const TRowPicture& P, TReductionMethod Method,
                            TDitherKind Kind = dkNearest, int Bits = 8,
                            const std::vector<TLookupEntry>* Given = nullptr) {
    std::vector<uint8_t> Out(P.W * P.H, 0xEE);
    if (!R.Prepare(Method, Kind, Bits, P.Source(), Palettes(Given))) return {};
    R.Map(P.Source(), [&](int32_t Y) { return Out.data() + P.W * Y; });
    return Out;
}

bool SameEntries(const std::vector<TLookupEntry>& A, const std::vector<TLookupEntry>& B) {
    if (A.size() != B.size()) return false;
    for (size_t I = 0; I < A.size(); ++I)
        if (A[I].Red != B[I].Red || A[I].Green != B[I].Green || A[I].Blue != B[I].Blue ||
            A[I].Flags != B[I].Flags)
            return false;
    return true;
}

} // namespace

TEST(FixedPalettes, EntriesAreBuiltExactly) {
    auto Cube = Netscape216Entries();
    ASSERT_EQ(Cube.size(), 216u);
    EXPECT_EQ(Cube[0].Red + Cube[0].Green + Cube[0].Blue, 0);
    EXPECT_EQ(Cube[215].Red & Cube[215].Green & Cube[215].Blue, 255);
    EXPECT_EQ(Cube[2 * 36 + 3 * 6 + 4].Red, 102);
    EXPECT_EQ(Cube[2 * 36 + 3 * 6 + 4].Green, 153);
    EXPECT_EQ(Cube[2 * 36 + 3 * 6 + 4].Blue, 204);
    EXPECT_EQ(Cube[100].Flags, 0);
    auto Ramp = GrayRampEntries();
    ASSERT_EQ(Ramp.size(), 256u);
    EXPECT_EQ(Ramp[77].Green, 77);
    EXPECT_EQ(Ramp[77].Flags, PC_NOCOLLAPSE);
    auto BW = BlackWhiteEntries();
    ASSERT_EQ(BW.size(), 2u);
    EXPECT_EQ(BW[1].Blue, 255);
    EXPECT_EQ(BW[0].Flags, 4);
    auto SG = SystemGrayEntries();
    ASSERT_EQ(SG.size(), 4u);
    EXPECT_EQ(SG[1].Red, 128);
    EXPECT_EQ(SG[2].Green, 192);
    EXPECT_EQ(SG[3].Blue, 255);
}

TEST(Reduction, DefaultsMapToTheCube) {
    TRowPicture P =
        Picture(5, {{255, 0, 0}, {0, 0, 0}, {255, 255, 255}, {47, 47, 47}, {48, 48, 48}});
    TColorReduction R;
    EXPECT_EQ(Reduce(R, P, rdNetscape216), (std::vector<uint8_t>{180, 0, 215, 0, 43}));
    EXPECT_TRUE(SameEntries(R.Palette(), Netscape216Entries()));
    EXPECT_EQ(R.Palette()[43].Red, 51);
    EXPECT_EQ(R.Lookup()->ClassName(), "TNetscapeColorLookup");
}

TEST(Reduction, GrayAndMonochromeMethods) {
    TRowPicture P = Picture(4, {{200, 100, 50}, {127, 127, 127}, {128, 128, 128}, {0, 255, 0}});
    TColorReduction R;
    EXPECT_EQ(Reduce(R, P, rdGray256)[0], 124);
    EXPECT_EQ(Reduce(R, P, rdMonochrome), (std::vector<uint8_t>{0, 0, 1, 1}));
    EXPECT_TRUE(SameEntries(R.Palette(), BlackWhiteEntries()));
}

TEST(Reduction, SystemGrayCellsFollowTheFirstColorAsked) {
    // (64,64,64) ties 0 and 128 and takes index 0; later pixels of its cell (64..71 on every
    // channel) answer 0 as well, although (71,71,71) alone would go to 128.
    TRowPicture P = Picture(3, {{64, 64, 64}, {71, 71, 71}, {70, 65, 68}});
    TColorReduction R;
    EXPECT_EQ(Reduce(R, P, rdSystemGray), (std::vector<uint8_t>{0, 0, 0}));
    TRowPicture Alone = Picture(1, {{71, 71, 71}});
    EXPECT_EQ(Reduce(R, Alone, rdSystemGray), (std::vector<uint8_t>{1}));
}

TEST(Reduction, EveryMethodAndKindGivesIndicesIntoItsPalette) {
    TRowPicture P = RandomPicture(11, 7, 21);
    const std::vector<TLookupEntry> Given = {{10, 20, 30, 0}, {200, 100, 0, 0}, {0, 0, 0, 0}};
    for (int M = rdSystem20; M <= rdGivenPalette; ++M)
        for (int K = dkNearest; K <= dkBurkes; ++K) {
            TColorReduction R;
            auto Method = static_cast<TReductionMethod>(M);
            auto Out = Reduce(R, P, Method, static_cast<TDitherKind>(K), 8, &Given);
            ASSERT_EQ(Out.size(), 77u) << M << "/" << K;
            size_t Count = R.Palette().size();
            for (uint8_t I : Out) ASSERT_LT(I, Count) << M << "/" << K;
            switch (Method) {
            case rdSystem20:
                EXPECT_TRUE(SameEntries(R.Palette(), TestSystem20()));
                break;
            case rdHalftone:
                EXPECT_TRUE(SameEntries(R.Palette(), TestHalftone()));
                break;
            case rdSystemGray:
                EXPECT_TRUE(SameEntries(R.Palette(), SystemGrayEntries()));
                break;
            case rdGray256:
                EXPECT_TRUE(SameEntries(R.Palette(), GrayRampEntries()));
                break;
            case rdGivenPalette:
                EXPECT_TRUE(SameEntries(R.Palette(), Given));
                break;
            case rdOctree:
                EXPECT_EQ(Count, 77u);
                break; // every pixel's color, exactly
            case rdOctreeSystem:
                EXPECT_EQ(Count, 256u);
                break;
            default:
                break;
            }
            if (K == dkNearest) {
                // Without diffusion every pixel maps as the lookup maps it, in scan order.
                TColorReduction Fresh;
                ASSERT_TRUE(Fresh.Prepare(Method, dkNearest, 8, P.Source(), Palettes(&Given)));
                for (int Y = 0; Y < P.H; ++Y)
                    for (int J = 0; J < P.W; ++J) {
                        int X = Y % 2 ? P.W - 1 - J : J;
                        const uint8_t* S = P.BGR.data() + 3 * (Y * P.W + X);
                        uint8_t R8, G8, B8;
                        ASSERT_EQ(Out[Y * P.W + X],
                                  Fresh.Lookup()->MapColor(S[2], S[1], S[0], R8, G8, B8));
                    }
            }
        }
}

TEST(Reduction, OctreePalettesHoldThePicturesColors) {
    TRowPicture P = Picture(4, {{255, 0, 0}, {0, 0, 255}, {0, 0, 0}, {255, 0, 0}});
    TColorReduction R;
    // Only as many entries as leaves: no undefined entries reach the frame.
    EXPECT_EQ(Reduce(R, P, rdOctree), (std::vector<uint8_t>{2, 1, 0, 2}));
    ASSERT_EQ(R.Palette().size(), 3u);
    EXPECT_EQ(R.Palette()[1].Blue, 255);

    Reduce(R, P, rdOctreeSystem);
    auto Sys = TestSystem20();
    ASSERT_EQ(R.Palette().size(), 256u);
    for (int I = 0; I < 10; ++I) {
        EXPECT_EQ(R.Palette()[I].Green, Sys[I].Green);
        EXPECT_EQ(R.Palette()[246 + I].Green, Sys[10 + I].Green);
    }
    EXPECT_EQ(R.Palette()[12].Red, 255);
}

TEST(Reduction, PaletteBitsOutsideZeroToEightAreClamped) {
    EXPECT_EQ(OctreeColorCount(0), 1);
    EXPECT_EQ(OctreeColorCount(3), 8);
    EXPECT_EQ(OctreeColorCount(8), 256);
    EXPECT_EQ(OctreeColorCount(9), 256);
    EXPECT_EQ(OctreeColorCount(40), 256);
    EXPECT_EQ(OctreeColorCount(-5), 1);
    TRowPicture P = RandomPicture(40, 20, 3); // 800 colors
    TColorReduction R;
    Reduce(R, P, rdOctree, dkNearest, 8);
    auto At8 = R.Palette();
    EXPECT_LE(At8.size(), 256u);
    EXPECT_GT(At8.size(), 200u);
    Reduce(R, P, rdOctree, dkNearest, 9);
    EXPECT_TRUE(SameEntries(R.Palette(), At8));
    Reduce(R, P, rdOctree, dkNearest, -1);
    EXPECT_EQ(R.Palette().size(), 1u);
    Reduce(R, P, rdOctree, dkNearest, 2);
    EXPECT_LE(R.Palette().size(), 4u);
}

TEST(Reduction, RefusedSettingsGiveNoReduction) {
    TRowPicture P = RandomPicture(3, 3, 1);
    TColorReduction R;
    TSystemPalettes Sys = Palettes();
    EXPECT_FALSE(R.Prepare(rdNone, dkNearest, 8, P.Source(), Sys));
    EXPECT_FALSE(R.Prepare(static_cast<TReductionMethod>(10), dkNearest, 8, P.Source(), Sys));
    EXPECT_FALSE(R.Prepare(static_cast<TReductionMethod>(255), dkNearest, 8, P.Source(), Sys));
    EXPECT_FALSE(R.Prepare(rdNetscape216, static_cast<TDitherKind>(7), 8, P.Source(), Sys));
    EXPECT_FALSE(R.Prepare(rdGivenPalette, dkNearest, 8, P.Source(), Sys));
    std::vector<TLookupEntry> Empty;
    EXPECT_FALSE(R.Prepare(rdGivenPalette, dkNearest, 8, P.Source(), Palettes(&Empty)));
    EXPECT_TRUE(R.Prepare(rdNetscape216, dkBurkes, 8, P.Source(), Sys));
    // A picture without pixels gives the octree no colors, hence no palette to map to.
    TRowPicture None{0, 0, {}};
    EXPECT_FALSE(R.Prepare(rdOctree, dkNearest, 8, None.Source(), Sys));
    EXPECT_TRUE(R.Prepare(rdNetscape216, dkFloydSteinberg, 8, None.Source(), Sys));
    R.Map(None.Source(), [](int32_t) -> uint8_t* { return nullptr; });
}
