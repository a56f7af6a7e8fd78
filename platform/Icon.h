// Icons: the ".ico" file format and the platform's icon graphic.
#pragma once

#include "platform/Classes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mv {

// Limits on what an icon file may make us allocate. Real icons are at most 256 pixels a
// side; PNG entries may be larger in theory, so we allow some room and refuse the rest.
constexpr int MaxIconSide = 1024;
constexpr int MaxIconEntries = 4096; // a directory entry is 16 bytes: bounded by the file anyway

// One image of an icon file, decoded: rows from the top, BGRA pixels and the AND mask.
struct TIconBitmapData {
    int Width = 0;
    int Height = 0;
    int BitCount = 0;            // depth of the entry's bitmap (32 for PNG entries)
    bool IsPNG = false;          // the entry was PNG-compressed
    bool HasAlpha = false;       // per-pixel alpha is meaningful (32-bit with alpha, PNG)
    std::vector<uint8_t> Pixels; // Width * Height * 4 bytes: blue, green, red, alpha
    std::vector<uint8_t> Mask;   // Width * Height bytes: 1 where the background shows through
};

// What the directory and the entry's own header say about one image of the file.
struct TIconEntryInfo {
    int Index = 0;
    int Width = 0;
    int Height = 0;
    int BitCount = 0;
    bool IsPNG = false;
    uint32_t Offset = 0;
    uint32_t Size = 0;
};

// Lists the images of an icon (or cursor) file. Raises EInvalidGraphic for a damaged
// directory or an entry whose header cannot be read.
std::vector<TIconEntryInfo> ReadIconDirectory(const uint8_t* Data, size_t Size);

// The entry the icon shows: the most pixels, then the deepest, then the first.
size_t ChooseIconEntry(const std::vector<TIconEntryInfo>& Entries);

// Decodes one entry of the file into colors and mask.
TIconBitmapData DecodeIconEntry(const uint8_t* Data, size_t Size, const TIconEntryInfo& Entry);

// Reads the directory and decodes the entry the icon shows.
TIconBitmapData DecodeIconFile(const uint8_t* Data, size_t Size);

} // namespace mv
