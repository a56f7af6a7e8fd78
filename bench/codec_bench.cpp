// Raw image data decode and encode through our codecs and, when it is installed, through
// giflib, on the same pictures in one run: two scanned seals (white paper with scan noise, a red
// ring and text, 216-color cube indices) and a noisy photograph-like picture. Prints
// megapixels per second and our speed over giflib's.
#include "gif/GIFDecoder.h"
#include "gif/GIFEncoder.h"
#include "gif/RLEEncoder.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#ifdef MORVELLAN_HAVE_GIFLIB
#include <gif_lib.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

struct TPicture {
    std::string Name;
    int32_t Width, Height;
    Bytes Pixels;
    Bytes Coded; // our LZW image data of Pixels
#ifdef MORVELLAN_HAVE_GIFLIB
    Bytes GifFile; // the same data as a whole file, for giflib's decoder
#endif
};

uint32_t Hash(uint32_t X) {
    X ^= X >> 16;
    X *= 0x7FEB352Du;
    X ^= X >> 15;
    X *= 0x846CA68Bu;
    X ^= X >> 16;
    return X;
}

inline uint8_t Cube(int R, int G, int B) {
    return uint8_t(R * 36 + G * 6 + B);
}

// White paper with scan noise, a red double ring and rows of blocky red glyphs inside it.
Bytes MakeSeal(int32_t W, int32_t H) {
    Bytes P(size_t(W) * H);
    const double Cx = W / 2.0, Cy = H / 2.0, R = 0.45 * std::min(W, H);
    const double Cell = R / 9.0;
    for (int32_t y = 0; y < H; ++y) {
        for (int32_t x = 0; x < W; ++x) {
            const uint32_t N = Hash(uint32_t(y) * 65537u + uint32_t(x));
            const double Dx = x - Cx, Dy = y - Cy, D = std::sqrt(Dx * Dx + Dy * Dy);
            bool Ink = (D > R * 0.93 && D < R) || (D > R * 0.86 && D < R * 0.88);
            if (!Ink && D < R * 0.8) {
                // A 5 x 7 glyph per cell, its strokes picked by the cell's hash.
                const int Gx = int(std::floor(Dx / Cell)), Gy = int(std::floor(Dy / (Cell * 1.3)));
                const double Fx = Dx / Cell - Gx, Fy = Dy / (Cell * 1.3) - Gy;
                const int Px = int(Fx * 6), Py = int(Fy * 8);
                if (Px >= 1 && Px <= 5 && Py >= 1 && Py <= 7) {
                    const uint32_t G = Hash(uint32_t(Gx * 131 + Gy * 7919 + 100000));
                    Ink = (G >> ((Px - 1) * 7 + (Py - 1))) & 1;
                }
            }
            uint8_t V;
            if (Ink) {
                // Red ink, uneven: 20% of its pixels a shade off.
                const uint32_t K = N % 100;
                V = K < 80   ? Cube(5, 0, 0)
                    : K < 90 ? Cube(4, 0, 0)
                    : K < 96 ? Cube(5, 1, 1)
                             : Cube(4, 1, 0);
            } else {
                // Paper: mostly white, 7% scan noise.
                const uint32_t K = N % 1000;
                V = K < 930   ? Cube(5, 5, 5)
                    : K < 960 ? Cube(5, 5, 4)
                    : K < 985 ? Cube(4, 5, 5)
                    : K < 995 ? Cube(4, 4, 4)
                              : Cube(5, 4, 4);
            }
            P[size_t(y) * W + x] = V;
        }
    }
    return P;
}

// Smooth color fields with strong noise, mapped to the cube: few long strings.
Bytes MakePhoto(int32_t W, int32_t H) {
    Bytes P(size_t(W) * H);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            const uint32_t N = Hash(uint32_t(y) * 40503u + uint32_t(x) * 7u + 12345u);
            auto Chan = [&](double Base, int Shift) {
                const double V = Base + double(int((N >> Shift) & 63) - 32);
                return std::clamp(int(V / 256.0 * 6.0), 0, 5);
            };
            const double R = 128 + 100 * std::sin(x * 0.004) * std::cos(y * 0.003);
            const double G = 128 + 100 * std::sin((x + y) * 0.002);
            const double B = 128 + 100 * std::cos(x * 0.0031 - y * 0.0017);
            P[size_t(y) * W + x] = Cube(Chan(R, 0), Chan(G, 6), Chan(B, 12));
        }
    return P;
}

Bytes EncodeOurs(const TPicture& Pic, mv::TGIFCompressionMethod Method) {
    mv::TMemoryStream S;
    mv::CreateGIFEncoder(Method)->Encode(S, 8, Pic.Width, Pic.Height, false, Pic.Pixels.data(),
                                         256);
    return S.Bytes();
}

#ifdef MORVELLAN_HAVE_GIFLIB
struct TMemOut {
    Bytes Data;
};
int WriteMem(GifFileType* G, const GifByteType* Buf, int Len) {
    auto* M = static_cast<TMemOut*>(G->UserData);
    M->Data.insert(M->Data.end(), Buf, Buf + Len);
    return Len;
}
struct TMemIn {
    const Bytes* Data;
    size_t Pos;
};
int ReadMem(GifFileType* G, GifByteType* Buf, int Len) {
    auto* M = static_cast<TMemIn*>(G->UserData);
    const size_t N = std::min(size_t(Len), M->Data->size() - M->Pos);
    std::memcpy(Buf, M->Data->data() + M->Pos, N);
    M->Pos += N;
    return int(N);
}

ColorMapObject* CubeMap() {
    ColorMapObject* Map = GifMakeMapObject(256, nullptr);
    for (int i = 0; i < 256; ++i) {
        const int v = i < 216 ? i : 0;
        Map->Colors[i].Red = GifByteType(v / 36 * 51);
        Map->Colors[i].Green = GifByteType(v / 6 % 6 * 51);
        Map->Colors[i].Blue = GifByteType(v % 6 * 51);
    }
    return Map;
}

Bytes EncodeGiflib(const TPicture& Pic) {
    TMemOut Out;
    Out.Data.reserve(Pic.Pixels.size());
    int Err = 0;
    GifFileType* G = EGifOpen(&Out, WriteMem, &Err);
    ColorMapObject* Map = CubeMap();
    EGifPutScreenDesc(G, Pic.Width, Pic.Height, 8, 0, Map);
    EGifPutImageDesc(G, 0, 0, Pic.Width, Pic.Height, false, nullptr);
    EGifPutLine(G, const_cast<GifByteType*>(Pic.Pixels.data()), Pic.Width * Pic.Height);
    EGifCloseFile(G, &Err);
    GifFreeMapObject(Map);
    return std::move(Out.Data);
}

// A whole file around our image data, so both decoders read the same codes.
Bytes WrapInFile(const TPicture& Pic) {
    Bytes F = {'G', 'I', 'F', '8', '7', 'a'};
    auto Word = [&](int V) {
        F.push_back(uint8_t(V));
        F.push_back(uint8_t(V >> 8));
    };
    Word(Pic.Width);
    Word(Pic.Height);
    F.insert(F.end(), {0xF7, 0, 0});
    for (int i = 0; i < 256; ++i) {
        const int v = i < 216 ? i : 0;
        F.insert(F.end(), {uint8_t(v / 36 * 51), uint8_t(v / 6 % 6 * 51), uint8_t(v % 6 * 51)});
    }
    F.push_back(0x2C);
    Word(0);
    Word(0);
    Word(Pic.Width);
    Word(Pic.Height);
    F.push_back(0);
    F.insert(F.end(), Pic.Coded.begin(), Pic.Coded.end());
    F.push_back(0x3B);
    return F;
}

bool DecodeGiflib(const Bytes& File, uint8_t* Out) {
    TMemIn In{&File, 0};
    int Err = 0;
    GifFileType* G = DGifOpen(&In, ReadMem, &Err);
    if (!G) return false;
    bool Ok = false;
    GifRecordType Type;
    while (DGifGetRecordType(G, &Type) == GIF_OK && Type != TERMINATE_RECORD_TYPE) {
        if (Type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(G) != GIF_OK) break;
            Ok = DGifGetLine(G, Out, G->Image.Width * G->Image.Height) == GIF_OK;
            break;
        }
        if (Type == EXTENSION_RECORD_TYPE) {
            int Code;
            GifByteType* Ext;
            DGifGetExtension(G, &Code, &Ext);
            while (Ext) DGifGetExtensionNext(G, &Ext);
        }
    }
    DGifCloseFile(G, &Err);
    return Ok;
}
#endif

std::vector<TPicture>& Pictures() {
    static std::vector<TPicture> List = [] {
        std::vector<TPicture> L;
        auto Add = [&](const char* Name, int32_t W, int32_t H, Bytes Pixels) {
            TPicture P;
            P.Name = Name;
            P.Width = W;
            P.Height = H;
            P.Pixels = std::move(Pixels);
            L.push_back(std::move(P));
        };
        Add("seal_2000x2000", 2000, 2000, MakeSeal(2000, 2000));
        Add("seal_4000x3000", 4000, 3000, MakeSeal(4000, 3000));
        Add("photo_2000x2000", 2000, 2000, MakePhoto(2000, 2000));
        for (TPicture& P : L) {
            P.Coded = EncodeOurs(P, mv::cpLZW);
#ifdef MORVELLAN_HAVE_GIFLIB
            P.GifFile = WrapInFile(P);
#endif
        }
        return L;
    }();
    return List;
}

void SetRate(benchmark::State& State, const TPicture& Pic) {
    State.counters["MP/s"] = benchmark::Counter(double(Pic.Pixels.size()) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DecodeOurs(benchmark::State& State, size_t Index) {
    const TPicture& Pic = Pictures()[Index];
    mv::TMemoryStream S;
    S.Write(Pic.Coded.data(), int64_t(Pic.Coded.size()));
    Bytes Out(Pic.Pixels.size());
    for (auto _ : State) {
        S.SetPosition(0);
        mv::DecodeImageData(S, Out.data(), Pic.Width, Pic.Height, false, nullptr);
        benchmark::DoNotOptimize(Out.data());
    }
    if (Out != Pic.Pixels) State.SkipWithError("decoded pixels differ");
    SetRate(State, Pic);
}

void BM_EncodeOurs(benchmark::State& State, size_t Index, mv::TGIFCompressionMethod Method) {
    const TPicture& Pic = Pictures()[Index];
    size_t Size = 0;
    for (auto _ : State) {
        mv::TMemoryStream S;
        S.SetSize(int64_t(Pic.Pixels.size() / 2));
        S.SetSize(0);
        mv::CreateGIFEncoder(Method)->Encode(S, 8, Pic.Width, Pic.Height, false, Pic.Pixels.data(),
                                             256);
        Size = size_t(S.Size());
    }
    State.counters["bytes"] = double(Size);
    SetRate(State, Pic);
}

#ifdef MORVELLAN_HAVE_GIFLIB
void BM_DecodeGiflib(benchmark::State& State, size_t Index) {
    const TPicture& Pic = Pictures()[Index];
    Bytes Out(Pic.Pixels.size());
    for (auto _ : State) {
        if (!DecodeGiflib(Pic.GifFile, Out.data())) State.SkipWithError("giflib failed");
        benchmark::DoNotOptimize(Out.data());
    }
    if (Out != Pic.Pixels) State.SkipWithError("giflib pixels differ");
    SetRate(State, Pic);
}

void BM_EncodeGiflib(benchmark::State& State, size_t Index) {
    const TPicture& Pic = Pictures()[Index];
    size_t Size = 0;
    for (auto _ : State) Size = EncodeGiflib(Pic).size();
    State.counters["bytes"] = double(Size);
    SetRate(State, Pic);
}
#endif

// Collects MP/s per benchmark to print our speed over giflib's at the end.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& Runs) override {
        ConsoleReporter::ReportRuns(Runs);
        for (const Run& R : Runs) {
            auto It = R.counters.find("MP/s");
            if (It != R.counters.end()) Rates[R.benchmark_name()] = It->second.value;
        }
    }
    std::map<std::string, double> Rates;
};

} // namespace

int main(int argc, char** argv) {
    const size_t Count = Pictures().size();
    for (size_t i = 0; i < Count; ++i) {
        const std::string N = Pictures()[i].Name;
        benchmark::RegisterBenchmark(("decode/ours/" + N).c_str(), BM_DecodeOurs, i)
            ->Unit(benchmark::kMillisecond);
#ifdef MORVELLAN_HAVE_GIFLIB
        benchmark::RegisterBenchmark(("decode/giflib/" + N).c_str(), BM_DecodeGiflib, i)
            ->Unit(benchmark::kMillisecond);
#endif
        benchmark::RegisterBenchmark(("encode/ours/" + N).c_str(), BM_EncodeOurs, i, mv::cpLZW)
            ->Unit(benchmark::kMillisecond);
#ifdef MORVELLAN_HAVE_GIFLIB
        benchmark::RegisterBenchmark(("encode/giflib/" + N).c_str(), BM_EncodeGiflib, i)
            ->Unit(benchmark::kMillisecond);
#endif
        benchmark::RegisterBenchmark(("encode/ours-rle/" + N).c_str(), BM_EncodeOurs, i,
                                     mv::cpRunLength)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    TRatioReporter Reporter;
    benchmark::RunSpecifiedBenchmarks(&Reporter);
#ifdef MORVELLAN_HAVE_GIFLIB
    std::printf("\n%-8s %-18s %10s %10s %7s\n", "", "picture", "ours MP/s", "giflib", "ratio");
    for (const char* Op : {"decode", "encode"})
        for (size_t i = 0; i < Count; ++i) {
            const std::string N = Pictures()[i].Name;
            const auto A = Reporter.Rates.find(std::string(Op) + "/ours/" + N);
            const auto B = Reporter.Rates.find(std::string(Op) + "/giflib/" + N);
            if (A == Reporter.Rates.end() || B == Reporter.Rates.end() || B->second <= 0) continue;
            std::printf("%-8s %-18s %10.1f %10.1f %6.2fx\n", Op, N.c_str(), A->second, B->second,
                        A->second / B->second);
        }
#endif
    benchmark::Shutdown();
    return 0;
}
