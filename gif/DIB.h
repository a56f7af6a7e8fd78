// Row access to platform bitmaps in a fixed pixel format: TDIBReader puts a bitmap into the
// format and answers its rows; TDIBWriter builds a DIB in its own memory and loads it into the
// target bitmap in one step when it is destroyed.
#pragma once

#include "gif/GIFBase.h"
#include "platform/Graphics.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace mv {

class TDIB : public TObject {
public:
    TDIB(TBitmap* Bitmap, TPixelFormat PixelFormat) : FTargetBitmap(Bitmap), FFormat(PixelFormat) {}
    std::string ClassName() const override { return "TDIB"; }
    // The address of row Row, 0 being the top row.
    virtual void* RowAddress(int32_t Row) = 0;

protected:
    TBitmap* FTargetBitmap; // not owned
    TPixelFormat FFormat;
};

class TDIBReader : public TDIB {
public:
    // Sets the bitmap's pixel format; the bitmap is converted in place and keeps the format.
    TDIBReader(TBitmap* Bitmap, TPixelFormat PixelFormat);
    std::string ClassName() const override { return "TDIBReader"; }
    // The bitmap's scan line (its range check applies).
    void* RowAddress(int32_t Row) override;
};

// The DIB a writer builds:
//
// Offset        Size             Field
// 0             40               BITMAPINFOHEADER: biSize 40, biWidth = columns, biHeight = rows
//                                (positive: rows stored bottom-up), biPlanes 1, biBitCount 8/24,
//                                BI_RGB, biSizeImage 0, resolutions 0, biClrUsed 256 (pf8bit)
//                                or 0, biClrImportant = palette entries copied (pf8bit) or 0
// 40            1024 (pf8bit)    color table: 256 x (blue, green, red, 0), unused entries 0
// pixel block   stride x rows    rows of RowBytes(width, bits, 32) bytes, the top row last
class TDIBWriter : public TDIB {
public:
    // Only pf8bit and pf24bit ("Unsupported PixelFormat"); width and height must be above 0
    // ("Invalid image dimensions"). Nothing is allocated yet.
    TDIBWriter(TBitmap* Bitmap, TPixelFormat PixelFormat, int32_t Width, int32_t Height,
               HPALETTE Palette);
    // Stores the DIB into the bitmap (when any row was asked for) and frees it. A destructor
    // cannot pass an error on: when storing fails (memory only), the bitmap stays as it was.
    // Callers that must see that error call Store() first.
    ~TDIBWriter() override;
    TDIBWriter(const TDIBWriter&) = delete;
    TDIBWriter& operator=(const TDIBWriter&) = delete;
    std::string ClassName() const override { return "TDIBWriter"; }

    // The address of row Row in the pixel block, allocating the DIB on first use.
    void* RowAddress(int32_t Row) override;

    // What the destructor does, for callers that want its errors where they are: stores the
    // DIB into the bitmap and frees it; afterwards the writer holds nothing.
    void Store();

    // Read-only views for inspection.
    const uint8_t* HeaderBlock() const { return FHeaderBlock; }
    const void* PixelBlock() const { return FPixelBlock; }
    int32_t HeaderBlockSize() const { return FHeaderBlockSize; }
    int32_t PixelBlockSize() const { return FPixelBlockSize; }

protected:
    void AllocateDIB();
    void ReleaseDIB();
    void EnsureDIB();
    void StoreIntoBitmap();

private:
    // The BMP file's headers: 14 bytes of file header (filled in when stored), then the header
    // block. The pixel block is global memory of its own; storing hands both to the bitmap
    // without copying the pixels.
    std::vector<uint8_t> FFileHead;
    uint8_t* FHeaderBlock = nullptr; // inside FFileHead
    void* FPixelBlock = nullptr;
    int32_t FHeaderBlockSize = 0;
    int32_t FPixelBlockSize = 0;
    HPALETTE FSourcePalette; // not owned, may be null
    int32_t FRows;
    int32_t FColumns;
    HGLOBAL FPixelMemory; // keeps the global block alive while it is locked
};

} // namespace mv
