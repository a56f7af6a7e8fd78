#include "platform/MetafilePlayer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/Classes.h"
#include "platform/MetafileDC.h"
#include "platform/SysUtils.h"

namespace mv::metafile {

float GetF32(const uint8_t* p) {
    uint32_t v = GetU32(p);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

std::string ToUTF8(const std::u32string& S) {
    std::string Out;
    for (char32_t c : S) {
        if (c < 0x80) {
            Out += static_cast<char>(c);
        } else if (c < 0x800) {
            Out += static_cast<char>(0xC0 | (c >> 6));
            Out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            Out += static_cast<char>(0xE0 | (c >> 12));
            Out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            Out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            Out += static_cast<char>(0xF0 | (c >> 18));
            Out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            Out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            Out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return Out;
}

int64_t To96(int64_t Length, int64_t UnitsPerInch) {
    if (UnitsPerInch <= 0) return 0;
    int64_t P = Length * 96;
    return P >= 0 ? (P + UnitsPerInch / 2) / UnitsPerInch
                  : -((-P + UnitsPerInch / 2) / UnitsPerInch);
}

bool LooksLikeMetafile(const uint8_t* Data, size_t Size) {
    if (!Data) return false;
    if (Size >= 44 && GetU32(Data) == 1 && GetU32(Data + 40) == 0x464D4520) return true;
    if (Size >= 4 && GetU32(Data) == 0x9AC6CDD7) return true;
    if (Size >= 18) {
        uint16_t Type = GetU16(Data), HeaderWords = GetU16(Data + 2);
        return (Type == 1 || Type == 2) && HeaderWords == 9;
    }
    return false;
}

TMetafileInfo ReadMetafileInfo(const uint8_t* Data, size_t Size) {
    if (!Data || Size == 0) throw EInvalidGraphic("Metafile is empty");
    if (Size >= 4 && GetU32(Data) == 1) return ReadEmfInfo(Data, Size);
    if (LooksLikeMetafile(Data, Size)) return ReadWmfInfo(Data, Size);
    throw EInvalidGraphic(Format(
        "Not a metafile: %zu bytes start neither an enhanced nor a Windows metafile header", Size));
}

void PlayMetafile(const uint8_t* Data, const TMetafileInfo& Info, raster::TRasterizer& Target,
                  double Left, double Top, double Right, double Bottom) {
    if (!Data || Info.Kind == mkNone) return;
    if (!std::isfinite(Left) || !std::isfinite(Top) || !std::isfinite(Right) ||
        !std::isfinite(Bottom))
        return;
    // The work allowed grows with the visible part of the target rectangle.
    raster::TIntRect C = Target.Clip();
    double VW = std::clamp(std::min<double>(C.Right, std::max(Left, Right)) -
                               std::max<double>(C.Left, std::min(Left, Right)),
                           0.0, 1e9);
    double VH = std::clamp(std::min<double>(C.Bottom, std::max(Top, Bottom)) -
                               std::max<double>(C.Top, std::min(Top, Bottom)),
                           0.0, 1e9);
    raster::TWorkBudget Budget;
    Budget.Remaining = static_cast<uint64_t>(VW * VH) * kWorkPerTargetPixel + kWorkAllowance;
    raster::TWorkBudget* Outer = Target.Budget();
    Target.SetBudget(&Budget);
    raster::TIntRect SavedClip = Target.Clip();
    // The player's clip regions live in its drawing context: the target gets its own back.
    const raster::TRegion* SavedRegion = Target.ClipRegion();
    try {
        TPlayerDC DC(Target, Info, Left, Top, Right, Bottom);
        if (Info.Kind == mkEnhanced)
            PlayEmf(DC, Data, Info);
        else
            PlayWmf(DC, Data, Info);
    } catch (...) {
        Target.SetBudget(Outer);
        Target.SetClip(SavedClip);
        Target.SetClipRegion(SavedRegion);
        throw;
    }
    Target.SetBudget(Outer);
    Target.SetClip(SavedClip);
    Target.SetClipRegion(SavedRegion);
}

} // namespace mv::metafile
