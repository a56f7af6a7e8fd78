// Color reduction speed on a 4000 x 3000 24-bit scan of a seal: the cube mapping, dithering
// and octree quantization, over plain rows and through the reduction driver. Reports megapixels
// per second ("MP/s").
#include "gif/DIB.h"
#include "gif/color/ColorLookup.h"
#include "gif/color/ColorQuantizer.h"
#include "gif/color/Ditherers.h"
#include "gif/color/Reduction.h"
#include "platform/Graphics.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

using namespace mv;

namespace {

constexpr int ScanWidth = 4000;
constexpr int ScanHeight = 3000;

// A scanned seal: off-white paper with grain, a red ring and characters with uneven ink, a
// faint shading across the sheet. Rows of blue, green, red, no padding (4000 x 3 is a multiple
// of 4, as a bitmap's rows are).
const std::vector<uint8_t>& Scan() {
    static const std::vector<uint8_t> Pixels = [] {
        std::vector<uint8_t> P(size_t{3} * ScanWidth * ScanHeight);
        std::mt19937 Rng(1234);
        const double CX = ScanWidth / 2.0, CY = ScanHeight / 2.0, Radius = 1200;
        for (int Y = 0; Y < ScanHeight; ++Y)
            for (int X = 0; X < ScanWidth; ++X) {
                uint32_t Noise = Rng();
                int Grain = static_cast<int>(Noise & 15) - 8;
                int Shade = (X + Y) / 200;
                int R = 236 - Shade + Grain, G = 230 - Shade + Grain, B = 218 - Shade + Grain;
                double D = std::hypot(X - CX, Y - CY);
                bool Ring = std::fabs(D - Radius) < 90;
                bool Glyph = D < Radius - 200 && ((X / 140 + Y / 160) % 3 == 0) &&
                             ((X % 140) < 60 || (Y % 160) < 50);
                if (Ring || Glyph) {
                    int Ink = static_cast<int>((Noise >> 8) % 60);
                    R = 190 + Ink / 2;
                    G = 25 + Ink;
                    B = 35 + Ink;
                }
                uint8_t* Px = P.data() + 3 * (size_t(Y) * ScanWidth + X);
                Px[0] = static_cast<uint8_t>(std::clamp(B, 0, 255));
                Px[1] = static_cast<uint8_t>(std::clamp(G, 0, 255));
                Px[2] = static_cast<uint8_t>(std::clamp(R, 0, 255));
            }
        return P;
    }();
    return Pixels;
}

void SetRate(benchmark::State& State) {
    State.counters["MP/s"] =
        benchmark::Counter(double(ScanWidth) * ScanHeight * double(State.iterations()) / 1e6,
                           benchmark::Counter::kIsRate);
}

// The yardstick: a plain loop computing the cube index from each channel.
void BM_PlainCubeLoop(benchmark::State& State) {
    const auto& Src = Scan();
    std::vector<uint8_t> Dst(size_t{ScanWidth} * ScanHeight);
    for (auto _ : State) {
        const uint8_t* S = Src.data();
        for (size_t I = 0; I < Dst.size(); ++I, S += 3)
            Dst[I] =
                static_cast<uint8_t>((S[2] + 3) / 51 * 36 + (S[1] + 3) / 51 * 6 + (S[0] + 3) / 51);
        benchmark::DoNotOptimize(Dst.data());
    }
    SetRate(State);
}
BENCHMARK(BM_PlainCubeLoop)->Unit(benchmark::kMillisecond);

void DitherScan(TDitherEngine& D, const std::vector<uint8_t>& Src, std::vector<uint8_t>& Dst) {
    for (int Y = 0; Y < ScanHeight; ++Y) {
        D.DitherRow(Src.data() + size_t{3} * ScanWidth * Y, Dst.data() + size_t{ScanWidth} * Y);
        D.StartNextRow();
    }
}

void BM_RowsCubeNearest(benchmark::State& State) {
    const auto& Src = Scan();
    std::vector<uint8_t> Dst(size_t{ScanWidth} * ScanHeight);
    for (auto _ : State) {
        TNetscapeColorLookup L;
        TDitherEngine D(ScanWidth, &L);
        DitherScan(D, Src, Dst);
        benchmark::DoNotOptimize(Dst.data());
    }
    SetRate(State);
}
BENCHMARK(BM_RowsCubeNearest)->Unit(benchmark::kMillisecond);

void BM_RowsCubeDither(benchmark::State& State) {
    const auto& Src = Scan();
    std::vector<uint8_t> Dst(size_t{ScanWidth} * ScanHeight);
    for (auto _ : State) {
        TNetscapeColorLookup L;
        auto D = CreateDitherer(static_cast<TDitherKind>(State.range(0)), ScanWidth, &L);
        DitherScan(*D, Src, Dst);
        benchmark::DoNotOptimize(Dst.data());
    }
    SetRate(State);
}
BENCHMARK(BM_RowsCubeDither)->DenseRange(1, 6)->Unit(benchmark::kMillisecond);

void BM_RowsOctreeNearest(benchmark::State& State) {
    const auto& Src = Scan();
    std::vector<uint8_t> Dst(size_t{ScanWidth} * ScanHeight);
    for (auto _ : State) {
        TColorQuantizer Q(256, 8);
        for (int Y = 0; Y < ScanHeight; ++Y)
            Q.AddPixels(Src.data() + size_t{3} * ScanWidth * Y, ScanWidth);
        uint8_t Table[4 * 256];
        int N = Q.FillColorTable(Table);
        TLookupEntry Pal[256];
        for (int I = 0; I < N; ++I) Pal[I] = {Table[4 * I + 2], Table[4 * I + 1], Table[4 * I], 0};
        TFastColorLookup L(Pal, N);
        TDitherEngine D(ScanWidth, &L);
        DitherScan(D, Src, Dst);
        benchmark::DoNotOptimize(Dst.data());
    }
    SetRate(State);
}
BENCHMARK(BM_RowsOctreeNearest)->Unit(benchmark::kMillisecond);

// The reduction steps as the driver runs them: palette, lookup and ditherer prepared, then
// rows mapped into a bottom-up 8-bit block with 4-byte aligned rows, as a DIB holds them.
void BM_Reduction(benchmark::State& State) {
    const auto& Src = Scan();
    const auto Method = static_cast<TReductionMethod>(State.range(0));
    const auto Kind = static_cast<TDitherKind>(State.range(1));
    const int32_t Stride = (ScanWidth + 3) & ~3;
    std::vector<uint8_t> Dib(size_t(Stride) * ScanHeight);
    TReductionSource Source{ScanWidth, ScanHeight,
                            [&](int32_t Y) { return Src.data() + size_t{3} * ScanWidth * Y; }};
    for (auto _ : State) {
        TColorReduction R;
        if (!R.Prepare(Method, Kind, 8, Source, TSystemPalettes{})) State.SkipWithError("refused");
        R.Map(Source,
              [&](int32_t Y) { return Dib.data() + size_t(Stride) * (ScanHeight - 1 - Y); });
        benchmark::DoNotOptimize(Dib.data());
    }
    SetRate(State);
}
BENCHMARK(BM_Reduction)
    ->Args({rdNetscape216, dkNearest})
    ->Args({rdNetscape216, dkFloydSteinberg})
    ->Args({rdOctree, dkNearest})
    ->Args({rdOctree, dkFloydSteinberg})
    ->Args({rdGray256, dkNearest})
    ->Args({rdSystemGray, dkNearest})
    ->Unit(benchmark::kMillisecond);

// The scan as a 24-bit bitmap, the driver's source.
TBitmap& ScanBitmap() {
    static TBitmap* Bitmap = [] {
        auto* B = new TBitmap(ScanWidth, ScanHeight, pf24bit);
        const auto& Src = Scan();
        for (int Y = 0; Y < ScanHeight; ++Y)
            std::copy_n(Src.data() + size_t{3} * ScanWidth * Y, 3 * ScanWidth,
                        static_cast<uint8_t*>(B->ScanLine(Y)));
        return B;
    }();
    return *Bitmap;
}

// The whole driver: DIB reader on the source, palette, lookup, ditherer, DIB writer and the
// result bitmap, which takes the writer's pixel block over (no copy). Run on its own, every
// iteration gets that block fresh from the system: its first touch is part of the cost (large
// blocks are backed by huge pages, so it stays small).
void BM_ReduceToPalette(benchmark::State& State) {
    TBitmap& Source = ScanBitmap();
    const auto Method = static_cast<TReductionMethod>(State.range(0));
    const auto Kind = static_cast<TDitherKind>(State.range(1));
    for (auto _ : State) {
        auto Result = ReduceToPalette(&Source, Method, Kind, 8, nullptr);
        benchmark::DoNotOptimize(Result.get());
    }
    SetRate(State);
}
BENCHMARK(BM_ReduceToPalette)
    ->Args({rdNetscape216, dkNearest})
    ->Args({rdNetscape216, dkFloydSteinberg})
    ->Args({rdOctree, dkNearest})
    ->Unit(benchmark::kMillisecond);

// The driver's fixed costs apart from the mapping: the writer's 8-bit DIB for the scan, every
// row asked for once (and filled, as the mapping would), then stored into a bitmap.
void BM_WriterFillAndStore(benchmark::State& State) {
    HPALETTE Palette = BuildNetscape216Palette();
    for (auto _ : State) {
        TBitmap Result;
        {
            TDIBWriter Writer(&Result, pf8bit, ScanWidth, ScanHeight, Palette);
            for (int Y = 0; Y < ScanHeight; ++Y)
                std::memset(Writer.RowAddress(Y), Y & 0xFF, ScanWidth);
            Writer.Store();
        }
        benchmark::DoNotOptimize(Result.Width());
    }
    SetRate(State);
}
BENCHMARK(BM_WriterFillAndStore)->Unit(benchmark::kMillisecond);

// The mapping alone, rows of the source bitmap into a plain block (reader without writer).
void BM_ReaderRowsCubeNearest(benchmark::State& State) {
    TBitmap& Source = ScanBitmap();
    std::vector<uint8_t> Dst(size_t{ScanWidth} * ScanHeight);
    for (auto _ : State) {
        TDIBReader Reader(&Source, pf24bit);
        TNetscapeColorLookup L;
        TDitherEngine D(ScanWidth, &L);
        for (int Y = 0; Y < ScanHeight; ++Y) {
            D.DitherRow(static_cast<const uint8_t*>(Reader.RowAddress(Y)),
                        Dst.data() + size_t{ScanWidth} * Y);
            D.StartNextRow();
        }
        benchmark::DoNotOptimize(Dst.data());
    }
    SetRate(State);
}
BENCHMARK(BM_ReaderRowsCubeNearest)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
