// Device contexts and raster operations: sampling, color mapping, raster codes, monochrome
// conversions and masks.
#include "platform/Graphics.h"

#include <gtest/gtest.h>

#include <random>

using namespace mv;

namespace {

// A 24-bit bitmap whose pixel (x, y) has color F(x, y).
template <class Fn> std::unique_ptr<TBitmap> Make24(int W, int H, Fn F) {
    auto B = std::make_unique<TBitmap>(W, H, pf24bit);
    for (int y = 0; y < H; ++y) {
        auto* P = static_cast<uint8_t*>(B->ScanLine(y));
        for (int x = 0; x < W; ++x) {
            COLORREF C = F(x, y);
            P[3 * x] = GetBValue(C);
            P[3 * x + 1] = GetGValue(C);
            P[3 * x + 2] = GetRValue(C);
        }
    }
    return B;
}

COLORREF Pixel(TBitmap& B, int X, int Y) {
    return COLORREF(B.Canvas().Pixels(X, Y));
}

} // namespace

TEST(StretchBlt, ColorOnColorSamplesColumnsAndRows) {
    auto Src = Make24(10, 7, [](int x, int y) { return RGB(uint8_t(x), uint8_t(y), 0); });
    struct {
        int W, H;
    } Sizes[] = {{4, 3}, {7, 11}, {10, 7}, {23, 2}, {1, 1}};
    for (auto S : Sizes) {
        TBitmap D(S.W, S.H, pf24bit);
        HDC DC = D.Canvas().Handle();
        EXPECT_EQ(SetStretchBltMode(DC, COLORONCOLOR), BLACKONWHITE);
        ASSERT_TRUE(StretchBlt(DC, 0, 0, S.W, S.H, Src->Canvas().Handle(), 0, 0, 10, 7, SRCCOPY));
        for (int y = 0; y < S.H; ++y)
            for (int x = 0; x < S.W; ++x) {
                int sx = ((2 * x + 1) * 10) / (2 * S.W), sy = ((2 * y + 1) * 7) / (2 * S.H);
                ASSERT_EQ(Pixel(D, x, y), RGB(uint8_t(sx), uint8_t(sy), 0)) << S.W << "x" << S.H;
            }
    }
}

TEST(StretchBlt, IntoHalftoneBitmapMapsExactly) {
    std::mt19937 Rng(3);
    auto Src = Make24(97, 61, [&](int, int) { return COLORREF(Rng() & 0xFFFFFF); });
    TBitmap D(40, 30, pf8bit);
    HDC DC = D.Canvas().Handle();
    SetStretchBltMode(DC, COLORONCOLOR);
    ASSERT_TRUE(StretchBlt(DC, 0, 0, 40, 30, Src->Canvas().Handle(), 0, 0, 97, 61, SRCCOPY));
    TColorMapper Brute(D.Image()->ColorTable);
    for (int y = 0; y < 30; ++y) {
        auto* Row = static_cast<uint8_t*>(D.ScanLine(y));
        for (int x = 0; x < 40; ++x) {
            COLORREF C = Pixel(*Src, (2 * x + 1) * 97 / 80, (2 * y + 1) * 61 / 60);
            ASSERT_EQ(Row[x], Brute.MapSlow(GetRValue(C), GetGValue(C), GetBValue(C)));
        }
    }
}

TEST(StretchBlt, MirrorsAndClips) {
    auto Src = Make24(4, 1, [](int x, int) { return RGB(uint8_t(10 * x), 0, 0); });
    TBitmap D(4, 1, pf24bit);
    StretchBlt(D.Canvas().Handle(), 3, 0, -4, 1, Src->Canvas().Handle(), 0, 0, 4, 1, SRCCOPY);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(Pixel(D, x, 0), RGB(uint8_t(10 * (3 - x)), 0, 0));
    // Partly outside the destination: the rest is drawn, nothing is written outside.
    TBitmap E(3, 1, pf24bit);
    EXPECT_TRUE(BitBlt(E.Canvas().Handle(), -2, 0, 4, 1, Src->Canvas().Handle(), 0, 0, SRCCOPY));
    EXPECT_EQ(Pixel(E, 0, 0), RGB(20, 0, 0));
    EXPECT_EQ(Pixel(E, 1, 0), RGB(30, 0, 0));
    EXPECT_EQ(Pixel(E, 2, 0), 0u);
}

TEST(StretchBlt, ShrinkingBlackOnWhiteAndsWhiteOnBlackOrs) {
    auto Src = Make24(2, 1, [](int x, int) { return x ? COLORREF(0x0F0F0F) : COLORREF(0x3C3CFF); });
    TBitmap D(1, 1, pf24bit);
    HDC DC = D.Canvas().Handle();
    StretchBlt(DC, 0, 0, 1, 1, Src->Canvas().Handle(), 0, 0, 2, 1, SRCCOPY);
    EXPECT_EQ(Pixel(D, 0, 0), 0x0F0F0Fu & 0x3C3CFFu);
    SetStretchBltMode(DC, WHITEONBLACK);
    StretchBlt(DC, 0, 0, 1, 1, Src->Canvas().Handle(), 0, 0, 2, 1, SRCCOPY);
    EXPECT_EQ(Pixel(D, 0, 0), 0x0F0F0Fu | 0x3C3CFFu);
    SetStretchBltMode(DC, HALFTONE);
    StretchBlt(DC, 0, 0, 1, 1, Src->Canvas().Handle(), 0, 0, 2, 1, SRCCOPY);
    EXPECT_EQ(Pixel(D, 0, 0), RGB(0x87, 0x26, 0x26)); // averaged, rounded
}

TEST(BitBlt, RasterOperations) {
    const COLORREF S = 0x0F33CC, D = 0x5A5A5A;
    struct {
        uint32_t Rop;
        COLORREF Want;
    } Cases[] = {
        {SRCCOPY, S},
        {SRCAND, S & D},
        {SRCPAINT, S | D},
        {SRCINVERT, S ^ D},
        {NOTSRCCOPY, ~S & 0xFFFFFF},
        {DSTCOPY, D},
        {BLACKNESS, 0},
        {WHITENESS, 0xFFFFFF},
        {SRCERASE, S & (~D & 0xFFFFFF)},
    };
    auto Src = Make24(2, 2, [&](int, int) { return S; });
    for (auto C : Cases) {
        auto Dst = Make24(2, 2, [&](int, int) { return D; });
        ASSERT_TRUE(
            BitBlt(Dst->Canvas().Handle(), 0, 0, 2, 2, Src->Canvas().Handle(), 0, 0, C.Rop));
        EXPECT_EQ(Pixel(*Dst, 1, 1), C.Want) << std::hex << C.Rop;
    }
}

TEST(BitBlt, MonochromeAndColor) {
    // Monochrome to color: 0 takes the text color, 1 the background color of the destination.
    const uint16_t Bits[1] = {0x0040}; // 0100 0000: pixel 1 set
    HBITMAP M = CreateBitmap(3, 1, 1, 1, Bits);
    HDC MDC = CreateCompatibleDC(nullptr);
    ASSERT_TRUE(SelectObject(MDC, M));
    TBitmap C(3, 1, pf24bit);
    HDC CDC = C.Canvas().Handle();
    SetTextColor(CDC, 0x0000FF);
    SetBkColor(CDC, 0x00FF00);
    BitBlt(CDC, 0, 0, 3, 1, MDC, 0, 0, SRCCOPY);
    EXPECT_EQ(Pixel(C, 0, 0), 0x0000FFu);
    EXPECT_EQ(Pixel(C, 1, 0), 0x00FF00u);

    // Color to monochrome: pixels of the source's background color become 1.
    SetBkColor(CDC, 0x0000FF);
    HBITMAP M2 = CreateBitmap(3, 1, 1, 1, nullptr);
    HDC M2DC = CreateCompatibleDC(nullptr);
    SelectObject(M2DC, M2);
    BitBlt(M2DC, 0, 0, 3, 1, CDC, 0, 0, SRCCOPY);
    EXPECT_EQ(M2->PixelColor(0, 0), 0xFFFFFFu);
    EXPECT_EQ(M2->PixelColor(1, 0), 0u);
    EXPECT_EQ(M2->PixelColor(2, 0), 0xFFFFFFu);
    DeleteDC(MDC);
    DeleteDC(M2DC);
}

TEST(MaskBlt, SetBitsKeepTheDestination) {
    auto Src = Make24(4, 1, [](int, int) { return COLORREF(0x112233); });
    auto Dst = Make24(4, 1, [](int, int) { return COLORREF(0x445566); });
    const uint16_t Bits[1] = {0x00A0}; // 1010
    HBITMAP Mask = CreateBitmap(4, 1, 1, 1, Bits);
    ASSERT_TRUE(MaskBlt(Dst->Canvas().Handle(), 0, 0, 4, 1, Src->Canvas().Handle(), 0, 0, Mask, 0,
                        0, MakeROP4(DSTCOPY, SRCCOPY)));
    EXPECT_EQ(Pixel(*Dst, 0, 0), 0x445566u);
    EXPECT_EQ(Pixel(*Dst, 1, 0), 0x112233u);
    EXPECT_EQ(Pixel(*Dst, 2, 0), 0x445566u);
    EXPECT_EQ(Pixel(*Dst, 3, 0), 0x112233u);
}

TEST(DeviceContexts, ObjectsSelectionAndCaps) {
    HDC Screen = GetDC(nullptr);
    ASSERT_TRUE(Screen);
    EXPECT_EQ(GetObjectType(Screen), OBJ_DC);
    EXPECT_EQ(GetDeviceCaps(Screen, PLANES), 1);
    int Bits = GetDeviceCaps(Screen, BITSPIXEL);
    EXPECT_EQ(Bits, ScreenBitsPerPixel());
    HDC Mem = CreateCompatibleDC(Screen);
    EXPECT_EQ(GetObjectType(Mem), OBJ_MEMDC);
    HBITMAP B = CreateCompatibleBitmap(Screen, 2, 2);
    EXPECT_FALSE(B->Monochrome);
    HGDIOBJ Old = SelectObject(Mem, B);
    ASSERT_TRUE(Old);
    EXPECT_EQ(GetObjectType(Old), OBJ_BITMAP);
    // A bitmap sits in one DC at a time.
    HDC Mem2 = CreateCompatibleDC(nullptr);
    EXPECT_FALSE(SelectObject(Mem2, B));
    EXPECT_EQ(SelectObject(Mem, Old), B);
    EXPECT_TRUE(SelectObject(Mem2, B));
    // The palette selection answers the previous palette.
    HPALETTE P = CreateHalftonePalette(Screen);
    EXPECT_EQ(SelectPalette(Mem, P, false), DefaultPalette());
    EXPECT_EQ(SelectPalette(Mem, DefaultPalette(), false), P);
    EXPECT_TRUE(DeleteDC(Mem));
    EXPECT_FALSE(Mem);
    EXPECT_EQ(ReleaseDC(nullptr, Screen), 1);
    // Monochrome bitmaps from words.
    const uint8_t Rows[4] = {0xFF, 0x80, 0x00, 0x01}; // 9 pixels: rows of one 16-bit word... two
    HBITMAP M = CreateBitmap(9, 2, 1, 1, Rows);
    EXPECT_EQ(M->PixelColor(8, 0), 0xFFFFFFu);
    EXPECT_EQ(M->PixelColor(7, 1), 0u);
    EXPECT_EQ(M->PixelColor(0, 1), 0u);
    EXPECT_FALSE(CreateBitmap(-1, 2, 1, 1, nullptr));
}

TEST(DeviceContexts, EightBitScreenForTests) {
    int Was = ScreenBitsPerPixel();
    SetScreenBitsPerPixel(8);
    HDC S = GetDC(nullptr);
    EXPECT_EQ(GetDeviceCaps(S, BITSPIXEL) * GetDeviceCaps(S, PLANES), 8);
    EXPECT_EQ(GetDeviceCaps(S, RASTERCAPS) & RC_PALETTE, RC_PALETTE);
    SelectPalette(S, CreateHalftonePalette(S), false);
    EXPECT_GT(RealizePalette(S), 0u);
    SetScreenBitsPerPixel(Was);
    EXPECT_EQ(RealizePalette(S), Was > 8 ? 0u : RealizePalette(S));
    ReleaseDC(nullptr, S);
}

TEST(BitmapFormats, ConversionsMapExactlyAndExpand) {
    std::mt19937 Rng(11);
    auto B = Make24(33, 9, [&](int, int) { return COLORREF(Rng() & 0xFFFFFF); });
    auto Copy = std::make_unique<TBitmap>();
    Copy->Assign(B.get());
    B->SetPixelFormat(pf8bit);
    ASSERT_EQ(B->PixelFormat(), pf8bit);
    TColorMapper Brute(PaletteToColorTable(CreateHalftonePalette(nullptr)));
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 33; ++x) {
            COLORREF C = Pixel(*Copy, x, y);
            ASSERT_EQ(static_cast<uint8_t*>(B->ScanLine(y))[x],
                      Brute.MapSlow(GetRValue(C), GetGValue(C), GetBValue(C)));
        }
    // Back to 24 bits: the palette colors.
    COLORREF Before = Pixel(*B, 5, 5);
    B->SetPixelFormat(pf24bit);
    EXPECT_EQ(Pixel(*B, 5, 5), Before);
    // 4 bits gets the 16 classic colors; 1 bit black and white.
    B->SetPixelFormat(pf4bit);
    EXPECT_EQ(B->Image()->ColorTable.size(), 16u);
    B->SetPixelFormat(pf1bit);
    COLORREF P = Pixel(*B, 0, 0);
    EXPECT_TRUE(P == 0 || P == 0xFFFFFF);
    // 16 bits keeps 5 bits a channel.
    auto G = Make24(1, 1, [](int, int) { return RGB(255, 128, 9); });
    G->SetPixelFormat(pf16bit);
    EXPECT_EQ(Pixel(*G, 0, 0), RGB(255, 130, 8));
    EXPECT_THROW(G->SetPixelFormat(pfCustom), EInvalidGraphic);
}

TEST(BitmapFormats, IndexedToDeeperIndexedKeepsIndices) {
    TBitmap B(5, 1, pf4bit);
    auto* P = static_cast<uint8_t*>(B.ScanLine(0));
    P[0] = 0x3F; // pixels 3 and 15
    B.SetPixelFormat(pf8bit);
    EXPECT_EQ(static_cast<uint8_t*>(B.ScanLine(0))[0], 3);
    EXPECT_EQ(static_cast<uint8_t*>(B.ScanLine(0))[1], 15);
    EXPECT_EQ(B.Image()->ColorTable.size(), 16u);
}

TEST(BitmapFormats, DeviceBitmaps) {
    TBitmap B(3, 3, pf24bit);
    B.Canvas().Brush().SetColor(clTeal);
    B.Canvas().FillRect(Rect(0, 0, 3, 3));
    B.SetHandleType(bmDDB);
    EXPECT_EQ(B.HandleType(), bmDDB);
    EXPECT_EQ(B.PixelFormat(), pfDevice);
    RGBQUAD T[4];
    EXPECT_EQ(GetDIBColorTable(B.Canvas().Handle(), 0, 4, T), 0u);
    EXPECT_EQ(B.Canvas().Pixels(2, 2), clTeal);
    B.ScanLine(0); // row access needs a DIB
    EXPECT_EQ(B.HandleType(), bmDIB);
    EXPECT_EQ(B.PixelFormat(), pf32bit);
    EXPECT_EQ(B.Canvas().Pixels(2, 2), clTeal);
    TBitmap N(2, 2);
    EXPECT_EQ(N.PixelFormat(), pfDevice);
    // An 8-bit bitmap made a device bitmap keeps its colors as its palette.
    TBitmap E(2, 2, pf8bit);
    E.SetHandleType(bmDDB);
    HPALETTE P = E.Palette();
    ASSERT_TRUE(P);
    EXPECT_EQ(GetPaletteEntries(P, 0, 0, nullptr), 256u);
}

TEST(BitmapTransparency, AutoColorMaskAndDraw) {
    auto B = Make24(
        3, 2, [](int x, int y) { return (x + y) % 2 ? COLORREF(0x00FF00) : COLORREF(0x123456); });
    // Automatic: the bottom-left pixel's color.
    EXPECT_EQ(B->TransparentMode(), tmAuto);
    EXPECT_EQ(B->TransparentColor(), TColor(0x00FF00));
    HBITMAP M = B->MaskHandle();
    ASSERT_TRUE(M);
    EXPECT_TRUE(M->Monochrome);
    EXPECT_EQ(M->PixelColor(0, 1), 0xFFFFFFu); // transparent pixels are set
    EXPECT_EQ(M->PixelColor(0, 0), 0u);
    B->SetTransparentColor(0x123456);
    EXPECT_EQ(B->TransparentMode(), tmFixed);
    EXPECT_EQ(B->MaskHandle()->PixelColor(0, 0), 0xFFFFFFu);

    B->SetTransparent(true);
    TBitmap Dst(6, 4, pf24bit);
    Dst.Canvas().Brush().SetColor(clRed);
    Dst.Canvas().FillRect(Rect(0, 0, 6, 4));
    Dst.Canvas().StretchDraw(Rect(0, 0, 6, 4), B.get()); // doubled
    EXPECT_EQ(Dst.Canvas().Pixels(0, 0), clRed);         // (0,0) had the transparent color
    EXPECT_EQ(Dst.Canvas().Pixels(2, 0), TColor(0x00FF00));
    EXPECT_EQ(Dst.Canvas().Pixels(3, 1), TColor(0x00FF00));
}

TEST(BitmapAssign, DeepCopyAndRefusals) {
    auto B = Make24(2, 2, [](int, int) { return COLORREF(0x0A0B0C); });
    TBitmap C;
    C.Assign(B.get());
    EXPECT_NE(C.Handle(), B->Handle());
    static_cast<uint8_t*>(B->ScanLine(0))[0] = 0;
    EXPECT_EQ(C.Canvas().Pixels(0, 0), TColor(0x0A0B0C));
    TStringList L;
    try {
        C.Assign(&L);
        FAIL();
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "Cannot assign a TStringList to a TBitmap");
    }
    HBITMAP H = C.ReleaseHandle();
    EXPECT_TRUE(H);
    EXPECT_TRUE(C.Empty());
    EXPECT_EQ(H->Width, 2);
}

TEST(Canvas, FillPixelsChangeAndLock) {
    TBitmap B(4, 4, pf8bit);
    int Changes = 0;
    B.OnChange = [&](TObject*) { ++Changes; };
    B.Canvas().Brush().SetColor(RGB(250, 5, 5)); // nearest halftone color: pure red
    B.Canvas().FillRect(Rect(1, 1, 3, 3));
    EXPECT_GT(Changes, 0);
    EXPECT_EQ(B.Canvas().Pixels(1, 1), clRed);
    EXPECT_EQ(B.Canvas().Pixels(0, 0), clBlack);
    EXPECT_EQ(B.Canvas().ClipRect(), Rect(0, 0, 4, 4));
    B.Canvas().SetPixels(0, 0, clWhite);
    EXPECT_EQ(B.Canvas().Pixels(0, 0), clWhite);
    EXPECT_EQ(B.Canvas().Pixels(9, 9), -1);
    B.Canvas().Lock();
    B.Canvas().Lock();
    EXPECT_EQ(B.Canvas().LockCount(), 2);
    B.Canvas().Unlock();
    B.Canvas().Unlock();
    EXPECT_TRUE(B.Canvas().TryLock());
    B.Canvas().Unlock();
    // CopyRect stretches through the copy mode.
    TBitmap D(2, 2, pf24bit);
    SetStretchBltMode(D.Canvas().Handle(), COLORONCOLOR);
    D.Canvas().CopyRect(Rect(0, 0, 2, 2), B.Canvas(), Rect(0, 0, 4, 4));
    EXPECT_EQ(D.Canvas().Pixels(0, 0), clRed);   // source (1, 1)
    EXPECT_EQ(D.Canvas().Pixels(1, 1), clBlack); // source (3, 3)
}
