// GIF color tables: up to 256 red, green, blue triples, their bytes in a file, searching and
// adding colors, conversion to and from palettes and DIB color tables, and the usage sort.
#pragma once

#include "gif/GIFBase.h"
#include "platform/Graphics.h"

#include <cstdint>
#include <memory>

namespace mv {

class TGIFHeader;
class TGIFSubImage;

// Splits a color (0x00BBGGRR) into red, green, blue and joins them again (high byte 0).
void ColorToTriple(TColor Color, uint8_t& Red, uint8_t& Green, uint8_t& Blue);
TColor TripleToColor(uint8_t Red, uint8_t Green, uint8_t Blue);

// One record of the usage sort: how many pixels use an entry, and its index before sorting.
struct TColorUsage {
    int32_t Hits;
    int32_t OldIndex;
};
using TColorUsageArray = TColorUsage[256];
using TColorRemap = uint8_t[256]; // old index -> new index

class TGIFColorMap : public TPersistent {
public:
    TGIFColorMap() = default;
    ~TGIFColorMap() override = default; // subclasses empty the map and notify
    TGIFColorMap(const TGIFColorMap&) = delete;
    TGIFColorMap& operator=(const TGIFColorMap&) = delete;
    std::string ClassName() const override { return "TGIFColorMap"; }

    // Copy of another color map; anything else is the platform's conversion error.
    void Assign(TPersistent* Source) override;

    virtual void ReportWarning(uint8_t Severity, const std::string& Message) = 0;
    // Hits = 0 and OldIndex = i for each entry, then one hit per pixel byte using this map.
    virtual void CountUsage(TColorUsageArray& Usage) = 0;
    // Rewrites every pixel using this map (and transparent indices) through Map.
    virtual void RemapPixels(const TColorRemap& Map) = 0;
    virtual bool Compact() = 0;
    virtual void NotifyChanged() = 0;

    int32_t Count() const { return FUsed; }
    int32_t Room() const { return FRoom; }
    bool Sorted() const { return FSorted; }
    // The entries, 3 bytes each (red, green, blue); null when nothing is allocated.
    const uint8_t* Triples() const { return FTriples.get(); }

    // Frees the storage; no change notice.
    void MakeEmpty();
    // Grows the room to 16, or N rounded up to a multiple of 32, at most 256. Never shrinks.
    void Reserve(int32_t N);
    // The color table as written in a file: the entries, then black padding up to 2^IndexBits.
    void WriteTable(TStream& Stream) const;
    // Replaces the entries by N triples of the stream (N is 2..256 from a size field).
    void ReadTable(TStream& Stream, int32_t N);
    // Index of an equal entry, or -1: the first one when sorted, else the last one.
    int32_t Locate(TColor Color) const;
    int32_t Append(TColor Color);
    int32_t FindOrAppend(TColor Color);
    void DeleteAt(int32_t Index);
    // The entry as a color; outside the map: a warning, then entry 0 (or an error when empty).
    TColor ColorAt(int32_t Index);
    // Replaces the entries by those of a palette, of N DIB color-table entries, or of the color
    // table of the DIB selected into a device context.
    void FromPalette(HPALETTE Palette);
    void FromRGBQuads(const RGBQUAD* Quads, int32_t N);
    void FromDCColorTable(HDC DC);
    // A new palette of the entries (each flagged PC_NOCOLLAPSE); none for an empty map.
    HPALETTE ToPalette() const;
    int32_t IndexBits() const { return BitsForColorCount(FUsed); }
    // Orders the entries by decreasing use and drops the unused ones; false when the map has
    // at most one entry.
    bool SortByUsage();

private:
    std::unique_ptr<uint8_t[]> FTriples;
    int32_t FUsed = 0;
    int32_t FRoom = 0;
    bool FSorted = false;
};

// The global color table, owned by the header.
class TGIFGlobalColorMap : public TGIFColorMap {
public:
    explicit TGIFGlobalColorMap(TGIFHeader* Header) : FOwnerHeader(Header) {}
    ~TGIFGlobalColorMap() override;
    std::string ClassName() const override { return "TGIFGlobalColorMap"; }

    void ReportWarning(uint8_t Severity, const std::string& Message) override;
    void CountUsage(TColorUsageArray& Usage) override;
    void RemapPixels(const TColorRemap& Map) override;
    bool Compact() override;
    // Drops the owning image's palette.
    void NotifyChanged() override;

    TGIFHeader* Header() const { return FOwnerHeader; }

private:
    TGIFImage* OwnerImage() const;
    TGIFHeader* FOwnerHeader;
};

// A frame's local color table.
class TGIFLocalColorMap : public TGIFColorMap {
public:
    explicit TGIFLocalColorMap(TGIFSubImage* Frame) : FOwnerFrame(Frame) {}
    ~TGIFLocalColorMap() override;
    std::string ClassName() const override { return "TGIFLocalColorMap"; }

    void ReportWarning(uint8_t Severity, const std::string& Message) override;
    void CountUsage(TColorUsageArray& Usage) override;
    void RemapPixels(const TColorRemap& Map) override;
    bool Compact() override;
    // Drops the owning frame's palette (and its rendering when that used another palette).
    void NotifyChanged() override;

    TGIFSubImage* Frame() const { return FOwnerFrame; }

private:
    TGIFSubImage* FOwnerFrame;
};

} // namespace mv
