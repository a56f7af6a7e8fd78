#include "gif/DIB.h"

#include "platform/Bmp.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace mv;

namespace {

BITMAPINFOHEADER HeaderOf(const TDIBWriter& W) {
    BITMAPINFOHEADER H;
    std::memcpy(&H, W.HeaderBlock(), sizeof H);
    return H;
}

HPALETTE CubePalette(int Count) {
    std::vector<TPaletteEntry> E;
    for (int i = 0; i < Count; ++i)
        E.push_back({uint8_t(51 * (i / 36)), uint8_t(51 * ((i / 6) % 6)), uint8_t(51 * (i % 6)),
                     PC_NOCOLLAPSE});
    return CreatePalette(E.data(), Count);
}

} // namespace

TEST(DIBWriter, EightBitStrideAndRowOrder) {
    TBitmap B;
    TDIBWriter W(&B, pf8bit, 3, 2, nullptr);
    auto* Row0 = static_cast<uint8_t*>(W.RowAddress(0));
    auto* Row1 = static_cast<uint8_t*>(W.RowAddress(1));
    const auto* Base = static_cast<const uint8_t*>(W.PixelBlock());
    EXPECT_EQ(Row0 - Base, 4); // the top row is stored last
    EXPECT_EQ(Row1, Base);
    EXPECT_EQ(W.PixelBlockSize(), 8);
    EXPECT_EQ(W.HeaderBlockSize(), 1064);
}

TEST(DIBWriter, TwentyFourBitStrideIsPadded) {
    TBitmap B;
    TDIBWriter W(&B, pf24bit, 5, 3, nullptr);
    auto* Row2 = static_cast<uint8_t*>(W.RowAddress(2));
    auto* Row1 = static_cast<uint8_t*>(W.RowAddress(1));
    EXPECT_EQ(Row1 - Row2, 16);
    EXPECT_EQ(W.HeaderBlockSize(), 40);
    BITMAPINFOHEADER H = HeaderOf(W);
    EXPECT_EQ(H.biBitCount, 24);
    EXPECT_EQ(H.biClrUsed, 0u);
    EXPECT_EQ(H.biClrImportant, 0u);
    EXPECT_EQ(H.biHeight, 3);
}

TEST(DIBWriter, ColorTableFromAShortPalette) {
    TBitmap B;
    TDIBWriter W(&B, pf8bit, 2, 2, CubePalette(216));
    W.RowAddress(0);
    BITMAPINFOHEADER H = HeaderOf(W);
    EXPECT_EQ(H.biSize, 40u);
    EXPECT_EQ(H.biClrUsed, 256u);
    EXPECT_EQ(H.biClrImportant, 216u);
    const uint8_t* T = W.HeaderBlock() + 40;
    // Entry 1 is (0, 0, 51): blue first.
    EXPECT_EQ(T[4], 51);
    EXPECT_EQ(T[5], 0);
    EXPECT_EQ(T[6], 0);
    EXPECT_EQ(T[7], 0); // flags become 0
    for (int i = 216 * 4; i < 1024; ++i) ASSERT_EQ(T[i], 0) << i;
}

TEST(DIBWriter, NoPaletteGivesZeroTable) {
    TBitmap B;
    TDIBWriter W(&B, pf8bit, 1, 1, nullptr);
    W.RowAddress(0);
    EXPECT_EQ(HeaderOf(W).biClrImportant, 0u);
    const uint8_t* T = W.HeaderBlock() + 40;
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(T[i], 0);
}

TEST(DIBWriter, ArgumentAndRowErrors) {
    TBitmap B;
    for (TPixelFormat F : {pf1bit, pf4bit, pf15bit, pf16bit, pf32bit, pfDevice, pfCustom}) {
        try {
            TDIBWriter W(&B, F, 2, 2, nullptr);
            FAIL() << int(F);
        } catch (const GIFException& E) {
            EXPECT_STREQ(E.what(), "Unsupported PixelFormat");
        }
    }
    for (auto [W, H] : {std::pair{0, 5}, {5, 0}, {-1, 5}, {5, -3}}) {
        try {
            TDIBWriter Wr(&B, pf8bit, W, H, nullptr);
            FAIL() << W << "x" << H;
        } catch (const GIFException& E) {
            EXPECT_STREQ(E.what(), "Invalid image dimensions");
        }
    }
    TDIBWriter W(&B, pf8bit, 4, 3, nullptr);
    for (int Row : {-1, 3}) {
        try {
            W.RowAddress(Row);
            FAIL() << Row;
        } catch (const EInvalidGraphicOperation& E) {
            EXPECT_STREQ(E.what(), "Scan line index out of range");
        }
    }
}

TEST(DIBWriter, DestroyStoresTheDIBIntoTheBitmap) {
    TBitmap B;
    {
        TDIBWriter W(&B, pf8bit, 3, 2, CubePalette(216));
        static_cast<uint8_t*>(W.RowAddress(0))[0] = 5;
        static_cast<uint8_t*>(W.RowAddress(0))[2] = 7;
        std::memset(W.RowAddress(1), 215, 3);
        EXPECT_TRUE(B.Empty()); // the bitmap changes only at the end
    }
    ASSERT_EQ(B.Width(), 3);
    ASSERT_EQ(B.Height(), 2);
    EXPECT_EQ(B.PixelFormat(), pf8bit);
    auto* R0 = static_cast<uint8_t*>(B.ScanLine(0));
    EXPECT_EQ(R0[0], 5);
    EXPECT_EQ(R0[2], 7);
    EXPECT_EQ(static_cast<uint8_t*>(B.ScanLine(1))[1], 215);
    RGBQUAD T[256];
    ASSERT_EQ(GetDIBColorTable(B.Canvas().Handle(), 0, 256, T), 256u);
    EXPECT_EQ(T[215], (RGBQUAD{255, 255, 255, 0}));
    EXPECT_EQ(T[216], (RGBQUAD{0, 0, 0, 0}));

    TBitmap C;
    {
        TDIBWriter W(&C, pf24bit, 2, 2, nullptr);
        auto* P = static_cast<uint8_t*>(W.RowAddress(1));
        P[0] = 1, P[1] = 2, P[2] = 3;
        std::memset(W.RowAddress(0), 9, 6);
    }
    EXPECT_EQ(C.PixelFormat(), pf24bit);
    EXPECT_EQ(C.Canvas().Pixels(0, 1), TColor(RGB(3, 2, 1)));
}

TEST(DIBWriter, WithoutRowsTheBitmapStaysAsItWas) {
    TBitmap B(4, 4, pf24bit);
    B.Canvas().Brush().SetColor(clRed);
    B.Canvas().FillRect(Rect(0, 0, 4, 4));
    { TDIBWriter W(&B, pf8bit, 9, 9, nullptr); }
    EXPECT_EQ(B.Width(), 4);
    EXPECT_EQ(B.PixelFormat(), pf24bit);
    EXPECT_EQ(B.Canvas().Pixels(3, 3), clRed);
}

TEST(DIBWriter, StoreReleasesTheGlobalBlock) {
    TBitmap B;
    TDIBWriter W(&B, pf8bit, 2, 2, nullptr);
    W.RowAddress(0);
    const void* P = W.PixelBlock();
    EXPECT_TRUE(GlobalHandle(P));
    W.Store();
    EXPECT_FALSE(GlobalHandle(P));
    EXPECT_EQ(W.PixelBlock(), nullptr);
    EXPECT_EQ(B.Width(), 2);
}

TEST(DIBWriter, TheBitmapTakesThePixelBlockOver) {
    // No copy: the block the rows were written into holds the bitmap's rows, top row first.
    TBitmap B;
    TDIBWriter W(&B, pf8bit, 3, 3, nullptr);
    for (int Y = 0; Y < 3; ++Y) std::memset(W.RowAddress(Y), 10 * Y + 1, 3);
    const void* Block = W.PixelBlock();
    W.Store();
    EXPECT_EQ(B.ScanLine(0), Block);
    for (int Y = 0; Y < 3; ++Y) EXPECT_EQ(static_cast<uint8_t*>(B.ScanLine(Y))[2], 10 * Y + 1);
}

TEST(DIBWriter, ImportantColorsSurviveSavingAndLoading) {
    // The writer marks the palette's entries important; the bitmap keeps that count through
    // its own BMP files.
    TBitmap B;
    {
        TDIBWriter W(&B, pf8bit, 2, 2, CubePalette(216));
        std::memset(W.RowAddress(0), 0, 2);
        std::memset(W.RowAddress(1), 215, 2);
    }
    EXPECT_EQ(B.Handle()->ClrImportant, 216u);
    TMemoryStream Saved;
    B.SaveToStream(Saved);
    BITMAPINFOHEADER H;
    std::memcpy(&H, Saved.Bytes().data() + 14, sizeof H);
    EXPECT_EQ(H.biClrUsed, 256u);
    EXPECT_EQ(H.biClrImportant, 216u);

    TBitmap Reloaded;
    Saved.SetPosition(0);
    Reloaded.LoadFromStream(Saved);
    EXPECT_EQ(Reloaded.Handle()->ClrImportant, 216u);
    TMemoryStream Again;
    Reloaded.SaveToStream(Again);
    EXPECT_EQ(Again.Bytes(), Saved.Bytes());

    // A table set from a palette says nothing about importance any more.
    Reloaded.SetPalette(CubePalette(16));
    EXPECT_EQ(Reloaded.Handle()->ClrImportant, 0u);
}

TEST(DIBReader, ConvertsTheBitmapAndKeepsTheFormat) {
    TBitmap B(3, 2, pf8bit);
    static_cast<uint8_t*>(B.ScanLine(0))[1] = 10 + 5 * 36; // (255, 0, 0) in the halftone cube
    {
        TDIBReader R(&B, pf24bit);
        auto* P = static_cast<uint8_t*>(R.RowAddress(0));
        EXPECT_EQ(P[3], 0);
        EXPECT_EQ(P[4], 0);
        EXPECT_EQ(P[5], 255);
        EXPECT_THROW(R.RowAddress(2), EInvalidGraphicOperation);
    }
    EXPECT_EQ(B.PixelFormat(), pf24bit);
}

TEST(DIBReader, MonochromeMaskReadAsEightBit) {
    // A mask bitmap read at 8 bits keeps 0 for clear pixels and a non-zero value for set ones.
    const uint16_t Bits[2] = {0x00A0, 0x0040}; // rows of whole words; bits 1010 / 0100
    HBITMAP M = CreateBitmap(4, 2, 1, 1, Bits);
    TBitmap B;
    B.SetHandle(M);
    EXPECT_EQ(B.PixelFormat(), pf1bit);
    TDIBReader R(&B, pf8bit);
    auto* R0 = static_cast<uint8_t*>(R.RowAddress(0));
    auto* R1 = static_cast<uint8_t*>(R.RowAddress(1));
    EXPECT_NE(R0[0], 0);
    EXPECT_EQ(R0[1], 0);
    EXPECT_NE(R0[2], 0);
    EXPECT_EQ(R0[3], 0);
    EXPECT_EQ(R1[0], 0);
    EXPECT_NE(R1[1], 0);
}
