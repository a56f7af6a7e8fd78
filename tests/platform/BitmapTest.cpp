#include "platform/Bmp.h"
#include "platform/Graphics.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace mv;

namespace {

// A 24-bit bitmap with a gradient of distinct colors.
std::unique_ptr<TBitmap> Gradient(int W, int H) {
    auto B = std::make_unique<TBitmap>();
    B->SetPixelFormat(pf24bit);
    B->SetSize(W, H);
    for (int y = 0; y < H; ++y) {
        auto* P = static_cast<uint8_t*>(B->ScanLine(y));
        for (int x = 0; x < W; ++x) {
            P[3 * x] = uint8_t(x * 37 + y);
            P[3 * x + 1] = uint8_t(y * 53 + x);
            P[3 * x + 2] = uint8_t(x * y + 11);
        }
    }
    return B;
}

} // namespace

TEST(Bitmap, EightBitGetsTheHalftonePalette) {
    TBitmap B;
    B.SetWidth(5);
    B.SetHeight(3);
    B.SetPixelFormat(pf8bit);
    EXPECT_EQ(B.PixelFormat(), pf8bit);
    EXPECT_EQ(B.HandleType(), bmDIB);
    HPALETTE P = B.Palette();
    ASSERT_TRUE(P);
    std::vector<TPaletteEntry> E(256), H(256);
    ASSERT_EQ(GetPaletteEntries(P, 0, 256, E.data()), 256u);
    GetPaletteEntries(CreateHalftonePalette(nullptr), 0, 256, H.data());
    EXPECT_EQ(E, H);
    RGBQUAD T[256];
    EXPECT_EQ(GetDIBColorTable(B.Canvas().Handle(), 0, 256, T), 256u);
    EXPECT_EQ(T[215 + 10].rgbRed, 255);
}

TEST(Bitmap, ScanLineRangeAndRowOrder) {
    auto B = Gradient(4, 3);
    EXPECT_THROW(B->ScanLine(-1), EInvalidGraphicOperation);
    try {
        B->ScanLine(3);
        FAIL();
    } catch (const EInvalidGraphicOperation& E) {
        EXPECT_STREQ(E.what(), "Scan line index out of range");
    }
    // Row 0 is the top row.
    EXPECT_EQ(B->Canvas().Pixels(1, 0),
              TColor(RGB(uint8_t(1 * 0 + 11), uint8_t(0 * 53 + 1), uint8_t(37))));
}

TEST(Bitmap, BmpRoundTripEveryFormat) {
    for (TPixelFormat F : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        auto B = Gradient(7, 5);
        B->SetPixelFormat(F);
        ASSERT_EQ(B->PixelFormat(), F);
        TMemoryStream S;
        B->SaveToStream(S);
        S.SetPosition(0);
        TBitmap C;
        C.LoadFromStream(S);
        EXPECT_EQ(C.PixelFormat(), F) << int(F);
        ASSERT_EQ(C.Width(), 7);
        ASSERT_EQ(C.Height(), 5);
        for (int y = 0; y < 5; ++y)
            EXPECT_EQ(std::memcmp(C.ScanLine(y), B->ScanLine(y), size_t(C.Image()->Stride)), 0)
                << int(F) << " row " << y;
        EXPECT_EQ(C.Image()->ColorTable, B->Image()->ColorTable);
    }
}
