// JPEG decoding of a 4000 x 3000 picture, straight into rows and through the platform's JPEG
// graphic into its bitmap. The picture is generated at start and also written to
// $TMPDIR/morvellan_bench_4000x3000.jpg, so that `djpeg -dct float` can be timed on the same
// file.
#include "platform/Jpeg.h"

#include <benchmark/benchmark.h>

#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

using namespace mv;

namespace {

constexpr int W = 4000, H = 3000;

// A photo-like picture: smooth shading with texture, encoded at quality 90, 4:2:0.
const std::vector<uint8_t>& BenchFile() {
    static std::vector<uint8_t> File = [] {
        jpeg_compress_struct C;
        jpeg_error_mgr Err;
        C.err = jpeg_std_error(&Err);
        jpeg_create_compress(&C);
        unsigned char* Out = nullptr;
        unsigned long OutSize = 0;
        jpeg_mem_dest(&C, &Out, &OutSize);
        C.image_width = W;
        C.image_height = H;
        C.input_components = 3;
        C.in_color_space = JCS_RGB;
        jpeg_set_defaults(&C);
        jpeg_set_quality(&C, 90, TRUE);
        jpeg_start_compress(&C, TRUE);
        std::vector<uint8_t> Row(W * 3);
        uint32_t Seed = 12345;
        while (C.next_scanline < C.image_height) {
            int y = static_cast<int>(C.next_scanline);
            for (int x = 0; x < W; ++x) {
                Seed = Seed * 1664525u + 1013904223u;
                int Noise = static_cast<int>(Seed >> 28) - 8;
                double S = std::sin(x * 0.01) * std::cos(y * 0.013);
                Row[3 * x] = static_cast<uint8_t>(std::clamp(128 + int(100 * S) + Noise, 0, 255));
                Row[3 * x + 1] = static_cast<uint8_t>(std::clamp(x * 255 / W + Noise, 0, 255));
                Row[3 * x + 2] = static_cast<uint8_t>(std::clamp(y * 255 / H + Noise, 0, 255));
            }
            JSAMPROW R = Row.data();
            jpeg_write_scanlines(&C, &R, 1);
        }
        jpeg_finish_compress(&C);
        jpeg_destroy_compress(&C);
        std::vector<uint8_t> Bytes(Out, Out + OutSize);
        std::free(Out);
        const char* Dir = std::getenv("TMPDIR");
        std::string Name = std::string(Dir ? Dir : "/tmp") + "/morvellan_bench_4000x3000.jpg";
        if (FILE* F = std::fopen(Name.c_str(), "wb")) {
            std::fwrite(Bytes.data(), 1, Bytes.size(), F);
            std::fclose(F);
        }
        return Bytes;
    }();
    return File;
}

void DecodeInto(benchmark::State& State, TJPEGOutput Output) {
    const std::vector<uint8_t>& File = BenchFile();
    size_t RowBytes = size_t(W) * (Output == TJPEGOutput::BGR24 ? 3 : 1);
    std::vector<uint8_t> Pixels(RowBytes * H);
    std::vector<uint8_t*> Rows(H);
    for (int y = 0; y < H; ++y) Rows[y] = Pixels.data() + RowBytes * y;
    for (auto _ : State) {
        TJPEGHeader Hd = ReadJPEGHeader(File.data(), File.size());
        TJPEGDecodeResult R;
        DecodeJPEG(File.data(), File.size(), Output, Hd.Width, Hd.Height, Rows.data(), R);
        benchmark::DoNotOptimize(Pixels.data());
    }
    State.counters["MP/s"] =
        benchmark::Counter(double(W) * H * State.iterations() / 1e6, benchmark::Counter::kIsRate);
    State.counters["file_MB"] = double(File.size()) / 1e6;
}

void BM_JpegDecode24(benchmark::State& State) {
    DecodeInto(State, TJPEGOutput::BGR24);
}
void BM_JpegDecode8(benchmark::State& State) {
    DecodeInto(State, TJPEGOutput::Indexed8);
}

// The graphic's path: the file's bytes loaded into a TJPEGImage, decoded into its TBitmap
// (24 bits on a true-color screen, 8 bits of at most 236 colors on a palette screen).
void DecodeThroughImage(benchmark::State& State, int ScreenBits) {
    const std::vector<uint8_t>& File = BenchFile();
    const int Saved = ScreenBitsPerPixel();
    SetScreenBitsPerPixel(ScreenBits);
    TMemoryStream Stream;
    Stream.WriteBuffer(File.data(), static_cast<int64_t>(File.size()));
    TJPEGImage Image;
    for (auto _ : State) {
        Stream.SetPosition(0);
        Image.LoadFromStream(Stream); // drops the previous decode
        TBitmap* B = Image.Bitmap();
        benchmark::DoNotOptimize(B->ScanLine(H - 1));
    }
    SetScreenBitsPerPixel(Saved);
    State.counters["MP/s"] =
        benchmark::Counter(double(W) * H * State.iterations() / 1e6, benchmark::Counter::kIsRate);
}

void BM_JpegImageToBitmap24(benchmark::State& State) {
    DecodeThroughImage(State, 32);
}
void BM_JpegImageToBitmap8(benchmark::State& State) {
    DecodeThroughImage(State, 8);
}

} // namespace

BENCHMARK(BM_JpegImageToBitmap24)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_JpegImageToBitmap8)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_JpegDecode24)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_JpegDecode8)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
