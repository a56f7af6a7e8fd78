#include "platform/Bmp.h"
#include "platform/Graphics.h"

#include <gtest/gtest.h>

#include <cstdio>
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

TEST(Bitmap, SetPaletteReplacesTheTableAndKeepsIndices) {
    TBitmap B(2, 1, pf8bit);
    static_cast<uint8_t*>(B.ScanLine(0))[1] = 1;
    TPaletteEntry E[2] = {{10, 20, 30, 0}, {40, 50, 60, 0}};
    HPALETTE P = CreatePalette(E, 2);
    B.SetPaletteModified(false);
    B.SetPalette(P);
    EXPECT_TRUE(B.PaletteModified());
    EXPECT_EQ(B.Palette(), P); // the handle given is the one answered
    EXPECT_EQ(B.Canvas().Pixels(1, 0), TColor(RGB(40, 50, 60)));
    EXPECT_EQ(static_cast<uint8_t*>(B.ScanLine(0))[1], 1);
    // A 24-bit bitmap keeps a palette it is given, for drawing on palette displays.
    TBitmap C(1, 1, pf24bit);
    EXPECT_FALSE(C.Palette());
    C.SetPalette(P);
    EXPECT_EQ(C.Palette(), P);
}

TEST(Bitmap, SizeFormatOrderAllocatesOnceAndGivesHalftone) {
    // The save command's order: width, height, then the format.
    TBitmap C;
    EXPECT_EQ(C.HandleType(), bmDDB);
    C.SetWidth(640);
    C.SetHeight(457);
    C.SetPixelFormat(pf8bit);
    EXPECT_EQ(C.HandleType(), bmDIB);
    EXPECT_EQ(C.Width(), 640);
    EXPECT_EQ(C.Height(), 457);
    EXPECT_EQ(C.Image(), nullptr); // nothing made yet
    EXPECT_EQ(C.Canvas().Pixels(639, 456), clBlack);
    EXPECT_EQ(C.Image()->BitCount, 8);
    EXPECT_EQ(C.Image()->ColorTable, PaletteToColorTable(CreateHalftonePalette(nullptr)));
    // Growing keeps what fits.
    C.Canvas().SetPixels(3, 3, clWhite);
    C.SetSize(700, 500);
    EXPECT_EQ(C.Canvas().Pixels(3, 3), clWhite);
    EXPECT_EQ(C.PixelFormat(), pf8bit);
    EXPECT_THROW(C.SetWidth(-1), EInvalidGraphicOperation);
}

TEST(Bitmap, LoadIntoTheSameGeometryReusesTheObjectSafely) {
    auto A = Gradient(6, 4);
    TMemoryStream S;
    A->SaveToStream(S);
    TBitmap B(6, 4, pf24bit);
    B.Canvas().Brush().SetColor(clRed);
    B.Canvas().FillRect(Rect(0, 0, 6, 4));
    HBITMAP Held = B.Handle(); // someone else holds the object: it must not change
    S.SetPosition(0);
    B.LoadFromStream(S);
    EXPECT_NE(B.Handle(), Held);
    EXPECT_EQ(Held->PixelColor(0, 0), COLORREF(clRed));
    Held.reset();
    // Nobody else holds it now: loaded in place, same result.
    HBITMAP Before = B.Image();
    Before.reset();
    S.SetPosition(0);
    B.LoadFromStream(S);
    EXPECT_TRUE(B.Equals(A.get()));
    // A stream that ends inside the pixels: header checks pass... but the data is short, so
    // the error comes before anything is written, and the bitmap keeps its picture.
    TMemoryStream Short;
    Short.WriteBuffer(S.Memory(), S.Size() - 20);
    Short.SetPosition(0);
    EXPECT_THROW(B.LoadFromStream(Short), EInvalidGraphic);
    EXPECT_TRUE(B.Equals(A.get()));
}

TEST(Bitmap, FilesAndEquality) {
    auto A = Gradient(3, 3);
    std::string Name = testing::TempDir() + "/mv_bitmap_equals.bmp";
    A->SaveToFile(Name);
    TBitmap B;
    B.LoadFromFile(Name);
    EXPECT_TRUE(B.Equals(A.get()));
    static_cast<uint8_t*>(B.ScanLine(1))[0] ^= 1;
    EXPECT_FALSE(B.Equals(A.get()));
    TBitmap E1, E2;
    EXPECT_TRUE(E1.Equals(&E2));
    std::remove(Name.c_str());
    EXPECT_THROW(B.LoadFromFile(Name), EFOpenError);
}

TEST(Bitmap, ConvertingAWrappedHandleLeavesItsOwnerAlone) {
    // A mask wrapped in a temporary bitmap, read at 8 bits and released again: the owner's
    // monochrome mask is unchanged.
    auto A = Gradient(4, 2);
    HBITMAP Mask = A->MaskHandle();
    {
        TBitmap Wrapper;
        Wrapper.SetHandle(Mask);
        Wrapper.SetPixelFormat(pf8bit);
        EXPECT_EQ(Wrapper.PixelFormat(), pf8bit);
        EXPECT_NE(static_cast<uint8_t*>(Wrapper.ScanLine(1))[0], 0); // bottom-left: transparent
        Wrapper.ReleaseHandle();
    }
    EXPECT_TRUE(Mask->Monochrome);
    EXPECT_EQ(Mask->BitCount, 1);
    EXPECT_EQ(A->MaskHandle(), Mask);
}
