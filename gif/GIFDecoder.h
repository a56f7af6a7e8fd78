// Decoder of GIF image data: the LZW minimum code size byte, then data sub-blocks carrying
// variable-width LZW codes, least significant bit first.
#pragma once

#include "gif/GIFBase.h"

#include <cstdint>

namespace mv {

// Decodes the image data standing at Stream's position into Pixels (Width * Height bytes, rows
// top to bottom, already filled by the frame with its transparent index or 0; pixels the data
// does not reach keep that value). Interlaced data fills the rows in the order 0, 8, 16, ...,
// 4, 12, ..., 2, 6, ..., 1, 3, 5, ...
//
// Tolerant: short or truncated data gives a partly filled frame with at most the warnings
// "Premature end of data" and "Decoder bit buffer under-run" (severity 1, to
// Reporter->ReportWarning when Reporter is not null). Errors: "Invalid GIF data" for a minimum
// code size above 11, "Circular decoder table entry" for a table entry that refers to itself
// or a string that loops through the table. On return the stream stands after the data's
// zero-length terminator (or at the end of the stream when the data has none); a missing
// minimum code size byte reads nothing.
void DecodeImageData(TStream& Stream, uint8_t* Pixels, int32_t Width, int32_t Height,
                     bool Interlaced, TGIFItem* Reporter);

} // namespace mv
