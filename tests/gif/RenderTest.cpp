// Frame rendering and drawing, and the image as one picture: composite bitmap, palette,
// assignment to bitmaps, clipboard.
#include "gif/GIFImage.h"
#include "gif/GIFRender.h"

#include "platform/Classes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace mv {
namespace {

constexpr TColor Gray = 0x808080;
constexpr TColor CubeColor = 0x996633; // (51, 102, 153): cube entry 36 + 12 + 3 = 51

// A frame owned by Image, placed and filled with Fill, with the local map Colors, added to
// the image.
TGIFSubImage* AddFrame(TGIFImage& Image, uint16_t L, uint16_t T, uint16_t W, uint16_t H,
                       std::initializer_list<TColor> Colors, uint8_t Fill = 0) {
    auto Frame = std::make_unique<TGIFSubImage>(&Image);
    for (TColor C : Colors) Frame->LocalMap().Append(C);
    Frame->Place(L, T, W, H);
    std::memset(Frame->IndexData(), Fill, static_cast<size_t>(W) * H);
    TGIFSubImage* Result = Frame.get();
    Image.AddFrame(std::move(Frame));
    return Result;
}

void SetPixels(TGIFSubImage* Frame, std::initializer_list<uint8_t> Indices) {
    ASSERT_EQ(Indices.size(), static_cast<size_t>(Frame->IndexSize()));
    std::copy(Indices.begin(), Indices.end(), Frame->IndexData());
}

void MakeTransparent(TGIFSubImage* Frame, uint8_t Slot) {
    auto* Control = new TGIFGraphicControlExtension(Frame);
    Frame->ExtensionList().Append(std::unique_ptr<TGIFItem>(Control));
    Control->SetUsesTransparency(true);
    Control->SetTransparentSlot(Slot);
}

// The screen's depth (and with it the library's palette-display flag) for a scope.
class TScreenDepth {
public:
    explicit TScreenDepth(int Bits) : FBits(ScreenBitsPerPixel()), FPaletteDisplay(PaletteDisplay) {
        SetScreenBitsPerPixel(Bits);
        PaletteDisplay = Bits <= 8;
    }
    ~TScreenDepth() {
        SetScreenBitsPerPixel(FBits);
        PaletteDisplay = FPaletteDisplay;
    }

private:
    int FBits;
    bool FPaletteDisplay;
};

struct TReport {
    TObject* Sender;
    TProgressStage Stage;
    int Percent;
    bool Redraw;
    std::string Message;
};

struct TProgressLog {
    std::vector<TReport> Items;
    // Called before a report is recorded; may throw.
    std::function<void(const TReport&)> Hook;
    void Attach(TGIFImage& Image) {
        Image.OnProgress = [this](TObject* Sender, TProgressStage Stage, uint8_t Percent,
                                  bool Redraw, const TRect& R, const std::string& Message) {
            EXPECT_EQ(R.Left | R.Top | R.Right | R.Bottom, 0);
            TReport Report{Sender, Stage, Percent, Redraw, Message};
            Items.push_back(Report);
            if (Hook) Hook(Report);
        };
    }
};

std::vector<uint8_t> IndicesOf(TBitmap* Bitmap) {
    std::vector<uint8_t> Out;
    for (int32_t Y = 0; Y < Bitmap->Height(); ++Y) {
        auto* Row = static_cast<const uint8_t*>(Bitmap->ScanLine(Y));
        Out.insert(Out.end(), Row, Row + Bitmap->Width());
    }
    return Out;
}

// The colors of a palette's entries (flags left out).
std::vector<TColor> ColorsOf(const HPALETTE& Palette) {
    std::vector<TPaletteEntry> Entries(GetPaletteEntries(Palette, 0, 0, nullptr));
    if (!Entries.empty())
        GetPaletteEntries(Palette, 0, static_cast<uint32_t>(Entries.size()), Entries.data());
    std::vector<TColor> Out;
    for (const TPaletteEntry& E : Entries)
        Out.push_back(TColor{E.peRed} | TColor{E.peGreen} << 8 | TColor{E.peBlue} << 16);
    return Out;
}

// A 24-bit drawing target filled with Color.
struct TTarget {
    TBitmap Bitmap;
    TTarget(int32_t W, int32_t H, TColor Color) : Bitmap(W, H, pf24bit) {
        Bitmap.Canvas().Brush().SetColor(Color);
        Bitmap.Canvas().FillRect(Rect(0, 0, W, H));
    }
    TCanvas& Canvas() { return Bitmap.Canvas(); }
    TColor At(int32_t X, int32_t Y) { return Bitmap.Canvas().Pixels(X, Y); }
};

// ---------------------------------------------------------------------------
// Rendering

TEST(Render, ReportsProgressEveryThirtyTwoRowsOnBothPaths) {
    for (int Bits : {32, 8}) {
        SCOPED_TRACE(Bits);
        TScreenDepth Depth(Bits);
        TGIFImage Image;
        TGIFSubImage* Frame = AddFrame(Image, 0, 0, 3, 100, {clRed, clBlue});
        TProgressLog Log;
        Log.Attach(Image);
        ASSERT_NE(Frame->Rendering(), nullptr);
        const std::vector<std::pair<TProgressStage, int>> Expected = {
            {psStarting, 0}, {psRunning, 0},  {psRunning, 32},
            {psRunning, 64}, {psRunning, 96}, {psEnding, 100}};
        ASSERT_EQ(Log.Items.size(), Expected.size());
        for (size_t i = 0; i < Expected.size(); ++i) {
            EXPECT_EQ(Log.Items[i].Sender, Frame);
            EXPECT_EQ(Log.Items[i].Stage, Expected[i].first) << i;
            EXPECT_EQ(Log.Items[i].Percent, Expected[i].second) << i;
            EXPECT_FALSE(Log.Items[i].Redraw);
            EXPECT_EQ(Log.Items[i].Message, "Rendering...");
        }
        // Cached: nothing more is reported.
        TBitmap* First = Frame->Rendering();
        EXPECT_EQ(Frame->Rendering(), First);
        EXPECT_EQ(Log.Items.size(), Expected.size());
    }
}

TEST(Render, AModifiedPaletteAsksForARedrawAndAnnouncesTheChange) {
    TGIFImage Image;
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 2, 2, {clRed});
    TProgressLog Log;
    Log.Attach(Image);
    int Changes = 0;
    Image.OnChange = [&](TObject*) { ++Changes; };
    Image.SetPaletteModified(true);
    ASSERT_NE(Frame->Rendering(), nullptr);
    ASSERT_FALSE(Log.Items.empty());
    EXPECT_TRUE(Log.Items.back().Redraw);
    EXPECT_EQ(Changes, 1);
}

TEST(Render, AnEmptyFrameHasNoRenderingAndReportsNothing) {
    TGIFImage Image;
    auto Frame = std::make_unique<TGIFSubImage>(&Image);
    TProgressLog Log;
    Log.Attach(Image);
    EXPECT_EQ(Frame->Rendering(), nullptr);
    EXPECT_TRUE(Log.Items.empty());
    TBitmap Bitmap(5, 5, pf24bit);
    Bitmap.Assign(Frame.get());
    EXPECT_TRUE(Bitmap.Empty());
}

TEST(Render, AnAbortingProgressHandlerLeavesNoRendering) {
    for (int Bits : {32, 8}) {
        SCOPED_TRACE(Bits);
        TScreenDepth Depth(Bits);
        TGIFImage Image;
        TGIFSubImage* Frame = AddFrame(Image, 0, 0, 4, 40, {clRed, clBlue});
        Frame->IndexData()[3] = 1;
        MakeTransparent(Frame, 1);
        TProgressLog Log;
        Log.Attach(Image);
        Log.Hook = [](const TReport& R) {
            if (R.Stage == psRunning && R.Percent > 0) Abort();
        };
        EXPECT_EQ(Frame->Rendering(), nullptr);
        EXPECT_FALSE(Frame->HasRendering());
        ASSERT_FALSE(Log.Items.empty());
        EXPECT_EQ(Log.Items.back().Stage, psEnding);
        EXPECT_EQ(Log.Items.back().Percent, 0);

        // From the opening report on.
        Log.Items.clear();
        Log.Hook = [](const TReport& R) {
            if (R.Stage == psStarting) Abort();
        };
        EXPECT_EQ(Frame->Rendering(), nullptr);
        ASSERT_EQ(Log.Items.size(), 2u);
        EXPECT_EQ(Log.Items[1].Stage, psEnding);
        EXPECT_EQ(Log.Items[1].Percent, 0);

        // Any other error passes on, after the same closing report.
        Log.Items.clear();
        Log.Hook = [](const TReport& R) {
            if (R.Stage == psRunning) throw EOutOfResources("no room");
        };
        EXPECT_THROW(Frame->Rendering(), EOutOfResources);
        EXPECT_FALSE(Frame->HasRendering());
        EXPECT_EQ(Log.Items.back().Stage, psEnding);
        EXPECT_EQ(Log.Items.back().Percent, 0);

        // The mask is still owed: the next rendering makes it.
        Log.Hook = nullptr;
        ASSERT_NE(Frame->Rendering(), nullptr);
        EXPECT_NE(Frame->MaskHandle(), nullptr);
        EXPECT_TRUE(Frame->MaskReady());
    }
}

TEST(Render, PlainRenderingCopiesTheIndicesWithTheFramePalette) {
    TScreenDepth Depth(32);
    TGIFImage Image;
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 3, 2, {clRed, CubeColor, clWhite});
    // 9 lies beyond the map: copied as it is.
    SetPixels(Frame, {0, 1, 2, 2, 9, 0});
    TBitmap* Bitmap = Frame->Rendering();
    ASSERT_NE(Bitmap, nullptr);
    EXPECT_EQ(Bitmap->PixelFormat(), pf8bit);
    EXPECT_EQ(IndicesOf(Bitmap), (std::vector<uint8_t>{0, 1, 2, 2, 9, 0}));
    std::vector<TColor> P = ColorsOf(Bitmap->Palette());
    ASSERT_GE(P.size(), 3u);
    EXPECT_EQ(std::vector<TColor>(P.begin(), P.begin() + 3),
              (std::vector<TColor>{clRed, CubeColor, clWhite}));
    EXPECT_EQ(Frame->MaskHandle(), nullptr);
}

// On a palette display the frame is dithered to the cube. Colors that are cube colors carry
// no error, so every pixel is its color's cube entry; transparent pixels hold the cube entry
// of the transparent color, and an index beyond the map is drawn as entry 0.
TEST(Render, APaletteDisplayDithersToTheCube) {
    TScreenDepth Depth(8);
    for (bool Transparent : {false, true}) {
        SCOPED_TRACE(Transparent);
        TGIFImage Image;
        TGIFSubImage* Frame =
            AddFrame(Image, 0, 0, 4, 2, {clRed, CubeColor, clWhite, clLime, clBlue, clBlack});
        SetPixels(Frame, {0, 1, 5, 2, 5, 3, 4, 200});
        if (Transparent) MakeTransparent(Frame, 5);
        TBitmap* Bitmap = Frame->Rendering();
        ASSERT_NE(Bitmap, nullptr);
        EXPECT_EQ(IndicesOf(Bitmap), (std::vector<uint8_t>{180, 51, 0, 215, 0, 30, 5, 180}));
        std::vector<TColor> P = ColorsOf(Bitmap->Palette());
        ASSERT_GE(P.size(), 216u);
        EXPECT_EQ(P[51], CubeColor);
        EXPECT_EQ(P[215], clWhite);
        EXPECT_EQ(Frame->MaskHandle() != nullptr, Transparent);
    }
    // No color map anywhere: every index is black.
    TGIFImage Image;
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 2, 1, {}, 7);
    ASSERT_NE(Frame->Rendering(), nullptr);
    EXPECT_EQ(IndicesOf(Frame->Rendering()), (std::vector<uint8_t>{0, 0}));
}

TEST(Render, DitheringSpreadsTheErrorOfColorsBetweenCubeEntries) {
    TScreenDepth Depth(8);
    TGIFImage Image;
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 8, 8, {0x808080});
    std::vector<uint8_t> Indices = IndicesOf(Frame->Rendering());
    // Gray 128 lies between the cube grays 102 (entry 86) and 153 (entry 129).
    int Dark = 0, Light = 0;
    for (uint8_t I : Indices) {
        Dark += I == 86;
        Light += I == 129;
    }
    EXPECT_GT(Dark, 0);
    EXPECT_GT(Light, 0);
    EXPECT_EQ(Dark + Light, 64);
}

// A painter thread renders ahead under the image's render lock while the main thread drops
// and rebuilds what depends on the frame: neither sees the other's half-made or freed state.
TEST(Render, RenderingAheadOnAnotherThreadIsSafeAgainstDrops) {
    TGIFImage Image;
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 16, 16, {clRed, clBlue}, 0);
    MakeTransparent(Frame, 1);
    Frame->IndexData()[5] = 1;
    std::atomic<bool> Done{false};
    std::thread Ahead([&] {
        while (!Done) {
            std::lock_guard<std::recursive_mutex> Guard(Image.RenderLock());
            TBitmap* Bitmap = Frame->Rendering();
            ASSERT_NE(Bitmap, nullptr);
            for (int32_t Y = 0; Y < Bitmap->Height(); ++Y)
                EXPECT_EQ(static_cast<const uint8_t*>(Bitmap->ScanLine(Y))[5], Y == 0 ? 1 : 0);
        }
    });
    for (int i = 0; i < 300; ++i) {
        Frame->DropRendering();
        if (i % 3 == 0) Frame->DropMask();
        if (i % 5 == 0) Frame->SetPaletteHandle(nullptr);
        TTarget Target(16, 16, Gray);
        Frame->PaintTo(Target.Canvas(), Rect(0, 0, 16, 16), true, false);
        EXPECT_EQ(Target.At(5, 0), Gray);
        EXPECT_NE(Image.CompositeBitmap(), nullptr);
        Image.DropCompositeBitmap();
    }
    Done = true;
    Ahead.join();
}

// ---------------------------------------------------------------------------
// The mask

TEST(RenderMask, RowsOfWholeWordsOneBitPerPixelOnBothPaths) {
    for (int Bits : {32, 8}) {
        SCOPED_TRACE(Bits);
        TScreenDepth Depth(Bits);
        TGIFImage Image;
        TGIFSubImage* Frame = AddFrame(Image, 0, 0, 17, 3, {clRed, clBlue, clLime, clWhite});
        MakeTransparent(Frame, 3);
        uint8_t* P = Frame->IndexData();
        P[9] = 3;                  // row 0, pixel 9
        P[17] = P[17 + 16] = 3;    // row 1, pixels 0 and 16
        P[34 + 7] = P[34 + 8] = 3; // row 2, pixels 7 and 8
        EXPECT_TRUE(Frame->MaskStale());
        ASSERT_TRUE(Frame->MaskReady());
        EXPECT_FALSE(Frame->MaskStale());
        const HBITMAP& Mask = Frame->MaskHandle();
        ASSERT_EQ(Mask->Width, 17);
        ASSERT_EQ(Mask->Height, 3);
        EXPECT_TRUE(Mask->Monochrome);
        const std::vector<std::vector<uint8_t>> Rows = {
            {0x00, 0x40, 0x00, 0x00}, {0x80, 0x00, 0x80, 0x00}, {0x01, 0x80, 0x00, 0x00}};
        for (int Y = 0; Y < 3; ++Y)
            EXPECT_EQ(std::vector<uint8_t>(Mask->Row(Y), Mask->Row(Y) + 4), Rows[Y]) << Y;
        EXPECT_EQ(Mask->PixelColor(9, 0), 0xFFFFFFu);
        EXPECT_EQ(Mask->PixelColor(10, 0), 0u);
    }
    EXPECT_EQ(GIFMaskRowBytes(16), 2);
    EXPECT_EQ(GIFMaskRowBytes(17), 4);
}

TEST(RenderMask, NoMaskWhenTheTransparentIndexIsUnused) {
    TGIFImage Image;
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 3, 2, {clRed, clBlue}, 0);
    MakeTransparent(Frame, 1);
    EXPECT_FALSE(Frame->MaskReady());
    EXPECT_NE(Frame->Rendering(), nullptr);
    EXPECT_FALSE(Frame->MaskStale());
    // Drawn opaque, over the whole rectangle.
    TTarget Target(3, 2, Gray);
    Frame->PaintStretched(Target.Canvas(), Rect(0, 0, 3, 2), true, false);
    for (int Y = 0; Y < 2; ++Y)
        for (int X = 0; X < 3; ++X) EXPECT_EQ(Target.At(X, Y), clRed) << X << "," << Y;
}

TEST(RenderMask, KeptWithoutTheRenderingRebuiltWhenDropped) {
    TGIFImage Image;
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 2, 2, {clRed, clBlue}, 0);
    MakeTransparent(Frame, 1);
    Frame->IndexData()[0] = 1;
    ASSERT_TRUE(Frame->MaskReady());
    TBitmapObject* Mask = Frame->MaskHandle().get();
    // A new rendering alone builds no new mask.
    Frame->DropRendering();
    ASSERT_NE(Frame->Rendering(), nullptr);
    EXPECT_EQ(Frame->MaskHandle().get(), Mask);
    // A dropped mask makes the next check render anew.
    Frame->IndexData()[3] = 1;
    Frame->DropMask();
    EXPECT_TRUE(Frame->MaskStale());
    EXPECT_EQ(Frame->MaskHandle(), nullptr);
    EXPECT_TRUE(Frame->HasRendering());
    ASSERT_TRUE(Frame->MaskReady());
    EXPECT_EQ(Frame->MaskHandle()->PixelColor(1, 1), 0xFFFFFFu);
    EXPECT_EQ(IndicesOf(Frame->Rendered()), (std::vector<uint8_t>{1, 0, 0, 1}));
}

// ---------------------------------------------------------------------------
// Drawing

TEST(RenderDraw, PlaceInRectScalesFromTheLogicalScreen) {
    TGIFImage Image;
    Image.SetWidth(100);
    Image.SetHeight(100);
    TGIFSubImage* Frame = AddFrame(Image, 10, 20, 30, 40, {clRed});
    struct {
        TRect In, Out;
    } const Cases[] = {
        {Rect(0, 0, 200, 50), Rect(20, 10, 80, 30)},
        {Rect(0, 0, 100, 100), Rect(10, 20, 40, 60)},
        {Rect(50, 50, 150, 150), Rect(60, 70, 90, 110)},
        {Rect(0, 0, 33, 33), Rect(3, 7, 13, 20)}, // rounded to the nearest
    };
    for (const auto& C : Cases) {
        TRect R = Frame->PlaceInRect(C.In);
        EXPECT_EQ(R.Left, C.Out.Left);
        EXPECT_EQ(R.Top, C.Out.Top);
        EXPECT_EQ(R.Right, C.Out.Right);
        EXPECT_EQ(R.Bottom, C.Out.Bottom);
    }
    // PaintTo draws the frame there, stretched.
    TTarget Target(200, 50, clWhite);
    Frame->PaintTo(Target.Canvas(), Rect(0, 0, 200, 50), false, false);
    for (int Y = 0; Y < 50; ++Y)
        for (int X = 0; X < 200; ++X) {
            bool Inside = X >= 20 && X < 80 && Y >= 10 && Y < 30;
            ASSERT_EQ(Target.At(X, Y), Inside ? clRed : clWhite) << X << "," << Y;
        }
}

TEST(RenderDraw, AFrameWithoutAnImageIsPlacedOnItsOwnExtent) {
    TGIFSubImage Frame(nullptr);
    Frame.LocalMap().Append(clRed);
    Frame.Place(2, 1, 2, 3);
    TRect R = Frame.PlaceInRect(Rect(0, 0, 8, 8));
    EXPECT_EQ(R.Left, 4);
    EXPECT_EQ(R.Top, 2);
    EXPECT_EQ(R.Right, 8);
    EXPECT_EQ(R.Bottom, 8);
    ASSERT_NE(Frame.Rendering(), nullptr);
    TTarget Target(8, 8, clWhite);
    Frame.PaintTo(Target.Canvas(), Rect(0, 0, 8, 8), false, false);
    EXPECT_EQ(Target.At(4, 2), clRed);
    EXPECT_EQ(Target.At(7, 7), clRed);
    EXPECT_EQ(Target.At(3, 2), clWhite);
}

// A 10 x 10 frame at (5, 0) of a 20 x 20 image, tiled into (0, 0, 50, 30): tiles at left
// edges 5, 25, 45 and top edges 0, 20, each 10 x 10 (the last column reaches past the
// rectangle). The frame's top-left pixel is transparent.
TEST(RenderDraw, TiledPaintingDrawsSixTiles) {
    struct {
        bool Transparent, WithMaskBlt;
    } const Cases[] = {{false, true}, {true, true}, {true, false}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(testing::Message() << C.Transparent << C.WithMaskBlt);
        TGIFImage Image;
        Image.SetWidth(20);
        Image.SetHeight(20);
        TGIFSubImage* Frame = AddFrame(Image, 5, 0, 10, 10, {clRed, clBlue});
        MakeTransparent(Frame, 1);
        Frame->IndexData()[0] = 1;
        GIFBlitWithMaskBlt = C.WithMaskBlt;
        TTarget Target(60, 40, clWhite);
        Frame->PaintTo(Target.Canvas(), Rect(0, 0, 50, 30), C.Transparent, true);
        GIFBlitWithMaskBlt = true;
        for (int Y = 0; Y < 40; ++Y)
            for (int X = 0; X < 60; ++X) {
                TColor Expected = clWhite;
                for (int L : {5, 25, 45})
                    for (int T : {0, 20})
                        if (X >= L && X < L + 10 && Y >= T && Y < T + 10)
                            Expected =
                                X == L && Y == T ? (C.Transparent ? clWhite : clBlue) : clRed;
                ASSERT_EQ(Target.At(X, Y), Expected) << X << "," << Y;
            }
    }
}

// Transparent drawing through the mask: unstretched with either branch of the masked blit,
// and stretched. Transparent pixels keep the destination, the others take the frame.
TEST(RenderDraw, MaskedDrawingKeepsTheDestinationUnderTransparentPixels) {
    struct {
        bool WithMaskBlt;
        TRect Where;
    } const Cases[] = {
        {true, Rect(1, 1, 5, 4)},
        {false, Rect(1, 1, 5, 4)},
        {true, Rect(0, 0, 8, 6)},
    };
    const TColor Colors[] = {clRed, clLime, clBlue, clWhite};
    std::vector<std::vector<TColor>> Results;
    for (const auto& C : Cases) {
        SCOPED_TRACE(testing::Message() << C.WithMaskBlt << " " << C.Where.Right);
        TGIFImage Image;
        TGIFSubImage* Frame = AddFrame(Image, 0, 0, 4, 3, {clRed, clLime, clBlue, clWhite});
        for (int i = 0; i < 12; ++i)
            Frame->IndexData()[i] = static_cast<uint8_t>((i % 4 + i / 4) % 4);
        MakeTransparent(Frame, 3);
        TTarget Target(8, 6, Gray);
        SetTextColor(Target.Canvas().Handle(), 0x123456);
        SetBkColor(Target.Canvas().Handle(), 0x654321);
        GIFBlitWithMaskBlt = C.WithMaskBlt;
        Frame->PaintStretched(Target.Canvas(), C.Where, true, false);
        GIFBlitWithMaskBlt = true;
        EXPECT_EQ(GetTextColor(Target.Canvas().Handle()), 0x123456u);
        EXPECT_EQ(GetBkColor(Target.Canvas().Handle()), 0x654321u);
        // The mask is free again for the next drawing.
        EXPECT_EQ(Frame->MaskHandle()->SelectedCount, 0);
        const int32_t RW = C.Where.Width(), RH = C.Where.Height();
        std::vector<TColor> Pixels;
        for (int Y = 0; Y < 6; ++Y)
            for (int X = 0; X < 8; ++X) {
                TColor Expected = Gray;
                if (X >= C.Where.Left && X < C.Where.Right && Y >= C.Where.Top &&
                    Y < C.Where.Bottom) {
                    int SX = (X - C.Where.Left) * 4 / RW, SY = (Y - C.Where.Top) * 3 / RH;
                    uint8_t I = Frame->IndexData()[SY * 4 + SX];
                    Expected = I == 3 ? Gray : Colors[I];
                }
                EXPECT_EQ(Target.At(X, Y), Expected) << X << "," << Y;
                Pixels.push_back(Target.At(X, Y));
            }
        Results.push_back(Pixels);
    }
    EXPECT_EQ(Results[0], Results[1]);
}

// ---------------------------------------------------------------------------
// Assignment to bitmaps

TEST(RenderAssign, AFrameGivesACopyOfItsRendering) {
    TGIFImage Image;
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 3, 1, {clRed, clBlue});
    SetPixels(Frame, {1, 0, 1});
    TBitmap Bitmap;
    Bitmap.Assign(Frame);
    EXPECT_EQ(Bitmap.Width(), 3);
    EXPECT_EQ(Bitmap.Height(), 1);
    EXPECT_EQ(IndicesOf(&Bitmap), (std::vector<uint8_t>{1, 0, 1}));
    EXPECT_NE(Bitmap.Image(), Frame->Rendered()->Image());
}

TEST(RenderAssign, TheImageGivesItsCompositeBitmap) {
    // A first frame covering the screen: exactly its rendering.
    TGIFImage Full;
    TGIFSubImage* Frame = AddFrame(Full, 0, 0, 3, 2, {clRed, clBlue});
    SetPixels(Frame, {1, 0, 1, 0, 0, 1});
    TBitmap Bitmap;
    Bitmap.Assign(&Full);
    EXPECT_EQ(Bitmap.PixelFormat(), pf8bit);
    EXPECT_EQ(IndicesOf(&Bitmap), IndicesOf(Frame->Rendering()));

    // A smaller one: the screen's size with the frame at its place.
    TGIFImage Small;
    Small.SetWidth(6);
    Small.SetHeight(5);
    AddFrame(Small, 2, 1, 2, 3, {clBlue});
    Bitmap.Assign(&Small);
    EXPECT_EQ(Bitmap.Width(), 6);
    EXPECT_EQ(Bitmap.Height(), 5);
    for (int Y = 1; Y < 4; ++Y)
        for (int X = 2; X < 4; ++X) EXPECT_EQ(Bitmap.Canvas().Pixels(X, Y), clBlue);
    EXPECT_NE(Bitmap.Canvas().Pixels(1, 1), clBlue);
    EXPECT_NE(Bitmap.Canvas().Pixels(4, 4), clBlue);

    // An empty image: assigned from nothing.
    TGIFImage Empty;
    Bitmap.Assign(&Empty);
    EXPECT_TRUE(Bitmap.Empty());
}

TEST(RenderAssign, AnythingButABitmapIsRefused) {
    TGIFImage Image;
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 1, 1, {clRed});
    TStringList Strings;
    struct {
        TPersistent* Source;
        const char* Message;
    } const Cases[] = {{&Image, "Cannot assign a TGIFImage to a TStringList"},
                       {Frame, "Cannot assign a TGIFSubImage to a TStringList"}};
    for (const auto& C : Cases) {
        try {
            Strings.Assign(C.Source);
            ADD_FAILURE() << C.Message;
        } catch (const EConvertError& E) {
            EXPECT_STREQ(E.what(), C.Message);
        }
    }
}

// ---------------------------------------------------------------------------
// The composite bitmap

TEST(RenderComposite, MadeOnDemandAndEveryChangeIsAChangeOfTheImage) {
    TGIFImage Empty;
    EXPECT_EQ(Empty.CompositeBitmap(), nullptr);

    TGIFImage Image;
    AddFrame(Image, 0, 0, 4, 4, {clRed});
    int Changes = 0;
    Image.OnChange = [&](TObject*) { ++Changes; };
    TBitmap* Composite = Image.CompositeBitmap();
    ASSERT_NE(Composite, nullptr);
    EXPECT_EQ(Image.CompositeBitmap(), Composite);
    int Before = Changes;
    Composite->Canvas().SetPixels(0, 0, clBlue);
    EXPECT_GT(Changes, Before);

    // Dropped when the screen changes; prepared empty of the screen's size.
    Image.SetWidth(6);
    EXPECT_EQ(Image.CompositeBitmapIfAny(), nullptr);
    TBitmap* Prepared = Image.PrepareCompositeBitmap();
    ASSERT_NE(Prepared, nullptr);
    EXPECT_EQ(Prepared->Width(), 6);
    EXPECT_EQ(Prepared->Height(), 4);
    EXPECT_EQ(Image.CompositeBitmap(), Prepared);
    Image.DropCompositeBitmap();
    EXPECT_EQ(Image.CompositeBitmapIfAny(), nullptr);
}

// ---------------------------------------------------------------------------
// The image's palette

TEST(RenderPalette, SourcesInOrderAndWhatIsCached) {
    TScreenDepth Depth(32);
    TGIFImage Image;
    EXPECT_EQ(Image.Palette(), nullptr);

    // The first frame's own palette, not cached by the image.
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 2, 2, {clRed, clBlue});
    HPALETTE P = Image.Palette();
    EXPECT_EQ(P, Frame->PaletteHandle());
    EXPECT_EQ(Image.CachedPalette(), nullptr);

    // One made from the global map, cached.
    Image.ScreenColorMap().Append(clLime);
    P = Image.Palette();
    ASSERT_NE(P, nullptr);
    EXPECT_EQ(ColorsOf(P), (std::vector<TColor>{clLime}));
    EXPECT_EQ(Image.CachedPalette(), P);
    EXPECT_EQ(Image.Palette(), P);

    // The composite bitmap's, while it has one.
    TBitmap* Composite = Image.CompositeBitmap();
    ASSERT_NE(Composite->Palette(), nullptr);
    EXPECT_EQ(Image.Palette(), Composite->Palette());
    Image.DropCompositeBitmap();
    EXPECT_EQ(Image.Palette(), P);

    // The cube when dithering, made over the cached one only once that is gone.
    TScreenDepth Palettes(8);
    EXPECT_EQ(Image.Palette(), P);
    Image.SetPalette(nullptr);
    HPALETTE Cube = Image.Palette();
    EXPECT_EQ(ColorsOf(Cube).size(), 216u);
    EXPECT_EQ(Image.CachedPalette(), Cube);
}

TEST(RenderPalette, SetterTakesTheHandleAndDropsACompositeOfAnother) {
    TScreenDepth Depth(32);
    TGIFImage Image;
    AddFrame(Image, 0, 0, 2, 2, {clRed, clBlue});
    TBitmap* Composite = Image.CompositeBitmap();
    ASSERT_NE(Composite, nullptr);
    int Changes = 0;
    Image.OnChange = [&](TObject*) { ++Changes; };

    // The composite's own palette: nothing to drop.
    HPALETTE Own = Composite->Palette();
    Image.SetPalette(Own);
    EXPECT_EQ(Image.CompositeBitmapIfAny(), Composite);
    EXPECT_EQ(Changes, 0);

    Image.SetPaletteModified(false);
    const TPaletteEntry Grays[] = {{0x80, 0x80, 0x80, 0}};
    HPALETTE Other = CreatePalette(Grays, 1);
    Image.SetPalette(Other);
    EXPECT_EQ(Image.CachedPalette(), Other);
    EXPECT_EQ(Image.CompositeBitmapIfAny(), nullptr);
    EXPECT_TRUE(Image.PaletteModified());
    EXPECT_EQ(Changes, 1);
    EXPECT_EQ(Image.Palette(), Other);
    Image.SetPalette(Other);
    EXPECT_EQ(Changes, 1);
}

TEST(RenderPalette, ANestedQueryRaisesAndTheGuardIsReleased) {
    TScreenDepth Depth(32);
    TGIFImage Image;
    // No color map at all: the first frame asks the image, which asks the frame again.
    TGIFSubImage* Frame = AddFrame(Image, 0, 0, 2, 2, {});
    for (int Attempt = 0; Attempt < 2; ++Attempt) {
        try {
            Image.Palette();
            ADD_FAILURE();
        } catch (const GIFException& E) {
            EXPECT_STREQ(E.what(), "No global or local color table defined");
        }
    }
    // Plain rendering needs that palette too, and fails the same way.
    EXPECT_THROW(Frame->Rendering(), GIFException);
    EXPECT_FALSE(Frame->HasRendering());
    Image.ScreenColorMap().Append(clRed);
    EXPECT_NE(Image.Palette(), nullptr);
    EXPECT_NE(Frame->Rendering(), nullptr);
}

// ---------------------------------------------------------------------------
// The clipboard

std::vector<uint8_t> Saved(TGIFImage& Image) {
    TMemoryStream Stream;
    Image.SaveToStream(Stream);
    return Stream.Bytes();
}

TEST(RenderClipboard, RoundTripKeepsTheGIFBytes) {
    TGIFImage Image;
    TGIFSubImage* First = AddFrame(Image, 0, 0, 4, 3, {clRed, clBlue, clLime});
    SetPixels(First, {0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2});
    AddFrame(Image, 1, 1, 2, 2, {clWhite, clBlack}, 1);
    const std::vector<uint8_t> Bytes = Saved(Image);

    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    uint32_t Format = 0;
    THandle Data;
    HPALETTE Palette;
    Image.SaveToClipboardFormat(Format, Data, Palette);
    CloseClipboard();
    EXPECT_EQ(Format, CF_BITMAP);
    ASSERT_NE(Data, nullptr);

    HGLOBAL Memory = HandleCast<TGlobalMemory>(GetClipboardData(GIFClipboardFormat));
    ASSERT_NE(Memory, nullptr);
    auto* Stored = static_cast<const uint8_t*>(GlobalLock(Memory));
    EXPECT_EQ(std::vector<uint8_t>(Stored, Stored + GlobalSize(Memory)), Bytes);
    GlobalUnlock(Memory);

    TGIFImage FromGIF;
    FromGIF.LoadFromClipboardFormat(GIFClipboardFormat, nullptr, nullptr);
    EXPECT_EQ(Saved(FromGIF), Bytes);

    // The bitmap form: one frame of the screen's size.
    TGIFImage FromBitmap;
    FromBitmap.LoadFromClipboardFormat(Format, Data, Palette);
    ASSERT_EQ(FromBitmap.Frames().Count(), 1);
    EXPECT_EQ(FromBitmap.Width(), 4);
    EXPECT_EQ(FromBitmap.Height(), 3);

    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    TGIFImage Empty;
    Format = 0;
    Data = nullptr;
    Empty.SaveToClipboardFormat(Format, Data, Palette);
    EXPECT_FALSE(IsClipboardFormatAvailable(GIFClipboardFormat));
    EXPECT_EQ(Data, nullptr);
    CloseClipboard();
}

} // namespace
} // namespace mv
