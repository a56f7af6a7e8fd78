#include "gif/color/ColorLookup.h"

#include <algorithm>
#include <cstdlib>

namespace mv {

void TColorLookup::LookupRow(const uint8_t* BGR, uint8_t* Indices, int32_t Count,
                             bool RightToLeft) {
    uint8_t R, G, B;
    if (RightToLeft) {
        for (int32_t X = Count - 1; X >= 0; --X)
            Indices[X] = MapColor(BGR[3 * X + 2], BGR[3 * X + 1], BGR[3 * X], R, G, B);
    } else {
        for (int32_t X = 0; X < Count; ++X)
            Indices[X] = MapColor(BGR[3 * X + 2], BGR[3 * X + 1], BGR[3 * X], R, G, B);
    }
}

// ---------------------------------------------------------------------------
// TFastColorLookup

TFastColorLookup::TFastColorLookup(const TLookupEntry* Entries, int32_t Count)
    : FPaletteBlock(std::make_unique<std::array<TLookupEntry, 256>>()),
      FInverseBlock(std::make_unique<std::array<int16_t, 32768>>()),
      FPalette(FPaletteBlock->data()), FInverse(FInverseBlock->data()) {
    Fill(Entries, Count);
}

TFastColorLookup::TFastColorLookup(const HPALETTE& Palette)
    : FPaletteBlock(std::make_unique<std::array<TLookupEntry, 256>>()),
      FInverseBlock(std::make_unique<std::array<int16_t, 32768>>()),
      FPalette(FPaletteBlock->data()), FInverse(FInverseBlock->data()) {
    TPaletteEntry Read[256];
    uint32_t Count = GetPaletteEntries(Palette, 0, 256, Read);
    TLookupEntry Entries[256];
    for (uint32_t I = 0; I < Count && I < 256; ++I)
        Entries[I] = {Read[I].peRed, Read[I].peGreen, Read[I].peBlue, Read[I].peFlags};
    Fill(Entries, static_cast<int32_t>(std::min<uint32_t>(Count, 256)));
}

void TFastColorLookup::Fill(const TLookupEntry* Entries, int32_t Count) {
    FKind = TLookupKind::Fast;
    FColors = Entries ? std::clamp(Count, 0, 256) : 0;
    if (FColors > 0) std::copy(Entries, Entries + FColors, FPalette);
    std::fill(FInverse, FInverse + 32768, int16_t{-1});
    // Each cell holding palette colors starts out answering its lowest-indexed one.
    for (int32_t I = 0; I < FColors; ++I) {
        uint32_t Key = CellKey(FPalette[I].Red, FPalette[I].Green, FPalette[I].Blue);
        if (FInverse[Key] < 0) FInverse[Key] = static_cast<int16_t>(I);
    }
}

uint8_t TFastColorLookup::Search(uint32_t Key, uint8_t Red, uint8_t Green, uint8_t Blue) {
    // Nearest by the sum of absolute differences; a later entry wins only when strictly
    // nearer, so ties keep the lowest index. Measured against the asked color, not the cell.
    int32_t Best = 30000;
    int32_t BestIndex = 0;
    for (int32_t I = 0; I < FColors; ++I) {
        const TLookupEntry& E = FPalette[I];
        int32_t D = std::abs(int32_t{E.Red} - Red) + std::abs(int32_t{E.Green} - Green) +
                    std::abs(int32_t{E.Blue} - Blue);
        if (D < Best) {
            Best = D;
            BestIndex = I;
        }
    }
    FInverse[Key] = static_cast<int16_t>(BestIndex);
    return static_cast<uint8_t>(BestIndex);
}

void TFastColorLookup::LookupRow(const uint8_t* BGR, uint8_t* Indices, int32_t Count,
                                 bool RightToLeft) {
    if (RightToLeft) {
        for (int32_t X = Count - 1; X >= 0; --X)
            Indices[X] = Map(BGR[3 * X + 2], BGR[3 * X + 1], BGR[3 * X]);
    } else {
        for (int32_t X = 0; X < Count; ++X)
            Indices[X] = Map(BGR[3 * X + 2], BGR[3 * X + 1], BGR[3 * X]);
    }
}

// ---------------------------------------------------------------------------
// Fixed palettes: the answer does not depend on the order, so rows run forwards.

namespace {

struct TCubeTables {
    uint8_t Red[256], Green[256], Blue[256];
    constexpr TCubeTables() : Red(), Green(), Blue() {
        for (int C = 0; C < 256; ++C) {
            uint8_t L = TNetscapeColorLookup::Level(static_cast<uint8_t>(C));
            Red[C] = static_cast<uint8_t>(L * 36);
            Green[C] = static_cast<uint8_t>(L * 6);
            Blue[C] = L;
        }
    }
};
constexpr TCubeTables CubeTables;

} // namespace

void TNetscapeColorLookup::LookupRow(const uint8_t* BGR, uint8_t* Indices, int32_t Count, bool) {
    for (int32_t X = 0; X < Count; ++X, BGR += 3)
        Indices[X] = static_cast<uint8_t>(CubeTables.Blue[BGR[0]] + CubeTables.Green[BGR[1]] +
                                          CubeTables.Red[BGR[2]]);
}

void TGrayScaleLookup::LookupRow(const uint8_t* BGR, uint8_t* Indices, int32_t Count, bool) {
    for (int32_t X = 0; X < Count; ++X, BGR += 3)
        Indices[X] = static_cast<uint8_t>((29u * BGR[0] + 150u * BGR[1] + 77u * BGR[2]) >> 8);
}

void TMonochromeLookup::LookupRow(const uint8_t* BGR, uint8_t* Indices, int32_t Count, bool) {
    for (int32_t X = 0; X < Count; ++X, BGR += 3)
        Indices[X] = (29u * BGR[0] + 150u * BGR[1] + 77u * BGR[2]) > 32512u ? 1 : 0;
}

} // namespace mv
