// The drawing context our metafile player keeps while it plays records: mapping modes and
// window/viewport, world transform, selected pen, brush and font, colors and modes, current
// position, clip region, the path being built and the saved states. Drawing calls take
// logical coordinates; the EMF and WMF record readers call them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/MetafilePlayer.h"
#include "platform/Raster.h"

namespace mv::metafile {

using raster::TPointF;
using raster::TPolygon;
using raster::TPolygonSet;
using raster::TRGB;

// Mapping modes, fill modes, background modes and text alignment as the formats number them.
enum : int {
    MM_TEXT = 1,
    MM_LOMETRIC = 2,
    MM_HIMETRIC = 3,
    MM_LOENGLISH = 4,
    MM_HIENGLISH = 5,
    MM_TWIPS = 6,
    MM_ISOTROPIC = 7,
    MM_ANISOTROPIC = 8
};
enum : int { ALTERNATE = 1, WINDING = 2 };
enum : int { TRANSPARENT = 1, OPAQUE = 2 };
enum : int {
    TA_UPDATECP = 1,
    TA_RIGHT = 2,
    TA_CENTER = 6,
    TA_BOTTOM = 8,
    TA_BASELINE = 24,
    TA_HORZ_MASK = 6,
    TA_VERT_MASK = 24
};
enum : int { ETO_OPAQUE = 2, ETO_CLIPPED = 4, ETO_PDY = 0x2000 };
enum : int {
    PS_SOLID = 0,
    PS_DASH = 1,
    PS_DOT = 2,
    PS_DASHDOT = 3,
    PS_DASHDOTDOT = 4,
    PS_NULL = 5,
    PS_ALTERNATE = 8,
    PS_STYLE_MASK = 0xF,
    PS_GEOMETRIC = 0x10000
};
// How clip regions combine, as the formats number it.
enum : int { RGN_AND = 1, RGN_OR = 2, RGN_XOR = 3, RGN_DIFF = 4, RGN_COPY = 5 };
enum : int {
    BS_SOLID = 0,
    BS_NULL = 1,
    BS_HATCHED = 2,
    BS_PATTERN = 3,
    BS_DIBPATTERN = 5,
    BS_DIBPATTERNPT = 6
};
enum : int { AD_COUNTERCLOCKWISE = 1, AD_CLOCKWISE = 2 };

struct TXForm {
    double M11 = 1, M12 = 0, M21 = 0, M22 = 1, Dx = 0, Dy = 0;
    // (this applied first, then B)
    TXForm Then(const TXForm& B) const;
};

struct TPen {
    int Style = PS_SOLID;
    double Width = 0; // logical units; 0 draws one pixel wide whatever the mapping
    bool Cosmetic = true;
    TRGB Color = 0;
};

struct TBrush {
    int Style = BS_SOLID;
    TRGB Color = 0xFFFFFF;
    int Hatch = 0;
    std::shared_ptr<raster::TImage> Pattern;
};

struct TFont {
    int32_t Height = -16, Width = 0, Escapement = 0, Orientation = 0, Weight = 400;
    bool Italic = false, Underline = false, StrikeOut = false;
    int Charset = 1;
    std::string Face; // UTF-8
};

struct TGdiObject {
    enum TKind { okPen, okBrush, okFont, okOther } Kind = okOther;
    TPen Pen;
    TBrush Brush;
    TFont Font;
};

struct TPathFigure {
    TPolygon Points; // device pixels
    bool Closed = false;
};

struct TDCState {
    int MapMode = MM_TEXT;
    double WinOrgX = 0, WinOrgY = 0, WinExtX = 1, WinExtY = 1;
    double VpOrgX = 0, VpOrgY = 0, VpExtX = 1, VpExtY = 1;
    TXForm World;
    TPen Pen;
    TBrush Brush;
    TFont Font;
    TRGB TextColor = 0;
    TRGB BkColor = 0xFFFFFF;
    int BkMode = OPAQUE;
    int TextAlign = 0;
    int PolyFillMode = ALTERNATE;
    int ArcDirection = AD_COUNTERCLOCKWISE;
    double CurX = 0, CurY = 0; // logical
    // Device pixels; none: only the target rectangle clips. Shared between saved states.
    std::shared_ptr<const raster::TRegion> Clip;
};

// A decoded DIB (bottom-up sources already turned top-down).
struct TDib {
    raster::TImage Image;
    bool BottomUp = true;
};

// Decodes a BITMAPINFO and its bits. Returns nothing for what we do not decode (compressed
// or palette-index DIBs, sizes the bytes do not hold). Colors use the table's order.
std::optional<TDib> DecodeDib(const uint8_t* Info, size_t InfoSize, const uint8_t* Bits,
                              size_t BitsSize, uint32_t Usage);
// A packed DIB: the BITMAPINFO immediately followed by its bits.
std::optional<TDib> DecodePackedDib(const uint8_t* Data, size_t Size, uint32_t Usage);

class TPlayerDC {
public:
    TPlayerDC(raster::TRasterizer& Target, const TMetafileInfo& Info, double Left, double Top,
              double Right, double Bottom);

    TDCState S;
    bool WindowsMetafile = false;

    // Mapping.
    void SetMapMode(int Mode);
    void SetWindowOrg(double X, double Y) { S.WinOrgX = X, S.WinOrgY = Y; }
    void SetWindowExt(double X, double Y);
    void SetViewportOrg(double X, double Y);
    void SetViewportExt(double X, double Y);
    void ScaleWindowExt(double XNum, double XDen, double YNum, double YDen);
    void ScaleViewportExt(double XNum, double XDen, double YNum, double YDen);
    void SetWorldTransform(const TXForm& X) { S.World = X; }
    void ModifyWorldTransform(const TXForm& X, int Mode);
    TPointF ToDevice(double X, double Y) const;
    double DeviceScaleX() const; // device pixels per logical unit along x
    double DeviceScaleY() const;

    void SaveDC();
    void RestoreDC(int Relative);

    // Objects.
    void SelectPen(const TPen& P) { S.Pen = P; }
    void SelectBrush(const TBrush& B) { S.Brush = B; }
    void SelectFont(const TFont& F) { S.Font = F; }

    // Clipping (logical rectangles, right and bottom excluded).
    void IntersectClipRect(double L, double T, double R, double B);
    void ExcludeClipRect(double L, double T, double R, double B);
    void OffsetClipRgn(double DX, double DY);
    // A region in the picture's reference device pixels combined with the clip by Mode
    // (RGN_*); a null region with RGN_COPY removes the clip.
    void SelectClipRects(const std::vector<raster::TIntRect>* Rects, int Mode);
    void ResetClip();

    // Drawing, logical coordinates.
    void MoveTo(double X, double Y);
    void LineTo(double X, double Y);
    void Polyline(const TPolygon& Pts);
    void PolylineTo(const TPolygon& Pts);
    void PolyPolyline(const TPolygonSet& Lines);
    void PolyPolygon(const TPolygonSet& Polys);
    void PolyBezier(const TPolygon& Pts);
    void PolyBezierTo(const TPolygon& Pts);
    void PolyDraw(const TPolygon& Pts, const uint8_t* Types);
    void Rectangle(double L, double T, double R, double B);
    void RoundRect(double L, double T, double R, double B, double W, double H);
    void Ellipse(double L, double T, double R, double B);
    enum TArcKind { akArc, akChord, akPie, akArcTo };
    void Arc(TArcKind Kind, double L, double T, double R, double B, double XS, double YS, double XE,
             double YE);
    void AngleArc(double X, double Y, double Radius, double StartDeg, double SweepDeg);
    void SetPixel(double X, double Y, TRGB Color);

    // Paths.
    void BeginPath();
    void EndPath() { FInPath = false; }
    void AbortPath();
    void CloseFigure();
    void FillPath();
    void StrokePath();
    void StrokeAndFillPath();

    // Text: Dx holds logical advances (may be empty); Rect is a logical rectangle used with
    // ETO_OPAQUE / ETO_CLIPPED.
    void TextOut(double X, double Y, const std::u32string& Text, const std::vector<double>& Dx,
                 int Options, const double* Rect);

    // Bitmaps: the source rectangle of Dib onto the logical destination rectangle.
    // SourceFromBottom: the source's y counts from the DIB's bottom row (StretchDIBits).
    void StretchDib(const TDib& Dib, double XDest, double YDest, double WDest, double HDest,
                    int XSrc, int YSrc, int WSrc, int HSrc, uint32_t Rop, bool SourceFromBottom);
    void PatBlt(double X, double Y, double W, double H, uint32_t Rop);

    bool Exhausted() const { return FTarget.Exhausted(); }

private:
    // Draws (or, inside a path, records) shapes: Fill polygons with the brush, then Outline
    // figures with the pen.
    void Emit(const TPolygonSet& Fill, const std::vector<TPathFigure>& Outline);
    void StrokeFigures(const std::vector<TPathFigure>& Figures);
    void FillDevice(const TPolygonSet& Polys, raster::TFillRule Rule);
    raster::TPaint BrushPaint() const;
    double PenWidthDevice() const;
    void ApplyClip();
    void CombineClip(const raster::TRegion& R, raster::TRegion::TOp Op);
    raster::TIntRect DeviceRect(double L, double T, double R, double B) const;
    TPathFigure& CurrentFigure();
    // The logical box in device pixels, ordered.
    void DeviceBox(double L, double T, double R, double B, double& DL, double& DT, double& DR,
                   double& DB) const;

    raster::TRasterizer& FTarget;
    raster::TIntRect FBaseClip;
    // Reference device to target (enhanced metafiles); identity for Windows metafiles.
    double FRefSX = 1, FRefSY = 1, FRefOX = 0, FRefOY = 0;
    double FPixPerMMX = 1, FPixPerMMY = 1;
    std::vector<TDCState> FSaved;
    bool FInPath = false;
    std::vector<TPathFigure> FPath;
};

} // namespace mv::metafile

namespace mv::metafile {

// Little-endian field access for the record readers; callers check the bounds first.
inline uint32_t GetU32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t GetI32(const uint8_t* p) {
    return static_cast<int32_t>(GetU32(p));
}
inline uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline int16_t GetI16(const uint8_t* p) {
    return static_cast<int16_t>(GetU16(p));
}
float GetF32(const uint8_t* p);
std::string ToUTF8(const std::u32string& S);
// Pixels at 96 per inch for a length in Units per inch, rounded; 0 when Units is 0.
int64_t To96(int64_t Length, int64_t UnitsPerInch);

TMetafileInfo ReadEmfInfo(const uint8_t* Data, size_t Size);
TMetafileInfo ReadWmfInfo(const uint8_t* Data, size_t Size);
void PlayEmf(TPlayerDC& DC, const uint8_t* Data, const TMetafileInfo& Info);
void PlayWmf(TPlayerDC& DC, const uint8_t* Data, const TMetafileInfo& Info);

} // namespace mv::metafile
