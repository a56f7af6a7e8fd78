// Platform graphics: BMP load and save of a 4000 x 3000 24-bit picture against a plain copy of
// the same bytes, and the down-scaling stretch into an 8-bit halftone bitmap.
#include "platform/Graphics.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

using namespace mv;

namespace {

constexpr int W = 4000, H = 3000;

// A photo-like picture: smooth gradients with some noise.
TBitmap& Picture() {
    static TBitmap* B = [] {
        auto* P = new TBitmap(W, H, pf24bit);
        std::mt19937 Rng(1);
        for (int y = 0; y < H; ++y) {
            auto* Row = static_cast<uint8_t*>(P->ScanLine(y));
            for (int x = 0; x < W; ++x) {
                int N = int(Rng() % 17) - 8;
                Row[3 * x] = uint8_t(std::clamp(x * 255 / W + N, 0, 255));
                Row[3 * x + 1] = uint8_t(std::clamp(y * 255 / H + N, 0, 255));
                Row[3 * x + 2] = uint8_t(std::clamp((x + y) * 255 / (W + H) - N, 0, 255));
            }
        }
        return P;
    }();
    return *B;
}

TMemoryStream& BmpFile() {
    static TMemoryStream* S = [] {
        auto* M = new TMemoryStream;
        Picture().SaveToStream(*M);
        return M;
    }();
    return *S;
}

void BM_MemcpySameBytes(benchmark::State& State) {
    TMemoryStream& S = BmpFile();
    std::vector<uint8_t> Dest(size_t(S.Size()));
    for (auto _ : State) {
        std::memcpy(Dest.data(), S.Memory(), Dest.size());
        benchmark::DoNotOptimize(Dest.data());
        benchmark::ClobberMemory();
    }
    State.SetBytesProcessed(int64_t(State.iterations()) * S.Size());
}

void BM_BmpLoad24(benchmark::State& State) {
    TMemoryStream& S = BmpFile();
    TBitmap B;
    for (auto _ : State) {
        S.SetPosition(0);
        B.LoadFromStream(S);
        benchmark::DoNotOptimize(B.Image().get());
    }
    State.SetBytesProcessed(int64_t(State.iterations()) * S.Size());
    State.counters["Mpix/s"] =
        benchmark::Counter(double(W) * H / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// Into a new bitmap each round: the memory is fresh, so the system's page faults count too;
// compare with a copy into fresh memory.
void BM_BmpLoad24Fresh(benchmark::State& State) {
    TMemoryStream& S = BmpFile();
    for (auto _ : State) {
        S.SetPosition(0);
        TBitmap B;
        B.LoadFromStream(S);
        benchmark::DoNotOptimize(B.Image().get());
    }
    State.SetBytesProcessed(int64_t(State.iterations()) * S.Size());
}

void BM_MemcpyIntoFreshMemory(benchmark::State& State) {
    TMemoryStream& S = BmpFile();
    for (auto _ : State) {
        std::unique_ptr<uint8_t[]> Dest(new uint8_t[size_t(S.Size())]);
        std::memcpy(Dest.get(), S.Memory(), size_t(S.Size()));
        benchmark::DoNotOptimize(Dest.get());
        benchmark::ClobberMemory();
    }
    State.SetBytesProcessed(int64_t(State.iterations()) * S.Size());
}

void BM_BmpSave24(benchmark::State& State) {
    TBitmap& B = Picture();
    TMemoryStream S;
    B.SaveToStream(S); // the stream keeps its memory between rounds
    for (auto _ : State) {
        S.SetPosition(0);
        B.SaveToStream(S);
        benchmark::DoNotOptimize(S.Memory());
    }
    State.SetBytesProcessed(int64_t(State.iterations()) * S.Size());
    State.counters["Mpix/s"] =
        benchmark::Counter(double(W) * H / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// What the save command's down-scaling does: a 640 x 480 8-bit halftone bitmap, COLORONCOLOR,
// one StretchBlt of the whole picture.
void BM_StretchBltHalftone(benchmark::State& State) {
    TBitmap& A = Picture();
    HDC Src = A.Canvas().Handle();
    for (auto _ : State) {
        TBitmap C;
        C.SetWidth(640);
        C.SetHeight(480);
        C.SetPixelFormat(pf8bit);
        HDC DC = C.Canvas().Handle();
        SetStretchBltMode(DC, COLORONCOLOR);
        StretchBlt(DC, 0, 0, 640, 480, Src, 0, 0, W, H, SRCCOPY);
        benchmark::DoNotOptimize(C.Image().get());
    }
    State.counters["Mpix/s"] =
        benchmark::Counter(640.0 * 480 / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(BM_MemcpySameBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpLoad24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyIntoFreshMemory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpLoad24Fresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpSave24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StretchBltHalftone)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
