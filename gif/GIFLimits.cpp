#include "gif/GIFLimits.h"

#include "gif/GIFBase.h"

namespace mv {

void CheckFramePixels(int64_t Width, int64_t Height, int64_t& LoadedSoFar) {
    const int64_t Pixels = (Width > 0 && Height > 0) ? Width * Height : 0;
    if (Pixels > GIFSizeLimits.MaxFramePixels ||
        LoadedSoFar + Pixels > GIFSizeLimits.MaxLoadPixelBytes)
        RaiseGIFError(gifmsg::ImageTooLarge);
    LoadedSoFar += Pixels;
}

} // namespace mv
