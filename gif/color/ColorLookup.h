// Color lookups: which palette entry stands for a 24-bit color. One general lookup for any
// palette (with a per-cell answer cache) and three that compute the answer for the fixed
// palettes whose layout they know: the 6 x 6 x 6 cube, the 256-level gray ramp and black/white.
#pragma once

#include "platform/Classes.h"
#include "platform/Graphics.h"

#include <array>
#include <cstdint>
#include <memory>

namespace mv {

// Which concrete lookup an object is; lets row loops bind the mapping statically instead of
// making one virtual call per pixel.
enum class TLookupKind : uint8_t { Other, Fast, Netscape, GrayScale, Monochrome };

// One palette color as a lookup keeps it: red, green, blue, flags.
struct TLookupEntry {
    uint8_t Red = 0;
    uint8_t Green = 0;
    uint8_t Blue = 0;
    uint8_t Flags = 0;
};

class TColorLookup : public TObject {
public:
    TColorLookup() = default;
    std::string ClassName() const override { return "TColorLookup"; }

    // Answers the palette index for (Red, Green, Blue) and gives back that entry's color in
    // R, G, B. The index is below Colors() whenever Colors() is not 0; a lookup with 0 colors
    // must not be asked.
    virtual uint8_t MapColor(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                             uint8_t& B) = 0;

    // Maps Count pixels stored blue, green, red (3 bytes each) to indices. With RightToLeft
    // the pixels are asked for from the last to the first, which matters to lookups whose
    // answers depend on the order of the questions. The base asks MapColor per pixel.
    virtual void LookupRow(const uint8_t* BGR, uint8_t* Indices, int32_t Count, bool RightToLeft);

    // Number of colors the lookup maps into; 0 means it is unusable.
    int32_t Colors() const { return FColors; }
    TLookupKind Kind() const { return FKind; }

protected:
    int32_t FColors = 0;
    TLookupKind FKind = TLookupKind::Other;
};

// Any palette of up to 256 entries. Answers are cached per cell of 32 x 32 x 32 colors (the
// top five bits of each channel): the first color asked for in a cell, or the lowest palette
// entry lying in it, fixes the answer for the whole cell. That is how stored results were made,
// so it is kept although a later color of the cell may have a nearer entry.
class TFastColorLookup final : public TColorLookup {
public:
    // Entries: up to 256 palette colors (more are ignored).
    TFastColorLookup(const TLookupEntry* Entries, int32_t Count);
    // The palette's entries from 0 on, at most 256; a palette from which none can be read
    // (none at all, or an empty one) gives a lookup with 0 colors.
    explicit TFastColorLookup(const HPALETTE& Palette);
    std::string ClassName() const override { return "TFastColorLookup"; }

    uint8_t MapColor(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                     uint8_t& B) override {
        uint8_t Index = Map(Red, Green, Blue);
        R = FPalette[Index].Red;
        G = FPalette[Index].Green;
        B = FPalette[Index].Blue;
        return Index;
    }
    void LookupRow(const uint8_t* BGR, uint8_t* Indices, int32_t Count, bool RightToLeft) override;

    // Cell key: red in bits 0-4, green in bits 5-9, blue in bits 10-14.
    static uint32_t CellKey(uint8_t Red, uint8_t Green, uint8_t Blue) {
        return (uint32_t{Red} >> 3) | ((uint32_t{Green} >> 3) << 5) | ((uint32_t{Blue} >> 3) << 10);
    }
    // The index alone (the cache is filled as for MapColor).
    uint8_t Map(uint8_t Red, uint8_t Green, uint8_t Blue) {
        uint32_t Key = CellKey(Red, Green, Blue);
        int16_t Cached = FInverse[Key];
        if (Cached >= 0) return static_cast<uint8_t>(Cached);
        return Search(Key, Red, Green, Blue);
    }
    const TLookupEntry& Entry(uint8_t Index) const { return FPalette[Index]; }

private:
    void Fill(const TLookupEntry* Entries, int32_t Count);
    uint8_t Search(uint32_t Key, uint8_t Red, uint8_t Green, uint8_t Blue);

    std::unique_ptr<std::array<TLookupEntry, 256>> FPaletteBlock;
    std::unique_ptr<std::array<int16_t, 32768>> FInverseBlock; // -1: not computed yet
    TLookupEntry* FPalette;
    int16_t* FInverse;
};

// The 216-color cube: entry r x 36 + g x 6 + b is (51 r, 51 g, 51 b).
class TNetscapeColorLookup final : public TColorLookup {
public:
    TNetscapeColorLookup() {
        FColors = 216;
        FKind = TLookupKind::Netscape;
    }
    std::string ClassName() const override { return "TNetscapeColorLookup"; }

    // Level of one channel: (c + 3) div 51.
    static constexpr uint8_t Level(uint8_t C) { return static_cast<uint8_t>((C + 3) / 51); }
    static uint8_t Map(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                       uint8_t& B) {
        uint8_t LR = Level(Red), LG = Level(Green), LB = Level(Blue);
        R = static_cast<uint8_t>(LR * 51);
        G = static_cast<uint8_t>(LG * 51);
        B = static_cast<uint8_t>(LB * 51);
        return static_cast<uint8_t>(LR * 36 + LG * 6 + LB);
    }
    uint8_t MapColor(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                     uint8_t& B) override {
        return Map(Red, Green, Blue, R, G, B);
    }
    void LookupRow(const uint8_t* BGR, uint8_t* Indices, int32_t Count, bool RightToLeft) override;
};

// 256 gray levels: level (77 red + 150 green + 29 blue) shr 8.
class TGrayScaleLookup final : public TColorLookup {
public:
    TGrayScaleLookup() {
        FColors = 256;
        FKind = TLookupKind::GrayScale;
    }
    std::string ClassName() const override { return "TGrayScaleLookup"; }

    static uint8_t Map(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                       uint8_t& B) {
        uint8_t Level = static_cast<uint8_t>((77u * Red + 150u * Green + 29u * Blue) >> 8);
        R = G = B = Level;
        return Level;
    }
    uint8_t MapColor(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                     uint8_t& B) override {
        return Map(Red, Green, Blue, R, G, B);
    }
    void LookupRow(const uint8_t* BGR, uint8_t* Indices, int32_t Count, bool RightToLeft) override;
};

// Black (0) and white (1): white exactly when 77 red + 150 green + 29 blue exceeds 32512.
class TMonochromeLookup final : public TColorLookup {
public:
    TMonochromeLookup() {
        FColors = 2;
        FKind = TLookupKind::Monochrome;
    }
    std::string ClassName() const override { return "TMonochromeLookup"; }

    static uint8_t Map(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                       uint8_t& B) {
        bool White = 77u * Red + 150u * Green + 29u * Blue > 32512u;
        R = G = B = White ? 255 : 0;
        return White ? 1 : 0;
    }
    uint8_t MapColor(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                     uint8_t& B) override {
        return Map(Red, Green, Blue, R, G, B);
    }
    void LookupRow(const uint8_t* BGR, uint8_t* Indices, int32_t Count, bool RightToLeft) override;
};

} // namespace mv
