// Frame rendering and drawing, and the image as one picture: its composite bitmap, palette,
// assignment to a bitmap and clipboard form.
#include "gif/GIFRender.h"

#include "gif/DIB.h"
#include "gif/GIFFrame.h"
#include "gif/GIFImage.h"
#include "gif/color/ColorLookup.h"
#include "gif/color/Ditherers.h"
#include "gif/color/Reduction.h"
#include "platform/SysUtils.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace mv {

bool GIFBlitWithMaskBlt = true;

namespace {

const TRect NoRect{0, 0, 0, 0};

// The Floyd-Steinberg ditherer with one more move: a transparent pixel is stepped over
// without touching the error state (the fill index stays in the DIB there).
class TMaskingDitherer final : public TFloydSteinbergDitherer {
public:
    using TFloydSteinbergDitherer::TFloydSteinbergDitherer;
    void SkipPixel() { FColumn += FDirection; }
};

// The color of an index in a map of Count triples. An index beyond the map has no color of
// its own (damaged files, or no map at all): it is drawn as entry 0, black for an empty map.
inline const uint8_t* MapColor(const uint8_t* Triples, int32_t Count, uint8_t Index) {
    static const uint8_t Black[3] = {0, 0, 0};
    if (Index < Count) return Triples + 3 * Index;
    return Count > 0 ? Triples : Black;
}

// Selects Object into DC for a scope and the previous object back at its end.
class TSelection {
public:
    TSelection(const HDC& DC, const HGDIOBJ& Object) : FDC(DC), FOld(SelectObject(DC, Object)) {}
    ~TSelection() {
        if (FOld) SelectObject(FDC, FOld);
    }
    TSelection(const TSelection&) = delete;
    TSelection& operator=(const TSelection&) = delete;

private:
    HDC FDC;
    HGDIOBJ FOld;
};

// A memory DC deleted at the end of the scope.
struct TMemoryDC {
    HDC DC;
    explicit TMemoryDC(const HDC& Compatible)
        : DC(RequireGDIHandle(CreateCompatibleDC(Compatible))) {}
    ~TMemoryDC() {
        if (DC) DeleteDC(DC);
    }
    TMemoryDC(const TMemoryDC&) = delete;
    TMemoryDC& operator=(const TMemoryDC&) = delete;
};

} // namespace

// ---------------------------------------------------------------------------
// BlitThroughMask

void BlitThroughMask(const HDC& DestDC, int32_t DestX, int32_t DestY, int32_t DestW, int32_t DestH,
                     const HDC& SrcDC, int32_t SrcX, int32_t SrcY, int32_t SrcW, int32_t SrcH,
                     const HDC& MaskDC, int32_t MaskX, int32_t MaskY) {
    if (GIFBlitWithMaskBlt && DestW == SrcW && DestH == SrcH) {
        // Take the mask out of its DC (a bitmap is in one DC at a time) for MaskBlt: where
        // its bit is 1 the destination stays, elsewhere the source is copied.
        HBITMAP Placeholder = RequireGDIHandle(CreateCompatibleBitmap(SrcDC, 1, 1));
        HBITMAP Mask = HandleCast<TBitmapObject>(SelectObject(MaskDC, Placeholder));
        try {
            MaskBlt(DestDC, DestX, DestY, DestW, DestH, SrcDC, SrcX, SrcY, Mask, MaskX, MaskY,
                    MakeROP4(DSTCOPY, SRCCOPY));
        } catch (...) {
            SelectObject(MaskDC, Mask);
            DeleteObject(Placeholder);
            throw;
        }
        SelectObject(MaskDC, Mask);
        DeleteObject(Placeholder);
        return;
    }

    // The source blacked out where transparent, in a memory copy of the source's size.
    TMemoryDC Memory(DestDC);
    HBITMAP MemoryBitmap = RequireGDIHandle(CreateCompatibleBitmap(DestDC, SrcW, SrcH));
    TSelection MemorySelection(Memory.DC, MemoryBitmap);
    HPALETTE OldMemoryPalette;
    {
        TMemoryDC Inverted(DestDC);
        HBITMAP InvertedBitmap = RequireGDIHandle(CreateBitmap(SrcW, SrcH, 1, 1, nullptr));
        TSelection InvertedSelection(Inverted.DC, InvertedBitmap);
        // 1 on opaque pixels.
        BitBlt(Inverted.DC, 0, 0, SrcW, SrcH, MaskDC, SrcX, SrcY, NOTSRCCOPY);
        // The source's palette, found by selecting the system palette in and at once back.
        HPALETTE SourcePalette = SelectPalette(SrcDC, SystemPalette16(), false);
        SelectPalette(SrcDC, SourcePalette ? SourcePalette : DefaultPalette(), false);
        OldMemoryPalette =
            SelectPalette(Memory.DC, SourcePalette ? SourcePalette : SystemPalette16(), true);
        RealizePalette(Memory.DC);
        BitBlt(Memory.DC, 0, 0, SrcW, SrcH, Inverted.DC, 0, 0, SRCCOPY);
        BitBlt(Memory.DC, 0, 0, SrcW, SrcH, SrcDC, SrcX, SrcY, SRCAND);
    }
    COLORREF OldText = SetTextColor(DestDC, 0x000000);
    COLORREF OldBack = SetBkColor(DestDC, 0xFFFFFF);
    try {
        // Transparent pixels are white in the mask and keep the destination; opaque ones are
        // black and clear it, for the copy to be ORed in.
        StretchBlt(DestDC, DestX, DestY, DestW, DestH, MaskDC, SrcX, SrcY, SrcW, SrcH, SRCAND);
        StretchBlt(DestDC, DestX, DestY, DestW, DestH, Memory.DC, 0, 0, SrcW, SrcH, SRCPAINT);
    } catch (...) {
        SetTextColor(DestDC, OldText);
        SetBkColor(DestDC, OldBack);
        if (OldMemoryPalette) SelectPalette(Memory.DC, OldMemoryPalette, true);
        throw;
    }
    SetTextColor(DestDC, OldText);
    SetBkColor(DestDC, OldBack);
    if (OldMemoryPalette) SelectPalette(Memory.DC, OldMemoryPalette, true);
}

// ---------------------------------------------------------------------------
// TGIFSubImage: rendering

TBitmap* TGIFSubImage::Rendering() {
    auto Guard = RenderGuard();
    if (FRendered || IsEmpty()) return FRendered.get();
    TGIFImage* Image = FOwnerImage;
    auto Finish = [&](uint8_t Percent) {
        if (!Image) return;
        Image->Progress(this, psEnding, Percent, Image->PaletteModified(), NoRect,
                        gifmsg::Rendering);
        if (Image->PaletteModified()) Image->Changed(this);
    };
    // A rendering that fails makes no mask, so the mask stays owed to the next one: a
    // transparent frame must not be drawn opaque for good after an aborted rendering.
    const bool MaskWasStale = FMaskStale;
    try {
        // An abort as early as the opening report stops the rendering like any later one.
        if (Image) Image->Progress(this, psStarting, 0, false, NoRect, gifmsg::Rendering);
        FRendered = Image && Image->ShouldDither() ? RenderDithered() : RenderPlain();
    } catch (const EAbort&) {
        FRendered.reset();
        FMaskStale = MaskWasStale;
        Finish(0);
        return nullptr;
    } catch (...) {
        FRendered.reset();
        FMaskStale = MaskWasStale;
        Finish(0);
        throw;
    }
    Finish(100);
    return FRendered.get();
}

std::unique_ptr<TBitmap> TGIFSubImage::RenderPlain() {
    const int32_t W = FDescriptor.PixelWidth;
    const int32_t H = FDescriptor.PixelHeight;
    auto Result = std::make_unique<TBitmap>();
    TDIBWriter Writer(Result.get(), pf8bit, W, H, PaletteHandle());
    const bool Masking = FMaskStale && FHasTransparency;
    FMaskStale = false;
    const uint8_t Transparent = Masking && FControl ? FControl->TransparentSlot() : 0;
    const int32_t MaskRow = GIFMaskRowBytes(W);
    std::vector<uint8_t> Mask(Masking ? static_cast<size_t>(MaskRow) * H : 0);
    bool AnyTransparent = false;
    for (int32_t Y = 0; Y < H; ++Y) {
        auto* Dest = static_cast<uint8_t*>(Writer.RowAddress(Y));
        if (Y % 32 == 0 && FOwnerImage)
            FOwnerImage->Progress(this, psRunning, static_cast<uint8_t>(MulDiv(Y, 100, H)), false,
                                  NoRect, gifmsg::Rendering);
        const uint8_t* Source = FIndexData.get() + static_cast<size_t>(Y) * W;
        std::memcpy(Dest, Source, static_cast<size_t>(W));
        if (Masking) {
            uint8_t* Bits = Mask.data() + static_cast<size_t>(Y) * MaskRow;
            for (int32_t X = 0; X < W; ++X)
                if (Source[X] == Transparent) {
                    SetGIFMaskBit(Bits, X);
                    AnyTransparent = true;
                }
        }
    }
    Writer.Store();
    if (Masking && AnyTransparent) FMaskHandle = CreateBitmap(W, H, 1, 1, Mask.data());
    return Result;
}

std::unique_ptr<TBitmap> TGIFSubImage::RenderDithered() {
    const int32_t W = FDescriptor.PixelWidth;
    const int32_t H = FDescriptor.PixelHeight;
    auto Result = std::make_unique<TBitmap>();
    HPALETTE Palette = PaletteHandle();
    TNetscapeColorLookup Lookup;
    TMaskingDitherer Ditherer(W, &Lookup);
    TDIBWriter Writer(Result.get(), pf8bit, W, H, Palette);
    const TGIFColorMap& Map = EffectiveMap();
    const uint8_t* Triples = Map.Triples();
    const int32_t Colors = Triples ? Map.Count() : 0;
    const bool Masking = FMaskStale && FHasTransparency;
    FMaskStale = false;
    const uint8_t Transparent = Masking && FControl ? FControl->TransparentSlot() : 0;
    uint8_t Fill = 0;
    if (Masking) {
        const uint8_t* C = MapColor(Triples, Colors, Transparent);
        uint8_t R, G, B;
        Fill = TNetscapeColorLookup::Map(C[0], C[1], C[2], R, G, B);
    }
    const int32_t MaskRow = GIFMaskRowBytes(W);
    std::vector<uint8_t> Mask(Masking ? static_cast<size_t>(MaskRow) * H : 0);
    std::vector<uint8_t> BGR(static_cast<size_t>(W) * 3);
    bool AnyTransparent = false;
    for (int32_t Y = 0; Y < H; ++Y) {
        if (Y % 32 == 0 && FOwnerImage)
            FOwnerImage->Progress(this, psRunning, static_cast<uint8_t>(MulDiv(Y, 100, H)), false,
                                  NoRect, gifmsg::Rendering);
        auto* Dest = static_cast<uint8_t*>(Writer.RowAddress(Y));
        const uint8_t* Source = FIndexData.get() + static_cast<size_t>(Y) * W;
        if (!Masking) {
            // The whole row in one run of the ditherer, in its own serpentine order.
            for (int32_t X = 0; X < W; ++X) {
                const uint8_t* C = MapColor(Triples, Colors, Source[X]);
                BGR[3 * X] = C[2];
                BGR[3 * X + 1] = C[1];
                BGR[3 * X + 2] = C[0];
            }
            Ditherer.DitherRow(BGR.data(), Dest);
        } else {
            std::memset(Dest, Fill, static_cast<size_t>(W));
            uint8_t* Bits = Mask.data() + static_cast<size_t>(Y) * MaskRow;
            uint8_t R, G, B;
            for (int32_t X = Ditherer.Column(); X >= 0 && X < W; X = Ditherer.Column()) {
                uint8_t I = Source[X];
                if (I == Transparent) {
                    SetGIFMaskBit(Bits, X);
                    AnyTransparent = true;
                    Ditherer.SkipPixel();
                    continue;
                }
                const uint8_t* C = MapColor(Triples, Colors, I);
                Dest[X] = Ditherer.DitherPixel(C[0], C[1], C[2], R, G, B);
            }
        }
        Ditherer.StartNextRow();
    }
    Writer.Store();
    if (Masking && AnyTransparent) FMaskHandle = CreateBitmap(W, H, 1, 1, Mask.data());
    return Result;
}

bool TGIFSubImage::MaskReady() {
    auto Guard = RenderGuard();
    if (FMaskStale && FHasTransparency) {
        DropRendering();
        Rendering();
    }
    return FMaskHandle != nullptr;
}

// ---------------------------------------------------------------------------
// TGIFSubImage: drawing

TRect TGIFSubImage::PlaceInRect(const TRect& R) const {
    int32_t W = FOwnerImage ? FOwnerImage->Width() : 0;
    int32_t H = FOwnerImage ? FOwnerImage->Height() : 0;
    // A frame outside an image is placed on a screen of its own extent.
    if (W <= 0) W = int32_t{FDescriptor.LeftPos} + FDescriptor.PixelWidth;
    if (H <= 0) H = int32_t{FDescriptor.TopPos} + FDescriptor.PixelHeight;
    if (W <= 0 || H <= 0) return TRect{R.Left, R.Top, R.Left, R.Top};
    const int32_t RW = R.Right - R.Left;
    const int32_t RH = R.Bottom - R.Top;
    return TRect{R.Left + MulDiv(FDescriptor.LeftPos, RW, W),
                 R.Top + MulDiv(FDescriptor.TopPos, RH, H),
                 R.Left + MulDiv(FDescriptor.LeftPos + FDescriptor.PixelWidth, RW, W),
                 R.Top + MulDiv(FDescriptor.TopPos + FDescriptor.PixelHeight, RH, H)};
}

void TGIFSubImage::PaintTo(TCanvas& Canvas, const TRect& Rect, bool Transparent, bool Tiled) {
    PaintStretched(Canvas, Tiled ? Rect : PlaceInRect(Rect), Transparent, Tiled);
}

void TGIFSubImage::PaintStretched(TCanvas& Canvas, const TRect& Rect, bool Transparent,
                                  bool Tiled) {
    auto Guard = RenderGuard();
    const int32_t FW = FDescriptor.PixelWidth;
    const int32_t FH = FDescriptor.PixelHeight;
    int32_t IW = FOwnerImage ? FOwnerImage->Width() : FW;
    int32_t IH = FOwnerImage ? FOwnerImage->Height() : FH;
    // Tiles step by the screen's size; a screen of 0 would never advance.
    if (IW <= 0) IW = FW > 0 ? FW : 1;
    if (IH <= 0) IH = FH > 0 ? FH : 1;
    auto ForEachTile = [&](auto&& Paint) {
        for (int32_t L = Rect.Left + FDescriptor.LeftPos; L < Rect.Right; L += IW)
            for (int32_t T = Rect.Top + FDescriptor.TopPos; T < Rect.Bottom; T += IH)
                Paint(TRect{L, T, L + FW, T + FH});
    };
    if (Transparent && FHasTransparency && MaskReady()) {
        TBitmap* Bitmap = Rendering();
        if (!Bitmap) return;
        HDC Target = Canvas.Handle();
        HDC Source = Bitmap->Canvas().Handle();
        TMemoryDC MaskDC(nullptr);
        TSelection MaskSelection(MaskDC.DC, FMaskHandle);
        if (Tiled) {
            ForEachTile([&](const TRect& Tile) {
                BlitThroughMask(Target, Tile.Left, Tile.Top, FW, FH, Source, 0, 0, FW, FH,
                                MaskDC.DC, 0, 0);
            });
        } else {
            BlitThroughMask(Target, Rect.Left, Rect.Top, Rect.Width(), Rect.Height(), Source, 0, 0,
                            FW, FH, MaskDC.DC, 0, 0);
        }
        Canvas.Changed();
        return;
    }
    TBitmap* Bitmap = Rendering();
    if (!Bitmap) return;
    if (Tiled)
        ForEachTile([&](const TRect& Tile) { Canvas.StretchDraw(Tile, Bitmap); });
    else
        Canvas.StretchDraw(Rect, Bitmap);
}

void TGIFSubImage::AssignTo(TPersistent* Dest) {
    if (auto* Bitmap = dynamic_cast<TBitmap*>(Dest)) {
        Bitmap->Assign(Rendering());
        return;
    }
    TGIFItem::AssignTo(Dest);
}

// ---------------------------------------------------------------------------
// TGIFImage: the image as one picture

namespace {

void AttachComposite(TGIFImage& Image, TBitmap& Bitmap) {
    Bitmap.OnChange = [&Image](TObject*) { Image.Changed(&Image); };
}

} // namespace

TBitmap* TGIFImage::CompositeBitmap() {
    std::lock_guard<std::recursive_mutex> Guard(FRenderLock);
    if (GetEmpty()) return nullptr;
    if (FCompositeBitmap) return FCompositeBitmap.get();
    auto Bitmap = std::make_unique<TBitmap>();
    TGIFSubImage* First = FFrames->FrameAt(0);
    if (First->Width() == Width() && First->Height() == Height()) {
        Bitmap->Assign(First->Rendering());
    } else {
        Bitmap->SetPalette(CopyPalette(Palette()));
        Bitmap->SetHeight(Height());
        Bitmap->SetWidth(Width());
        First->Draw(Bitmap->Canvas(), Bitmap->Canvas().ClipRect(), false, false);
    }
    AttachComposite(*this, *Bitmap);
    FCompositeBitmap = std::move(Bitmap);
    return FCompositeBitmap.get();
}

TBitmap* TGIFImage::PrepareCompositeBitmap() {
    std::lock_guard<std::recursive_mutex> Guard(FRenderLock);
    if (FCompositeBitmap) return FCompositeBitmap.get();
    auto Bitmap = std::make_unique<TBitmap>();
    Bitmap->SetPalette(CopyPalette(Palette()));
    Bitmap->SetHeight(Height());
    Bitmap->SetWidth(Width());
    AttachComposite(*this, *Bitmap);
    FCompositeBitmap = std::move(Bitmap);
    return FCompositeBitmap.get();
}

void TGIFImage::AssignTo(TPersistent* Dest) {
    if (auto* Bitmap = dynamic_cast<TBitmap*>(Dest)) {
        Bitmap->Assign(CompositeBitmap());
        return;
    }
    TGraphic::AssignTo(Dest);
}

HPALETTE TGIFImage::GetPalette() {
    std::lock_guard<std::recursive_mutex> Guard(FRenderLock);
    // The first frame without a local map asks the image again: that would never end.
    if (FInPaletteQuery) RaiseGIFError(gifmsg::NoColorTable);
    FInPaletteQuery = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } Reset{FInPaletteQuery};
    if (FCompositeBitmap) {
        HPALETTE P = FCompositeBitmap->Palette();
        if (P) return P;
    }
    if (FCachedPalette) return FCachedPalette;
    if (ShouldDither()) {
        FCachedPalette = BuildNetscape216Palette();
        return FCachedPalette;
    }
    if (ScreenColorMap().Count() > 0) {
        FCachedPalette = ScreenColorMap().ToPalette();
        return FCachedPalette;
    }
    if (FFrames->Count() > 0) return FFrames->FrameAt(0)->PaletteHandle();
    return nullptr;
}

void TGIFImage::SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) {
    if (GetEmpty()) return;
    if (TBitmap* Bitmap = CompositeBitmap())
        Bitmap->SaveToClipboardFormat(AFormat, AData, APalette);
    TMemoryStream Stream;
    SaveToStream(Stream);
    HGLOBAL Memory = GlobalAlloc(GMEM_MOVEABLE, static_cast<size_t>(Stream.Size()));
    // Without the memory the GIF form is left out; the bitmap form stands.
    if (!Memory) return;
    try {
        void* Bytes = GlobalLock(Memory);
        if (!Bytes) RaiseGIFError(gifmsg::FailedClipboardStore);
        Stream.SetPosition(0);
        Stream.ReadBuffer(Bytes, Stream.Size());
        GlobalUnlock(Memory);
        if (!SetClipboardData(GIFClipboardFormat, Memory))
            RaiseGIFError(gifmsg::FailedClipboardStore);
    } catch (...) {
        GlobalFree(Memory);
        throw;
    }
}

} // namespace mv
