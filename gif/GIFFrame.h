// Frames of a GIF document: the image descriptor, the frame with its local color map,
// extensions and pixel buffer, and the two owning lists (frames of an image, extensions of a
// frame) that read a sequence of blocks.
#pragma once

#include "gif/GIFBase.h"
#include "gif/GIFColorMap.h"
#include "gif/GIFExtensions.h"

#include <cstdint>
#include <memory>
#include <mutex>

namespace mv {

class TBitmap;
class TCanvas;
class TGIFSubImage;
class TPictureImport;
struct TRect;

#pragma pack(push, 1)
// Image descriptor, 10 bytes as in the file.
//   offset size field
//   0      1    ImageSeparator (0x2C; the byte read when loaded)
//   1      2    LeftPos
//   3      2    TopPos
//   5      2    PixelWidth
//   7      2    PixelHeight
//   9      1    Flags: 0x80 local table, 0x40 interlaced, 0x20 sorted, 0x18 reserved, 0x07 size
struct TFrameDescriptor {
    uint8_t ImageSeparator;
    uint16_t LeftPos;
    uint16_t TopPos;
    uint16_t PixelWidth;
    uint16_t PixelHeight;
    uint8_t Flags; // table size field n means 2^(n + 1) entries
};
#pragma pack(pop)
static_assert(sizeof(TFrameDescriptor) == 10);

// The extensions of one frame, in file order.
class TGIFExtensionList : public TGIFList {
public:
    using TGIFList::TGIFList;
    std::string ClassName() const override { return "TGIFExtensionList"; }
    TGIFExtension* ExtensionAt(int Index) const;
    // Moves the list and its extensions to another image.
    void Reparent(TGIFImage* GIFImage);
    // Reads extension blocks up to the byte that starts the descriptor (or the trailer, or an
    // invalid introducer, which is stepped back for the frame to read). Parent is the frame.
    void LoadFromStream(TStream& Stream, TObject* Parent) override;
};

// The frames of one image, in file order.
class TGIFImageList : public TGIFList {
public:
    using TGIFList::TGIFList;
    std::string ClassName() const override { return "TGIFImageList"; }
    TGIFSubImage* FrameAt(int Index) const;
    // Reads blocks up to the trailer (which is stepped back for the image to check), with a
    // progress report after each frame. Parent is the image.
    void LoadFromStream(TStream& Stream, TObject* Parent) override;
    // Every frame, with a progress report after each.
    void SaveToStream(TStream& Stream) override;
};

class TGIFSubImage : public TGIFItem {
public:
    explicit TGIFSubImage(TGIFImage* GIFImage);
    // Takes itself out of its image's frame list.
    ~TGIFSubImage() override;
    std::string ClassName() const override { return "TGIFSubImage"; }

    // From another frame: a deep copy (descriptor, transparency, pixels, local map, extensions,
    // rendering); from null: emptied. Any other source goes to the picture import
    // (TPictureImport).
    void Assign(TPersistent* Source) override;
    // gr89a when the local map is sorted or the frame has an extension.
    TGIFRevision RequiredVersion() override;
    // Extensions; then, unless empty, descriptor, local color table and image data.
    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;

    void MakeEmpty();
    bool IsEmpty() const;
    // Moves the frame (with its extensions) to another image; the caller has taken it out of
    // its former image's frame list.
    void Reparent(TGIFImage* GIFImage);

    uint16_t Left() const { return FDescriptor.LeftPos; }
    uint16_t Top() const { return FDescriptor.TopPos; }
    uint16_t Width() const { return FDescriptor.PixelWidth; }
    uint16_t Height() const { return FDescriptor.PixelHeight; }
    void SetLeft(uint16_t Value) { Place(Value, Top(), Width(), Height()); }
    void SetTop(uint16_t Value) { Place(Left(), Value, Width(), Height()); }
    void SetWidth(uint16_t Value) { Place(Left(), Top(), Value, Height()); }
    void SetHeight(uint16_t Value) { Place(Left(), Top(), Width(), Value); }
    // Sets position and size; a new size gets a new zero-filled pixel buffer, and a frame
    // beyond the image's screen grows it (with warnings when the screen was not 0 x 0).
    void Place(uint16_t ALeft, uint16_t ATop, uint16_t AWidth, uint16_t AHeight);
    TRect FrameRect() const;
    bool IsInterlaced() const { return FDescriptor.Flags & 0x40; }

    // The local map when it has entries, else the image's global map when that has entries,
    // else the (empty) local map.
    TGIFColorMap& EffectiveMap() const;
    int32_t IndexBits() const { return FLocalMap->IndexBits(); }
    int32_t ResolutionBits() const { return IndexBits() - 1; }

    // The frame's palette: its rendering's, its cached one, the cube on dithering displays,
    // the image's for an empty local map, else one made from the local map (cached).
    HPALETTE PaletteHandle();
    // Replaces the cached palette; a rendering with another palette is dropped.
    void SetPaletteHandle(HPALETTE Value);

    // Pixels: Width x Height bytes, rows top to bottom without gaps.
    void EnsurePixels();
    void AllocatePixels();
    void ReleasePixels();
    uint8_t* RowPointer(int32_t Y);
    uint8_t PixelAt(int32_t X, int32_t Y);
    uint8_t* IndexData() const { return FIndexData.get(); }
    int32_t IndexSize() const { return FIndexSize; }

    bool HasRendering() const { return FRendered != nullptr; }
    TBitmap* Rendered() const { return FRendered.get(); }
    void NewRendering();
    void DropRendering();
    void DropMask();
    bool MaskStale() const { return FMaskStale; }

    // Drawing (GIFRender.cpp).
    // The cached rendering, made on first use: nil for an empty frame, or when a progress
    // handler stopped the rendering with EAbort.
    TBitmap* Rendering();
    // When the mask is stale on a transparent frame: renders anew. Then whether there is a mask.
    bool MaskReady();
    // The monochrome mask (set bit = transparent pixel), null when none.
    const HBITMAP& MaskHandle() const { return FMaskHandle; }
    // The frame's rectangle inside R, scaled from the image's logical screen.
    TRect PlaceInRect(const TRect& R) const;
    // Draws the frame at its place in Rect (or, tiled, over Rect).
    void PaintTo(TCanvas& Canvas, const TRect& Rect, bool Transparent, bool Tiled);
    void Draw(TCanvas& Canvas, const TRect& Rect, bool Transparent, bool Tiled) {
        PaintTo(Canvas, Rect, Transparent, Tiled);
    }
    // Draws the rendering into Rect as it is (or as tiles over Rect).
    void PaintStretched(TCanvas& Canvas, const TRect& Rect, bool Transparent, bool Tiled);
    // Into a TBitmap: the bitmap takes a copy of the rendering; anything else is refused.
    void AssignTo(TPersistent* Dest) override;

    // Recomputes the descriptor flags before writing.
    void UpdateFlags();
    // The image data: decoder and encoders.
    void DecodeData(TStream& Stream);
    void EncodeData(TStream& Stream);

    TGIFLocalColorMap& LocalMap() const { return *FLocalMap; }
    TFrameDescriptor& Descriptor() { return FDescriptor; }
    const TFrameDescriptor& Descriptor() const { return FDescriptor; }
    TGIFExtensionList& ExtensionList() const { return *FExtensionList; }
    bool HasTransparency() const { return FHasTransparency; }
    void SetHasTransparency(bool Value) { FHasTransparency = Value; }
    TGIFGraphicControlExtension* ControlExtension() const { return FControl; }
    void SetControlExtension(TGIFGraphicControlExtension* Value) { FControl = Value; }

private:
    friend class TPictureImport; // fills the frame's parts from a picture
    // The owning image's render lock, held for a scope (nothing for a frame without an
    // image): the rendering, mask and palette change only under it, as a painter thread may
    // render the frame ahead of its display.
    std::unique_lock<std::recursive_mutex> RenderGuard() const;
    std::unique_ptr<TBitmap> RenderPlain();
    std::unique_ptr<TBitmap> RenderDithered();

    std::unique_ptr<TBitmap> FRendered;
    HBITMAP FMaskHandle{};
    bool FMaskStale = true;
    HPALETTE FPaletteHandle{};
    std::unique_ptr<uint8_t[]> FIndexData;
    int32_t FIndexSize = 0;
    std::unique_ptr<TGIFLocalColorMap> FLocalMap;
    TFrameDescriptor FDescriptor{};
    std::unique_ptr<TGIFExtensionList> FExtensionList;
    bool FHasTransparency = false;
    TGIFGraphicControlExtension* FControl = nullptr;
};

} // namespace mv
