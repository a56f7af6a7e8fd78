// The BMP file format: reading every header kind (core, info, V4, V5), depth (1, 4, 8, 16,
// 24, 32) and compression (RGB, RLE4, RLE8, bit fields) real programs write, in both row
// orders, and writing standard BMP files of a bitmap's format.
#pragma once

#include "platform/Graphics.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace mv {

#pragma pack(push, 1)
// Offset Size Field
//  0      2   bfType       "BM"
//  2      4   bfSize       whole file (not trusted)
//  6      4   reserved
// 10      4   bfOffBits    pixel data, from the start of the file
struct BITMAPFILEHEADER {
    uint16_t bfType = 0x4D42;
    uint32_t bfSize = 0;
    uint16_t bfReserved1 = 0;
    uint16_t bfReserved2 = 0;
    uint32_t bfOffBits = 0;
};

// Offset Size Field
//  0      4   biSize         40 (V4: 108, V5: 124)
//  4      4   biWidth
//  8      4   biHeight       negative: rows stored top-down
// 12      2   biPlanes       1
// 14      2   biBitCount
// 16      4   biCompression  BI_RGB 0, BI_RLE8 1, BI_RLE4 2, BI_BITFIELDS 3
// 20      4   biSizeImage    may be 0 for BI_RGB
// 24      8   resolution     pixels per meter, x and y
// 32      4   biClrUsed      0: 2^bits for 8 bits or fewer
// 36      4   biClrImportant
struct BITMAPINFOHEADER {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};
#pragma pack(pop)
static_assert(sizeof(BITMAPFILEHEADER) == 14);
static_assert(sizeof(BITMAPINFOHEADER) == 40);

constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_RLE8 = 1;
constexpr uint32_t BI_RLE4 = 2;
constexpr uint32_t BI_BITFIELDS = 3;
constexpr uint32_t BI_JPEG = 4;
constexpr uint32_t BI_PNG = 5;
constexpr uint32_t BI_ALPHABITFIELDS = 6;

// Limits on what a BMP may claim, checked before anything is allocated.
namespace bmplimits {
// Largest side: far beyond any real picture, small enough that row arithmetic stays in range.
constexpr int32_t MaxSide = 1 << 18;
// Largest pixel count (1 GiB at 32 bits): no real picture comes near it.
constexpr int64_t MaxPixels = int64_t{1} << 28;
// An RLE picture may be larger than its data, but not by more than this many pixels per byte
// (a delta escape of 4 bytes skips at most 255 x 255 pixels).
constexpr int64_t MaxRLEPixelsPerByte = 16384;
} // namespace bmplimits

// A BMP file in memory as two pieces read as one stream, without joining them: the headers
// with the color table, then the pixel rows in a block of their own. ReadBMP takes the pixel
// block over instead of copying it out when it reads all of it.
class TBMPImageStream : public TStream {
public:
    TBMPImageStream(std::vector<uint8_t> Head, std::unique_ptr<uint8_t[]> Pixels,
                    int64_t PixelBytes);
    std::string ClassName() const override { return "TBMPImageStream"; }
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;

    // The pixel block, when the pixels start at Position and Bytes of them are there; from
    // then on the stream reads nothing from the block's place. Null otherwise.
    std::unique_ptr<uint8_t[]> TakePixels(int64_t Position, int64_t Bytes);

private:
    std::vector<uint8_t> FHead;
    std::unique_ptr<uint8_t[]> FPixels;
    int64_t FPixelBytes;
    int64_t FPosition = 0;
};

// Reads a BMP file from the stream's position. Damaged or hostile data raises EInvalidGraphic
// with a message that says what is wrong; nothing is read past the data. When Reuse (which
// nobody else may use) has the picture's size and depth, its memory receives the pixels and it
// is the answer; should reading the pixels then fail, its contents are undefined. From a
// TBMPImageStream the pixel block is taken over (rows put top-down in place), not copied.
HBITMAP ReadBMP(TStream& Stream, const HBITMAP& Reuse = nullptr);
// Reads a DIB held in memory that starts with its info header (as the clipboard and icon
// files keep them): the header, the color table, then the pixels. Size is the bytes at Data.
HBITMAP ReadDIB(const uint8_t* Data, size_t Size);
// Writes a BMP file of the image's format with its color table (16 bits: 5-5-5 as BI_RGB,
// 5-6-5 as BI_BITFIELDS; a DDB as 32 bits).
void WriteBMP(TStream& Stream, const TBitmapObject& Image);

} // namespace mv
