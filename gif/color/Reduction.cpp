#include "gif/color/Reduction.h"

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

} // namespace mv
