// Icons: the ".ico" file format and the platform's icon graphic.
#pragma once

#include "platform/Classes.h"
#include "platform/Graphics.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace mv {

// Limits on what an icon file may make us allocate. Real icons are at most 256 pixels a
// side; PNG entries may be larger in theory, so we allow some room and refuse the rest.
constexpr int MaxIconSide = 1024;
constexpr int MaxIconEntries = 4096; // a directory entry is 16 bytes: bounded by the file anyway

// One image of an icon file, decoded: rows from the top, BGRA pixels and the AND mask.
struct TIconBitmapData {
    int Width = 0;
    int Height = 0;
    int BitCount = 0;            // depth of the entry's bitmap (32 for PNG entries)
    bool IsPNG = false;          // the entry was PNG-compressed
    bool HasAlpha = false;       // per-pixel alpha is meaningful (32-bit with alpha, PNG)
    std::vector<uint8_t> Pixels; // Width * Height * 4 bytes: blue, green, red, alpha
    std::vector<uint8_t> Mask;   // Width * Height bytes: 1 where the background shows through
};

// What the directory and the entry's own header say about one image of the file.
struct TIconEntryInfo {
    int Index = 0;
    int Width = 0;
    int Height = 0;
    int BitCount = 0;
    bool IsPNG = false;
    uint32_t Offset = 0;
    uint32_t Size = 0;
};

// Lists the images of an icon (or cursor) file. Raises EInvalidGraphic for a damaged
// directory or an entry whose header cannot be read.
std::vector<TIconEntryInfo> ReadIconDirectory(const uint8_t* Data, size_t Size);

// The entry the icon shows: the most pixels, then the deepest, then the first.
size_t ChooseIconEntry(const std::vector<TIconEntryInfo>& Entries);

// Decodes one entry of the file into colors and mask.
TIconBitmapData DecodeIconEntry(const uint8_t* Data, size_t Size, const TIconEntryInfo& Entry);

// Reads the directory and decodes the entry the icon shows.
TIconBitmapData DecodeIconFile(const uint8_t* Data, size_t Size);

// An icon handle: the decoded image an icon shows, shared by the icon and whoever asked
// for its handle. Null means none.
struct TIconObject {
    TIconBitmapData Image;
};
using HICON = std::shared_ptr<const TIconObject>;

// What GetIconInfo answers: two new bitmaps the caller deletes (DeleteObject, or by
// dropping the handles): the colors (32 bits per pixel, the icon's XOR colors) and the AND
// mask (monochrome, set where the background shows through), both of the icon's size.
struct TIconInfo {
    bool fIcon = true;
    uint32_t xHotspot = 0;
    uint32_t yHotspot = 0;
    HBITMAP hbmMask;
    HBITMAP hbmColor;
};

// Fills Info for Icon; false (last error ERROR_INVALID_HANDLE) for a null handle.
bool GetIconInfo(const HICON& Icon, TIconInfo* Info);

// The platform's icon graphic over ".ico" files. It shows the file's largest image (then the
// deepest), draws it through its mask, and saves the file's bytes as they were read. An icon
// cannot be assigned to a bitmap (the platform's conversion error); it is drawn onto one.
class TIcon : public TGraphic {
public:
    TIcon() = default;
    ~TIcon() override;
    TIcon(const TIcon&) = delete;
    TIcon& operator=(const TIcon&) = delete;
    MV_GRAPHIC_CLASS(TIcon)

    // Reads the rest of Stream as an icon file; a damaged one raises EInvalidGraphic and
    // leaves the icon as it was.
    void LoadFromStream(TStream& Stream) override;
    void SaveToStream(TStream& Stream) override;
    using TGraphic::LoadFromFile;

    bool GetEmpty() const override { return !FHandle; }
    int32_t GetWidth() const override { return FHandle ? FHandle->Image.Width : 0; }
    int32_t GetHeight() const override { return FHandle ? FHandle->Image.Height : 0; }
    // An icon's size is that of its image: raises EInvalidGraphicOperation.
    void SetWidth(int32_t Value) override;
    void SetHeight(int32_t Value) override;
    bool Equals(TGraphic* Graphic) override;

    // Draws the image stretched into Rect: where the mask is set the canvas stays as it was
    // (XOR colors there invert it, as monochrome icons use), elsewhere the icon's colors
    // (32-bit images: blended by their alpha).
    void Draw(TCanvas& ACanvas, const TRect& Rect) override;
    // Icons have no clipboard form here: both raise EInvalidGraphic.
    void LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE APalette) override;
    void SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) override;
    // From another icon: shares its image and bytes; else the platform's.
    void Assign(TPersistent* Source) override;

    HICON Handle() const { return FHandle; }
    // The image shown; valid while the icon is not empty.
    const TIconBitmapData& Image() const { return FHandle->Image; }
    const std::vector<uint8_t>& Data() const { return FData; }

private:
    std::vector<uint8_t> FData;
    HICON FHandle;
};

} // namespace mv
