// The graphics core of our platform layer: colors, rectangles, palettes, bitmaps and device
// contexts with their raster operations, the in-process clipboard and global memory, and the
// picture framework (TGraphic, TPicture, TBitmap, TCanvas).
//
// Handles (palettes, bitmaps, device contexts, global memory) are shared objects: a null
// handle means none, deleting a handle drops one reference, and two handles are equal only
// when they name the same object. The GDI-like functions set the platform's last error
// (SetLastError) when they fail and answer a null handle or 0.
#pragma once

#include "platform/Classes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mv {

// ---------------------------------------------------------------------------
// Colors

// 0x00BBGGRR; values with the top byte 0xFF name system colors (the low byte is the index).
using TColor = int32_t;
// 0x00BBGGRR as the raster functions take it.
using COLORREF = uint32_t;

constexpr TColor clSystemColor = static_cast<TColor>(0xFF000000);
constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clDefault = 0x20000000;

constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clOlive = 0x008080;
constexpr TColor clNavy = 0x800000;
constexpr TColor clPurple = 0x800080;
constexpr TColor clTeal = 0x808000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clFuchsia = 0xFF00FF;
constexpr TColor clAqua = 0xFFFF00;
constexpr TColor clWhite = 0xFFFFFF;

// System color indices and the system colors the window uses.
constexpr int COLOR_WINDOW = 5;
constexpr int COLOR_WINDOWTEXT = 8;
constexpr int COLOR_BTNFACE = 15;
constexpr TColor clWindow = clSystemColor | COLOR_WINDOW;
constexpr TColor clWindowText = clSystemColor | COLOR_WINDOWTEXT;
constexpr TColor clBtnFace = clSystemColor | COLOR_BTNFACE;

// The RGB value of a system color index in our fixed light scheme.
COLORREF GetSysColor(int Index);
// A system color becomes its RGB value; any other color is returned unchanged.
TColor ColorToRGB(TColor Color);

constexpr COLORREF RGB(uint8_t R, uint8_t G, uint8_t B) {
    return static_cast<COLORREF>(R) | (static_cast<COLORREF>(G) << 8) |
           (static_cast<COLORREF>(B) << 16);
}
constexpr uint8_t GetRValue(COLORREF C) {
    return static_cast<uint8_t>(C);
}
constexpr uint8_t GetGValue(COLORREF C) {
    return static_cast<uint8_t>(C >> 8);
}
constexpr uint8_t GetBValue(COLORREF C) {
    return static_cast<uint8_t>(C >> 16);
}

// ---------------------------------------------------------------------------
// Points and rectangles

struct TPoint {
    int32_t X = 0;
    int32_t Y = 0;
    bool operator==(const TPoint&) const = default;
};

// Left and Top are inside, Right and Bottom just outside.
struct TRect {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Right = 0;
    int32_t Bottom = 0;
    int32_t Width() const { return Right - Left; }
    int32_t Height() const { return Bottom - Top; }
    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    bool operator==(const TRect&) const = default;
};

inline TPoint Point(int32_t X, int32_t Y) {
    return TPoint{X, Y};
}
inline TRect Rect(int32_t Left, int32_t Top, int32_t Right, int32_t Bottom) {
    return TRect{Left, Top, Right, Bottom};
}
inline TRect Bounds(int32_t Left, int32_t Top, int32_t Width, int32_t Height) {
    return TRect{Left, Top, Left + Width, Top + Height};
}
// The overlap of A and B; false (and an empty R) when they do not overlap.
bool IntersectRect(TRect& R, const TRect& A, const TRect& B);

// ---------------------------------------------------------------------------
// Handles

// Base of every object a handle can name.
class THandleObject {
public:
    virtual ~THandleObject() = default;
};
using THandle = std::shared_ptr<THandleObject>;

// Object types as GetObjectType answers them.
constexpr uint32_t OBJ_PEN = 1;
constexpr uint32_t OBJ_BRUSH = 2;
constexpr uint32_t OBJ_DC = 3;
constexpr uint32_t OBJ_PAL = 5;
constexpr uint32_t OBJ_BITMAP = 7;
constexpr uint32_t OBJ_MEMDC = 10;

class TGDIObject : public THandleObject {
public:
    virtual uint32_t ObjectType() const = 0;
};
using HGDIOBJ = std::shared_ptr<TGDIObject>;

class TPaletteObject;
class TBitmapObject;
class TDeviceContext;
class TGlobalMemory;
using HPALETTE = std::shared_ptr<TPaletteObject>;
using HBITMAP = std::shared_ptr<TBitmapObject>;
using HDC = std::shared_ptr<TDeviceContext>;
using HGLOBAL = std::shared_ptr<TGlobalMemory>;
// A window handle; we have no windows, so it is only ever null.
using HWND = std::shared_ptr<THandleObject>;

// The object a handle names, viewed as Target (null when it is another kind of object).
template <class Target, class Source>
std::shared_ptr<Target> HandleCast(const std::shared_ptr<Source>& H) {
    return std::dynamic_pointer_cast<Target>(H);
}

// Drops this reference to the object; false (last error set) for a null handle.
bool DeleteObject(HGDIOBJ Object);
template <class T> bool DeleteObject(std::shared_ptr<T>& Object) {
    bool Ok = DeleteObject(HGDIOBJ(Object));
    Object.reset();
    return Ok;
}
// OBJ_PAL, OBJ_BITMAP, OBJ_DC (screen and display contexts), OBJ_MEMDC; 0 for null.
uint32_t GetObjectType(const HGDIOBJ& Object);

// ---------------------------------------------------------------------------
// Palettes

struct TPaletteEntry {
    uint8_t peRed = 0;
    uint8_t peGreen = 0;
    uint8_t peBlue = 0;
    uint8_t peFlags = 0;
    bool operator==(const TPaletteEntry&) const = default;
};
constexpr uint8_t PC_RESERVED = 1;
constexpr uint8_t PC_EXPLICIT = 2;
constexpr uint8_t PC_NOCOLLAPSE = 4;

// A logical palette: version 0x300, the entry count and the entries (palPalEntry holds at
// least palNumEntries entries).
struct TLogPalette {
    uint16_t palVersion = 0x300;
    uint16_t palNumEntries = 0;
    std::vector<TPaletteEntry> palPalEntry;
};

// A DIB color-table entry: blue, green, red, 0.
struct RGBQUAD {
    uint8_t rgbBlue = 0;
    uint8_t rgbGreen = 0;
    uint8_t rgbRed = 0;
    uint8_t rgbReserved = 0;
    bool operator==(const RGBQUAD&) const = default;
};

class TPaletteObject : public TGDIObject {
public:
    explicit TPaletteObject(std::vector<TPaletteEntry> Entries) : FEntries(std::move(Entries)) {}
    uint32_t ObjectType() const override { return OBJ_PAL; }
    const std::vector<TPaletteEntry>& Entries() const { return FEntries; }
    void SetEntries(std::vector<TPaletteEntry> Entries);
    // Bumped on every change of the entries (lets color-mapping caches see them change).
    uint64_t Version() const { return FVersion; }

private:
    std::vector<TPaletteEntry> FEntries;
    uint64_t FVersion = 1;
};

// A new palette with the logical palette's entries; null (last error set) when the version
// is not 0x300, the count is 0 or the entries are missing.
HPALETTE CreatePalette(const TLogPalette& LogPalette);
HPALETTE CreatePalette(const TPaletteEntry* Entries, int Count);
// Copies up to Count entries from StartIndex into Entries; answers how many were copied.
// With Entries null it answers the palette's entry count. 0 (last error set) for no palette.
uint32_t GetPaletteEntries(const HPALETTE& Palette, uint32_t StartIndex, uint32_t Count,
                           TPaletteEntry* Entries);
uint32_t SetPaletteEntries(const HPALETTE& Palette, uint32_t StartIndex, uint32_t Count,
                           const TPaletteEntry* Entries);
// The index of the entry nearest to Color (least squared RGB distance, lowest index on ties);
// 0xFFFFFFFF (CLR_INVALID) for no palette or an empty one.
constexpr uint32_t CLR_INVALID = 0xFFFFFFFF;
uint32_t GetNearestPaletteIndex(const HPALETTE& Palette, COLORREF Color);
// A new palette with the same entries, or null for null.
HPALETTE CopyPalette(const HPALETTE& Palette);
// Our halftone palette (256 entries, a new object each call): entries 0-9 the first ten
// static colors, 10-225 the 6x6x6 cube (10 + r*36 + g*6 + b = (51r, 51g, 51b)), 226-245
// the grays (255k + 10) div 21 for k = 1..20, 246-255 the last ten static colors.
HPALETTE CreateHalftonePalette(const HDC& DC);

// GDI object information. For a palette, Buffer receives the 16-bit entry count (Size >= 2)
// and the answer is 2. For a bitmap, Buffer receives a BITMAP. A null Buffer answers the size
// needed. 0 (last error set) on failure.
struct BITMAP {
    int32_t bmType = 0;
    int32_t bmWidth = 0;
    int32_t bmHeight = 0;
    int32_t bmWidthBytes = 0;
    uint16_t bmPlanes = 0;
    uint16_t bmBitsPixel = 0;
    void* bmBits = nullptr;
};
int GetObject(const HGDIOBJ& Object, int Size, void* Buffer);

// Stock objects: the same object every time; deleting a handle to one does not destroy it.
constexpr int DEFAULT_PALETTE = 15;
// The 20 static system colors (see Palette.cpp for the list), or null for other indices.
HGDIOBJ GetStockObject(int Index);
HPALETTE DefaultPalette();
// The 16 colors of the classic display (the first eight and the last eight static colors),
// made once at start-up.
HPALETTE SystemPalette16();

// The entries of the palette as a color table (blue, green, red, 0).
std::vector<RGBQUAD> PaletteToColorTable(const HPALETTE& Palette);
// A palette from a color table (flags 0).
HPALETTE ColorTableToPalette(const RGBQUAD* Table, int Count);

// ---------------------------------------------------------------------------
// Exact nearest-color mapping into a color table.
//
// The answer is the entry at the least squared RGB distance, the lowest index on ties. The
// mapper caches, per cell of 8 x 8 x 8 colors, the entries that can be nearest to some color of
// the cell (computed on first use), and searches only those.
class TColorMapper {
public:
    explicit TColorMapper(std::vector<RGBQUAD> Table);
    int Count() const { return static_cast<int>(FTable.size()); }
    const std::vector<RGBQUAD>& Table() const { return FTable; }
    // Not thread-safe: each thread uses its own mapper, or a shared one under a lock.
    uint8_t Map(uint8_t R, uint8_t G, uint8_t B);
    // The plain search over all entries (what Map must always agree with).
    uint8_t MapSlow(uint8_t R, uint8_t G, uint8_t B) const;

    // A mapper for the table, shared through a small cache of recently used tables, with the
    // lock that serialises its use.
    struct TShared {
        std::shared_ptr<TColorMapper> Mapper;
        std::mutex* Lock;
    };
    static TShared ForTable(const std::vector<RGBQUAD>& Table);

private:
    void BuildCell(uint32_t Cell);
    std::vector<RGBQUAD> FTable;
    std::vector<int32_t> FCellStart;  // per cell: offset into FCandidates, -1 = not built
    std::vector<uint8_t> FCandidates; // per built cell: count, then the entry indices
    std::vector<uint32_t> FCacheKey;  // 0x01RRGGBB when filled
    std::vector<uint8_t> FCacheValue;
};

// ---------------------------------------------------------------------------
// Bitmaps (the GDI object)

enum TPixelFormat : uint8_t {
    pfDevice = 0,
    pf1bit = 1,
    pf4bit = 2,
    pf8bit = 3,
    pf15bit = 4,
    pf16bit = 5,
    pf24bit = 6,
    pf32bit = 7,
    pfCustom = 8
};

// The pixels of a bitmap: rows from the top, each Stride bytes (a multiple of 4), in one of
// the formats 1, 4, 8 bits with a color table; 16 bits with bit masks (5-5-5 or 5-6-5); 24 bits
// (blue, green, red); 32 bits (blue, green, red, x). A monochrome bitmap is 1 bit per pixel
// whose 0 is black and 1 white, and takes part in raster operations with the text and
// background colors. A DDB is a device bitmap: 32 bits, no color table reachable through a
// device context.
class TBitmapObject : public TGDIObject {
public:
    uint32_t ObjectType() const override { return OBJ_BITMAP; }

    // Makes Width x Height pixels at BitCount (1, 4, 8, 16, 24, 32), zeroed unless Clear is
    // false. Raises EOutOfMemory when the memory cannot be had.
    void Allocate(int32_t Width, int32_t Height, int BitCount, bool Clear = true);

    int32_t Width = 0;
    int32_t Height = 0;
    int BitCount = 0;
    int32_t Stride = 0;
    bool Monochrome = false;         // a device monochrome bitmap (CreateBitmap with 1 bit)
    bool DIB = true;                 // false: a device bitmap (DDB)
    std::vector<RGBQUAD> ColorTable; // for 1, 4 and 8 bits
    // For 16 bits: the red, green and blue masks (0x7C00/0x03E0/0x001F or 0xF800/0x07E0/0x001F).
    uint32_t RedMask = 0, GreenMask = 0, BlueMask = 0;
    // Number of device contexts this bitmap is selected into (a bitmap can be in one only).
    int SelectedCount = 0;
    // Color-table entries a BMP file marked important (biClrImportant; 0 means all). Kept so
    // that a bitmap read and written again says the same.
    uint32_t ClrImportant = 0;

    // Takes Block over as the pixels (no copy): Width x Height at BitCount in rows of the
    // stride Allocate would give, top row first, starting Offset bytes into Block.
    void Adopt(std::unique_ptr<uint8_t[]> Block, size_t Offset, int32_t Width, int32_t Height,
               int BitCount);

    uint8_t* Row(int32_t Y) { return FBase + static_cast<size_t>(Y) * Stride; }
    const uint8_t* Row(int32_t Y) const { return FBase + static_cast<size_t>(Y) * Stride; }
    uint8_t* Bits() { return FBase; }
    size_t ByteSize() const { return static_cast<size_t>(Stride) * static_cast<size_t>(Height); }

    // The color of pixel (X, Y) as 0x00BBGGRR (monochrome: black or white).
    COLORREF PixelColor(int32_t X, int32_t Y) const;
    // A deep copy.
    HBITMAP Clone() const;

private:
    std::unique_ptr<uint8_t[]> FPixels; // the block that holds the pixels
    uint8_t* FBase = nullptr;           // the top row, inside FPixels
};

// Asks the system to back a large block of fresh memory with huge pages, so that its first
// use costs a few page faults rather than one per 4 KiB. Small blocks are left alone.
void AdviseLargeBlock(void* Block, size_t Bytes);

// A monochrome bitmap when Planes x BitCount is 1 (Bits: rows of whole 16-bit words, most
// significant bit leftmost, 1 = white); otherwise a DDB (Bits ignored for other depths than
// 24 and 32, where they are rows of whole 16-bit words too). Bits may be null (zeroed pixels).
HBITMAP CreateBitmap(int32_t Width, int32_t Height, uint32_t Planes, uint32_t BitCount,
                     const void* Bits);
// A bitmap in the format of what DC shows: monochrome for a memory DC holding a monochrome
// bitmap (as it does when just made), a 32-bit DDB otherwise.
HBITMAP CreateCompatibleBitmap(const HDC& DC, int32_t Width, int32_t Height);

// ---------------------------------------------------------------------------
// Device contexts and raster operations

constexpr int BITSPIXEL = 12;
constexpr int PLANES = 14;
constexpr int NUMCOLORS = 24;
constexpr int RASTERCAPS = 38;
constexpr int SIZEPALETTE = 104;
constexpr int HORZRES = 8;
constexpr int VERTRES = 10;
constexpr int LOGPIXELSX = 88;
constexpr int LOGPIXELSY = 90;
constexpr int RC_PALETTE = 0x0100;

// The screen's bits per pixel: MORVELLAN_SCREEN_BPP (1..32) when set in the environment at the
// first question, else 32. Tests may set it before the library starts.
int ScreenBitsPerPixel();
void SetScreenBitsPerPixel(int Bits);

class TDeviceContext : public TGDIObject {
public:
    enum TKind { dcScreen, dcDisplay, dcMemory };
    explicit TDeviceContext(TKind Kind);
    uint32_t ObjectType() const override { return FKind == dcMemory ? OBJ_MEMDC : OBJ_DC; }
    TKind Kind() const { return FKind; }

    HBITMAP Bitmap;      // the surface (a memory DC's selected bitmap; a display DC's surface)
    HPALETTE Palette;    // the selected palette (the stock palette by default)
    int StretchMode = 1; // BLACKONWHITE
    COLORREF TextColor = 0x000000;
    COLORREF BkColor = 0xFFFFFF;
    bool Valid = true; // false once deleted or released

private:
    TKind FKind;
};

// The screen's device context (Window must be null), released with ReleaseDC. Drawing on it
// draws nowhere.
HDC GetDC(const HWND& Window);
int ReleaseDC(const HWND& Window, HDC& DC);
// A display device context over Surface (OBJ_DC): what our window layer paints into.
HDC CreateDisplayDC(const HBITMAP& Surface);
// A memory DC holding a 1 x 1 monochrome bitmap; DC may be null (the screen).
HDC CreateCompatibleDC(const HDC& DC);
bool DeleteDC(HDC& DC);
int GetDeviceCaps(const HDC& DC, int Index);
// Selects a bitmap (memory DCs only; a bitmap can be selected into one DC at a time) and
// answers the one it replaces; null (last error set) on failure.
HGDIOBJ SelectObject(const HDC& DC, const HGDIOBJ& Object);
HPALETTE SelectPalette(const HDC& DC, const HPALETTE& Palette, bool ForceBackground);
// Answers how many entries were mapped into the system palette: 0 on screens of more than
// 8 bits per pixel.
uint32_t RealizePalette(const HDC& DC);
// The bitmap or palette selected into DC (Type OBJ_BITMAP or OBJ_PAL).
HGDIOBJ GetCurrentObject(const HDC& DC, uint32_t Type);

// Reads up to Count entries of the color table of the DIB selected into DC from StartIndex;
// answers how many were read (0 for a DDB, a bitmap without a table, or no DC).
uint32_t GetDIBColorTable(const HDC& DC, uint32_t StartIndex, uint32_t Count, RGBQUAD* Colors);
uint32_t SetDIBColorTable(const HDC& DC, uint32_t StartIndex, uint32_t Count,
                          const RGBQUAD* Colors);

constexpr int BLACKONWHITE = 1;
constexpr int WHITEONBLACK = 2;
constexpr int COLORONCOLOR = 3;
constexpr int HALFTONE = 4;
// Answers the previous mode, 0 on failure.
int SetStretchBltMode(const HDC& DC, int Mode);
int GetStretchBltMode(const HDC& DC);
COLORREF SetTextColor(const HDC& DC, COLORREF Color);
COLORREF SetBkColor(const HDC& DC, COLORREF Color);
COLORREF GetTextColor(const HDC& DC);
COLORREF GetBkColor(const HDC& DC);

constexpr uint32_t SRCCOPY = 0x00CC0020;
constexpr uint32_t SRCPAINT = 0x00EE0086;
constexpr uint32_t SRCAND = 0x008800C6;
constexpr uint32_t SRCINVERT = 0x00660046;
constexpr uint32_t SRCERASE = 0x00440328;
constexpr uint32_t NOTSRCCOPY = 0x00330008;
constexpr uint32_t NOTSRCERASE = 0x001100A6;
constexpr uint32_t MERGEPAINT = 0x00BB0226;
constexpr uint32_t DSTINVERT = 0x00550009;
constexpr uint32_t BLACKNESS = 0x00000042;
constexpr uint32_t WHITENESS = 0x00FF0062;
// Leaves the destination as it is.
constexpr uint32_t DSTCOPY = 0x00AA0029;
constexpr uint32_t MakeROP4(uint32_t Fore, uint32_t Back) {
    return ((Back << 8) & 0xFF000000u) | Fore;
}

// Raster operations work on the destination's pixel values: a source color is first put
// into the destination's format (the nearest entry of a color table; for a monochrome
// destination, 1 where the color is the source DC's background color), a monochrome source
// gives the destination DC's text color for 0 and background color for 1; then the
// operation combines the bits. Any ternary operation that does not use a pattern works.
bool BitBlt(const HDC& Dest, int32_t X, int32_t Y, int32_t Width, int32_t Height, const HDC& Source,
            int32_t SrcX, int32_t SrcY, uint32_t Rop);
// Stretched: destination column x takes source column SrcX + ((2x + 1) * SrcW) div (2 * DstW)
// (rows alike); HALFTONE averages the source pixels a destination pixel covers. Negative
// widths or heights mirror.
bool StretchBlt(const HDC& Dest, int32_t X, int32_t Y, int32_t Width, int32_t Height,
                const HDC& Source, int32_t SrcX, int32_t SrcY, int32_t SrcWidth, int32_t SrcHeight,
                uint32_t Rop);
// Where Mask (monochrome) has 1 the foreground operation of Rop4 applies, elsewhere the
// background one (MakeROP4(Fore, Back)). A null mask applies the foreground operation.
bool MaskBlt(const HDC& Dest, int32_t X, int32_t Y, int32_t Width, int32_t Height,
             const HDC& Source, int32_t SrcX, int32_t SrcY, const HBITMAP& Mask, int32_t MaskX,
             int32_t MaskY, uint32_t Rop4);
// Copies the source stretched onto the destination except where Mask (monochrome, read at
// the source's coordinates from (MaskX, MaskY)) has a set bit: there the destination stays.
bool TransparentStretchBlt(const HDC& Dest, int32_t X, int32_t Y, int32_t Width, int32_t Height,
                           const HDC& Source, int32_t SrcX, int32_t SrcY, int32_t SrcWidth,
                           int32_t SrcHeight, const HBITMAP& Mask, int32_t MaskX, int32_t MaskY);
// Fills Rect with Color (mapped to the surface's format).
bool FillRectColor(const HDC& DC, const TRect& R, COLORREF Color);
// COLORREF of the pixel, CLR_INVALID outside the surface.
COLORREF GetPixel(const HDC& DC, int32_t X, int32_t Y);
COLORREF SetPixel(const HDC& DC, int32_t X, int32_t Y, COLORREF Color);
// Drawing is immediate here; kept for the callers that wait for it.
bool GdiFlush();

// ---------------------------------------------------------------------------
// Global memory and the clipboard

constexpr uint32_t GMEM_FIXED = 0x0000;
constexpr uint32_t GMEM_MOVEABLE = 0x0002;
constexpr uint32_t GMEM_ZEROINIT = 0x0040;
constexpr uint32_t GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

class TGlobalMemory : public THandleObject {
public:
    explicit TGlobalMemory(size_t Size);
    ~TGlobalMemory() override;
    std::unique_ptr<uint8_t[]> Data;
    size_t Size = 0;
    int LockCount = 0;
};

// Null (last error ERROR_NOT_ENOUGH_MEMORY) when the memory cannot be had.
HGLOBAL GlobalAlloc(uint32_t Flags, size_t Bytes);
void* GlobalLock(const HGLOBAL& Memory);
// False once the lock count is back to 0 (last error ERROR_SUCCESS then) or on failure.
bool GlobalUnlock(const HGLOBAL& Memory);
size_t GlobalSize(const HGLOBAL& Memory);
// The block a locked address belongs to (null when none).
HGLOBAL GlobalHandle(const void* Address);
// Drops the reference; answers null on success, the handle itself on failure.
HGLOBAL GlobalFree(HGLOBAL Memory);
// Takes the bytes out of an unlocked block: the caller owns them from now on, the block is
// left empty and GlobalHandle no longer knows their address. Null (last error set) for no
// block, a locked one or an empty one.
std::unique_ptr<uint8_t[]> GlobalDetach(const HGLOBAL& Memory);

constexpr uint32_t CF_BITMAP = 2;
constexpr uint32_t CF_METAFILEPICT = 3;
constexpr uint32_t CF_DIB = 8;
constexpr uint32_t CF_PALETTE = 9;
constexpr uint32_t CF_ENHMETAFILE = 14;

// The same name gives the same number, from 0xC000 on; 0 for an empty name.
uint32_t RegisterClipboardFormat(const std::string& Name);
std::string GetClipboardFormatName(uint32_t Format);
bool OpenClipboard(const HWND& Owner);
bool CloseClipboard();
bool EmptyClipboard();
// The clipboard keeps Data; answers it, or null (last error set) for a null handle or format 0.
THandle SetClipboardData(uint32_t Format, THandle Data);
THandle GetClipboardData(uint32_t Format);
bool IsClipboardFormatAvailable(uint32_t Format);

// ---------------------------------------------------------------------------
// The graphic framework

class TCanvas;
class TGraphic;
class TBitmap;

// The description of a graphic class: its name and its virtual constructor.
struct TGraphicClassInfo {
    std::string Name;
    std::unique_ptr<TGraphic> (*Factory)() = nullptr; // null for abstract classes
    bool (*IsInstance)(const TGraphic*) = nullptr;    // the object is of this class or derived
    std::unique_ptr<TGraphic> Create() const;
    // Whether this class is Other or derived from it.
    bool InheritsFrom(const TGraphicClassInfo* Other) const;
};
using TGraphicClass = const TGraphicClassInfo*;

template <class T> TGraphicClass GraphicClassOf(const char* Name) {
    static const TGraphicClassInfo Info = [Name] {
        TGraphicClassInfo I;
        I.Name = Name;
        if constexpr (!std::is_abstract_v<T>)
            I.Factory = []() -> std::unique_ptr<TGraphic> { return std::make_unique<T>(); };
        I.IsInstance = [](const TGraphic* G) { return dynamic_cast<const T*>(G) != nullptr; };
        return I;
    }();
    return &Info;
}

// Declares ClassName and ClassType of a graphic class.
#define MV_GRAPHIC_CLASS(Name)                                                                     \
    std::string ClassName() const override {                                                       \
        return #Name;                                                                              \
    }                                                                                              \
    ::mv::TGraphicClass ClassType() const override {                                               \
        return ClassInfo();                                                                        \
    }                                                                                              \
    static ::mv::TGraphicClass ClassInfo() {                                                       \
        return ::mv::GraphicClassOf<Name>(#Name);                                                  \
    }

enum TProgressStage : uint8_t { psStarting = 0, psRunning = 1, psEnding = 2 };
using TProgressEvent =
    std::function<void(TObject* Sender, TProgressStage Stage, uint8_t PercentDone, bool RedrawNow,
                       const TRect& R, const std::string& Msg)>;

// A picture that a canvas can draw and a picture holder can load, save and copy.
class TGraphic : public TPersistent {
public:
    TGraphic() = default;
    ~TGraphic() override = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;
    std::string ClassName() const override { return "TGraphic"; }
    virtual TGraphicClass ClassType() const = 0;
    static TGraphicClass ClassInfo() { return GraphicClassOf<TGraphic>("TGraphic"); }

    // Draws the picture stretched into Rect.
    virtual void Draw(TCanvas& ACanvas, const TRect& Rect) = 0;
    virtual bool GetEmpty() const = 0;
    virtual int32_t GetWidth() const = 0;
    virtual int32_t GetHeight() const = 0;
    virtual void SetWidth(int32_t Value) = 0;
    virtual void SetHeight(int32_t Value) = 0;
    virtual HPALETTE GetPalette() { return nullptr; }
    virtual void SetPalette(HPALETTE Value) { (void)Value; }
    virtual bool GetTransparent() const { return FTransparent; }
    virtual void SetTransparent(bool Value);

    bool Empty() const { return GetEmpty(); }
    int32_t Width() const { return GetWidth(); }
    int32_t Height() const { return GetHeight(); }
    HPALETTE Palette() { return GetPalette(); }
    bool Transparent() const { return GetTransparent(); }

    virtual void LoadFromStream(TStream& Stream) = 0;
    virtual void SaveToStream(TStream& Stream) = 0;
    // Opens the file (read, writers denied) and loads from it.
    virtual void LoadFromFile(const std::string& FileName);
    // Writes into a temporary file beside FileName and renames it over FileName when done,
    // so a failure leaves what was there.
    virtual void SaveToFile(const std::string& FileName);
    // What a component stores for the graphic: by default exactly the stream form.
    virtual void ReadData(TStream& Stream) { LoadFromStream(Stream); }
    virtual void WriteData(TStream& Stream) { SaveToStream(Stream); }
    virtual void LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE APalette) = 0;
    virtual void SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) = 0;

    // True when Graphic is of the same class and both are empty or save the same bytes.
    virtual bool Equals(TGraphic* Graphic);

    // Sets Modified and calls OnChange.
    virtual void Changed(TObject* Sender);
    // Calls OnProgress when set.
    virtual void Progress(TObject* Sender, TProgressStage Stage, uint8_t PercentDone,
                          bool RedrawNow, const TRect& R, const std::string& Msg);

    bool Modified() const { return FModified; }
    void SetModified(bool Value);
    bool PaletteModified() const { return FPaletteModified; }
    void SetPaletteModified(bool Value) { FPaletteModified = Value; }

    TNotifyEvent OnChange;
    TProgressEvent OnProgress;

protected:
    bool FTransparent = false;
    bool FModified = false;
    bool FPaletteModified = false;
};

// ---------------------------------------------------------------------------
// Canvas

enum TBrushStyle : uint8_t { bsSolid = 0, bsClear = 1 };

class TBrush : public TPersistent {
public:
    std::string ClassName() const override { return "TBrush"; }
    void Assign(TPersistent* Source) override;
    TColor Color() const { return FColor; }
    void SetColor(TColor Value);
    TBrushStyle Style() const { return FStyle; }
    void SetStyle(TBrushStyle Value);
    TNotifyEvent OnChange;

private:
    TColor FColor = clWhite;
    TBrushStyle FStyle = bsSolid;
};

using TCopyMode = uint32_t;
constexpr TCopyMode cmBlackness = BLACKNESS;
constexpr TCopyMode cmDstInvert = DSTINVERT;
constexpr TCopyMode cmMergePaint = MERGEPAINT;
constexpr TCopyMode cmNotSrcCopy = NOTSRCCOPY;
constexpr TCopyMode cmNotSrcErase = NOTSRCERASE;
constexpr TCopyMode cmSrcAnd = SRCAND;
constexpr TCopyMode cmSrcCopy = SRCCOPY;
constexpr TCopyMode cmSrcErase = SRCERASE;
constexpr TCopyMode cmSrcInvert = SRCINVERT;
constexpr TCopyMode cmSrcPaint = SRCPAINT;
constexpr TCopyMode cmWhiteness = WHITENESS;

// A drawing surface over a device context.
class TCanvas : public TPersistent {
public:
    TCanvas();
    ~TCanvas() override;
    std::string ClassName() const override { return "TCanvas"; }

    // The device context; a canvas that has none asks CreateHandle for one.
    HDC Handle();
    void SetHandle(HDC Value);
    bool HandleAllocated() const { return FHandle != nullptr; }

    TBrush& Brush() { return FBrush; }
    TCopyMode CopyMode() const { return FCopyMode; }
    void SetCopyMode(TCopyMode Value) { FCopyMode = Value; }
    // The drawing surface's bounds (empty when there is none).
    TRect ClipRect();

    // Fills Rect with the brush (nothing for bsClear).
    void FillRect(const TRect& R);
    // The one-pixel border of Rect in the brush color.
    void FrameRect(const TRect& R);
    // Draws Graphic at its own size with its top-left corner at (X, Y).
    void Draw(int32_t X, int32_t Y, TGraphic* Graphic);
    // Draws Graphic stretched into Rect (the graphic's Draw).
    void StretchDraw(const TRect& R, TGraphic* Graphic);
    // Copies Source of Canvas into Dest of this canvas with CopyMode, stretching as needed.
    void CopyRect(const TRect& Dest, TCanvas& Canvas, const TRect& Source);
    TColor Pixels(int32_t X, int32_t Y);
    void SetPixels(int32_t X, int32_t Y, TColor Value);

    virtual void Changing();
    virtual void Changed();
    TNotifyEvent OnChange;
    TNotifyEvent OnChanging;

    // The canvas lock that a painter thread takes around its drawing; re-entrant.
    void Lock();
    void Unlock();
    bool TryLock();
    int LockCount() const { return FLockCount; }

protected:
    // Gives the canvas a device context when it has none (a plain canvas stays without).
    virtual void CreateHandle() {}
    // Called before every use of the device context (a bitmap canvas brings its bitmap up
    // to date there).
    virtual void RequireHandle() {}
    HDC FHandle;

private:
    TBrush FBrush;
    TCopyMode FCopyMode = cmSrcCopy;
    std::recursive_mutex FLock;
    int FLockCount = 0;
};

// ---------------------------------------------------------------------------
// TBitmap

enum TBitmapHandleType : uint8_t { bmDIB = 0, bmDDB = 1 };
enum TTransparentMode : uint8_t { tmAuto = 0, tmFixed = 1 };

class TBitmapCanvas;

// A raster picture held as a DIB in our memory (or, with HandleType bmDDB, as a device bitmap).
class TBitmap : public TGraphic {
public:
    TBitmap();
    TBitmap(int32_t Width, int32_t Height, TPixelFormat Format = pfDevice);
    ~TBitmap() override;
    MV_GRAPHIC_CLASS(TBitmap)

    void Assign(TPersistent* Source) override;

    void Draw(TCanvas& ACanvas, const TRect& Rect) override;
    bool GetEmpty() const override;
    int32_t GetWidth() const override;
    int32_t GetHeight() const override;
    void SetWidth(int32_t Value) override;
    void SetHeight(int32_t Value) override;
    void SetSize(int32_t Width, int32_t Height);
    HPALETTE GetPalette() override;
    void SetPalette(HPALETTE Value) override;
    void SetTransparent(bool Value) override;

    // BMP file format (see Bmp.h).
    void LoadFromStream(TStream& Stream) override;
    void SaveToStream(TStream& Stream) override;
    // CF_BITMAP: AData is a bitmap (HBITMAP), APalette its palette (may be null).
    void LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE APalette) override;
    void SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) override;

    TCanvas& Canvas();

    // The bitmap object (made when the bitmap has none yet; null for an empty bitmap).
    HBITMAP Handle();
    // Takes over Value as the bitmap's pixels (its format decides PixelFormat and HandleType).
    void SetHandle(HBITMAP Value);
    bool HandleAllocated() const { return FImage != nullptr; }
    // Gives up the bitmap object: the caller keeps it, the bitmap becomes empty.
    HBITMAP ReleaseHandle();
    TBitmapHandleType HandleType() const;
    void SetHandleType(TBitmapHandleType Value);

    // A monochrome bitmap, 1 where a pixel has TransparentColor (made on demand, kept until
    // the pixels change).
    HBITMAP MaskHandle();
    HBITMAP ReleaseMaskHandle();
    bool Monochrome() const;
    void SetMonochrome(bool Value);

    TPixelFormat PixelFormat() const;
    // Converts in place: to 8 bits or fewer from a deeper format, the colors are mapped exactly
    // to the nearest entry of the new table (8 bits: the halftone palette; 4 bits: the 16
    // classic colors; 1 bit: black and white); an indexed source keeps its indices and table
    // where they fit. To 15/16/24/32 bits the colors are expanded. pfDevice makes a DDB;
    // pfCustom is refused (EInvalidGraphic).
    void SetPixelFormat(TPixelFormat Value);

    // The address of row Row (0 = top). Outside 0..Height-1: EInvalidGraphicOperation
    // "Scan line index out of range". A DDB becomes a DIB first.
    void* ScanLine(int32_t Row);

    // tmAuto: the color of the bottom-left pixel; tmFixed: the color set.
    TColor TransparentColor();
    void SetTransparentColor(TColor Value);
    TTransparentMode TransparentMode() const { return FTransparentMode; }
    void SetTransparentMode(TTransparentMode Value);

    // Frees the memory DC of the canvas (the bitmap keeps its pixels).
    void Dormant();

    // The bitmap object as it is (no allocation); for the platform's own code.
    const HBITMAP& Image() const { return FImage; }

protected:
    // A change of the pixels: drops the mask, then Changed.
    void PixelsChanged();

private:
    friend class TBitmapCanvas;
    void NewImage(int32_t Width, int32_t Height, TPixelFormat Format);
    void ReplaceImage(const HBITMAP& New);
    void Resize(int32_t Width, int32_t Height);
    void EnsureDIB();
    // Makes Value's entries (as many as fit) the color table of the indexed pixels.
    void SetTableFromPalette(const HPALETTE& Value);

    HBITMAP FImage;
    HBITMAP FMask;
    HPALETTE FPalette;      // for 15 bits and deeper: the palette that was set (or null)
    HPALETTE FTablePalette; // the palette made from the color table (cached)
    TPixelFormat FPixelFormat = pfDevice;
    TBitmapHandleType FHandleType = bmDDB; // a new bitmap is a device bitmap (pfDevice)
    TTransparentMode FTransparentMode = tmAuto;
    TColor FTransparentColor = clDefault;
    int32_t FWidth = 0;
    int32_t FHeight = 0;
    bool FMonochrome = false;
    std::unique_ptr<TBitmapCanvas> FCanvas;
};

// The pixel format of a bitmap and its in-place change, as the GIF library asks for them.
TPixelFormat GetPixelFormat(TBitmap* Bitmap);
void SetPixelFormat(TBitmap* Bitmap, TPixelFormat PixelFormat);
// Bits per pixel of a format (pfDevice 32, pfCustom 0).
int PixelFormatBits(TPixelFormat Format);

// ---------------------------------------------------------------------------
// TPicture and its registries

// Positions of the platform's own formats among the registered ones, whatever order their
// units start in: wmf, emf, ico, bmp, then everything the application registers.
enum TPlatformFormatSlot : int { fsMetafile = 0, fsEnhMetafile = 1, fsIcon = 2, fsBitmap = 3 };

// Holds one graphic of any registered class.
class TPicture : public TPersistent {
public:
    TPicture();
    ~TPicture() override;
    std::string ClassName() const override { return "TPicture"; }
    void Assign(TPersistent* Source) override;
    void AssignTo(TPersistent* Dest) override;

    TGraphic* Graphic() const { return FGraphic.get(); }
    // A copy of Value (of Value's class) becomes the graphic; null empties the picture.
    void SetGraphic(TGraphic* Value);
    // Value itself becomes the graphic.
    void TakeGraphic(std::unique_ptr<TGraphic> Value);
    // The graphic as a bitmap: a graphic of another class is replaced by an empty TBitmap.
    TBitmap* Bitmap();
    int32_t Width() const;
    int32_t Height() const;

    // Picks the class by the file's extension (case-insensitive), loads the file into a new
    // graphic of it and, only on success, replaces the graphic. An extension that is not
    // registered raises EInvalidGraphic "Unknown picture file extension (.ext)".
    void LoadFromFile(const std::string& FileName);
    void SaveToFile(const std::string& FileName);
    void LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE APalette);
    void SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette);
    static bool SupportsClipboardFormat(uint32_t AFormat);

    // Registers a file extension (without the dot; kept in lower case) for a class.
    static void RegisterFileFormat(const std::string& AExtension, const std::string& ADescription,
                                   TGraphicClass AGraphicClass);
    // The platform's own formats, kept at their slot's position (see TPlatformFormatSlot).
    static void RegisterPlatformFileFormat(TPlatformFormatSlot Slot, const std::string& AExtension,
                                           const std::string& ADescription,
                                           TGraphicClass AGraphicClass);
    static void RegisterClipboardFormat(uint32_t AFormat, TGraphicClass AGraphicClass);
    // Removes every file and clipboard format registered for the class.
    static void UnregisterGraphicClass(TGraphicClass AClass);

    struct TFileFormat {
        std::string Extension;
        std::string Description;
        TGraphicClass GraphicClass;
    };
    // The registered formats, most recent first.
    static std::vector<TFileFormat> FileFormats();
    // The class registered for an extension (without the dot, any case), or null.
    static TGraphicClass FindExtension(const std::string& AExtension);
    static TGraphicClass FindClipboardFormat(uint32_t AFormat);

    virtual void Changed(TObject* Sender);
    virtual void Progress(TObject* Sender, TProgressStage Stage, uint8_t PercentDone,
                          bool RedrawNow, const TRect& R, const std::string& Msg);
    TNotifyEvent OnChange;
    TProgressEvent OnProgress;

private:
    void Attach(std::unique_ptr<TGraphic> Value);
    std::unique_ptr<TGraphic> FGraphic;
};

// The open-dialog filter of the classes derived from GraphicClass (all formats for
// TGraphic::ClassInfo()): "All (*.a;*.b)|*.a;*.b|Description (*.a)|*.a|...", most recently
// registered format first.
std::string GraphicFilter(TGraphicClass GraphicClass);
// The extension of the first format of the class ("bmp"), "" when none.
std::string GraphicExtension(TGraphicClass GraphicClass);

} // namespace mv
