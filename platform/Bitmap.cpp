// TBitmap: a raster picture over one of our bitmap objects, with in-place format conversion,
// scan lines, palette, transparency mask, canvas, drawing and BMP streaming.
#include "platform/Bmp.h"
#include "platform/Graphics.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <cstring>

namespace mv {

// The canvas of a bitmap: a memory DC with the bitmap selected into it.
class TBitmapCanvas : public TCanvas {
public:
    explicit TBitmapCanvas(TBitmap* Owner) : FOwner(Owner) {}
    ~TBitmapCanvas() override { FreeContext(); }
    std::string ClassName() const override { return "TBitmapCanvas"; }

    void FreeContext() {
        if (FHandle) {
            HDC DC = FHandle;
            FHandle.reset();
            DeleteDC(DC);
        }
    }
    bool DCHolds(const HBITMAP& B) const { return FHandle && FHandle->Bitmap == B; }
    // The bitmap object changed: select the new one.
    void Reselect() {
        if (!FHandle) return;
        HBITMAP Img = FOwner->FImage;
        if (Img && DCHolds(Img)) return;
        if (Img && Img->SelectedCount > 0) {
            // Selected elsewhere (a caller's DC): draw on a context of our own later.
            FreeContext();
            return;
        }
        if (Img)
            SelectObject(FHandle, Img);
        else
            SelectObject(FHandle, CreateBitmap(1, 1, 1, 1, nullptr));
    }
    void Changed() override {
        FOwner->PixelsChanged();
        TCanvas::Changed();
    }

protected:
    void CreateHandle() override {
        HDC DC = CreateCompatibleDC(nullptr);
        if (!DC) throw EOutOfResources("Out of system resources");
        FHandle = DC;
        Reselect();
    }
    void RequireHandle() override {
        // Someone is about to draw: the pixels may change, so the mask is made again later.
        FOwner->FMask.reset();
        if (!FOwner->GetEmpty()) FOwner->Handle();
        Reselect();
    }

private:
    TBitmap* FOwner;
};

namespace {

int FormatBits(TPixelFormat F) {
    switch (F) {
    case pf1bit:
        return 1;
    case pf4bit:
        return 4;
    case pf8bit:
        return 8;
    case pf15bit:
    case pf16bit:
        return 16;
    case pf24bit:
        return 24;
    case pf32bit:
    case pfDevice:
        return 32;
    default:
        return 0;
    }
}

std::vector<RGBQUAD> StandardTable(int Bits) {
    if (Bits == 8) return PaletteToColorTable(CreateHalftonePalette(nullptr));
    if (Bits == 4) return PaletteToColorTable(SystemPalette16());
    return {{0, 0, 0, 0}, {255, 255, 255, 0}};
}

TPixelFormat FormatOf(const TBitmapObject& B) {
    if (!B.DIB && !B.Monochrome) return pfDevice;
    switch (B.BitCount) {
    case 1:
        return pf1bit;
    case 4:
        return pf4bit;
    case 8:
        return pf8bit;
    case 16:
        if (B.RedMask == 0x7C00 && B.GreenMask == 0x03E0 && B.BlueMask == 0x001F) return pf15bit;
        if (B.RedMask == 0xF800 && B.GreenMask == 0x07E0 && B.BlueMask == 0x001F) return pf16bit;
        return pfCustom;
    case 24:
        return pf24bit;
    case 32:
        return pf32bit;
    default:
        return pfCustom;
    }
}

HBITMAP NewObject(int32_t W, int32_t H, TPixelFormat F) {
    auto B = std::make_shared<TBitmapObject>();
    int Bits = FormatBits(F);
    if (F == pf16bit) {
        B->RedMask = 0xF800;
        B->GreenMask = 0x07E0;
        B->BlueMask = 0x001F;
    }
    B->DIB = F != pfDevice;
    B->Allocate(W, H, Bits);
    if (Bits <= 8) B->ColorTable = StandardTable(Bits);
    return B;
}

// Copies Source's pixels into Dest (same size) through a raster copy, which maps colors exactly
// into an indexed destination.
void CopyPixels(const HBITMAP& Dest, const HBITMAP& Source) {
    auto D = std::make_shared<TDeviceContext>(TDeviceContext::dcMemory);
    auto S = std::make_shared<TDeviceContext>(TDeviceContext::dcMemory);
    D->Bitmap = Dest;
    S->Bitmap = Source;
    BitBlt(D, 0, 0, Dest->Width, Dest->Height, S, 0, 0, SRCCOPY);
}

// Replaces the contents of Target with those of Source, keeping Target's identity (handles and
// device contexts that hold it stay valid).
void ReplaceContents(TBitmapObject& Target, TBitmapObject&& Source) {
    int Selected = Target.SelectedCount;
    Target = std::move(Source);
    Target.SelectedCount = Selected;
}

} // namespace

int PixelFormatBits(TPixelFormat Format) {
    return Format == pfCustom ? 0 : FormatBits(Format);
}

TPixelFormat GetPixelFormat(TBitmap* Bitmap) {
    return Bitmap->PixelFormat();
}
void SetPixelFormat(TBitmap* Bitmap, TPixelFormat PixelFormat) {
    Bitmap->SetPixelFormat(PixelFormat);
}

void TBitmap::ReplaceImage(const HBITMAP& N) {
    if (!FImage) {
        FImage = N;
        return;
    }
    // Changed in place when only this bitmap (and its canvas) holds the object; a handle that
    // someone else holds keeps its pixels, and the bitmap takes the new object.
    long Own = 1 + (FCanvas && FCanvas->DCHolds(FImage) ? 1 : 0);
    if (FImage.use_count() > Own) {
        FImage = N;
        if (FCanvas) FCanvas->FreeContext();
    } else {
        ReplaceContents(*FImage, std::move(*N));
    }
}

TBitmap::TBitmap() = default;

TBitmap::TBitmap(int32_t Width, int32_t Height, TPixelFormat Format) {
    FPixelFormat = Format;
    FHandleType = Format == pfDevice ? bmDDB : bmDIB;
    SetSize(Width, Height);
}

TBitmap::~TBitmap() = default;

TCanvas& TBitmap::Canvas() {
    if (!FCanvas) FCanvas = std::make_unique<TBitmapCanvas>(this);
    return *FCanvas;
}

void TBitmap::PixelsChanged() {
    FMask.reset();
    Changed(this);
}

bool TBitmap::GetEmpty() const {
    return FWidth == 0 || FHeight == 0;
}
int32_t TBitmap::GetWidth() const {
    return FWidth;
}
int32_t TBitmap::GetHeight() const {
    return FHeight;
}

void TBitmap::NewImage(int32_t Width, int32_t Height, TPixelFormat Format) {
    HBITMAP N = NewObject(Width, Height, Format);
    if (FImage) {
        ReplaceImage(N);
    } else {
        FImage = N;
    }
    FTablePalette.reset();
    if (FCanvas) FCanvas->Reselect();
}

void TBitmap::Resize(int32_t Width, int32_t Height) {
    if (Width < 0 || Height < 0)
        throw EInvalidGraphicOperation(Format("Invalid bitmap size %d x %d", Width, Height));
    if (Width == FWidth && Height == FHeight) return;
    if (!FImage) {
        // The pixels are made when first needed, so setting width, height and format in turn
        // allocates once.
        FWidth = Width;
        FHeight = Height;
        PixelsChanged();
        return;
    }
    TPixelFormat F = PixelFormat();
    if (F == pfCustom) F = pf32bit;
    HBITMAP N = NewObject(Width, Height, F);
    const TBitmapObject& Old = *FImage;
    // The new pixels keep the old table and what of the old picture fits.
    N->ColorTable = Old.ColorTable;
    N->Monochrome = Old.Monochrome;
    N->DIB = Old.DIB;
    N->RedMask = Old.RedMask;
    N->GreenMask = Old.GreenMask;
    N->BlueMask = Old.BlueMask;
    if (Old.BitCount == N->BitCount) {
        int32_t Rows = std::min(Height, Old.Height);
        size_t Bytes = static_cast<size_t>(std::min(N->Stride, Old.Stride));
        for (int32_t y = 0; y < Rows; ++y) std::memcpy(N->Row(y), Old.Row(y), Bytes);
    }
    FWidth = Width;
    FHeight = Height;
    ReplaceImage(N);
    if (FCanvas) FCanvas->Reselect();
    PixelsChanged();
}

void TBitmap::SetWidth(int32_t Value) {
    Resize(Value, FHeight);
}
void TBitmap::SetHeight(int32_t Value) {
    Resize(FWidth, Value);
}
void TBitmap::SetSize(int32_t Width, int32_t Height) {
    Resize(Width, Height);
}

HBITMAP TBitmap::Handle() {
    if (!FImage) {
        NewImage(FWidth, FHeight, FPixelFormat == pfCustom ? pf32bit : FPixelFormat);
        // A palette given before the pixels were made is the color table of an indexed bitmap.
        if (FPalette && FImage->BitCount <= 8 && !FImage->Monochrome) {
            HPALETTE Given = std::move(FPalette);
            FPalette.reset();
            SetTableFromPalette(Given);
        }
    }
    return FImage;
}

void TBitmap::SetHandle(HBITMAP Value) {
    if (Value == FImage) return;
    FImage = Value;
    FMask.reset();
    FTablePalette.reset();
    FPalette.reset();
    if (Value) {
        FWidth = Value->Width;
        FHeight = Value->Height;
        FPixelFormat = FormatOf(*Value);
        FMonochrome = Value->Monochrome;
        FHandleType = Value->DIB ? bmDIB : bmDDB;
    } else {
        FWidth = FHeight = 0;
    }
    if (FCanvas) FCanvas->Reselect();
    PixelsChanged();
}

HBITMAP TBitmap::ReleaseHandle() {
    HBITMAP H = FImage;
    if (FCanvas) FCanvas->FreeContext();
    FImage.reset();
    FMask.reset();
    FTablePalette.reset();
    FWidth = FHeight = 0;
    return H;
}

TBitmapHandleType TBitmap::HandleType() const {
    return FHandleType;
}

void TBitmap::SetHandleType(TBitmapHandleType Value) {
    if (Value == FHandleType) return;
    if (Value == bmDDB) {
        SetPixelFormat(pfDevice);
    } else {
        EnsureDIB();
    }
}

void TBitmap::EnsureDIB() {
    if (FHandleType == bmDIB) return;
    // A device bitmap becomes a 32-bit DIB (a monochrome one a 1-bit DIB).
    SetPixelFormat(FMonochrome ? pf1bit : pf32bit);
}

bool TBitmap::Monochrome() const {
    return FMonochrome;
}

void TBitmap::SetMonochrome(bool Value) {
    if (Value == FMonochrome) return;
    if (Value) {
        SetPixelFormat(pf1bit);
        if (FImage) {
            FImage->Monochrome = true;
            FImage->DIB = false;
            FImage->ColorTable = {{0, 0, 0, 0}, {255, 255, 255, 0}};
        }
        FMonochrome = true;
        FHandleType = bmDDB;
    } else {
        FMonochrome = false;
        if (FImage) {
            FImage->Monochrome = false;
            FImage->DIB = true;
        }
        FHandleType = bmDIB;
        SetPixelFormat(pfDevice);
    }
    PixelsChanged();
}

TPixelFormat TBitmap::PixelFormat() const {
    if (FImage) return FormatOf(*FImage);
    return FPixelFormat;
}

void TBitmap::SetPixelFormat(TPixelFormat Value) {
    if (Value == pfCustom) throw EInvalidGraphic("Invalid pixel format");
    if (Value == PixelFormat() && !(FMonochrome && Value == pf1bit && FImage && !FImage->DIB)) {
        FPixelFormat = Value;
        return;
    }
    // Pixels not made yet are made in the new format when first needed; an indexed bitmap
    // that becomes deeper is made first, so that its colors become its palette.
    TPixelFormat OldFormat = PixelFormat();
    if (!FImage && !GetEmpty() && OldFormat != pfCustom && FormatBits(OldFormat) <= 8 &&
        FormatBits(Value) > 8)
        Handle();
    FPixelFormat = Value;
    FHandleType = Value == pfDevice ? bmDDB : bmDIB;
    FMonochrome = false;
    if (!FImage) return;
    // A bitmap that leaves the indexed formats keeps its colors as its palette.
    if (FImage->BitCount <= 8 && FormatBits(Value) > 8 && !FPalette && !FImage->ColorTable.empty())
        FPalette = ColorTableToPalette(FImage->ColorTable.data(),
                                       static_cast<int>(FImage->ColorTable.size()));
    HBITMAP Old = FImage;
    HBITMAP N = NewObject(FWidth, FHeight, Value);
    int NewBits = N->BitCount;
    if (NewBits <= 8 && Old->BitCount <= NewBits) {
        // Indices that fit keep their values and colors.
        if (Old->Monochrome)
            N->ColorTable = {{0, 0, 0, 0}, {255, 255, 255, 0}};
        else if (!Old->ColorTable.empty())
            N->ColorTable = Old->ColorTable;
    }
    // A monochrome source paints 0 in black and 1 in white (the default text and background
    // colors), which are entries 0 and 1 of its black-and-white table.
    CopyPixels(N, Old);
    Old.reset();
    ReplaceImage(N);
    FTablePalette.reset();
    if (NewBits <= 8) FPalette.reset();
    if (FCanvas) FCanvas->Reselect();
    PixelsChanged();
}

void* TBitmap::ScanLine(int32_t Row) {
    if (Row < 0 || Row >= FHeight || FWidth == 0)
        throw EInvalidGraphicOperation("Scan line index out of range");
    if (FHandleType == bmDDB) EnsureDIB();
    Handle();
    // The caller may change the pixels through the address.
    FMask.reset();
    return FImage->Row(Row);
}

HPALETTE TBitmap::GetPalette() {
    if (!GetEmpty()) Handle();
    if (FImage && FImage->BitCount <= 8 && !FImage->ColorTable.empty()) {
        if (FTablePalette && PaletteToColorTable(FTablePalette) == FImage->ColorTable)
            return FTablePalette;
        FTablePalette = ColorTableToPalette(FImage->ColorTable.data(),
                                            static_cast<int>(FImage->ColorTable.size()));
        return FTablePalette;
    }
    if (!FImage && FPixelFormat != pfDevice && FormatBits(FPixelFormat) <= 8 &&
        FPixelFormat != pfCustom) {
        return nullptr;
    }
    return FPalette;
}

void TBitmap::SetPalette(HPALETTE Value) {
    // The color table of an indexed bitmap whose pixels are not made yet is the palette too.
    if (!FImage && !GetEmpty() && !FMonochrome && FPixelFormat != pfDevice &&
        FPixelFormat != pfCustom && FormatBits(FPixelFormat) <= 8)
        Handle();
    if (FImage && FImage->BitCount <= 8 && !FImage->Monochrome) {
        if (Value) SetTableFromPalette(Value);
        FPalette.reset();
    } else {
        if (Value == FPalette) return;
        FPalette = Value;
    }
    SetPaletteModified(true);
    PixelsChanged();
}

void TBitmap::SetTableFromPalette(const HPALETTE& Value) {
    size_t Max = size_t{1} << FImage->BitCount;
    auto T = PaletteToColorTable(Value);
    if (T.size() > Max) T.resize(Max);
    FImage->ColorTable = std::move(T);
    FImage->ClrImportant = 0; // what a file said about its own table no longer applies
    FTablePalette = Value;
}

void TBitmap::SetTransparent(bool Value) {
    if (Value == FTransparent) return;
    FTransparent = Value;
    Changed(this);
}

TColor TBitmap::TransparentColor() {
    if (FTransparentMode == tmFixed && FTransparentColor != clDefault) return FTransparentColor;
    if (!GetEmpty()) Handle();
    if (!FImage || FWidth == 0 || FHeight == 0) return clDefault;
    return static_cast<TColor>(FImage->PixelColor(0, FHeight - 1));
}

void TBitmap::SetTransparentColor(TColor Value) {
    if (Value == FTransparentColor && FTransparentMode == (Value == clDefault ? tmAuto : tmFixed))
        return;
    FTransparentColor = Value;
    FTransparentMode = Value == clDefault ? tmAuto : tmFixed;
    FMask.reset();
    Changed(this);
}

void TBitmap::SetTransparentMode(TTransparentMode Value) {
    if (Value == FTransparentMode) return;
    if (Value == tmAuto)
        SetTransparentColor(clDefault);
    else
        SetTransparentColor(TransparentColor());
}

HBITMAP TBitmap::MaskHandle() {
    if (FMask) return FMask;
    if (!GetEmpty()) Handle();
    if (!FImage || FWidth == 0 || FHeight == 0) return nullptr;
    COLORREF Key = static_cast<COLORREF>(ColorToRGB(TransparentColor())) & 0xFFFFFF;
    HBITMAP M = CreateBitmap(FWidth, FHeight, 1, 1, nullptr);
    if (!M) throw EOutOfResources("Out of system resources");
    const TBitmapObject& Img = *FImage;
    // Which pixel values have the key color.
    std::vector<uint8_t> Hit;
    if (Img.BitCount <= 8) {
        Hit.assign(size_t{1} << Img.BitCount, 0);
        for (size_t v = 0; v < Hit.size(); ++v) {
            COLORREF C;
            if (Img.Monochrome)
                C = v ? 0xFFFFFF : 0;
            else
                C = v < Img.ColorTable.size()
                        ? RGB(Img.ColorTable[v].rgbRed, Img.ColorTable[v].rgbGreen,
                              Img.ColorTable[v].rgbBlue)
                        : 0;
            Hit[v] = C == Key;
        }
    }
    for (int32_t y = 0; y < FHeight; ++y) {
        uint8_t* MR = M->Row(y);
        const uint8_t* R = Img.Row(y);
        for (int32_t x = 0; x < FWidth; ++x) {
            bool Set;
            switch (Img.BitCount) {
            case 8:
                Set = Hit[R[x]];
                break;
            case 4:
                Set = Hit[(R[x >> 1] >> ((x & 1) ? 0 : 4)) & 15];
                break;
            case 1:
                Set = Hit[(R[x >> 3] >> (7 - (x & 7))) & 1];
                break;
            case 24:
                Set = RGB(R[3 * x + 2], R[3 * x + 1], R[3 * x]) == Key;
                break;
            case 32:
                Set = RGB(R[4 * x + 2], R[4 * x + 1], R[4 * x]) == Key;
                break;
            default:
                Set = Img.PixelColor(x, y) == Key;
                break;
            }
            if (Set) MR[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
        }
    }
    FMask = M;
    return FMask;
}

HBITMAP TBitmap::ReleaseMaskHandle() {
    HBITMAP M = MaskHandle();
    FMask.reset();
    return M;
}

void TBitmap::Dormant() {
    if (FCanvas) FCanvas->FreeContext();
}

void TBitmap::Assign(TPersistent* Source) {
    if (Source == nullptr) {
        FImage.reset();
        if (FCanvas) FCanvas->FreeContext();
        FWidth = FHeight = 0;
        FPalette.reset();
        FTablePalette.reset();
        PixelsChanged();
        return;
    }
    if (auto* B = dynamic_cast<TBitmap*>(Source)) {
        if (B == this) return;
        HBITMAP Copy = B->FImage ? B->FImage->Clone() : nullptr;
        if (Copy) Copy->SelectedCount = 0;
        if (FCanvas) FCanvas->FreeContext();
        FImage = Copy;
        FWidth = B->FWidth;
        FHeight = B->FHeight;
        FPixelFormat = B->FPixelFormat;
        FHandleType = B->FHandleType;
        FMonochrome = B->FMonochrome;
        FPalette = B->FPalette ? CopyPalette(B->FPalette) : nullptr;
        FTablePalette.reset();
        FTransparent = B->FTransparent;
        FTransparentMode = B->FTransparentMode;
        FTransparentColor = B->FTransparentColor;
        FMask.reset();
        PixelsChanged();
        return;
    }
    TGraphic::Assign(Source);
}

void TBitmap::Draw(TCanvas& ACanvas, const TRect& R) {
    if (GetEmpty()) return;
    HDC Src = Canvas().Handle();
    HDC Dst = ACanvas.Handle();
    if (!Dst) return;
    if (FTransparent) {
        HBITMAP M = MaskHandle();
        TransparentStretchBlt(Dst, R.Left, R.Top, R.Width(), R.Height(), Src, 0, 0, FWidth, FHeight,
                              M, 0, 0);
    } else {
        StretchBlt(Dst, R.Left, R.Top, R.Width(), R.Height(), Src, 0, 0, FWidth, FHeight,
                   ACanvas.CopyMode());
    }
}

void TBitmap::LoadFromStream(TStream& Stream) {
    HBITMAP Img;
    if (Stream.Position() < Stream.Size()) {
        // A bitmap object that only this bitmap holds can take the new pixels in place.
        HBITMAP Reuse;
        if (FImage) {
            if (FCanvas) FCanvas->FreeContext();
            if (FImage.use_count() == 1) Reuse = FImage;
        }
        try {
            Img = ReadBMP(Stream, Reuse);
        } catch (...) {
            // Headers are checked before any pixel is read; a stream that fails while the
            // pixels are read leaves the reused object emptied, and the bitmap with it.
            if (Reuse && Reuse->Width == 0) {
                FImage.reset();
                FWidth = FHeight = 0;
                PixelsChanged();
            }
            throw;
        }
    }
    if (FCanvas) FCanvas->FreeContext();
    FPalette.reset();
    FTablePalette.reset();
    FMask.reset();
    if (Img) {
        FImage = Img;
        FWidth = Img->Width;
        FHeight = Img->Height;
        FPixelFormat = FormatOf(*Img);
        FHandleType = bmDIB;
        FMonochrome = false;
        if (FPixelFormat == pfCustom) {
            // Unusual bit fields become 32 bits.
            SetPixelFormat(pf32bit);
        }
    } else {
        FImage.reset();
        FWidth = FHeight = 0;
    }
    PixelsChanged();
}

void TBitmap::SaveToStream(TStream& Stream) {
    if (GetEmpty()) return;
    WriteBMP(Stream, *Handle());
}

void TBitmap::LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE APalette) {
    auto B = HandleCast<TBitmapObject>(AData);
    if (AFormat != CF_BITMAP || !B) throw EInvalidGraphic("Unsupported clipboard format");
    HBITMAP Copy = B->Clone();
    Copy->SelectedCount = 0;
    SetHandle(Copy);
    if (APalette && Copy->BitCount > 8) FPalette = CopyPalette(APalette);
}

void TBitmap::SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) {
    AFormat = CF_BITMAP;
    HBITMAP Copy = Handle()->Clone();
    Copy->SelectedCount = 0;
    AData = Copy;
    HPALETTE P = GetPalette();
    APalette = P ? CopyPalette(P) : nullptr;
}

} // namespace mv
