// The start and the end of a GIF file: the header with the logical screen descriptor and the
// global color table, and the trailer.
#pragma once

#include "gif/GIFBase.h"
#include "gif/GIFColorMap.h"

#include <bit>
#include <cstdint>
#include <memory>

namespace mv {

static_assert(std::endian::native == std::endian::little,
              "GIF block records are byte images of little-endian file data");

#pragma pack(push, 1)
// Logical screen descriptor, 7 bytes as in the file.
//   offset size field
//   0      2    LogicalWidth
//   2      2    LogicalHeight
//   4      1    Flags: 0x80 global table, 0x70 color resolution, 0x08 sorted, 0x07 table size
//   5      1    BackgroundIndex
//   6      1    PixelAspect (0 = not given)
struct TScreenDescriptor {
    uint16_t LogicalWidth;
    uint16_t LogicalHeight;
    uint8_t Flags; // table size field n means 2^(n + 1) entries
    uint8_t BackgroundIndex;
    uint8_t PixelAspect;
};
#pragma pack(pop)
static_assert(sizeof(TScreenDescriptor) == 7);

class TGIFHeader : public TGIFItem {
public:
    explicit TGIFHeader(TGIFImage* GIFImage);
    ~TGIFHeader() override;
    std::string ClassName() const override { return "TGIFHeader"; }

    // From a header: global map and the 7 descriptor bytes; from a color map: an empty header
    // with that global map.
    void Assign(TPersistent* Source) override;
    // gr89a when the global map is sorted or a pixel aspect is given.
    TGIFRevision RequiredVersion() override;
    // "GIF", "87a"/"89a" from the image's revision, the descriptor with recomputed flags, and
    // the global color table when it has entries.
    void SaveToStream(TStream& Stream) override;
    // Signature (any case, one 4-byte prefix tolerated), version (not checked), descriptor,
    // global color table.
    void LoadFromStream(TStream& Stream) override;

    void MakeEmpty();
    void UpdateFlags();

    TColor BackColor() { return FGlobalMap->ColorAt(FScreen.BackgroundIndex); }
    int32_t IndexBits() const { return FGlobalMap->IndexBits(); }
    int32_t ResolutionBits() const { return IndexBits() - 1; }

    TGIFGlobalColorMap& ColorMap() const { return *FGlobalMap; }
    TScreenDescriptor& Screen() { return FScreen; }
    const TScreenDescriptor& Screen() const { return FScreen; }

private:
    TScreenDescriptor FScreen{};
    std::unique_ptr<TGIFGlobalColorMap> FGlobalMap;
};

class TGIFTrailer : public TGIFItem {
public:
    using TGIFItem::TGIFItem;
    std::string ClassName() const override { return "TGIFTrailer"; }
    // The byte 0x3B.
    void SaveToStream(TStream& Stream) override;
    // Warns "Invalid Image trailer" for any other byte; a missing byte is accepted.
    void LoadFromStream(TStream& Stream) override;
};

} // namespace mv
