#include "gif/color/Reduction.h"

#include "gif/DIB.h"
#include "gif/GIFBase.h"
#include "gif/color/ColorQuantizer.h"

#include <algorithm>

namespace mv {

namespace {
TLookupEntry Gray(int V, uint8_t Flags) {
    uint8_t C = static_cast<uint8_t>(V);
    return {C, C, C, Flags};
}
} // namespace

std::vector<TLookupEntry> Netscape216Entries() {
    std::vector<TLookupEntry> E;
    E.reserve(216);
    for (int R = 0; R < 6; ++R)
        for (int G = 0; G < 6; ++G)
            for (int B = 0; B < 6; ++B)
                E.push_back({static_cast<uint8_t>(51 * R), static_cast<uint8_t>(51 * G),
                             static_cast<uint8_t>(51 * B), 0});
    return E;
}

std::vector<TLookupEntry> GrayRampEntries() {
    std::vector<TLookupEntry> E;
    for (int I = 0; I < 256; ++I) E.push_back(Gray(I, PC_NOCOLLAPSE));
    return E;
}

std::vector<TLookupEntry> BlackWhiteEntries() {
    return {Gray(0, PC_NOCOLLAPSE), Gray(255, PC_NOCOLLAPSE)};
}

std::vector<TLookupEntry> SystemGrayEntries() {
    return {Gray(0, PC_NOCOLLAPSE), Gray(128, PC_NOCOLLAPSE), Gray(192, PC_NOCOLLAPSE),
            Gray(255, PC_NOCOLLAPSE)};
}

HPALETTE BuildNetscape216Palette() {
    return PaletteFromEntries(Netscape216Entries());
}

HPALETTE BuildGrayRampPalette() {
    return PaletteFromEntries(GrayRampEntries());
}

HPALETTE BuildBlackWhitePalette() {
    return PaletteFromEntries(BlackWhiteEntries());
}

HPALETTE BuildSystemGrayPalette() {
    return PaletteFromEntries(SystemGrayEntries());
}

HPALETTE BuildScreenHalftonePalette() {
    HDC DC = RequireGDIHandle(GetDC(nullptr));
    HPALETTE Palette;
    try {
        Palette = CreateHalftonePalette(DC);
    } catch (...) {
        ReleaseDC(nullptr, DC);
        throw;
    }
    ReleaseDC(nullptr, DC);
    return RequireGDIHandle(std::move(Palette));
}

namespace {

// The palette of a method (null for a value outside 1..9). The octree methods read the source:
// rdOctree through the driver's reader, rdOctreeSystem through a reader of its own.
HPALETTE ReductionPalette(TReductionMethod Method, int32_t PaletteBits, TBitmap* Source,
                          TDIBReader& Reader, const HPALETTE& Given) {
    switch (Method) {
    case rdSystem20:
        return HandleCast<TPaletteObject>(GetStockObject(DEFAULT_PALETTE));
    case rdHalftone:
        return BuildScreenHalftonePalette();
    case rdSystemGray:
        return BuildSystemGrayPalette();
    case rdMonochrome:
        return BuildBlackWhitePalette();
    case rdGray256:
        return BuildGrayRampPalette();
    case rdNetscape216:
        return BuildNetscape216Palette();
    case rdOctree:
        return BuildOctreePalette(Reader, Source->Width(), Source->Height(),
                                  OctreeColorCount(PaletteBits), 8, false);
    case rdOctreeSystem:
        return BuildOctreePaletteForBitmap(Source, 256, 8, true);
    case rdGivenPalette:
        return CopyPalette(Given);
    default:
        return nullptr;
    }
}

std::unique_ptr<TColorLookup> ReductionLookup(TReductionMethod Method, const HPALETTE& Palette) {
    switch (Method) {
    case rdMonochrome:
        return std::make_unique<TMonochromeLookup>();
    case rdGray256:
        return std::make_unique<TGrayScaleLookup>();
    case rdNetscape216:
        return std::make_unique<TNetscapeColorLookup>();
    default:
        return std::make_unique<TFastColorLookup>(Palette);
    }
}

} // namespace

std::unique_ptr<TBitmap> ReduceToPalette(TBitmap* Bitmap, TReductionMethod ReductionMethod,
                                         TDitherKind DitherKind, int32_t PaletteBits,
                                         const HPALETTE& Palette) {
    auto Result = std::make_unique<TBitmap>();
    if (Bitmap == nullptr) return Result; // no picture: nothing to reduce
    if (ReductionMethod == rdNone) {
        Result->Assign(Bitmap);
        Result->SetPixelFormat(pf24bit);
        return Result;
    }
    // Declared so that leaving the block frees them in this order on every path: the
    // lookup, the ditherer, the writer (which stores its DIB into the result), the reader;
    // the palette handle goes last. A failure then drops the result too.
    HPALETTE ReducePalette;
    {
        struct TDeletePalette {
            HPALETTE& P;
            ~TDeletePalette() {
                if (P) DeleteObject(P);
            }
        } PaletteGuard{ReducePalette};
        std::unique_ptr<TDIBReader> Reader;
        std::unique_ptr<TDIBWriter> Writer;
        std::unique_ptr<TDitherEngine> Ditherer;
        std::unique_ptr<TColorLookup> Lookup;

        Reader = std::make_unique<TDIBReader>(Bitmap, pf24bit);
        if (ReductionMethod < rdSystem20 || ReductionMethod > rdGivenPalette) return Result;
        ReducePalette = ReductionPalette(ReductionMethod, PaletteBits, Bitmap, *Reader, Palette);
        Lookup = ReductionLookup(ReductionMethod, ReducePalette);
        if (Lookup->Colors() == 0) return Result;
        const int32_t Width = Bitmap->Width(), Height = Bitmap->Height();
        Ditherer = CreateDitherer(DitherKind, Width, Lookup.get());
        if (!Ditherer) return Result;
        Writer = std::make_unique<TDIBWriter>(Result.get(), pf8bit, Width, Height, ReducePalette);

        for (int32_t Row = 0; Row < Height; ++Row) {
            const auto* Source = static_cast<const uint8_t*>(Reader->RowAddress(Row));
            auto* Target = static_cast<uint8_t*>(Writer->RowAddress(Row));
            Ditherer->DitherRow(Source, Target);
            Ditherer->StartNextRow();
        }
        Lookup.reset();
        Ditherer.reset();
        // Stored here rather than in the writer's destructor so that a failure reaches the
        // caller instead of leaving the result empty.
        Writer->Store();
    }
    return Result;
}

int32_t OctreeColorCount(int32_t PaletteBits) {
    return 1 << std::clamp(PaletteBits, 0, 8);
}

void MapRows(TDitherEngine& Ditherer, int32_t Height, const TSourceRow& Source,
             const TTargetRow& Target) {
    for (int32_t Row = 0; Row < Height; ++Row) {
        const uint8_t* Src = Source(Row);
        uint8_t* Dst = Target(Row);
        Ditherer.DitherRow(Src, Dst);
        Ditherer.StartNextRow();
    }
}

std::vector<TLookupEntry> OctreeEntries(const TReductionSource& Source, int32_t Colors,
                                        int32_t ColorBits, bool SystemColors,
                                        const std::vector<TLookupEntry>& System20) {
    // With system colors the picture gets the 236 entries between the first and last ten.
    TColorQuantizer Q(SystemColors ? 236 : Colors, ColorBits);
    for (int32_t Y = 0; Y < Source.Height; ++Y) Q.AddPixels(Source.Row(Y), Source.Width);
    std::vector<TLookupEntry> System = System20;
    System.resize(20);
    return OctreePaletteEntries(Q, SystemColors, System.data());
}

bool TColorReduction::Prepare(TReductionMethod Method, TDitherKind Kind, int32_t PaletteBits,
                              const TReductionSource& Source, const TSystemPalettes& Palettes) {
    FLookup.reset();
    FDitherer.reset();
    switch (Method) {
    case rdSystem20:
        FPalette = Palettes.System20 ? Palettes.System20() : std::vector<TLookupEntry>();
        break;
    case rdHalftone:
        FPalette = Palettes.Halftone ? Palettes.Halftone() : std::vector<TLookupEntry>();
        break;
    case rdSystemGray:
        FPalette = SystemGrayEntries();
        break;
    case rdMonochrome:
        FPalette = BlackWhiteEntries();
        break;
    case rdGray256:
        FPalette = GrayRampEntries();
        break;
    case rdNetscape216:
        FPalette = Netscape216Entries();
        break;
    case rdOctree:
        FPalette = OctreeEntries(Source, OctreeColorCount(PaletteBits), 8, false, {});
        break;
    case rdOctreeSystem:
        FPalette =
            OctreeEntries(Source, 256, 8, true,
                          Palettes.System20 ? Palettes.System20() : std::vector<TLookupEntry>());
        break;
    case rdGivenPalette:
        FPalette = Palettes.Given ? *Palettes.Given : std::vector<TLookupEntry>();
        break;
    default:
        return false; // rdNone has no palette; other values are outside the enumeration
    }
    if (FPalette.size() > 256) FPalette.resize(256);

    switch (Method) {
    case rdMonochrome:
        FLookup = std::make_unique<TMonochromeLookup>();
        break;
    case rdGray256:
        FLookup = std::make_unique<TGrayScaleLookup>();
        break;
    case rdNetscape216:
        FLookup = std::make_unique<TNetscapeColorLookup>();
        break;
    default:
        FLookup = std::make_unique<TFastColorLookup>(FPalette.data(),
                                                     static_cast<int32_t>(FPalette.size()));
        break;
    }
    if (FLookup->Colors() == 0) return false;

    FDitherer = CreateDitherer(Kind, Source.Width, FLookup.get());
    return FDitherer != nullptr;
}

void TColorReduction::Map(const TReductionSource& Source, const TTargetRow& Target) {
    if (FDitherer) MapRows(*FDitherer, Source.Height, Source.Row, Target);
}

} // namespace mv
