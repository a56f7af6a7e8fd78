// Fixed palettes and the color-reduction driver: a picture of any pixel format becomes an 8-bit
// bitmap whose pixels index a palette of at most 256 colors. The reduction method picks the
// palette, the dither kind how each pixel is mapped to it.
#pragma once

#include "gif/color/ColorLookup.h"
#include "gif/color/Ditherers.h"
#include "platform/Graphics.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace mv {

// Which palette a picture is reduced to. Stored by the GIF image as one byte.
enum TReductionMethod : uint8_t {
    rdNone = 0,         // no reduction: a 24-bit copy
    rdSystem20 = 1,     // the 20 static system colors
    rdHalftone = 2,     // the screen's halftone palette
    rdSystemGray = 3,   // grays 0, 128, 192, 255
    rdMonochrome = 4,   // black and white
    rdGray256 = 5,      // 256 gray levels
    rdNetscape216 = 6,  // the 6 x 6 x 6 cube (the default)
    rdOctree = 7,       // the picture's own colors, 2^PaletteBits of them
    rdOctreeSystem = 8, // the picture's own 236 colors inside the 20 system colors
    rdGivenPalette = 9, // a copy of the palette handed to the driver
};

// The fixed palettes' entries, exactly as the palette builders make them.
std::vector<TLookupEntry> Netscape216Entries(); // r x 36 + g x 6 + b = (51r, 51g, 51b), flags 0
std::vector<TLookupEntry> GrayRampEntries();    // i = (i, i, i), flags PC_NOCOLLAPSE
std::vector<TLookupEntry> BlackWhiteEntries();  // black, white, flags PC_NOCOLLAPSE
std::vector<TLookupEntry> SystemGrayEntries();  // 0, 128, 192, 255, flags PC_NOCOLLAPSE

// The fixed palettes as new palette handles, which their callers delete.
HPALETTE BuildNetscape216Palette(); // 216 entries
HPALETTE BuildGrayRampPalette();    // 256 entries
HPALETTE BuildBlackWhitePalette();  // 2 entries
HPALETTE BuildSystemGrayPalette();  // 4 entries
// The halftone palette of the screen's device context, which is released again on every path.
// A context or palette the system refuses raises EOutOfResources.
HPALETTE BuildScreenHalftonePalette();

// A new 8-bit bitmap of Bitmap's size whose pixels index the method's palette, mapped by the
// dither kind; its color table is the palette followed by black entries up to 256. Bitmap is
// read at 24 bits and keeps that format. rdNone gives a 24-bit copy instead. A method or kind
// outside its enumeration, or a palette without entries (rdGivenPalette with none), gives an
// empty bitmap. Palette is used by rdGivenPalette only (a copy of it); PaletteBits by rdOctree.
// Errors propagate after everything made here is freed; no partial result is returned.
std::unique_ptr<TBitmap> ReduceToPalette(TBitmap* Bitmap, TReductionMethod ReductionMethod,
                                         TDitherKind DitherKind, int32_t PaletteBits,
                                         const HPALETTE& Palette);

// PaletteBits as rdOctree uses it: above 8 counts as 8, below 0 as 0; the palette then has
// 2^bits colors (1 to 256).
int32_t OctreeColorCount(int32_t PaletteBits);

// The mapping pass: for each row from the top, the ditherer maps the source row (blue, green,
// red per pixel) into the target row in its own order, then is told that the next row begins.
using TSourceRow = std::function<const uint8_t*(int32_t Row)>;
using TTargetRow = std::function<uint8_t*(int32_t Row)>;
void MapRows(TDitherEngine& Ditherer, int32_t Height, const TSourceRow& Source,
             const TTargetRow& Target);

// A picture as rows of blue, green, red bytes, row 0 the top (a 24-bit DIB reader's rows).
struct TReductionSource {
    int32_t Width = 0;
    int32_t Height = 0;
    TSourceRow Row;
};

// The palettes the system owns, asked for only by the methods that use them.
struct TSystemPalettes {
    std::function<std::vector<TLookupEntry>()> System20; // the stock default palette (20)
    std::function<std::vector<TLookupEntry>()> Halftone; // the screen's halftone palette
    const std::vector<TLookupEntry>* Given = nullptr;    // rdGivenPalette's palette, or none
};

// One reduction's palette, lookup and ditherer: the steps between opening the reader and
// filling the writer. Prepare answers false where the driver gives the empty bitmap (a method
// or dither kind outside its enumeration, a palette without entries).
class TColorReduction {
public:
    bool Prepare(TReductionMethod Method, TDitherKind Kind, int32_t PaletteBits,
                 const TReductionSource& Source, const TSystemPalettes& Palettes);
    // The palette the indices refer to, in palette order.
    const std::vector<TLookupEntry>& Palette() const { return FPalette; }
    TColorLookup* Lookup() const { return FLookup.get(); }
    TDitherEngine* Ditherer() const { return FDitherer.get(); }
    // The mapping pass over the prepared ditherer.
    void Map(const TReductionSource& Source, const TTargetRow& Target);

private:
    std::vector<TLookupEntry> FPalette;
    std::unique_ptr<TColorLookup> FLookup;
    std::unique_ptr<TDitherEngine> FDitherer;
};

// The octree palette's entries for a picture: Colors (1..256) leaves and ColorBits, or with
// SystemColors 236 leaves inside System20's colors.
std::vector<TLookupEntry> OctreeEntries(const TReductionSource& Source, int32_t Colors,
                                        int32_t ColorBits, bool SystemColors,
                                        const std::vector<TLookupEntry>& System20);

} // namespace mv
