// Clip regions of the rasterizer: the set operations against a plain pixel model, their
// limits, and every kind of drawing kept inside a region.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "platform/Raster.h"

namespace mv {
namespace {

using raster::TIntRect;
using raster::TRegion;

constexpr int kGrid = 64; // rectangles start within 40 and are at most 20 wide

struct TModel {
    std::vector<bool> In = std::vector<bool>(kGrid * kGrid, false);
    void Set(const TIntRect& R, bool V) {
        for (int y = std::max(0, R.Top); y < std::min(kGrid, R.Bottom); ++y)
            for (int x = std::max(0, R.Left); x < std::min(kGrid, R.Right); ++x)
                In[y * kGrid + x] = V;
    }
};

// Checks the region's shape: canonical bands and spans, and the same pixels as the model.
void ExpectSame(const TRegion& R, const TModel& M, const std::string& What) {
    int Prev = INT32_MIN;
    for (const auto& B : R.Bands()) {
        ASSERT_LT(B.Top, B.Bottom) << What;
        ASSERT_GE(B.Top, Prev) << What;
        Prev = B.Bottom;
        ASSERT_FALSE(B.Spans.empty()) << What;
        for (size_t k = 0; k < B.Spans.size(); ++k) {
            ASSERT_LT(B.Spans[k].first, B.Spans[k].second) << What;
            if (k) {
                ASSERT_LT(B.Spans[k - 1].second, B.Spans[k].first) << What << ": not merged";
            }
        }
    }
    for (size_t k = 1; k < R.Bands().size(); ++k)
        if (R.Bands()[k - 1].Bottom == R.Bands()[k].Top) {
            ASSERT_NE(R.Bands()[k - 1].Spans, R.Bands()[k].Spans) << What << ": not coalesced";
        }
    for (int y = -2; y < kGrid + 2; ++y)
        for (int x = -2; x < kGrid + 2; ++x) {
            bool Want = x >= 0 && y >= 0 && x < kGrid && y < kGrid && M.In[y * kGrid + x];
            ASSERT_EQ(R.Contains(x, y), Want) << What << " at " << x << "," << y;
        }
}

TEST(TRegion, SetOperationsMatchAPixelModel) {
    std::mt19937 Rng(7);
    auto RandomRect = [&] {
        int L = int(Rng() % 40), T = int(Rng() % 40);
        return TIntRect{L, T, L + 1 + int(Rng() % 20), T + 1 + int(Rng() % 20)};
    };
    for (int Round = 0; Round < 200; ++Round) {
        TModel M;
        TIntRect First = RandomRect();
        TRegion R(First);
        M.Set(First, true);
        std::string What = "round " + std::to_string(Round);
        for (int Step = 0; Step < 8; ++Step) {
            // The second operand: a union of overlapping rectangles.
            std::vector<TIntRect> Rects;
            TModel Other;
            for (int k = 0, n = 1 + int(Rng() % 3); k < n; ++k) {
                Rects.push_back(RandomRect());
                Other.Set(Rects.back(), true);
            }
            auto B = TRegion::FromRects(Rects);
            ASSERT_TRUE(B);
            ExpectSame(*B, Other, What + " union");
            auto Op = static_cast<TRegion::TOp>(Rng() % 4);
            auto C = TRegion::Combine(R, *B, Op);
            ASSERT_TRUE(C);
            for (size_t i = 0; i < M.In.size(); ++i) {
                bool a = M.In[i], b = Other.In[i];
                M.In[i] = Op == TRegion::roAnd   ? a && b
                          : Op == TRegion::roOr  ? a || b
                          : Op == TRegion::roXor ? a != b
                                                 : a && !b;
            }
            R = *C;
            ExpectSame(R, M, What + " op " + std::to_string(Op));
        }
        // Moved: the same pixels elsewhere.
        TRegion Moved = R.Offset(3, -2);
        for (int y = 0; y < kGrid; ++y)
            for (int x = 0; x < kGrid; ++x)
                ASSERT_EQ(Moved.Contains(x + 3, y - 2), M.In[y * kGrid + x]) << What;
    }
}

TEST(TRegion, ShapesBoundsAndLimits) {
    // Side by side rectangles merge into one; a hole makes three bands.
    auto Two = TRegion::FromRects({{0, 0, 5, 5}, {5, 0, 9, 5}});
    ASSERT_TRUE(Two);
    EXPECT_TRUE(Two->IsRect());
    auto Ring =
        TRegion::Combine(TRegion({0, 0, 30, 30}), TRegion({10, 10, 20, 20}), TRegion::roDiff);
    ASSERT_TRUE(Ring);
    EXPECT_FALSE(Ring->IsRect());
    EXPECT_EQ(Ring->Bands().size(), 3u);
    EXPECT_EQ(Ring->SpanCount(), 4u);
    TIntRect B = Ring->Bounds();
    EXPECT_TRUE(B.Left == 0 && B.Top == 0 && B.Right == 30 && B.Bottom == 30);
    EXPECT_TRUE(TRegion({5, 5, 5, 9}).IsEmpty());
    // Absurd coordinates are bounded, not overflowed.
    TRegion Huge({INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX});
    EXPECT_TRUE(Huge.Contains(0, 0));
    EXPECT_TRUE(Huge.Offset(-5, 7).Contains(0, 0));
    EXPECT_TRUE(Huge.Offset(INT64_MAX / 2, 0).IsEmpty()); // moved beyond the bounds
    // A checkerboard beyond the span bound, and any region once the budget is spent.
    std::vector<TIntRect> Board;
    for (int y = 0; y < 1040; y += 2)
        for (int x = 0; x < 1040; x += 2) Board.push_back({x, y, x + 1, y + 1});
    EXPECT_FALSE(TRegion::FromRects(Board));
    raster::TWorkBudget Budget;
    Budget.Remaining = 100;
    EXPECT_FALSE(TRegion::FromRects({{0, 0, 4, 4}, {2, 2, 8, 300}, {0, 400, 9, 900}}, &Budget) &&
                 TRegion::Combine(*Ring, *Ring, TRegion::roXor, &Budget) &&
                 TRegion::FromRects(std::vector<TIntRect>(200, {0, 0, 9, 9}), &Budget));
    EXPECT_TRUE(Budget.Exhausted);
}

TEST(TRasterizer, EveryDrawingStaysInsideTheClipRegion) {
    constexpr int N = 64;
    constexpr uint32_t Paper = 0x123456, Ink = 0xFF0000;
    auto Ring =
        TRegion::Combine(TRegion({8, 8, 56, 56}), TRegion({20, 20, 44, 44}), TRegion::roDiff);
    ASSERT_TRUE(Ring);
    raster::TImage Img{2, 2, {Ink, Ink, Ink, Ink}};
    std::vector<uint8_t> Mono(8 * N, 0xFF);
    using TDraw = std::function<void(raster::TRasterizer&)>;
    std::vector<std::pair<const char*, TDraw>> Draws = {
        {"rectangle",
         [&](auto& R) {
             R.FillRect({0, 0, N, N}, raster::TPaint::Solid(Ink));
         }},
        {"polygon",
         [&](auto& R) {
             R.FillPolygons({{{0, 0}, {N, 0}, {N, N}, {0, N}}}, raster::frAlternate,
                            raster::TPaint::Solid(Ink));
         }},
        {"pixels",
         [&](auto& R) {
             for (int y = 0; y < N; ++y)
                 for (int x = 0; x < N; ++x) R.SetPixel(x, y, Ink);
         }},
        {"lines",
         [&](auto& R) {
             for (int y = 0; y < N; ++y)
                 R.ThinPolyline({{0, double(y)}, {N, double(y)}}, false, Ink);
         }},
        {"image", [&](auto& R) { R.StretchImage(Img, 0, 0, 2, 2, 0, 0, N, N, raster::boSrcCopy); }},
        {"mono bitmap", [&](auto& R) { R.DrawMonoBitmap(Mono.data(), N, N, 8, 0, 0, Ink); }},
        {"invert",
         [&](auto& R) {
             R.InvertRect({0, 0, N, N});
         }},
    };
    for (const auto& [Name, Draw] : Draws) {
        std::vector<uint32_t> Px(N * N, Paper);
        raster::TRasterizer R({reinterpret_cast<uint8_t*>(Px.data()), N, N, N * 4, 4, 0});
        R.SetClip(Ring->Bounds());
        R.SetClipRegion(&*Ring);
        Draw(R);
        uint32_t Want = std::string(Name) == "invert" ? (~Paper & 0xFFFFFF) : Ink;
        for (int y = 0; y < N; ++y)
            for (int x = 0; x < N; ++x)
                ASSERT_EQ(Px[y * N + x] & 0xFFFFFF, Ring->Contains(x, y) ? Want : Paper)
                    << Name << " at " << x << "," << y;
    }
}

} // namespace
} // namespace mv
