// Drawing a 2000 x 2000 seal metafile: a thick red ring, a filled star and 20 characters of
// text set along the ring (each turned to follow it), as drawing programs write them.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <vector>

#include "platform/Graphics.h"
#include "platform/Metafile.h"
#include "platform/MetafilePlayer.h"
#include "platform/TextRender.h"
#include "tests/platform/MetafileBuilder.h"

namespace {

std::vector<uint8_t> SealMetafile() {
    using mv::testing::TEmfBuilder;
    const int N = 2000;
    const uint32_t Red = 0x0000FF;
    TEmfBuilder B(N, N);
    B.Pen(1, 60, Red).Select(1).Select(0x80000005).Ellipse(60, 60, N - 60, N - 60);
    B.Brush(2, 0, Red).Select(2).Select(0x80000008);
    std::vector<std::pair<int, int>> Star;
    for (int i = 0; i < 5; ++i) {
        double A = M_PI / 2 + i * 4 * M_PI / 5;
        Star.emplace_back(int(1000 + 380 * std::cos(A)), int(1000 - 380 * std::sin(A)));
    }
    B.Rec(19, {2}).Points(3, Star);
    B.Rec(24, {int32_t(Red)}).Rec(18, {1}).Rec(22, {6 | 24}); // centred on the baseline
    const char16_t* Text = u"印章图像处理工具有限公司专用章甲乙丙丁戊";
    for (int i = 0; i < 20; ++i) {
        // Characters along the upper part of the ring, each turned to face the centre.
        double Deg = 200 - i * (220.0 / 19);
        double A = Deg * M_PI / 180;
        int X = int(1000 + 760 * std::cos(A)), Y = int(1000 - 760 * std::sin(A));
        B.Font(3 + i, -150, u"宋体", int((Deg - 90) * 10), 700, 134).Select(3 + i);
        B.Text(X, Y, std::u16string(1, Text[i]));
    }
    return B.Finish();
}

void BM_DrawSealMetafile2000(benchmark::State& State) {
    auto Bytes = SealMetafile();
    auto Info = mv::metafile::ReadMetafileInfo(Bytes.data(), Bytes.size());
    std::vector<uint32_t> Pixels(size_t(2000) * 2000);
    mv::raster::TPixelBuffer B{
        reinterpret_cast<uint8_t*>(Pixels.data()), 2000, 2000, 2000 * 4, 4, 0};
    // The first draw also loads the faces and renders the glyphs into the cache.
    auto T0 = std::chrono::steady_clock::now();
    {
        mv::raster::TRasterizer R(B);
        mv::metafile::PlayMetafile(Bytes.data(), Info, R, 0, 0, 2000, 2000);
    }
    double FirstMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - T0).count();
    for (auto _ : State) {
        std::fill(Pixels.begin(), Pixels.end(), 0xFFFFFF);
        mv::raster::TRasterizer R(B);
        mv::metafile::PlayMetafile(Bytes.data(), Info, R, 0, 0, 2000, 2000);
        benchmark::DoNotOptimize(Pixels.data());
    }
    size_t Red = 0;
    for (uint32_t P : Pixels) Red += P == 0xFF0000;
    State.counters["red_pixels"] = double(Red);
    State.counters["first_draw_ms"] = FirstMs;
    State.counters["Mpix/s"] =
        benchmark::Counter(4.0 * State.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DrawSealMetafile2000)->Unit(benchmark::kMillisecond);

// The same through the platform graphic onto a 24-bit bitmap, as the picture import does.
void BM_TMetafileDrawOnBitmap2000(benchmark::State& State) {
    auto Bytes = SealMetafile();
    mv::TMetafile M;
    M.LoadFromBytes(Bytes);
    mv::TBitmap B(2000, 2000, mv::pf24bit);
    for (auto _ : State) {
        B.Canvas().Brush().SetColor(mv::clWhite);
        B.Canvas().FillRect(mv::Rect(0, 0, 2000, 2000));
        B.Canvas().Draw(0, 0, &M);
    }
    State.counters["Mpix/s"] =
        benchmark::Counter(4.0 * State.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TMetafileDrawOnBitmap2000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
