#include "platform/Jpeg.h"

#include <gtest/gtest.h>

#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

using namespace mv;

namespace {

using Bytes = std::vector<uint8_t>;

// A smooth test picture with some detail, RGB rows from the top.
Bytes SourcePicture(int W, int H) {
    Bytes P(static_cast<size_t>(W) * H * 3);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint8_t* Q = &P[(static_cast<size_t>(y) * W + x) * 3];
            Q[0] = static_cast<uint8_t>(x * 255 / (W - 1));
            Q[1] = static_cast<uint8_t>(y * 255 / (H - 1));
            Q[2] = static_cast<uint8_t>(128 + (x - y) / 4);
        }
    return P;
}

enum class Kind { RGB, Gray, CMYKAdobe, Progressive };

// Writes the picture with libjpeg's compressor. Gray stores the green channel; CMYKAdobe
// stores the inverted CMYK that Adobe's writers use (YCCK-transformed, with the Adobe marker).
Bytes WriteJPEG(const Bytes& RGB, int W, int H, Kind K, int Quality = 95) {
    jpeg_compress_struct C;
    jpeg_error_mgr Err;
    C.err = jpeg_std_error(&Err);
    jpeg_create_compress(&C);
    unsigned char* Out = nullptr;
    unsigned long OutSize = 0;
    jpeg_mem_dest(&C, &Out, &OutSize);
    C.image_width = static_cast<JDIMENSION>(W);
    C.image_height = static_cast<JDIMENSION>(H);
    int N = 3;
    switch (K) {
    case Kind::Gray:
        N = 1;
        C.in_color_space = JCS_GRAYSCALE;
        break;
    case Kind::CMYKAdobe:
        N = 4;
        C.in_color_space = JCS_CMYK;
        break;
    default:
        C.in_color_space = JCS_RGB;
    }
    C.input_components = N;
    jpeg_set_defaults(&C);
    if (K == Kind::CMYKAdobe) jpeg_set_colorspace(&C, JCS_YCCK);
    jpeg_set_quality(&C, Quality, TRUE);
    if (K == Kind::Progressive) jpeg_simple_progression(&C);
    jpeg_start_compress(&C, TRUE);
    Bytes Row(static_cast<size_t>(W) * N);
    while (C.next_scanline < C.image_height) {
        const uint8_t* S = &RGB[static_cast<size_t>(C.next_scanline) * W * 3];
        for (int x = 0; x < W; ++x) {
            const uint8_t* P = S + 3 * x;
            if (N == 1) {
                Row[x] = P[1];
            } else if (N == 4) {
                // Black takes the darkest part; inverted: 255 means no ink.
                uint8_t Mx = std::max({P[0], P[1], P[2]});
                uint8_t Kink = static_cast<uint8_t>(255 - Mx);
                for (int c = 0; c < 3; ++c)
                    Row[4 * x + c] =
                        Mx == 0 ? 255 : static_cast<uint8_t>((P[c] * 255 + Mx / 2) / Mx);
                Row[4 * x + 3] = static_cast<uint8_t>(255 - Kink);
            } else {
                std::memcpy(&Row[3 * x], P, 3);
            }
        }
        JSAMPROW R = Row.data();
        jpeg_write_scanlines(&C, &R, 1);
    }
    jpeg_finish_compress(&C);
    jpeg_destroy_compress(&C);
    Bytes Result(Out, Out + OutSize);
    std::free(Out);
    return Result;
}

struct Decoded {
    int W = 0, H = 0;
    Bytes Pixels; // BGR or indices
    TJPEGDecodeResult Result;
};

Decoded Decode(const Bytes& File, TJPEGOutput Output) {
    Decoded D;
    TJPEGHeader H = ReadJPEGHeader(File.data(), File.size());
    D.W = H.Width;
    D.H = H.Height;
    size_t RowBytes = static_cast<size_t>(H.Width) * (Output == TJPEGOutput::BGR24 ? 3 : 1);
    D.Pixels.assign(RowBytes * H.Height, 0);
    std::vector<uint8_t*> Rows;
    for (int y = 0; y < H.Height; ++y) Rows.push_back(&D.Pixels[RowBytes * y]);
    DecodeJPEG(File.data(), File.size(), Output, H.Width, H.Height, Rows.data(), D.Result);
    return D;
}

// Largest and mean per-channel difference between a decode and the RGB source, over rows
// [0, Rows).
struct Diff {
    int Max = 0;
    double Mean = 0;
};
Diff Compare(const Decoded& D, const Bytes& RGB, Kind K, int Rows = -1) {
    Diff R;
    if (Rows < 0) Rows = D.H;
    double Sum = 0;
    size_t N = 0;
    for (int y = 0; y < Rows; ++y)
        for (int x = 0; x < D.W; ++x) {
            size_t i = static_cast<size_t>(y) * D.W + x;
            uint8_t Got[3];
            if (D.Result.PaletteCount > 0) {
                const uint8_t* P = D.Result.Palette[D.Pixels[i]];
                Got[0] = P[2], Got[1] = P[1], Got[2] = P[0]; // to BGR
            } else {
                std::memcpy(Got, &D.Pixels[i * 3], 3);
            }
            for (int c = 0; c < 3; ++c) {
                int Want = K == Kind::Gray ? RGB[i * 3 + 1] : RGB[i * 3 + 2 - c];
                int d = std::abs(Got[c] - Want);
                R.Max = std::max(R.Max, d);
                Sum += d;
                ++N;
            }
        }
    R.Mean = Sum / static_cast<double>(N);
    return R;
}

// Largest difference between 8 x 8 block averages of a dithered decode and of the source:
// dithering keeps local averages even where single pixels are far off.
int CompareBlocks(const Decoded& D, const Bytes& RGB, Kind K) {
    int Max = 0;
    for (int by = 0; by + 8 <= D.H; by += 8)
        for (int bx = 0; bx + 8 <= D.W; bx += 8)
            for (int c = 0; c < 3; ++c) {
                int Got = 0, Want = 0;
                for (int y = by; y < by + 8; ++y)
                    for (int x = bx; x < bx + 8; ++x) {
                        size_t i = static_cast<size_t>(y) * D.W + x;
                        Got += D.Result.Palette[D.Pixels[i]][c];
                        Want += K == Kind::Gray ? RGB[i * 3 + 1] : RGB[i * 3 + c];
                    }
                Max = std::max(Max, std::abs(Got - Want) / 64);
            }
    return Max;
}

} // namespace

// Every kind of file decodes to the source within a small difference, in true color and
// through the quantizer (at most 236 colors, every index inside the palette).
TEST(JpegDecode, EveryKindDecodesCloseToTheSource) {
    const int W = 173, H = 91; // not multiples of the block size
    Bytes Src = SourcePicture(W, H);
    struct Case {
        const char* Name;
        Kind K;
    } Cases[] = {{"rgb", Kind::RGB},
                 {"gray", Kind::Gray},
                 {"cmyk", Kind::CMYKAdobe},
                 {"progressive", Kind::Progressive}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        Bytes File = WriteJPEG(Src, W, H, C.K);
        TJPEGHeader Hd = ReadJPEGHeader(File.data(), File.size());
        EXPECT_EQ(Hd.Width, W);
        EXPECT_EQ(Hd.Height, H);
        EXPECT_EQ(Hd.Grayscale, C.K == Kind::Gray);
        EXPECT_EQ(Hd.Progressive, C.K == Kind::Progressive);

        Decoded True = Decode(File, TJPEGOutput::BGR24);
        Diff D = Compare(True, Src, C.K);
        EXPECT_LE(D.Max, C.K == Kind::CMYKAdobe ? 12 : 8);
        EXPECT_LE(D.Mean, 2.0);
        EXPECT_EQ(True.Result.Warnings, 0);

        Decoded Ix = Decode(File, TJPEGOutput::Indexed8);
        EXPECT_GT(Ix.Result.PaletteCount, 1);
        EXPECT_LE(Ix.Result.PaletteCount, 236);
        std::set<uint8_t> Used(Ix.Pixels.begin(), Ix.Pixels.end());
        EXPECT_LT(static_cast<int>(*Used.rbegin()), Ix.Result.PaletteCount);
        EXPECT_LE(CompareBlocks(Ix, Src, C.K), 8);
    }
}

// The two-pass quantizer spends its colors on a picture with many of them.
TEST(JpegDecode, IndexedDecodeOfAColorfulPictureUsesUpTo236Colors) {
    const int W = 256, H = 256;
    Bytes Src(static_cast<size_t>(W) * H * 3);
    for (size_t i = 0; i < Src.size(); ++i) Src[i] = static_cast<uint8_t>((i * 2654435761u) >> 24);
    Bytes File = WriteJPEG(Src, W, H, Kind::RGB);
    Decoded Ix = Decode(File, TJPEGOutput::Indexed8);
    std::set<uint8_t> Used(Ix.Pixels.begin(), Ix.Pixels.end());
    EXPECT_EQ(Ix.Result.PaletteCount, 236);
    EXPECT_GT(Used.size(), 200u);
    EXPECT_LE(Used.size(), 236u);
}

// A file cut short gives the picture it holds (the top rows right), with a warning.
TEST(JpegDecode, TruncatedFileGivesAPartialPicture) {
    const int W = 160, H = 160;
    Bytes Src = SourcePicture(W, H);
    for (Kind K : {Kind::RGB, Kind::Progressive}) {
        Bytes File = WriteJPEG(Src, W, H, K);
        File.resize(File.size() * 6 / 10);
        Decoded D = Decode(File, TJPEGOutput::BGR24);
        EXPECT_GT(D.Result.Warnings, 0);
        if (K == Kind::RGB) {
            EXPECT_LE(Compare(D, Src, K, 48).Max, 8);
        }
        Decoded Ix = Decode(File, TJPEGOutput::Indexed8);
        EXPECT_GT(Ix.Result.PaletteCount, 0);
    }
}

// Row by row, every kind of file and a truncated one give the rows of the whole-picture
// decode, each once and in order; the sink's exception stops the decode and passes on.
TEST(JpegDecode, RowByRowDecodeGivesTheRowsOfTheWholeDecode) {
    const int W = 173, H = 91;
    Bytes Src = SourcePicture(W, H);
    Bytes Cut = WriteJPEG(Src, W, H, Kind::Progressive);
    Cut.resize(Cut.size() / 2);
    struct Case {
        const char* Name;
        Bytes File;
    } Cases[] = {{"rgb", WriteJPEG(Src, W, H, Kind::RGB)},
                 {"gray", WriteJPEG(Src, W, H, Kind::Gray)},
                 {"cmyk", WriteJPEG(Src, W, H, Kind::CMYKAdobe)},
                 {"progressive", WriteJPEG(Src, W, H, Kind::Progressive)},
                 {"truncated", Cut}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        Decoded Whole = Decode(C.File, TJPEGOutput::BGR24);
        Bytes Rows;
        int Next = 0;
        TJPEGDecodeResult R;
        DecodeJPEGRows(
            C.File.data(), C.File.size(), W, H,
            [&](int Row, const uint8_t* BGR) {
                ASSERT_EQ(Row, Next++);
                Rows.insert(Rows.end(), BGR, BGR + W * 3);
            },
            R);
        EXPECT_EQ(Next, H);
        EXPECT_TRUE(Rows == Whole.Pixels);
        EXPECT_EQ(R.Warnings, Whole.Result.Warnings);
    }

    struct Stop {};
    int Seen = 0;
    TJPEGDecodeResult R;
    EXPECT_THROW(DecodeJPEGRows(
                     Cases[0].File.data(), Cases[0].File.size(), W, H,
                     [&](int Row, const uint8_t*) {
                         ++Seen;
                         if (Row == 40) throw Stop{};
                     },
                     R),
                 Stop);
    EXPECT_EQ(Seen, 41);
    Bytes Garbage(500, 0x5A);
    EXPECT_THROW(DecodeJPEGRows(
                     Garbage.data(), Garbage.size(), W, H, [](int, const uint8_t*) {}, R),
                 EJPEG);
}

TEST(JpegDecode, DamagedFilesRaiseLibjpegsMessages) {
    Bytes Good = WriteJPEG(SourcePicture(64, 64), 64, 64, Kind::RGB);
    Bytes Garbage(1000);
    for (size_t i = 0; i < Garbage.size(); ++i) Garbage[i] = static_cast<uint8_t>(i * 37 + 11);
    Bytes HeaderOnly(Good.begin(), Good.begin() + 100);
    struct Case {
        const char* Name;
        Bytes File;
        const char* Message;
    } Cases[] = {
        {"garbage", Garbage, "Not a JPEG file: starts with 0x0b 0x30"},
        {"empty", {}, "Empty input file"},
        {"header cut", HeaderOnly, ""},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        try {
            ReadJPEGHeader(C.File.data(), C.File.size());
            ADD_FAILURE() << "no error";
        } catch (const EJPEG& E) {
            EXPECT_NE(std::string(E.what()).find(C.Message), std::string::npos) << E.what();
            EXPECT_NE(std::string(E.what()), "");
        }
        // Decoding the same bytes fails the same way instead of crashing.
        TJPEGDecodeResult R;
        uint8_t Row[64 * 3];
        uint8_t* Rows[64];
        for (auto& P : Rows) P = Row;
        EXPECT_THROW(DecodeJPEG(C.File.data(), C.File.size(), TJPEGOutput::BGR24, 64, 64, Rows, R),
                     EJPEG);
    }
}

// A tiny file claiming a huge picture is refused before anything is allocated.
TEST(JpegDecode, HugeClaimFromASmallFileIsRefused) {
    Bytes File = WriteJPEG(SourcePicture(16, 16), 16, 16, Kind::RGB);
    size_t i = 2;
    while (i + 9 < File.size() && !(File[i] == 0xFF && File[i + 1] == 0xC0))
        i += 2 + (File[i + 2] << 8 | File[i + 3]);
    ASSERT_EQ(File[i + 1], 0xC0);
    File[i + 5] = 0xEA, File[i + 6] = 0x60; // height 60000
    File[i + 7] = 0xEA, File[i + 8] = 0x60; // width 60000
    try {
        ReadJPEGHeader(File.data(), File.size());
        FAIL() << "no error";
    } catch (const EInvalidGraphic& E) {
        EXPECT_EQ(std::string(E.what()), "JPEG header claims 60000 x 60000 pixels from a " +
                                             std::to_string(File.size()) + "-byte file");
    }
}

// Damaged files made by flipping bytes: a clean error or a picture, never a crash.
TEST(JpegDecode, MutatedFilesGiveAPictureOrAnError) {
    const int W = 40, H = 24;
    Bytes Src = SourcePicture(W, H);
    uint32_t Seed = 7;
    for (Kind K : {Kind::RGB, Kind::Progressive, Kind::CMYKAdobe}) {
        const Bytes Good = WriteJPEG(Src, W, H, K, 80);
        for (int Round = 0; Round < 150; ++Round) {
            Bytes B = Good;
            for (int k = 0; k < 1 + Round % 3; ++k) {
                Seed = Seed * 1103515245u + 12345u;
                B[(Seed >> 8) % B.size()] ^= static_cast<uint8_t>(1 + (Seed >> 24) % 255);
            }
            try {
                for (TJPEGOutput O : {TJPEGOutput::BGR24, TJPEGOutput::Indexed8}) Decode(B, O);
            } catch (const EInvalidGraphic&) {
            }
        }
    }
}

namespace {
struct ScreenDepth {
    int Saved = ScreenBitsPerPixel();
    explicit ScreenDepth(int Bits) { SetScreenBitsPerPixel(Bits); }
    ~ScreenDepth() { SetScreenBitsPerPixel(Saved); }
};
} // namespace

// The graphic keeps the file's bytes and size, and gives its decoded picture to a bitmap:
// 24 bits on a true-color screen, at most 236 colors on an 8-bit one.
TEST(JPEGImage, LoadsSavesAndAssignsToABitmap) {
    const int W = 61, H = 47;
    Bytes Src = SourcePicture(W, H);
    Bytes File = WriteJPEG(Src, W, H, Kind::RGB);
    TMemoryStream In;
    In.WriteBuffer(File.data(), static_cast<int64_t>(File.size()));
    In.SetPosition(0);
    TJPEGImage J;
    EXPECT_TRUE(J.Empty());
    J.LoadFromStream(In);
    EXPECT_FALSE(J.Empty());
    EXPECT_EQ(J.Width(), W);
    EXPECT_EQ(J.Height(), H);
    TMemoryStream Out;
    J.SaveToStream(Out);
    EXPECT_EQ(Out.Bytes(), File);

    {
        ScreenDepth Screen(32);
        J.FreeBitmap();
        TBitmap B;
        B.Assign(&J);
        ASSERT_EQ(B.PixelFormat(), pf24bit);
        ASSERT_EQ(B.Width(), W);
        ASSERT_EQ(B.Height(), H);
        int Max = 0;
        for (int y = 0; y < H; ++y) {
            const uint8_t* Row = static_cast<const uint8_t*>(B.ScanLine(y));
            for (int x = 0; x < W; ++x)
                for (int c = 0; c < 3; ++c)
                    Max =
                        std::max(Max, std::abs(Row[3 * x + c] -
                                               Src[(static_cast<size_t>(y) * W + x) * 3 + 2 - c]));
        }
        EXPECT_LE(Max, 8);
        // The row padding is cleared (a saved bitmap carries no stray bytes).
        HBITMAP Object = B.Handle();
        for (int y = 0; y < H; ++y)
            for (int i = 3 * W; i < Object->Stride; ++i) ASSERT_EQ(Object->Row(y)[i], 0) << y;
    }
    {
        ScreenDepth Screen(8);
        J.FreeBitmap();
        TBitmap B;
        B.Assign(&J);
        ASSERT_EQ(B.PixelFormat(), pf8bit);
        HPALETTE P = B.Palette();
        ASSERT_TRUE(P);
        TPaletteEntry Entries[256];
        uint32_t N = GetPaletteEntries(P, 0, 256, Entries);
        EXPECT_GT(N, 1u);
        EXPECT_LE(N, 236u);
        for (int y = 0; y < H; ++y) {
            const uint8_t* Row = static_cast<const uint8_t*>(B.ScanLine(y));
            for (int x = 0; x < W; ++x) ASSERT_LT(Row[x], N);
        }
    }
}

TEST(JPEGImage, BadDataRaisesAndKeepsThePicture) {
    Bytes File = WriteJPEG(SourcePicture(20, 10), 20, 10, Kind::RGB);
    TJPEGImage J;
    TMemoryStream In;
    In.WriteBuffer(File.data(), static_cast<int64_t>(File.size()));
    In.SetPosition(0);
    J.LoadFromStream(In);
    TMemoryStream Bad;
    Bad.WriteBuffer("GIF89a....", 10);
    Bad.SetPosition(0);
    try {
        J.LoadFromStream(Bad);
        FAIL() << "no error";
    } catch (const EInvalidGraphic& E) {
        EXPECT_EQ(std::string(E.what()), "Not a JPEG file: starts with 0x47 0x49");
    }
    EXPECT_EQ(J.Width(), 20);
    EXPECT_EQ(J.Data(), File);
    // A JPEG converts only to bitmaps.
    TJPEGImage Copy;
    Copy.Assign(&J);
    EXPECT_TRUE(Copy.Equals(&J));
    TStringList Strings;
    EXPECT_THROW(J.AssignTo(&Strings), EConvertError);
}

// Drawing gives the decoded picture on the canvas (stretched like a bitmap); the clipboard
// form is the decoded bitmap's.
TEST(JPEGImage, DrawsItsDecodedPicture) {
    ScreenDepth Screen(32);
    const int W = 24, H = 16;
    Bytes File = WriteJPEG(SourcePicture(W, H), W, H, Kind::RGB);
    TMemoryStream In;
    In.WriteBuffer(File.data(), static_cast<int64_t>(File.size()));
    In.SetPosition(0);
    TJPEGImage J;
    J.LoadFromStream(In);
    TBitmap* Decoded = J.Bitmap();
    ASSERT_NE(Decoded, nullptr);
    TBitmap B(W + 2, H + 2, pf24bit);
    B.Canvas().Draw(2, 2, &J);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            ASSERT_EQ(B.Canvas().Pixels(x + 2, y + 2), Decoded->Canvas().Pixels(x, y))
                << x << "," << y;
    TBitmap Half(W / 2, H / 2, pf24bit);
    SetStretchBltMode(Half.Canvas().Handle(), COLORONCOLOR); // sample, do not combine
    Half.Canvas().StretchDraw(Rect(0, 0, W / 2, H / 2), &J);
    EXPECT_EQ(Half.Canvas().Pixels(3, 5), Decoded->Canvas().Pixels(7, 11)); // (2x + 1) div 2

    uint32_t Format = 0;
    THandle Data;
    HPALETTE Palette;
    J.SaveToClipboardFormat(Format, Data, Palette);
    EXPECT_EQ(Format, CF_BITMAP);
    auto Object = HandleCast<TBitmapObject>(Data);
    ASSERT_TRUE(Object);
    EXPECT_EQ(Object->Width, W);
    EXPECT_THROW(J.LoadFromClipboardFormat(CF_BITMAP, Data, Palette), EInvalidGraphic);
    TJPEGImage Empty;
    EXPECT_THROW(Empty.SaveToClipboardFormat(Format, Data, Palette), EInvalidGraphic);
}

// "jpeg" and "jpg" come in when RegisterJPEGFormats runs (the GIF library's start-up calls
// it after "gif"); again changes nothing, and after the class was removed it registers again.
TEST(JPEGImage, RegistersJpegAndJpg) {
    auto Count = [] {
        int N = 0;
        for (const TPicture::TFileFormat& F : TPicture::FileFormats())
            N += F.GraphicClass == TJPEGImage::ClassInfo();
        return N;
    };
    ASSERT_EQ(Count(), 0);
    RegisterJPEGFormats();
    RegisterJPEGFormats();
    EXPECT_EQ(Count(), 2);
    std::vector<TPicture::TFileFormat> Formats = TPicture::FileFormats();
    ASSERT_GE(Formats.size(), 2u);
    EXPECT_EQ(Formats[0].Extension, "jpg");
    EXPECT_EQ(Formats[1].Extension, "jpeg");
    EXPECT_EQ(Formats[0].Description, "JPEG Image File");
    EXPECT_EQ(Formats[1].Description, "JPEG Image File");

    Bytes File = WriteJPEG(SourcePicture(9, 5), 9, 5, Kind::RGB);
    std::string Name = testing::TempDir() + "/mv_jpeg_" + std::to_string(getpid()) + ".JPG";
    if (FILE* F = std::fopen(Name.c_str(), "wb")) {
        std::fwrite(File.data(), 1, File.size(), F);
        std::fclose(F);
    }
    TPicture P;
    P.LoadFromFile(Name);
    std::remove(Name.c_str());
    ASSERT_NE(dynamic_cast<TJPEGImage*>(P.Graphic()), nullptr);
    EXPECT_EQ(P.Width(), 9);
    EXPECT_EQ(P.Height(), 5);

    // The other tests of this program see the framework as the platform leaves it.
    TPicture::UnregisterGraphicClass(TJPEGImage::ClassInfo());
    EXPECT_EQ(Count(), 0);
    RegisterJPEGFormats();
    EXPECT_EQ(Count(), 2);
    TPicture::UnregisterGraphicClass(TJPEGImage::ClassInfo());
}
