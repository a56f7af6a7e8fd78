// libFuzzer target: any bytes through the metafile readers and the record player.
// A clean EInvalidGraphic or a drawn picture are both fine; anything else is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Classes.h"
#include "platform/MetafilePlayer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    using namespace mv;
    metafile::TMetafileInfo Info;
    try {
        Info = metafile::ReadMetafileInfo(Data, Size);
    } catch (const EInvalidGraphic&) {
        return 0;
    }
    // Draw at the picture's size, bounded so one input stays quick, and once mirrored.
    int W = std::max(1, std::min(Info.Width, 256)), H = std::max(1, std::min(Info.Height, 256));
    std::vector<uint32_t> Pixels(static_cast<size_t>(W) * H, 0xFFFFFF);
    raster::TPixelBuffer B{
        reinterpret_cast<uint8_t*>(Pixels.data()), W, H, static_cast<ptrdiff_t>(W) * 4, 4, 0};
    raster::TRasterizer R(B);
    metafile::PlayMetafile(Data, Info, R, 0, 0, W, H);
    metafile::PlayMetafile(Data, Info, R, W, H / 2, 0, 0);
    return 0;
}
