#include "platform/Icon.h"
#include "platform/SysUtils.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

using namespace mv;

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& B, unsigned V) {
    B.push_back(static_cast<uint8_t>(V));
    B.push_back(static_cast<uint8_t>(V >> 8));
}
void Put32(Bytes& B, uint32_t V) {
    for (int i = 0; i < 4; ++i) B.push_back(static_cast<uint8_t>(V >> (8 * i)));
}

// A test picture: a color per pixel (BGRA) and a mask bit per pixel, rows from the top.
struct Picture {
    int W, H;
    std::vector<uint32_t> Color; // 0xAARRGGBB
    std::vector<uint8_t> Mask;
    uint32_t At(int x, int y) const { return Color[static_cast<size_t>(y * W + x)]; }
};

Picture Pattern(int W, int H, const std::vector<uint32_t>& Colors, bool Alpha) {
    Picture P{W, H, {}, {}};
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint32_t C = Colors[static_cast<size_t>((x * 7 + y * 3) % Colors.size())];
            bool Masked = (x + y) % 5 == 0;
            if (Alpha) C = Masked ? (C & 0x00FFFFFF) : (C | 0xFF000000);
            P.Color.push_back(C);
            P.Mask.push_back(Masked ? 1 : 0);
        }
    return P;
}

// A bitmap entry: header, palette (for 1/4/8 bits: Colors in order), color rows, AND rows.
Bytes BitmapEntry(const Picture& P, int Bits, const std::vector<uint32_t>& Palette = {}) {
    Bytes B;
    Put32(B, 40);
    Put32(B, static_cast<uint32_t>(P.W));
    Put32(B, static_cast<uint32_t>(P.H * 2));
    Put16(B, 1);
    Put16(B, static_cast<unsigned>(Bits));
    Put32(B, 0);
    Put32(B, 0);
    Put32(B, 0);
    Put32(B, 0);
    Put32(B, static_cast<uint32_t>(Palette.size()));
    Put32(B, 0);
    for (uint32_t C : Palette) Put32(B, C & 0xFFFFFF);
    size_t ColorRow = ((size_t(P.W) * Bits + 31) / 32) * 4, MaskRow = ((size_t(P.W) + 31) / 32) * 4;
    for (int y = P.H - 1; y >= 0; --y) {
        Bytes Row(ColorRow, 0);
        for (int x = 0; x < P.W; ++x) {
            uint32_t C = P.At(x, y);
            unsigned Index = 0;
            for (size_t i = 0; i < Palette.size(); ++i)
                if ((Palette[i] & 0xFFFFFF) == (C & 0xFFFFFF)) Index = static_cast<unsigned>(i);
            switch (Bits) {
            case 1:
                Row[x / 8] |= static_cast<uint8_t>(Index << (7 - x % 8));
                break;
            case 4:
                Row[x / 2] |= static_cast<uint8_t>(Index << (x % 2 ? 0 : 4));
                break;
            case 8:
                Row[x] = static_cast<uint8_t>(Index);
                break;
            case 24:
                std::memcpy(&Row[3 * x], &C, 3);
                break;
            case 32:
                std::memcpy(&Row[4 * x], &C, 4);
                break;
            }
        }
        B.insert(B.end(), Row.begin(), Row.end());
    }
    for (int y = P.H - 1; y >= 0; --y) {
        Bytes Row(MaskRow, 0);
        for (int x = 0; x < P.W; ++x)
            if (P.Mask[static_cast<size_t>(y * P.W + x)]) Row[x / 8] |= 0x80 >> (x % 8);
        B.insert(B.end(), Row.begin(), Row.end());
    }
    return B;
}

void PNGWrite(png_structp Png, png_bytep Data, png_size_t N) {
    auto* Out = static_cast<Bytes*>(png_get_io_ptr(Png));
    Out->insert(Out->end(), Data, Data + N);
}
void PNGFlush(png_structp) {}

// A PNG entry, RGBA, written by libpng.
Bytes PNGEntry(const Picture& P) {
    Bytes Out;
    png_structp Png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop Info = png_create_info_struct(Png);
    png_set_write_fn(Png, &Out, PNGWrite, PNGFlush);
    png_set_IHDR(Png, Info, static_cast<png_uint_32>(P.W), static_cast<png_uint_32>(P.H), 8,
                 PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(Png, Info);
    std::vector<uint8_t> Row(static_cast<size_t>(P.W) * 4);
    for (int y = 0; y < P.H; ++y) {
        for (int x = 0; x < P.W; ++x) {
            uint32_t C = P.At(x, y);
            Row[4 * x] = static_cast<uint8_t>(C >> 16);
            Row[4 * x + 1] = static_cast<uint8_t>(C >> 8);
            Row[4 * x + 2] = static_cast<uint8_t>(C);
            Row[4 * x + 3] = static_cast<uint8_t>(C >> 24);
        }
        png_write_row(Png, Row.data());
    }
    png_write_end(Png, nullptr);
    png_destroy_write_struct(&Png, &Info);
    return Out;
}

struct Entry {
    int W, H, Bits;
    Bytes Data;
};

Bytes IconFile(const std::vector<Entry>& Entries) {
    Bytes B;
    Put16(B, 0);
    Put16(B, 1);
    Put16(B, static_cast<unsigned>(Entries.size()));
    uint32_t Offset = 6 + 16 * static_cast<uint32_t>(Entries.size());
    for (const Entry& E : Entries) {
        B.push_back(static_cast<uint8_t>(E.W));
        B.push_back(static_cast<uint8_t>(E.H));
        B.push_back(E.Bits < 8 ? static_cast<uint8_t>(1 << E.Bits) : 0);
        B.push_back(0);
        Put16(B, 1);
        Put16(B, static_cast<unsigned>(E.Bits));
        Put32(B, static_cast<uint32_t>(E.Data.size()));
        Put32(B, Offset);
        Offset += static_cast<uint32_t>(E.Data.size());
    }
    for (const Entry& E : Entries) B.insert(B.end(), E.Data.begin(), E.Data.end());
    return B;
}

uint32_t PixelOf(const TIconBitmapData& D, int x, int y) {
    uint32_t C;
    std::memcpy(&C, &D.Pixels[static_cast<size_t>(y * D.Width + x) * 4], 4);
    return C;
}

const std::vector<uint32_t> Colors16 = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                        0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                        0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

} // namespace

// Every depth of bitmap entry gives its colors, an opaque alpha where the mask is clear, and
// the AND mask; a 32-bit entry keeps its alpha. Widths that are not a multiple of 8 or 32
// exercise the row padding.
TEST(IconDecode, BitmapEntriesOfEveryDepth) {
    for (int Bits : {1, 4, 8, 24, 32}) {
        SCOPED_TRACE(Bits);
        std::vector<uint32_t> Palette;
        if (Bits <= 8)
            Palette.assign(Colors16.begin(), Colors16.begin() + std::min<size_t>(16, 1u << Bits));
        Picture P = Pattern(13, 11, Bits <= 8 ? Palette : Colors16, Bits == 32);
        Bytes File = IconFile({{13, 11, Bits, BitmapEntry(P, Bits, Palette)}});
        TIconBitmapData D = DecodeIconFile(File.data(), File.size());
        ASSERT_EQ(D.Width, 13);
        ASSERT_EQ(D.Height, 11);
        EXPECT_EQ(D.BitCount, Bits);
        EXPECT_EQ(D.HasAlpha, Bits == 32);
        for (int y = 0; y < 11; ++y)
            for (int x = 0; x < 13; ++x) {
                bool Masked = P.Mask[static_cast<size_t>(y * 13 + x)] != 0;
                uint32_t Want = P.At(x, y);
                if (Bits != 32) Want = (Want & 0xFFFFFF) | (Masked ? 0 : 0xFF000000u);
                ASSERT_EQ(PixelOf(D, x, y), Want) << x << "," << y;
                ASSERT_EQ(D.Mask[static_cast<size_t>(y * 13 + x)], Masked ? 1 : 0);
            }
    }
}

TEST(IconDecode, PNGEntryGivesColorsAndMaskFromAlpha) {
    Picture P = Pattern(20, 9, Colors16, true);
    Bytes File = IconFile({{20, 9, 32, PNGEntry(P)}});
    TIconBitmapData D = DecodeIconFile(File.data(), File.size());
    ASSERT_EQ(D.Width, 20);
    ASSERT_EQ(D.Height, 9);
    EXPECT_TRUE(D.IsPNG);
    EXPECT_TRUE(D.HasAlpha);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 20; ++x) {
            ASSERT_EQ(PixelOf(D, x, y), P.At(x, y));
            ASSERT_EQ(D.Mask[static_cast<size_t>(y * 20 + x)], P.Mask[size_t(y * 20 + x)]);
        }
}

TEST(IconDecode, ShowsTheLargestEntryThenTheDeepest) {
    Picture Small = Pattern(16, 16, Colors16, true);
    Picture Big8 = Pattern(32, 32, Colors16, false);
    Picture Big32 = Pattern(32, 32, Colors16, true);
    Bytes File = IconFile({{16, 16, 32, BitmapEntry(Small, 32)},
                           {32, 32, 8, BitmapEntry(Big8, 8, Colors16)},
                           {32, 32, 32, PNGEntry(Big32)},
                           {32, 32, 4, BitmapEntry(Big8, 4, Colors16)}});
    std::vector<TIconEntryInfo> Entries = ReadIconDirectory(File.data(), File.size());
    ASSERT_EQ(Entries.size(), 4u);
    EXPECT_EQ(ChooseIconEntry(Entries), 2u);
    TIconBitmapData D = DecodeIconFile(File.data(), File.size());
    EXPECT_TRUE(D.IsPNG);
    EXPECT_EQ(D.Width, 32);
}

// A 32-bit entry without its AND mask takes the mask from alpha.
TEST(IconDecode, ThirtyTwoBitEntryWithoutMask) {
    Picture P = Pattern(8, 4, Colors16, true);
    Bytes E = BitmapEntry(P, 32);
    E.resize(40 + 8 * 4 * 4);
    Bytes File = IconFile({{8, 4, 32, E}});
    TIconBitmapData D = DecodeIconFile(File.data(), File.size());
    for (int i = 0; i < 32; ++i) EXPECT_EQ(D.Mask[size_t(i)], P.Mask[size_t(i)]);
}

TEST(IconDecode, DamagedFilesRaiseClearErrors) {
    Picture P = Pattern(16, 16, Colors16, false);
    const Bytes Good = IconFile({{16, 16, 8, BitmapEntry(P, 8, Colors16)}});
    const Bytes GoodPNG = IconFile({{16, 16, 32, PNGEntry(Pattern(16, 16, Colors16, true))}});
    auto Patch32 = [](Bytes B, size_t At, uint32_t V) {
        for (int i = 0; i < 4; ++i) B[At + i] = static_cast<uint8_t>(V >> (8 * i));
        return B;
    };
    auto Cut = [](Bytes B, size_t N) {
        B.resize(N);
        return B;
    };
    const size_t Hdr = 22; // first entry's data; its size is at 14, its offset at 18
    struct Case {
        const char* Name;
        Bytes File;
        const char* Message;
    } Cases[] = {
        {"empty", {}, "Icon file of 0 bytes is too short for a directory"},
        {"not an icon", Bytes{'B', 'M', 0, 0, 0, 0, 0, 0}, "Not an icon file"},
        {"no images", Bytes{0, 0, 1, 0, 0, 0}, "Icon file holds no images"},
        {"directory cut", Cut(Good, 15),
         "Icon directory lists 1 images, which needs 22 bytes; the file has 15"},
        {"entry past the end", Patch32(Good, 18, 0x7FFFFFF0),
         "claims 424 bytes at offset 2147483632 in a 446-byte file"},
        {"entry too long", Patch32(Good, 14, 100000), "claims 100000 bytes at offset 22"},
        {"data cut", Cut(Patch32(Good, 14, 40 + 64 * 4 + 100), Hdr + 40 + 64 * 4 + 100),
         "Icon entry 0 of 16 x 16 at 8 bits needs 424 bytes; it holds 396"},
        {"header size", Patch32(Good, Hdr, 7), "Icon entry 0 has an unknown header of 7 bytes"},
        {"huge width", Patch32(Good, Hdr + 4, 60000),
         "Icon entry 0 claims 60000 x 16 pixels; icons are at most 1024 a side"},
        {"negative height", Patch32(Good, Hdr + 8, 0xFFFFFFE0), "invalid size of 16 x -32"},
        {"bits", Patch32(Good, Hdr + 14, 7), "Icon entry 0 has 7 bits per pixel"},
        {"compression", Patch32(Good, Hdr + 16, 1), "uses bitmap compression 1"},
        {"colors", Patch32(Good, Hdr + 32, 300), "claims 300 colors for 8 bits per pixel"},
        {"PNG cut", Cut(Patch32(GoodPNG, 14, 60), Hdr + 60), "is a damaged PNG"},
        {"PNG size", Cut(Patch32(GoodPNG, 14, 20), Hdr + 20), "without a readable header"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        try {
            DecodeIconFile(C.File.data(), C.File.size());
            ADD_FAILURE() << "no error";
        } catch (const EInvalidGraphic& E) {
            EXPECT_NE(std::string(E.what()).find(C.Message), std::string::npos) << E.what();
        }
    }
    // A PNG whose compressed data is damaged: libpng's message, inside ours.
    Bytes Bad = GoodPNG;
    for (size_t i = Hdr + 45; i < Hdr + 60; ++i) Bad[i] ^= 0x5A;
    EXPECT_THROW(DecodeIconFile(Bad.data(), Bad.size()), EInvalidGraphic);
}

// Damaged files made by flipping bytes: a clean error or a picture, never a crash (the
// sanitizer build checks the reads).
TEST(IconDecode, MutatedFilesGiveAPictureOrAnError) {
    Bytes Files[] = {
        IconFile({{13, 11, 4, BitmapEntry(Pattern(13, 11, Colors16, false), 4, Colors16)},
                  {16, 16, 32, PNGEntry(Pattern(16, 16, Colors16, true))}}),
        IconFile({{9, 7, 32, BitmapEntry(Pattern(9, 7, Colors16, true), 32)}}),
    };
    uint32_t Seed = 1;
    for (const Bytes& Good : Files)
        for (int Round = 0; Round < 400; ++Round) {
            Bytes B = Good;
            for (int k = 0; k < 1 + Round % 4; ++k) {
                Seed = Seed * 1103515245u + 12345u;
                B[(Seed >> 8) % B.size()] ^= static_cast<uint8_t>(1 + (Seed >> 24) % 255);
            }
            if (Round % 7 == 0) B.resize((Seed >> 4) % B.size());
            try {
                TIconBitmapData D = DecodeIconFile(B.data(), B.size());
                EXPECT_EQ(D.Pixels.size(), size_t(D.Width) * D.Height * 4);
                EXPECT_EQ(D.Mask.size(), size_t(D.Width) * D.Height);
            } catch (const EInvalidGraphic&) {
            }
        }
}

// The graphic keeps the file's bytes, shows the largest image, and cannot become a bitmap by
// assignment (it is drawn onto one instead).
TEST(IconGraphic, LoadsSavesAndRefusesBitmapAssignment) {
    Bytes File = IconFile({{16, 16, 8, BitmapEntry(Pattern(16, 16, Colors16, false), 8, Colors16)},
                           {24, 20, 32, PNGEntry(Pattern(24, 20, Colors16, true))}});
    TMemoryStream In;
    In.WriteBuffer(File.data(), static_cast<int64_t>(File.size()));
    In.SetPosition(0);
    TIcon I;
    EXPECT_TRUE(I.Empty());
    I.LoadFromStream(In);
    EXPECT_EQ(I.Width(), 24);
    EXPECT_EQ(I.Height(), 20);
    TMemoryStream Out;
    I.SaveToStream(Out);
    EXPECT_EQ(Out.Bytes(), File);

    TBitmap B;
    try {
        B.Assign(&I);
        FAIL() << "no error";
    } catch (const EConvertError& E) {
        EXPECT_EQ(std::string(E.what()), "Cannot assign a TIcon to a TBitmap");
    }
    TIconInfo Info;
    ASSERT_TRUE(GetIconInfo(I.Handle(), &Info));
    EXPECT_TRUE(Info.hbmColor);
    EXPECT_TRUE(Info.hbmMask);
    EXPECT_FALSE(GetIconInfo(HICON(), &Info));

    // A damaged file leaves the icon as it was.
    TMemoryStream Bad;
    Bad.WriteBuffer(File.data(), 20);
    Bad.SetPosition(0);
    EXPECT_THROW(I.LoadFromStream(Bad), EInvalidGraphic);
    EXPECT_EQ(I.Width(), 24);
}

namespace {

// 0xRRGGBB (the pictures' colors above) as a TColor (0x00BBGGRR).
TColor AsTColor(uint32_t RGBValue) {
    return static_cast<TColor>(((RGBValue & 0xFF) << 16) | (RGBValue & 0xFF00) |
                               ((RGBValue >> 16) & 0xFF));
}

// A 4 x 2 icon with an 8-bit AND-masked entry: opaque colors, masked black (the surface
// stays) and masked non-black (the surface is inverted by it).
struct MaskedIcon {
    Picture P{4, 2, {}, {}};
    TIcon Icon;
    MaskedIcon() {
        P.Color = {0xFF0000, 0x000000, 0xFFFFFF, 0x00FF00, 0x0000FF, 0x000000, 0x404040, 0xFFFF00};
        P.Mask = {0, 1, 1, 0, 0, 1, 1, 0};
        std::vector<uint32_t> Palette = {0xFF0000, 0x000000, 0xFFFFFF, 0x00FF00,
                                         0x0000FF, 0x404040, 0xFFFF00};
        Bytes File = IconFile({{4, 2, 8, BitmapEntry(P, 8, Palette)}});
        TMemoryStream S;
        S.WriteBuffer(File.data(), static_cast<int64_t>(File.size()));
        S.SetPosition(0);
        Icon.LoadFromStream(S);
    }
    // What the icon leaves at (x, y) over a surface of color Under (0xRRGGBB).
    uint32_t Expected(int x, int y, uint32_t Under) const {
        size_t i = static_cast<size_t>(y * 4 + x);
        return P.Mask[i] ? (Under ^ P.Color[i]) : P.Color[i];
    }
};

} // namespace

// Drawn onto a true-color bitmap, at its size and stretched: the colors where the mask is
// clear; where it is set the surface stays (black) or is inverted by the color.
TEST(IconGraphic, DrawsThroughItsMaskOntoABitmap) {
    MaskedIcon M;
    const uint32_t Under = 0x123456;
    for (TPixelFormat F : {pf24bit, pf32bit}) {
        SCOPED_TRACE(static_cast<int>(F));
        TBitmap B(6, 4, F);
        B.Canvas().Brush().SetColor(AsTColor(Under));
        B.Canvas().FillRect(Rect(0, 0, 6, 4));
        B.Canvas().Draw(1, 1, &M.Icon);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x) {
                bool Inside = x >= 1 && x < 5 && y >= 1 && y < 3;
                uint32_t Want = Inside ? M.Expected(x - 1, y - 1, Under) : Under;
                EXPECT_EQ(B.Canvas().Pixels(x, y), AsTColor(Want)) << x << "," << y;
            }
    }
    // Stretched to twice its size (sampled, each source pixel 2 x 2), and clipped by the
    // bitmap's edge.
    TBitmap B(7, 4, pf24bit);
    B.Canvas().Brush().SetColor(AsTColor(Under));
    B.Canvas().FillRect(Rect(0, 0, 7, 4));
    B.Canvas().StretchDraw(Rect(0, 0, 8, 4), &M.Icon);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 7; ++x)
            EXPECT_EQ(B.Canvas().Pixels(x, y), AsTColor(M.Expected(x / 2, y / 2, Under)))
                << x << "," << y;
}

// Onto an 8-bit halftone bitmap: the drawn colors are mapped to the palette's nearest; the
// pixels the mask keeps keep their index.
TEST(IconGraphic, DrawsOntoAnIndexedBitmap) {
    MaskedIcon M;
    TBitmap B(4, 2, pf8bit);
    B.Canvas().Brush().SetColor(clSilver);
    B.Canvas().FillRect(Rect(0, 0, 4, 2));
    const uint8_t Silver = static_cast<uint8_t*>(B.ScanLine(0))[0];
    B.Canvas().Draw(0, 0, &M.Icon);
    HPALETTE Pal = B.Palette();
    for (int y = 0; y < 2; ++y) {
        const uint8_t* Row = static_cast<const uint8_t*>(B.ScanLine(y));
        for (int x = 0; x < 4; ++x) {
            uint32_t Want = M.Expected(x, y, 0xC0C0C0);
            size_t i = static_cast<size_t>(y * 4 + x);
            if (M.P.Mask[i] && M.P.Color[i] == 0)
                EXPECT_EQ(Row[x], Silver) << x << "," << y;
            else
                EXPECT_EQ(Row[x],
                          GetNearestPaletteIndex(Pal, static_cast<COLORREF>(AsTColor(Want))))
                    << x << "," << y;
        }
    }
}

// A 32-bit image blends by its alpha; alpha 0 leaves the surface.
TEST(IconGraphic, BlendsByAlpha) {
    Picture P{3, 1, {0x80FF0000, 0x00FFFFFF, 0xFF00FF00}, {0, 1, 0}};
    Bytes File = IconFile({{3, 1, 32, BitmapEntry(P, 32)}});
    TMemoryStream S;
    S.WriteBuffer(File.data(), static_cast<int64_t>(File.size()));
    S.SetPosition(0);
    TIcon I;
    I.LoadFromStream(S);
    TBitmap B(3, 1, pf24bit);
    B.Canvas().Brush().SetColor(AsTColor(0x204060));
    B.Canvas().FillRect(Rect(0, 0, 3, 1));
    B.Canvas().Draw(0, 0, &I);
    auto Blend = [](unsigned S, unsigned U, unsigned A) {
        return (S * A + U * (255 - A) + 127) / 255;
    };
    uint32_t Want0 =
        (Blend(0xFF, 0x20, 0x80) << 16) | (Blend(0, 0x40, 0x80) << 8) | Blend(0, 0x60, 0x80);
    EXPECT_EQ(B.Canvas().Pixels(0, 0), AsTColor(Want0));
    EXPECT_EQ(B.Canvas().Pixels(1, 0), AsTColor(0x204060));
    EXPECT_EQ(B.Canvas().Pixels(2, 0), AsTColor(0x00FF00));
}

// The two bitmaps the icon's information gives: the XOR colors at 32 bits and the AND mask
// (monochrome, set where the background shows). The mask read as 8 bits, the way the picture
// import reads it, is nonzero exactly where it is set; the bitmaps belong to the caller.
TEST(IconGraphic, IconInfoBitmaps) {
    MaskedIcon M;
    TIconInfo Info;
    ASSERT_TRUE(GetIconInfo(M.Icon.Handle(), &Info));
    EXPECT_TRUE(Info.fIcon);
    EXPECT_EQ(Info.xHotspot, 2u);
    EXPECT_EQ(Info.yHotspot, 1u);
    ASSERT_TRUE(Info.hbmColor);
    ASSERT_TRUE(Info.hbmMask);
    EXPECT_EQ(GetObjectType(Info.hbmColor), OBJ_BITMAP);
    EXPECT_EQ(Info.hbmColor->Width, 4);
    EXPECT_EQ(Info.hbmColor->Height, 2);
    EXPECT_EQ(Info.hbmColor->BitCount, 32);
    EXPECT_TRUE(Info.hbmMask->Monochrome);
    EXPECT_EQ(Info.hbmMask->Width, 4);
    EXPECT_EQ(Info.hbmMask->Height, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) {
            size_t i = static_cast<size_t>(y * 4 + x);
            EXPECT_EQ(Info.hbmColor->PixelColor(x, y),
                      static_cast<COLORREF>(AsTColor(M.P.Color[i])));
            EXPECT_EQ(Info.hbmMask->PixelColor(x, y), M.P.Mask[i] ? 0xFFFFFFu : 0u);
        }

    TBitmap Wrapper;
    Wrapper.SetHandle(Info.hbmMask);
    Wrapper.SetPixelFormat(pf8bit);
    for (int y = 0; y < 2; ++y) {
        const uint8_t* Row = static_cast<const uint8_t*>(Wrapper.ScanLine(y));
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(Row[x] != 0, M.P.Mask[static_cast<size_t>(y * 4 + x)] != 0) << x << "," << y;
    }
    Wrapper.ReleaseHandle();
    // The icon does not hold them: deleting them leaves it drawable.
    EXPECT_TRUE(DeleteObject(Info.hbmColor));
    EXPECT_TRUE(DeleteObject(Info.hbmMask));
    EXPECT_FALSE(M.Icon.Empty());
    SetLastError(0);
    EXPECT_FALSE(GetIconInfo(HICON(), &Info));
    EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

// "ico" is the platform's, registered at start-up just before "bmp"; a picture opens an
// ".ICO" file as an icon.
TEST(IconGraphic, RegisteredWithThePictureFramework) {
    EXPECT_EQ(TPicture::FindExtension("ICO"), TIcon::ClassInfo());
    std::vector<TPicture::TFileFormat> Formats = TPicture::FileFormats();
    auto At = [&](const char* Ext) {
        for (size_t i = 0; i < Formats.size(); ++i)
            if (Formats[i].Extension == Ext) return static_cast<int>(i);
        return -1;
    };
    ASSERT_GE(At("ico"), 0);
    EXPECT_EQ(At("ico"), At("bmp") + 1); // most recent first: bmp, then ico
    EXPECT_EQ(Formats[static_cast<size_t>(At("ico"))].Description, "Icons");

    MaskedIcon M;
    std::string Name = testing::TempDir() + "/mv_icon_" + std::to_string(getpid()) + ".ICO";
    M.Icon.SaveToFile(Name);
    TPicture Pic;
    Pic.LoadFromFile(Name);
    auto* I = dynamic_cast<TIcon*>(Pic.Graphic());
    ASSERT_NE(I, nullptr);
    EXPECT_TRUE(I->Equals(&M.Icon));
    EXPECT_EQ(Pic.Width(), 4);
    std::remove(Name.c_str());

    uint32_t Format = 0;
    THandle Data;
    HPALETTE Palette;
    EXPECT_THROW(M.Icon.SaveToClipboardFormat(Format, Data, Palette), EInvalidGraphic);
}
