#include "gif/GIFFrame.h"

#include "gif/GIFDecoder.h"
#include "gif/GIFEncoder.h"
#include "gif/GIFHeader.h"
#include "gif/GIFImage.h"
#include "gif/GIFLimits.h"
#include "gif/color/PictureImport.h"
#include "gif/color/Reduction.h"
#include "platform/SysUtils.h"

#include <cstring>
#include <mutex>

namespace mv {

namespace {

// The 216-color cube of the color module (r * 36 + g * 6 + b = (51 r, 51 g, 51 b)).
HPALETTE MakeCubePalette() {
    std::vector<TLookupEntry> Cube = Netscape216Entries();
    std::vector<TPaletteEntry> Entries(Cube.size());
    for (size_t i = 0; i < Cube.size(); ++i)
        Entries[i] = TPaletteEntry{Cube[i].Red, Cube[i].Green, Cube[i].Blue, Cube[i].Flags};
    return CreatePalette(Entries.data(), static_cast<int>(Entries.size()));
}

// Position x 100 / size, rounded half up, in 64 bits (streams may pass 2 GiB).
int32_t PercentOf(int64_t Part, int64_t Whole) {
    if (Whole <= 0) return -1;
    return static_cast<int32_t>((Part * 100 + Whole / 2) / Whole);
}

const TRect NoRect{0, 0, 0, 0};

} // namespace

// ---------------------------------------------------------------------------
// TGIFSubImage

TGIFSubImage::TGIFSubImage(TGIFImage* GIFImage)
    : TGIFItem(GIFImage), FLocalMap(std::make_unique<TGIFLocalColorMap>(this)),
      FExtensionList(std::make_unique<TGIFExtensionList>(GIFImage)) {
    FDescriptor.ImageSeparator = 0x2C;
}

TGIFSubImage::~TGIFSubImage() {
    // Out of the image first: emptying must not touch the image (placing a frame at size
    // 0 x 0 can grow the screen, which may raise).
    if (FOwnerImage) FOwnerImage->Frames().Detach(this);
    FOwnerImage = nullptr;
    MakeEmpty();
    FExtensionList.reset();
    FLocalMap.reset();
    FPaletteHandle = nullptr;
}

void TGIFSubImage::MakeEmpty() {
    FExtensionList->DeleteAll();
    FLocalMap->MakeEmpty();
    ReleasePixels();
    SetHeight(0);
    SetWidth(0);
    FHasTransparency = false;
    FControl = nullptr;
    DropRendering();
    DropMask();
}

void TGIFSubImage::Reparent(TGIFImage* GIFImage) {
    FOwnerImage = GIFImage;
    FExtensionList->Reparent(GIFImage);
}

bool TGIFSubImage::IsEmpty() const {
    return !FIndexData || FIndexSize == 0 || FDescriptor.PixelHeight == 0 ||
           FDescriptor.PixelWidth == 0;
}

void TGIFSubImage::Place(uint16_t ALeft, uint16_t ATop, uint16_t AWidth, uint16_t AHeight) {
    bool SizeChanged = AWidth != FDescriptor.PixelWidth || AHeight != FDescriptor.PixelHeight;
    FDescriptor.LeftPos = ALeft;
    FDescriptor.TopPos = ATop;
    FDescriptor.PixelWidth = AWidth;
    FDescriptor.PixelHeight = AHeight;
    if (SizeChanged) {
        DropRendering();
        DropMask();
        ReleasePixels();
        AllocatePixels();
    }
    if (!FOwnerImage) return;
    bool Grew = false;
    int32_t Right = int32_t{ALeft} + AWidth;
    int32_t Bottom = int32_t{ATop} + AHeight;
    if (FOwnerImage->Width() < Right) {
        if (FOwnerImage->Width() > 0) {
            ReportWarning(1, gifmsg::ImageWidthTooSmall);
            Grew = true;
        }
        FOwnerImage->SetWidth(Right);
    }
    if (FOwnerImage->Height() < Bottom) {
        if (FOwnerImage->Height() > 0) {
            ReportWarning(1, gifmsg::ImageHeightTooSmall);
            Grew = true;
        }
        FOwnerImage->SetHeight(Bottom);
    }
    if (Grew) ReportWarning(1, gifmsg::ScreenSizeExceeded);
}

TRect TGIFSubImage::FrameRect() const {
    return TRect{FDescriptor.LeftPos, FDescriptor.TopPos,
                 FDescriptor.LeftPos + FDescriptor.PixelWidth,
                 FDescriptor.TopPos + FDescriptor.PixelHeight};
}

TGIFColorMap& TGIFSubImage::EffectiveMap() const {
    if (FLocalMap->Count() > 0) return *FLocalMap;
    if (FOwnerImage && FOwnerImage->ScreenColorMap().Count() > 0)
        return FOwnerImage->ScreenColorMap();
    return *FLocalMap;
}

TGIFRevision TGIFSubImage::RequiredVersion() {
    if (FLocalMap->Sorted()) return gr89a;
    TGIFRevision Result = gr87a;
    for (int i = 0; i < FExtensionList->Count(); ++i) {
        TGIFRevision R = FExtensionList->Items(i)->RequiredVersion();
        if (R > Result) Result = R;
    }
    return Result;
}

HPALETTE TGIFSubImage::PaletteHandle() {
    // A painter thread may be rendering this frame ahead of its display.
    auto Guard = RenderGuard();
    if (FRendered) {
        HPALETTE P = FRendered->Palette();
        if (P) return P;
    }
    if (FPaletteHandle) return FPaletteHandle;
    if (FOwnerImage && FOwnerImage->ShouldDither()) {
        FPaletteHandle = MakeCubePalette();
        return FPaletteHandle;
    }
    if (FLocalMap->Count() == 0) return FOwnerImage ? FOwnerImage->Palette() : HPALETTE{};
    FPaletteHandle = FLocalMap->ToPalette();
    return FPaletteHandle;
}

void TGIFSubImage::SetPaletteHandle(HPALETTE Value) {
    auto Guard = RenderGuard();
    if (Value == FPaletteHandle) return;
    bool RenderingDiffers = FRendered && FRendered->Palette() != Value;
    FPaletteHandle = std::move(Value);
    if (RenderingDiffers) {
        DropRendering();
        if (FOwnerImage) {
            FOwnerImage->SetPaletteModified(true);
            FOwnerImage->Changed(this);
        }
    }
}

void TGIFSubImage::EnsurePixels() {
    if (!FIndexData) AllocatePixels();
    if (FIndexSize == 0) RaiseGIFError(gifmsg::EmptyImage);
}

void TGIFSubImage::AllocatePixels() {
    ReleasePixels();
    int64_t Size = int64_t{FDescriptor.PixelHeight} * FDescriptor.PixelWidth;
    if (Size > 0) FIndexData = std::make_unique<uint8_t[]>(static_cast<size_t>(Size));
    FIndexSize = static_cast<int32_t>(Size);
}

void TGIFSubImage::ReleasePixels() {
    FIndexData.reset();
    FIndexSize = 0;
}

uint8_t* TGIFSubImage::RowPointer(int32_t Y) {
    if (Y < 0 || Y > int32_t{FDescriptor.PixelHeight} - 1)
        RaiseGIFError(gifmsg::BadPixelCoordinates);
    EnsurePixels();
    return FIndexData.get() + static_cast<size_t>(Y) * FDescriptor.PixelWidth;
}

uint8_t TGIFSubImage::PixelAt(int32_t X, int32_t Y) {
    if (X < 0 || X > int32_t{FDescriptor.PixelWidth} - 1)
        RaiseGIFError(gifmsg::BadPixelCoordinates);
    return RowPointer(Y)[X];
}

std::unique_lock<std::recursive_mutex> TGIFSubImage::RenderGuard() const {
    if (!FOwnerImage) return {};
    return std::unique_lock<std::recursive_mutex>(FOwnerImage->RenderLock());
}

void TGIFSubImage::NewRendering() {
    auto Guard = RenderGuard();
    DropRendering();
    FRendered = std::make_unique<TBitmap>();
}

void TGIFSubImage::DropRendering() {
    auto Guard = RenderGuard();
    FRendered.reset();
}

void TGIFSubImage::DropMask() {
    auto Guard = RenderGuard();
    FMaskHandle = HBITMAP{};
    FMaskStale = true;
}

void TGIFSubImage::UpdateFlags() {
    if (FLocalMap->Count() > 0) {
        uint8_t Flags = 0x80;
        if (FLocalMap->Sorted()) Flags |= 0x20;
        Flags |= static_cast<uint8_t>(ResolutionBits() & 7);
        FDescriptor.Flags = Flags;
    } else {
        FDescriptor.Flags &= 0x58;
    }
}

void TGIFSubImage::SaveToStream(TStream& Stream) {
    FExtensionList->SaveToStream(Stream);
    // A frame without pixels writes only its extensions.
    if (IsEmpty()) return;
    UpdateFlags();
    Stream.Write(&FDescriptor, sizeof(FDescriptor));
    FLocalMap->WriteTable(Stream);
    EncodeData(Stream);
}

void TGIFSubImage::LoadFromStream(TStream& Stream) {
    MakeEmpty();
    FExtensionList->LoadFromStream(Stream, this);
    uint8_t Byte;
    // Tolerated: extensions not followed by a descriptor (data end, trailer or a zero byte).
    if (!ReadOneByte(Stream, Byte)) return;
    Stream.Seek(-1, soCurrent);
    if (Byte == 0x3B || Byte == 0x00) return;
    // The separator byte is not checked: whatever stands here starts a descriptor.
    ReadExact(Stream, &FDescriptor, sizeof(FDescriptor));
    if (FDescriptor.PixelHeight == 0 || FDescriptor.PixelWidth == 0) {
        // Tolerated: a zero-size frame takes the logical screen's size.
        if (FOwnerImage) {
            FDescriptor.PixelHeight = static_cast<uint16_t>(FOwnerImage->Height());
            FDescriptor.PixelWidth = static_cast<uint16_t>(FOwnerImage->Width());
        }
        ReportWarning(1, gifmsg::ScreenSizeExceeded);
    }
    if (FDescriptor.Flags & 0x80) {
        int32_t Count = 2 << (FDescriptor.Flags & 7);
        if (Count < 2 || Count > 256) RaiseGIFError(gifmsg::ImageBadColorSize);
        FLocalMap->ReadTable(Stream, Count);
    }
    // Sizes read from a file are checked before the pixel buffer is allocated: a 30-byte
    // file can otherwise ask for gigabytes. A frame outside an image has only its own budget.
    int64_t Loaded = FOwnerImage ? FOwnerImage->LoadedPixelBytes() : 0;
    CheckFramePixels(FDescriptor.PixelWidth, FDescriptor.PixelHeight, Loaded);
    if (FOwnerImage) FOwnerImage->SetLoadedPixelBytes(Loaded);
    DecodeData(Stream);
}

void TGIFSubImage::DecodeData(TStream& Stream) {
    AllocatePixels();
    uint8_t Fill = FHasTransparency && FControl ? FControl->TransparentSlot() : 0;
    if (FIndexData) std::memset(FIndexData.get(), Fill, static_cast<size_t>(FIndexSize));
    DecodeImageData(Stream, FIndexData.get(), FIndexData ? FDescriptor.PixelWidth : 0,
                    FIndexData ? FDescriptor.PixelHeight : 0, IsInterlaced(), this);
}

void TGIFSubImage::EncodeData(TStream& Stream) {
    int32_t BitsPerPixel, ColorCount;
    if (FLocalMap->Count() > 0) {
        ColorCount = FLocalMap->Count();
        BitsPerPixel = FLocalMap->IndexBits();
    } else {
        BitsPerPixel = FOwnerImage ? FOwnerImage->IndexBits() : IndexBits();
        ColorCount = 1 << BitsPerPixel;
    }
    std::unique_ptr<TGIFEncoder> Encoder =
        CreateGIFEncoder(FOwnerImage ? FOwnerImage->CompressionMethod : cpLZW);
    Encoder->Encode(Stream, static_cast<uint8_t>(BitsPerPixel), FDescriptor.PixelWidth,
                    FDescriptor.PixelHeight, IsInterlaced(), FIndexData.get(), ColorCount);
}

void TGIFSubImage::Assign(TPersistent* Source) {
    if (Source == this) return;
    if (Source == nullptr) {
        MakeEmpty();
        return;
    }
    auto* Frame = dynamic_cast<TGIFSubImage*>(Source);
    if (!Frame) {
        TPictureImport(*this).Assign(Source);
        return;
    }
    MakeEmpty();
    if (Frame->IsEmpty()) return;
    FDescriptor = Frame->FDescriptor;
    FHasTransparency = Frame->FHasTransparency;
    AllocatePixels();
    if (FIndexData && Frame->FIndexData)
        std::memcpy(FIndexData.get(), Frame->FIndexData.get(),
                    static_cast<size_t>(std::min(FIndexSize, Frame->FIndexSize)));
    FLocalMap->Assign(Frame->FLocalMap.get());
    if (Frame->FExtensionList->Count() > 0) {
        TMemoryStream Copy;
        Frame->FExtensionList->SaveToStream(Copy);
        Copy.SetPosition(0);
        FExtensionList->LoadFromStream(Copy, this);
    }
    if (Frame->FRendered) {
        NewRendering();
        FRendered->Assign(Frame->FRendered.get());
    }
}

// ---------------------------------------------------------------------------
// TGIFExtensionList

TGIFExtension* TGIFExtensionList::ExtensionAt(int Index) const {
    return static_cast<TGIFExtension*>(Items(Index));
}

void TGIFExtensionList::Reparent(TGIFImage* GIFImage) {
    FOwnerImage = GIFImage;
    for (int i = 0; i < Count(); ++i) ExtensionAt(i)->SetImage(GIFImage);
}

void TGIFExtensionList::LoadFromStream(TStream& Stream, TObject* Parent) {
    auto* Frame = dynamic_cast<TGIFSubImage*>(Parent);
    uint8_t Byte;
    if (!ReadOneByte(Stream, Byte)) return;
    while (Byte != 0x2C && Byte != 0x3B) {
        if (Byte != 0x21) {
            ReportWarning(1, gifmsg::BadExtensionLabel);
            break;
        }
        const TGIFExtensionClass* Class = TGIFExtension::ClassForBlock(Stream);
        if (!Class) RaiseGIFError(gifmsg::UnknownExtension);
        Stream.Seek(-1, soCurrent);
        std::unique_ptr<TGIFExtension> Extension = Class->Create(Frame);
        Extension->LoadFromStream(Stream);
        Append(std::move(Extension));
        if (!ReadOneByte(Stream, Byte)) return;
    }
    Stream.Seek(-1, soCurrent);
}

// ---------------------------------------------------------------------------
// TGIFImageList

TGIFSubImage* TGIFImageList::FrameAt(int Index) const {
    return static_cast<TGIFSubImage*>(Items(Index));
}

void TGIFImageList::LoadFromStream(TStream& Stream, TObject* Parent) {
    auto* Image = dynamic_cast<TGIFImage*>(Parent);
    uint8_t Byte;
    // Tolerated: zero bytes between blocks are skipped.
    auto SkipZeros = [&]() {
        do {
            if (!ReadOneByte(Stream, Byte)) return false;
        } while (Byte == 0x00);
        return true;
    };
    if (!SkipZeros()) return;
    while (Byte != 0x3B) {
        Stream.Seek(-1, soCurrent);
        if (Byte != 0x21 && Byte != 0x2C) {
            // Left in the stream: the trailer check sees it too.
            ReportWarning(1, gifmsg::UnknownBlockType);
            return;
        }
        // Extensions after the last image become a frame of their own that holds only them.
        auto Frame = std::make_unique<TGIFSubImage>(Image);
        Frame->LoadFromStream(Stream);
        TGIFSubImage* Loaded = Frame.get();
        int Index = Append(std::move(Frame));
        try {
            if (Image)
                Image->Progress(this, psRunning, PercentOf(Stream.Position(), Stream.Size()), false,
                                NoRect, gifmsg::Loading);
        } catch (...) {
            if (Index < Count() && Items(Index) == Loaded) DeleteAt(Index);
            throw;
        }
        if (!SkipZeros()) return;
    }
    Stream.Seek(-1, soCurrent);
}

void TGIFImageList::SaveToStream(TStream& Stream) {
    for (int i = 0; i < Count(); ++i) {
        FrameAt(i)->SaveToStream(Stream);
        if (FOwnerImage)
            FOwnerImage->Progress(this, psRunning, MulDiv(i + 1, 100, Count()), false, NoRect,
                                  gifmsg::Saving);
    }
}

} // namespace mv
