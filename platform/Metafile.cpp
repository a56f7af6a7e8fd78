#include "platform/Metafile.h"

#include <algorithm>
#include <cstring>

#include "platform/Raster.h"
#include "platform/SysUtils.h"

namespace mv {

namespace {

// Files larger than this are refused before they are read into memory.
constexpr int64_t kMaxMetafileBytes = 256LL * 1024 * 1024;

} // namespace

void TMetafile::Clear() {
    FData.clear();
    FInfo = {};
    FWidth = FHeight = 0;
}

void TMetafile::Assign(TPersistent* Source) {
    if (Source == nullptr) {
        Clear();
        Changed(this);
        return;
    }
    if (auto* M = dynamic_cast<TMetafile*>(Source)) {
        if (M == this) return;
        FData = M->FData;
        FInfo = M->FInfo;
        FWidth = M->FWidth;
        FHeight = M->FHeight;
        Changed(this);
        return;
    }
    TGraphic::Assign(Source);
}

void TMetafile::SetWidth(int32_t Value) {
    if (Value < 0 || Value == FWidth) return;
    FWidth = Value;
    Changed(this);
}

void TMetafile::SetHeight(int32_t Value) {
    if (Value < 0 || Value == FHeight) return;
    FHeight = Value;
    Changed(this);
}

int32_t TMetafile::MMWidth() const {
    if (FInfo.Kind == metafile::mkEnhanced) return std::abs(FInfo.FrameRight - FInfo.FrameLeft);
    return MulDiv(FWidth, 2540, 96);
}

int32_t TMetafile::MMHeight() const {
    if (FInfo.Kind == metafile::mkEnhanced) return std::abs(FInfo.FrameBottom - FInfo.FrameTop);
    return MulDiv(FHeight, 2540, 96);
}

void TMetafile::LoadFromBytes(std::vector<uint8_t> Bytes) {
    metafile::TMetafileInfo Info = metafile::ReadMetafileInfo(Bytes.data(), Bytes.size());
    FData = std::move(Bytes);
    FInfo = Info;
    FWidth = Info.Width;
    FHeight = Info.Height;
    Changed(this);
}

void TMetafile::LoadFromStream(TStream& Stream) {
    int64_t Left = Stream.Size() - Stream.Position();
    if (Left <= 0) throw EInvalidGraphic("Metafile is empty");
    if (Left > kMaxMetafileBytes)
        throw EInvalidGraphic(Format("Metafile of %lld bytes is larger than the %lld bytes we read",
                                     static_cast<long long>(Left),
                                     static_cast<long long>(kMaxMetafileBytes)));
    std::vector<uint8_t> Bytes(static_cast<size_t>(Left));
    Stream.ReadBuffer(Bytes.data(), Left);
    LoadFromBytes(std::move(Bytes));
}

void TMetafile::SaveToStream(TStream& Stream) {
    if (!FData.empty()) Stream.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size()));
}

void TMetafile::LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE) {
    auto Memory = HandleCast<TGlobalMemory>(AData);
    if (AFormat != CF_ENHMETAFILE || !Memory || !Memory->Data)
        throw EInvalidGraphic("Unsupported clipboard format for a metafile");
    std::vector<uint8_t> Bytes(Memory->Data.get(), Memory->Data.get() + Memory->Size);
    LoadFromBytes(std::move(Bytes));
}

void TMetafile::SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) {
    AFormat = CF_ENHMETAFILE;
    APalette = nullptr;
    HGLOBAL Memory = GlobalAlloc(GHND, FData.size());
    if (!Memory) throw EOutOfMemory("Out of memory");
    if (!FData.empty()) std::memcpy(Memory->Data.get(), FData.data(), FData.size());
    AData = Memory;
}

void TMetafile::Draw(TCanvas& ACanvas, const TRect& Rect) {
    if (FData.empty() || Rect.Left == Rect.Right || Rect.Top == Rect.Bottom) return;
    HDC DC = ACanvas.Handle();
    if (!DC || !DC->Bitmap) return;
    TBitmapObject& Surface = *DC->Bitmap;
    if (Surface.Width <= 0 || Surface.Height <= 0 || !Surface.Bits()) return;
    ACanvas.Changing();
    if (!Surface.Monochrome && (Surface.BitCount == 24 || Surface.BitCount == 32)) {
        raster::TPixelBuffer B{Surface.Bits(), Surface.Width,        Surface.Height,
                               Surface.Stride, Surface.BitCount / 8, 0};
        raster::TRasterizer R(B);
        metafile::PlayMetafile(FData.data(), FInfo, R, Rect.Left, Rect.Top, Rect.Right,
                               Rect.Bottom);
    } else {
        // Other surfaces: play onto a 32-bit copy of the covered part, then set the pixels
        // that changed, so the untouched ones keep their exact values.
        TRect Area{std::max(0, std::min(Rect.Left, Rect.Right)),
                   std::max(0, std::min(Rect.Top, Rect.Bottom)),
                   std::min(Surface.Width, std::max(Rect.Left, Rect.Right)),
                   std::min(Surface.Height, std::max(Rect.Top, Rect.Bottom))};
        if (Area.IsEmpty()) {
            ACanvas.Changed();
            return;
        }
        int W = Area.Width(), H = Area.Height();
        std::vector<uint32_t> Before(static_cast<size_t>(W) * H);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                Before[static_cast<size_t>(y) * W + x] =
                    raster::ColorRefToRGB(Surface.PixelColor(Area.Left + x, Area.Top + y));
        std::vector<uint32_t> After = Before;
        raster::TPixelBuffer B{
            reinterpret_cast<uint8_t*>(After.data()), W, H, static_cast<ptrdiff_t>(W) * 4, 4, 0};
        raster::TRasterizer R(B);
        metafile::PlayMetafile(FData.data(), FInfo, R, Rect.Left - Area.Left, Rect.Top - Area.Top,
                               Rect.Right - Area.Left, Rect.Bottom - Area.Top);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                size_t i = static_cast<size_t>(y) * W + x;
                if ((After[i] & 0xFFFFFF) != Before[i])
                    SetPixel(DC, Area.Left + x, Area.Top + y, raster::ColorRefToRGB(After[i]));
            }
    }
    ACanvas.Changed();
}

} // namespace mv
