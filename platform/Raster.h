// Our aliased rasterizer: scanline polygon fill (alternate and winding rules), one-pixel
// lines (solid or dashed), thick strokes with round joins and caps, flattening of ellipses,
// arcs and Bézier curves, hatched and pattern brushes and nearest-neighbour image blits, all
// clipped to one rectangle and, optionally, a region of rectangles. It draws into a plain
// 24- or 32-bit pixel buffer (bytes blue, green, red[, x]).
//
// Geometry is in device pixels as doubles; pixel (i, j) is sampled at the point (i, j), and a
// point exactly on a left or top edge belongs to the shape (the right and bottom edges do
// not), so a rectangle from (l, t) to (r, b) covers columns l..r-1 and rows t..b-1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace mv::raster {

struct TPointF {
    double X = 0, Y = 0;
};
using TPolygon = std::vector<TPointF>;
using TPolygonSet = std::vector<TPolygon>;

// 0x00RRGGBB; the platform's TColor (0x00BBGGRR) converts with ColorRefToRGB.
using TRGB = uint32_t;
constexpr TRGB ColorRefToRGB(uint32_t ColorRef) {
    return ((ColorRef & 0xFF) << 16) | (ColorRef & 0xFF00) | ((ColorRef >> 16) & 0xFF);
}

// A pixel buffer owned by someone else. Row 0 is the top row.
struct TPixelBuffer {
    uint8_t* Bits = nullptr;
    int Width = 0;
    int Height = 0;
    ptrdiff_t Stride = 0;    // bytes from one row to the next
    int BytesPerPixel = 4;   // 3 (blue, green, red) or 4 (blue, green, red, x)
    uint32_t FourthByte = 0; // value written to the fourth byte of 32-bit pixels (bits 24-31)
};

// A top-down image with 0x00RRGGBB pixels (decoded DIBs, brush patterns).
struct TImage {
    int Width = 0;
    int Height = 0;
    std::vector<TRGB> Pixels;
    TRGB At(int X, int Y) const { return Pixels[static_cast<size_t>(Y) * Width + X]; }
};

struct TIntRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
};

enum TFillRule { frAlternate, frWinding };

// Hatch styles as the metafile formats number them.
enum THatchStyle {
    hsHorizontal = 0,
    hsVertical = 1,
    hsFDiagonal = 2,
    hsBDiagonal = 3,
    hsCross = 4,
    hsDiagCross = 5
};

// What a fill paints with.
struct TPaint {
    enum TKind { pkSolid, pkHatch, pkPattern } Kind = pkSolid;
    TRGB Color = 0;
    int Hatch = hsHorizontal;
    TRGB BkColor = 0xFFFFFF;         // hatch gaps, when Opaque
    bool Opaque = false;             // hatch gaps painted with BkColor (else left alone)
    const TImage* Pattern = nullptr; // pkPattern: tiled from the device origin
    static TPaint Solid(TRGB C) {
        TPaint P;
        P.Color = C;
        return P;
    }
};

// Raster operations for image blits (the ternary codes' high words).
enum TBlitOp { boSrcCopy, boSrcPaint, boSrcAnd, boSrcInvert, boNotSrcCopy, boSrcErase };

// Bounds the work one playback may cause: every scanline row an edge is followed over and
// every pixel written costs one unit. Drawing stops quietly once the budget is spent.
struct TWorkBudget {
    uint64_t Remaining = UINT64_MAX;
    bool Exhausted = false;
    bool Spend(uint64_t Units) {
        if (Units >= Remaining) {
            Remaining = 0;
            Exhausted = true;
            return false;
        }
        Remaining -= Units;
        return true;
    }
};

// A set of pixels made of rectangles, kept as bands of rows (top to bottom, not touching
// unless their spans differ), each with sorted, disjoint column spans (left included, right
// excluded). Clip regions are built from rectangles with the set operations.
class TRegion {
public:
    using TSpans = std::vector<std::pair<int, int>>;
    struct TBand {
        int Top = 0, Bottom = 0; // rows Top..Bottom-1
        TSpans Spans;
    };
    enum TOp { roAnd, roOr, roXor, roDiff };
    // Regions larger than this many spans are not built (the operation fails instead).
    static constexpr size_t kMaxSpans = size_t{1} << 18;

    TRegion() = default; // empty
    explicit TRegion(const TIntRect& R);
    // The union of any rectangles; nothing when the result would be too large or the budget
    // runs out (each band costs the rectangles that cross it).
    static std::optional<TRegion> FromRects(std::vector<TIntRect> Rects,
                                            TWorkBudget* Budget = nullptr);
    static std::optional<TRegion> Combine(const TRegion& A, const TRegion& B, TOp Op,
                                          TWorkBudget* Budget = nullptr);
    // Moved by whole pixels (coordinates stay within +-1e9).
    TRegion Offset(int64_t DX, int64_t DY) const;

    bool IsEmpty() const { return FBands.empty(); }
    // Empty or one rectangle: the clip rectangle alone describes it.
    bool IsRect() const {
        return FBands.empty() || (FBands.size() == 1 && FBands[0].Spans.size() == 1);
    }
    TIntRect Bounds() const;
    bool Contains(int X, int Y) const;
    // The band holding row Y, or nullptr.
    const TBand* BandAt(int Y) const;
    const std::vector<TBand>& Bands() const { return FBands; }
    size_t SpanCount() const { return FSpans; }

private:
    // Appends a band below the last one, merging it into the last when they touch and agree.
    void Push(int Top, int Bottom, const TSpans& Spans);
    std::vector<TBand> FBands;
    size_t FSpans = 0;
};

// A dash pattern for one-pixel lines: runs of pixels, on and off alternately (on first),
// counted along the line's major axis and carried from one segment to the next.
struct TLineStyle {
    const uint8_t* Runs = nullptr;
    int Count = 0;
    bool Opaque = false; // gaps painted with BkColor (else left alone)
    TRGB BkColor = 0xFFFFFF;
};

class TRasterizer {
public:
    explicit TRasterizer(const TPixelBuffer& Buffer, TWorkBudget* Budget = nullptr);

    const TPixelBuffer& Buffer() const { return FBuffer; }
    // The clip is always inside the buffer; an empty clip draws nothing.
    void SetClip(const TIntRect& Clip);
    const TIntRect& Clip() const { return FClip; }
    // A region further limiting the clip rectangle (not owned; nullptr: the rectangle alone).
    void SetClipRegion(const TRegion* Region) { FRegion = Region; }
    const TRegion* ClipRegion() const { return FRegion; }

    void FillPolygons(const TPolygonSet& Polygons, TFillRule Rule, const TPaint& Paint);
    void FillRect(const TIntRect& R, const TPaint& Paint);
    // One-pixel lines through the rounded points; the last point of an open line is not
    // drawn (so consecutive segments do not overlap), a closed one returns to its start.
    // With a Style, the pixels follow its dash pattern from the first point on.
    void ThinPolyline(const TPolygon& Points, bool Closed, TRGB Color,
                      const TLineStyle* Style = nullptr);
    // A pen of the given width in pixels, centred on the line, with round joins and caps.
    void StrokePolyline(const TPolygon& Points, bool Closed, double Width, TRGB Color);
    void SetPixel(int X, int Y, TRGB Color);
    // A one-bit-per-pixel bitmap (rows of Pitch bytes, most significant bit first) drawn in
    // Color where a bit is set, its top left pixel at (X, Y).
    void DrawMonoBitmap(const uint8_t* Bits, int Width, int Rows, int Pitch, int X, int Y,
                        TRGB Color);
    // The source rectangle (SX, SY, SW, SH) of Src stretched onto the device rectangle from
    // (X0, Y0) to (X1, Y1) (a reversed pair mirrors), nearest neighbour.
    void StretchImage(const TImage& Src, int64_t SX, int64_t SY, int64_t SW, int64_t SH, double X0,
                      double Y0, double X1, double Y1, TBlitOp Op);
    // Inverts the pixels of a rectangle (bitwise not).
    void InvertRect(const TIntRect& R);

    bool Exhausted() const { return FBudget && FBudget->Exhausted; }
    TWorkBudget* Budget() const { return FBudget; }
    void SetBudget(TWorkBudget* Budget) { FBudget = Budget; }

private:
    void Span(int Y, int X0, int X1, const TPaint& Paint); // X0..X1-1, inside the rectangle
    void PaintSpan(int Y, int X0, int X1, const TPaint& Paint);
    // Calls Fn(A, B) for the parts of row Y's columns X0..X1-1 inside the clip region.
    template <class F> void ForClipped(int Y, int X0, int X1, F&& Fn) const;
    uint8_t* PixelAt(int X, int Y) const {
        return FBuffer.Bits + Y * FBuffer.Stride +
               static_cast<ptrdiff_t>(X) * FBuffer.BytesPerPixel;
    }
    TRGB Get(int X, int Y) const;
    void Put(int X, int Y, TRGB C);
    bool Spend(uint64_t Units) { return !FBudget || FBudget->Spend(Units); }

    TPixelBuffer FBuffer;
    TIntRect FClip;
    const TRegion* FRegion = nullptr;
    TWorkBudget* FBudget;
};

// ---------------------------------------------------------------------------
// Geometry helpers (all in device pixels).

// Points on the ellipse with centre (CX, CY) and radii (RX, RY), counter-clockwise on the
// screen from angle A0 to A1 (radians, mathematical orientation, y pointing up on screen).
// The segment count follows the radius so that chords stay within a fraction of a pixel.
void AppendEllipseArc(TPolygon& Out, double CX, double CY, double RX, double RY, double A0,
                      double A1);
TPolygon EllipsePolygon(double CX, double CY, double RX, double RY);
// Appends the cubic Bézier from P0 through controls P1, P2 to P3 (P0 itself not appended).
void AppendBezier(TPolygon& Out, TPointF P0, TPointF P1, TPointF P2, TPointF P3);
// Segment count for a full turn of a circle of radius R, bounded to keep work sane.
int CircleSegments(double R);

} // namespace mv::raster
