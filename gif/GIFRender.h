// Frame rendering: the routines on device contexts and mask rows that the frame's drawing
// (TGIFSubImage::Rendering, PaintTo, PaintStretched in GIFRender.cpp) is built on.
#pragma once

#include "platform/Graphics.h"

#include <cstdint>

namespace mv {

// Bytes of one mask row: whole 16-bit words, as CreateBitmap takes monochrome rows.
constexpr int32_t GIFMaskRowBytes(int32_t Width) {
    return (Width + 15) / 16 * 2;
}
// Marks pixel X of a mask row transparent: bit 7 - (X mod 8) of byte X div 8.
inline void SetGIFMaskBit(uint8_t* Row, int32_t X) {
    Row[X >> 3] |= static_cast<uint8_t>(0x80 >> (X & 7));
}

// Which branch BlitThroughMask takes for an unstretched copy: true (the default) copies with
// MaskBlt in one step; false always takes the stretching branch (a memory copy of the source
// blacked out through the inverted mask, then the mask ANDed and the copy ORed onto the
// destination). Both give the same pixels; tests switch it to reach both.
extern bool GIFBlitWithMaskBlt;

// Copies the source rectangle onto the destination rectangle, stretched, except where the
// monochrome bitmap selected into MaskDC has a set bit: there the destination stays. Every
// object made here is released on every path.
void BlitThroughMask(const HDC& DestDC, int32_t DestX, int32_t DestY, int32_t DestW, int32_t DestH,
                     const HDC& SrcDC, int32_t SrcX, int32_t SrcY, int32_t SrcW, int32_t SrcH,
                     const HDC& MaskDC, int32_t MaskX, int32_t MaskY);

} // namespace mv
