#include "gif/DIB.h"

#include "platform/Bmp.h"

#include <algorithm>
#include <cstring>

namespace mv {

// ---------------------------------------------------------------------------
// TDIBReader

TDIBReader::TDIBReader(TBitmap* Bitmap, TPixelFormat PixelFormat) : TDIB(Bitmap, PixelFormat) {
    SetPixelFormat(Bitmap, PixelFormat);
}

void* TDIBReader::RowAddress(int32_t Row) {
    return FTargetBitmap->ScanLine(Row);
}

// ---------------------------------------------------------------------------
// TDIBWriter

TDIBWriter::TDIBWriter(TBitmap* Bitmap, TPixelFormat PixelFormat, int32_t Width, int32_t Height,
                       HPALETTE Palette)
    : TDIB(Bitmap, PixelFormat), FSourcePalette(std::move(Palette)), FRows(Height),
      FColumns(Width) {
    if (PixelFormat != pf8bit && PixelFormat != pf24bit)
        RaiseGIFError(gifmsg::UnsupportedPixelFormat);
    // Negative sizes are refused with zero ones: they would give a negative row stride.
    if (Width <= 0 || Height <= 0) RaiseGIFError(gifmsg::InvalidImageDimensions);
}

TDIBWriter::~TDIBWriter() {
    try {
        Store();
    } catch (...) {
        ReleaseDIB();
    }
}

void TDIBWriter::Store() {
    try {
        StoreIntoBitmap();
    } catch (...) {
        ReleaseDIB();
        throw;
    }
    ReleaseDIB();
}

void TDIBWriter::EnsureDIB() {
    if (FPixelBlock == nullptr) AllocateDIB();
}

void* TDIBWriter::RowAddress(int32_t Row) {
    EnsureDIB();
    if (FPixelBlock == nullptr) RaiseGIFError(gifmsg::NoDIB);
    if (Row < 0 || Row >= FRows) throw EInvalidGraphicOperation("Scan line index out of range");
    GdiFlush();
    BITMAPINFOHEADER H;
    std::memcpy(&H, FHeaderBlock, sizeof H);
    int64_t Stride = RowBytes(H.biWidth, H.biBitCount, 32);
    uint8_t* Base = static_cast<uint8_t*>(FPixelBlock);
    if (H.biHeight > 0) return Base + (static_cast<int64_t>(H.biHeight) - Row - 1) * Stride;
    return Base + static_cast<int64_t>(Row) * Stride;
}

void TDIBWriter::AllocateDIB() {
    ReleaseDIB();
    try {
        FHeaderBlockSize = FFormat == pf8bit ? 1064 : 40;
        FFileHead.assign(sizeof(BITMAPFILEHEADER) + static_cast<size_t>(FHeaderBlockSize), 0);
        FHeaderBlock = FFileHead.data() + sizeof(BITMAPFILEHEADER);
        BITMAPINFOHEADER H;
        H.biSize = 40;
        H.biWidth = FColumns;
        H.biHeight = FRows;
        H.biPlanes = 1;
        H.biBitCount = FFormat == pf8bit ? 8 : 24;
        H.biCompression = BI_RGB;
        H.biSizeImage = 0;
        if (FFormat == pf8bit) {
            uint32_t Count = 0;
            uint16_t Entries = 0;
            if (FSourcePalette && GetObject(FSourcePalette, 2, &Entries) != 0 && Entries != 0) {
                Count = std::min<uint32_t>(Entries, 256);
                TPaletteEntry Pal[256];
                Count = GetPaletteEntries(FSourcePalette, 0, Count, Pal);
                uint8_t* Table = FHeaderBlock + 40;
                // (red, green, blue, flags) -> (blue, green, red, 0)
                for (uint32_t i = 0; i < Count; ++i) {
                    Table[4 * i] = Pal[i].peBlue;
                    Table[4 * i + 1] = Pal[i].peGreen;
                    Table[4 * i + 2] = Pal[i].peRed;
                    Table[4 * i + 3] = 0;
                }
            }
            std::memset(FHeaderBlock + 40 + 4 * Count, 0, 4 * (256 - Count));
            H.biClrUsed = 256;
            H.biClrImportant = Count;
        }
        std::memcpy(FHeaderBlock, &H, sizeof H);
        int64_t Stride = RowBytes(FColumns, H.biBitCount, 32);
        int64_t Size = Stride * (FRows < 0 ? -int64_t{FRows} : FRows);
        if (Size > INT32_MAX) throw EOutOfMemory(gifmsg::OutOfMemoryDIB);
        FPixelBlockSize = static_cast<int32_t>(Size);
        // Not cleared: the caller writes every row it uses. A large block gets huge pages,
        // since its pages are touched for the first time by the rows being written.
        FPixelMemory = GlobalAlloc(GMEM_MOVEABLE, static_cast<size_t>(FPixelBlockSize));
        if (FPixelMemory) FPixelBlock = GlobalLock(FPixelMemory);
        if (FPixelBlock) AdviseLargeBlock(FPixelBlock, static_cast<size_t>(FPixelBlockSize));
        if (FPixelBlock == nullptr) throw EOutOfMemory(gifmsg::OutOfMemoryDIB);
    } catch (...) {
        ReleaseDIB();
        throw;
    }
}

void TDIBWriter::ReleaseDIB() {
    FFileHead.clear();
    FFileHead.shrink_to_fit();
    FHeaderBlock = nullptr;
    if (FPixelBlock) {
        HGLOBAL H = GlobalHandle(FPixelBlock);
        GlobalUnlock(H);
        GlobalFree(H);
    }
    FPixelMemory.reset();
    FPixelBlock = nullptr;
}

void TDIBWriter::StoreIntoBitmap() {
    if (FPixelBlock == nullptr) return;
    // The BMP file is the file header, the header block and the pixel block, read by the
    // bitmap as one stream; the bitmap takes the pixel block over rather than copying it.
    const int64_t Total = 14 + int64_t{FHeaderBlockSize} + FPixelBlockSize;
    BITMAPFILEHEADER F;
    F.bfType = 0x4D42;
    F.bfSize = static_cast<uint32_t>(Total);
    F.bfReserved1 = 0;
    F.bfReserved2 = 0;
    F.bfOffBits = static_cast<uint32_t>(14 + FHeaderBlockSize);
    std::memcpy(FFileHead.data(), &F, sizeof F);
    GlobalUnlock(FPixelMemory);
    std::unique_ptr<uint8_t[]> Pixels = GlobalDetach(FPixelMemory);
    if (!Pixels) {
        FPixelBlock = GlobalLock(FPixelMemory); // still ours: ReleaseDIB frees it
        throw EOutOfMemory(gifmsg::OutOfMemoryDIB);
    }
    FPixelBlock = nullptr;
    FPixelMemory.reset();
    TBMPImageStream Stream(std::move(FFileHead), std::move(Pixels), FPixelBlockSize);
    FHeaderBlock = nullptr;
    FTargetBitmap->LoadFromStream(Stream);
}

} // namespace mv
