// Enhanced metafiles: the header and the records drawing programs write.
//
// Header record (ENHMETAHEADER), offsets in bytes:
//   0 type (1)  4 record size  8 bounds (l, t, r, b; device pixels, inclusive)
//   24 frame (l, t, r, b; 0.01 mm, inclusive)  40 signature " EMF"  44 version
//   48 file size in bytes  52 record count  56 handles (16 bit)  58 reserved
//   60 description length  64 description offset  68 palette entries
//   72 reference device (width, height; pixels)  80 reference device (width, height; mm)
// Every record: 0 type  4 size in bytes (a multiple of 4, at least 8), then its fields.
#include <algorithm>
#include <cmath>
#include <optional>

#include "platform/Classes.h"
#include "platform/MetafileDC.h"
#include "platform/SysUtils.h"
#include "platform/TextRender.h"

namespace mv::metafile {

namespace {

constexpr uint32_t kEmfSignature = 0x464D4520;
constexpr size_t kEmfHeaderSize = 88;

enum : uint32_t {
    EMR_HEADER = 1,
    EMR_POLYBEZIER = 2,
    EMR_POLYGON = 3,
    EMR_POLYLINE = 4,
    EMR_POLYBEZIERTO = 5,
    EMR_POLYLINETO = 6,
    EMR_POLYPOLYLINE = 7,
    EMR_POLYPOLYGON = 8,
    EMR_SETWINDOWEXTEX = 9,
    EMR_SETWINDOWORGEX = 10,
    EMR_SETVIEWPORTEXTEX = 11,
    EMR_SETVIEWPORTORGEX = 12,
    EMR_EOF = 14,
    EMR_SETPIXELV = 15,
    EMR_SETMAPMODE = 17,
    EMR_OFFSETCLIPRGN = 26,
    EMR_SETBKMODE = 18,
    EMR_SETPOLYFILLMODE = 19,
    EMR_SETTEXTALIGN = 22,
    EMR_SETTEXTCOLOR = 24,
    EMR_SETBKCOLOR = 25,
    EMR_MOVETOEX = 27,
    EMR_EXCLUDECLIPRECT = 29,
    EMR_INTERSECTCLIPRECT = 30,
    EMR_SCALEVIEWPORTEXTEX = 31,
    EMR_SCALEWINDOWEXTEX = 32,
    EMR_SAVEDC = 33,
    EMR_RESTOREDC = 34,
    EMR_SETWORLDTRANSFORM = 35,
    EMR_MODIFYWORLDTRANSFORM = 36,
    EMR_SELECTOBJECT = 37,
    EMR_CREATEPEN = 38,
    EMR_CREATEBRUSHINDIRECT = 39,
    EMR_DELETEOBJECT = 40,
    EMR_ANGLEARC = 41,
    EMR_ELLIPSE = 42,
    EMR_RECTANGLE = 43,
    EMR_ROUNDRECT = 44,
    EMR_ARC = 45,
    EMR_CHORD = 46,
    EMR_PIE = 47,
    EMR_LINETO = 54,
    EMR_ARCTO = 55,
    EMR_POLYDRAW = 56,
    EMR_SETARCDIRECTION = 57,
    EMR_BEGINPATH = 59,
    EMR_ENDPATH = 60,
    EMR_CLOSEFIGURE = 61,
    EMR_FILLPATH = 62,
    EMR_STROKEANDFILLPATH = 63,
    EMR_STROKEPATH = 64,
    EMR_ABORTPATH = 68,
    EMR_EXTSELECTCLIPRGN = 75,
    EMR_BITBLT = 76,
    EMR_STRETCHBLT = 77,
    EMR_SETDIBITSTODEVICE = 80,
    EMR_STRETCHDIBITS = 81,
    EMR_EXTCREATEFONTINDIRECTW = 82,
    EMR_EXTTEXTOUTA = 83,
    EMR_EXTTEXTOUTW = 84,
    EMR_POLYBEZIER16 = 85,
    EMR_POLYGON16 = 86,
    EMR_POLYLINE16 = 87,
    EMR_POLYBEZIERTO16 = 88,
    EMR_POLYLINETO16 = 89,
    EMR_POLYPOLYLINE16 = 90,
    EMR_POLYPOLYGON16 = 91,
    EMR_POLYDRAW16 = 92,
    EMR_CREATEMONOBRUSH = 93,
    EMR_CREATEDIBPATTERNBRUSHPT = 94,
    EMR_EXTCREATEPEN = 95
};

// Stock objects: an object index with the high bit set.
std::optional<TGdiObject> StockObject(uint32_t Index) {
    TGdiObject O;
    auto Brush = [&](int Style, TRGB C) {
        O.Kind = TGdiObject::okBrush;
        O.Brush.Style = Style;
        O.Brush.Color = C;
    };
    auto Pen = [&](int Style, TRGB C) {
        O.Kind = TGdiObject::okPen;
        O.Pen.Style = Style;
        O.Pen.Color = C;
    };
    auto Font = [&](const char* Face, int Height, int Weight) {
        O.Kind = TGdiObject::okFont;
        O.Font.Face = Face;
        O.Font.Height = Height;
        O.Font.Weight = Weight;
    };
    switch (Index & 0x7FFFFFFF) {
    case 0:
        Brush(BS_SOLID, 0xFFFFFF);
        break;
    case 1:
        Brush(BS_SOLID, 0xC0C0C0);
        break;
    case 2:
        Brush(BS_SOLID, 0x808080);
        break;
    case 3:
        Brush(BS_SOLID, 0x404040);
        break;
    case 4:
        Brush(BS_SOLID, 0x000000);
        break;
    case 5:
        Brush(BS_NULL, 0);
        break;
    case 6:
        Pen(PS_SOLID, 0xFFFFFF);
        break;
    case 7:
        Pen(PS_SOLID, 0x000000);
        break;
    case 8:
        Pen(PS_NULL, 0);
        break;
    case 10:
    case 11:
    case 16:
        Font("monospace", 16, 400);
        break;
    case 12:
        Font("sans-serif", 16, 400);
        break;
    case 13:
    case 14:
        Font("sans-serif", 16, 700);
        break;
    case 17:
        Font("sans-serif", -11, 400);
        break;
    case 18:
        Brush(BS_SOLID, 0xFFFFFF);
        break; // DC brush
    case 19:
        Pen(PS_SOLID, 0x000000);
        break; // DC pen
    default:
        return std::nullopt;
    }
    return O;
}

class TEmfPlayer {
public:
    TEmfPlayer(TPlayerDC& DC, const uint8_t* Data, const TMetafileInfo& Info)
        : DC(DC), Data(Data), Info(Info), Objects(std::max<size_t>(Info.Handles, 1)) {}

    void Play() {
        size_t Pos = Info.FirstRecord;
        uint32_t Count = 0;
        while (Pos + 8 <= Info.Size && Count++ < kMaxPlayedRecords && !DC.Exhausted()) {
            uint32_t Type = GetU32(Data + Pos), Size = GetU32(Data + Pos + 4);
            if (Size < 8 || Size > Info.Size - Pos) break; // the chain was checked on load
            if (Type == EMR_EOF) break;
            R = Data + Pos;
            N = Size;
            Record(Type);
            Pos += Size;
        }
    }

private:
    TPlayerDC& DC;
    const uint8_t* Data;
    const TMetafileInfo& Info;
    std::vector<std::optional<TGdiObject>> Objects;
    const uint8_t* R = nullptr; // current record
    size_t N = 0;               // its size

    bool Has(size_t Bytes) const { return N >= Bytes; }
    int32_t I(size_t Off) const { return GetI32(R + Off); }
    uint32_t U(size_t Off) const { return GetU32(R + Off); }
    static TRGB Color(uint32_t ColorRef) { return raster::ColorRefToRGB(ColorRef); }

    // Points of a poly record: the count at 24, the points from 28.
    bool Points(bool Small, size_t CountOff, size_t PointOff, size_t Count, TPolygon& Out) const {
        size_t Each = Small ? 4 : 8;
        if (PointOff > N || Count > (N - PointOff) / Each) return false;
        Out.resize(Count);
        for (size_t i = 0; i < Count; ++i) {
            const uint8_t* p = R + PointOff + i * Each;
            Out[i] = Small ? TPointF{double(GetI16(p)), double(GetI16(p + 2))}
                           : TPointF{double(GetI32(p)), double(GetI32(p + 4))};
        }
        (void)CountOff;
        return true;
    }

    void Poly(uint32_t Type, bool Small) {
        if (!Has(28)) return;
        TPolygon P;
        if (!Points(Small, 24, 28, U(24), P)) return;
        switch (Type) {
        case EMR_POLYBEZIER:
        case EMR_POLYBEZIER16:
            DC.PolyBezier(P);
            break;
        case EMR_POLYGON:
        case EMR_POLYGON16:
            DC.PolyPolygon({P});
            break;
        case EMR_POLYLINE:
        case EMR_POLYLINE16:
            DC.Polyline(P);
            break;
        case EMR_POLYBEZIERTO:
        case EMR_POLYBEZIERTO16:
            DC.PolyBezierTo(P);
            break;
        case EMR_POLYLINETO:
        case EMR_POLYLINETO16:
            DC.PolylineTo(P);
            break;
        default:
            break;
        }
    }

    void PolyPoly(bool Small, bool Polygon) {
        if (!Has(32)) return;
        uint32_t NPolys = U(24), Total = U(28);
        if (NPolys > (N - 32) / 4) return;
        size_t PointOff = 32 + size_t{NPolys} * 4;
        TPolygon All;
        if (!Points(Small, 28, PointOff, Total, All)) return;
        TPolygonSet Set;
        size_t At = 0;
        for (uint32_t i = 0; i < NPolys; ++i) {
            uint32_t C = U(32 + 4 * i);
            if (C > All.size() - At) return; // counts add up to more than the points given
            Set.emplace_back(All.begin() + At, All.begin() + At + C);
            At += C;
        }
        if (Polygon)
            DC.PolyPolygon(Set);
        else
            DC.PolyPolyline(Set);
    }

    void PolyDraw(bool Small) {
        if (!Has(28)) return;
        uint32_t Count = U(24);
        TPolygon P;
        if (!Points(Small, 24, 28, Count, P)) return;
        size_t TypesOff = 28 + size_t{Count} * (Small ? 4 : 8);
        if (TypesOff > N || Count > N - TypesOff) return;
        DC.PolyDraw(P, R + TypesOff);
    }

    TGdiObject* Slot(uint32_t Index) {
        if (Index == 0 || Index >= Objects.size()) return nullptr; // 0 is the metafile itself
        Objects[Index].emplace();
        return &*Objects[Index];
    }

    void Select(uint32_t Index) {
        std::optional<TGdiObject> Stock;
        const TGdiObject* O = nullptr;
        if (Index & 0x80000000) {
            Stock = StockObject(Index);
            if (Stock) O = &*Stock;
        } else if (Index < Objects.size() && Objects[Index]) {
            O = &*Objects[Index];
        }
        if (!O) return; // unknown or deleted objects are ignored
        switch (O->Kind) {
        case TGdiObject::okPen:
            DC.SelectPen(O->Pen);
            break;
        case TGdiObject::okBrush:
            DC.SelectBrush(O->Brush);
            break;
        case TGdiObject::okFont:
            DC.SelectFont(O->Font);
            break;
        default:
            break;
        }
    }

    std::shared_ptr<raster::TImage> PatternAt(size_t OffBmi, size_t CbBmi, size_t OffBits,
                                              size_t CbBits, uint32_t Usage) const {
        auto D = Dib(OffBmi, CbBmi, OffBits, CbBits, Usage);
        if (!D) return nullptr;
        return std::make_shared<raster::TImage>(std::move(D->Image));
    }

    std::optional<TDib> Dib(size_t OffBmi, size_t CbBmi, size_t OffBits, size_t CbBits,
                            uint32_t Usage) const {
        if (OffBmi > N || CbBmi > N - OffBmi || OffBits > N || CbBits > N - OffBits)
            return std::nullopt;
        return DecodeDib(R + OffBmi, CbBmi, R + OffBits, CbBits, Usage);
    }

    void Text(bool Wide) {
        if (!Has(76)) return;
        int32_t X = I(36), Y = I(40);
        uint32_t Chars = U(44), OffString = U(48), Options = U(52), OffDx = U(72);
        double Rect[4] = {double(I(56)), double(I(60)), double(I(64)), double(I(68))};
        size_t Unit = Wide ? 2 : 1;
        if (OffString > N || Chars > (N - OffString) / Unit) return;
        std::u32string S;
        if (Wide) {
            std::vector<uint16_t> Units(Chars);
            for (uint32_t i = 0; i < Chars; ++i) Units[i] = GetU16(R + OffString + 2 * i);
            S = text::DecodeUTF16(Units.data(), Units.size());
        } else {
            S = text::DecodeCharset(
                std::string(reinterpret_cast<const char*>(R + OffString), Chars),
                DC.S.Font.Charset);
        }
        std::vector<double> Dx;
        size_t Step = (Options & ETO_PDY) ? 8 : 4;
        if (OffDx != 0 && OffDx <= N && Chars <= (N - OffDx) / Step) {
            // One advance per code unit; a surrogate pair's second advance folds into the first.
            std::vector<double> PerUnit(Chars);
            for (uint32_t i = 0; i < Chars; ++i) PerUnit[i] = GetI32(R + OffDx + Step * i);
            if (Wide && S.size() != Chars) {
                size_t u = 0;
                for (char32_t c : S) {
                    double A = u < Chars ? PerUnit[u] : 0;
                    if (c >= 0x10000 && u + 1 < Chars) A += PerUnit[++u];
                    ++u;
                    Dx.push_back(A);
                }
            } else if (S.size() == Chars) {
                Dx = std::move(PerUnit);
            } else if (!Wide) {
                // Multi-byte characters: the advances of their bytes add up.
                std::string Bytes(reinterpret_cast<const char*>(R + OffString), Chars);
                size_t u = 0;
                for (size_t k = 0; k < S.size() && u < Chars; ++k) {
                    std::u32string One = text::DecodeCharset(Bytes.substr(u, 1), DC.S.Font.Charset);
                    size_t Len = (One.size() == 1 && One[0] != 0xFFFD) ? 1 : 2;
                    double A = 0;
                    for (size_t j = 0; j < Len && u < Chars; ++j) A += PerUnit[u++];
                    Dx.push_back(A);
                }
            }
        }
        DC.TextOut(X, Y, S, Dx, static_cast<int>(Options), Rect);
    }

    void Font() {
        if (!Has(104)) return;
        TGdiObject* O = Slot(U(8));
        if (!O) return;
        O->Kind = TGdiObject::okFont;
        TFont& F = O->Font;
        const uint8_t* L = R + 12;
        F.Height = GetI32(L);
        F.Width = GetI32(L + 4);
        F.Escapement = GetI32(L + 8);
        F.Orientation = GetI32(L + 12);
        F.Weight = GetI32(L + 16);
        F.Italic = L[20] != 0;
        F.Underline = L[21] != 0;
        F.StrikeOut = L[22] != 0;
        F.Charset = L[23];
        std::vector<uint16_t> Name;
        for (int i = 0; i < 32; ++i) {
            uint16_t c = GetU16(L + 28 + 2 * i);
            if (!c) break;
            Name.push_back(c);
        }
        F.Face = ToUTF8(text::DecodeUTF16(Name.data(), Name.size()));
    }

    void Bitmap(uint32_t Type) {
        if (Type == EMR_STRETCHDIBITS || Type == EMR_SETDIBITSTODEVICE) {
            bool Stretch = Type == EMR_STRETCHDIBITS;
            if (!Has(Stretch ? 80 : 76)) return;
            int32_t XD = I(24), YD = I(28), XS = I(32), YS = I(36), CXS = I(40), CYS = I(44);
            auto D = Dib(U(48), U(52), U(56), U(60), U(64));
            if (!D) return;
            if (Stretch) {
                DC.StretchDib(*D, XD, YD, I(72), I(76), XS, YS, CXS, CYS, U(68), true);
            } else {
                DC.StretchDib(*D, XD, YD, CXS, CYS, XS, YS, CXS, CYS, 0x00CC0020, true);
            }
            return;
        }
        bool Stretch = Type == EMR_STRETCHBLT;
        if (!Has(Stretch ? 108 : 100)) return;
        int32_t XD = I(24), YD = I(28), CXD = I(32), CYD = I(36), XS = I(44), YS = I(48);
        uint32_t Rop = U(40), CbBmi = U(88);
        if (CbBmi == 0) { // no source: a pattern operation
            DC.PatBlt(XD, YD, CXD, CYD, Rop);
            return;
        }
        auto D = Dib(U(84), CbBmi, U(92), U(96), U(80));
        if (!D) return;
        int32_t CXS = Stretch ? I(100) : CXD, CYS = Stretch ? I(104) : CYD;
        DC.StretchDib(*D, XD, YD, CXD, CYD, XS, YS, CXS, CYS, Rop, false);
    }

    // EXTSELECTCLIPRGN: 8 region bytes  12 mode  16 RGNDATA: 0 header size (32)  4 type (1)
    // 8 rectangle count  12 bytes of rectangles  16 bounds, then the rectangles (l, t, r, b)
    // in reference device pixels.
    void ClipRegion() {
        if (!Has(16)) return;
        uint32_t Bytes = U(8);
        int Mode = I(12);
        if (Bytes == 0) {
            DC.SelectClipRects(nullptr, Mode);
            return;
        }
        if (Bytes < 32 || Bytes > N - 16) return;
        uint32_t HeaderSize = U(16), Count = U(24);
        if (HeaderSize < 32 || HeaderSize > Bytes) return;
        if (Count > (Bytes - HeaderSize) / 16) return;
        std::vector<raster::TIntRect> Rects(Count);
        for (uint32_t k = 0; k < Count; ++k) {
            size_t At = 16 + HeaderSize + 16 * size_t{k};
            Rects[k] = {I(At), I(At + 4), I(At + 8), I(At + 12)};
        }
        DC.SelectClipRects(&Rects, Mode);
    }

    TXForm XForm(size_t Off) const {
        TXForm X;
        X.M11 = GetF32(R + Off), X.M12 = GetF32(R + Off + 4), X.M21 = GetF32(R + Off + 8);
        X.M22 = GetF32(R + Off + 12), X.Dx = GetF32(R + Off + 16), X.Dy = GetF32(R + Off + 20);
        return X;
    }

    static bool Sane(const TXForm& X) {
        for (double V : {X.M11, X.M12, X.M21, X.M22, X.Dx, X.Dy})
            if (!std::isfinite(V) || std::fabs(V) > 1e9) return false;
        return true;
    }

    void Record(uint32_t Type) {
        switch (Type) {
        case EMR_POLYBEZIER:
        case EMR_POLYGON:
        case EMR_POLYLINE:
        case EMR_POLYBEZIERTO:
        case EMR_POLYLINETO:
            Poly(Type, false);
            break;
        case EMR_POLYBEZIER16:
        case EMR_POLYGON16:
        case EMR_POLYLINE16:
        case EMR_POLYBEZIERTO16:
        case EMR_POLYLINETO16:
            Poly(Type - 83, true);
            break;
        case EMR_POLYPOLYLINE:
            PolyPoly(false, false);
            break;
        case EMR_POLYPOLYGON:
            PolyPoly(false, true);
            break;
        case EMR_POLYPOLYLINE16:
            PolyPoly(true, false);
            break;
        case EMR_POLYPOLYGON16:
            PolyPoly(true, true);
            break;
        case EMR_POLYDRAW:
            PolyDraw(false);
            break;
        case EMR_POLYDRAW16:
            PolyDraw(true);
            break;
        case EMR_SETWINDOWEXTEX:
            if (Has(16)) DC.SetWindowExt(I(8), I(12));
            break;
        case EMR_SETWINDOWORGEX:
            if (Has(16)) DC.SetWindowOrg(I(8), I(12));
            break;
        case EMR_SETVIEWPORTEXTEX:
            if (Has(16)) DC.SetViewportExt(I(8), I(12));
            break;
        case EMR_SETVIEWPORTORGEX:
            if (Has(16)) DC.SetViewportOrg(I(8), I(12));
            break;
        case EMR_SCALEVIEWPORTEXTEX:
            if (Has(24)) DC.ScaleViewportExt(I(8), I(12), I(16), I(20));
            break;
        case EMR_SCALEWINDOWEXTEX:
            if (Has(24)) DC.ScaleWindowExt(I(8), I(12), I(16), I(20));
            break;
        case EMR_SETPIXELV:
            if (Has(20)) DC.SetPixel(I(8), I(12), Color(U(16)));
            break;
        case EMR_SETMAPMODE:
            if (Has(12)) DC.SetMapMode(I(8));
            break;
        case EMR_SETBKMODE:
            if (Has(12) && (U(8) == TRANSPARENT || U(8) == OPAQUE)) DC.S.BkMode = I(8);
            break;
        case EMR_SETPOLYFILLMODE:
            if (Has(12) && (U(8) == ALTERNATE || U(8) == WINDING)) DC.S.PolyFillMode = I(8);
            break;
        case EMR_SETTEXTALIGN:
            if (Has(12)) DC.S.TextAlign = I(8);
            break;
        case EMR_SETTEXTCOLOR:
            if (Has(12)) DC.S.TextColor = Color(U(8));
            break;
        case EMR_SETBKCOLOR:
            if (Has(12)) DC.S.BkColor = Color(U(8));
            break;
        case EMR_SETARCDIRECTION:
            if (Has(12)) DC.S.ArcDirection = I(8);
            break;
        case EMR_MOVETOEX:
            if (Has(16)) DC.MoveTo(I(8), I(12));
            break;
        case EMR_LINETO:
            if (Has(16)) DC.LineTo(I(8), I(12));
            break;
        case EMR_INTERSECTCLIPRECT:
            if (Has(24)) DC.IntersectClipRect(I(8), I(12), I(16), I(20));
            break;
        case EMR_EXCLUDECLIPRECT:
            if (Has(24)) DC.ExcludeClipRect(I(8), I(12), I(16), I(20));
            break;
        case EMR_OFFSETCLIPRGN:
            if (Has(16)) DC.OffsetClipRgn(I(8), I(12));
            break;
        case EMR_EXTSELECTCLIPRGN:
            ClipRegion();
            break;
        case EMR_SAVEDC:
            DC.SaveDC();
            break;
        case EMR_RESTOREDC:
            if (Has(12)) DC.RestoreDC(I(8));
            break;
        case EMR_SETWORLDTRANSFORM:
            if (Has(32) && Sane(XForm(8))) DC.SetWorldTransform(XForm(8));
            break;
        case EMR_MODIFYWORLDTRANSFORM:
            if (Has(36) && Sane(XForm(8))) DC.ModifyWorldTransform(XForm(8), I(32));
            break;
        case EMR_SELECTOBJECT:
            if (Has(12)) Select(U(8));
            break;
        case EMR_DELETEOBJECT:
            if (Has(12) && U(8) < Objects.size()) Objects[U(8)].reset();
            break;
        case EMR_CREATEPEN:
            if (Has(28)) {
                if (TGdiObject* O = Slot(U(8))) {
                    O->Kind = TGdiObject::okPen;
                    O->Pen.Style = I(12);
                    O->Pen.Width = std::fabs(static_cast<double>(I(16)));
                    O->Pen.Cosmetic = O->Pen.Width == 0;
                    O->Pen.Color = Color(U(24));
                }
            }
            break;
        case EMR_EXTCREATEPEN:
            if (Has(52)) {
                if (TGdiObject* O = Slot(U(8))) {
                    O->Kind = TGdiObject::okPen;
                    uint32_t Style = U(28);
                    O->Pen.Style = static_cast<int>(Style);
                    O->Pen.Width = U(32) > 0x7FFFFFFF ? 0 : U(32);
                    O->Pen.Cosmetic = !(Style & PS_GEOMETRIC);
                    O->Pen.Color = Color(U(40));
                    if (U(36) == BS_NULL) O->Pen.Style = PS_NULL;
                }
            }
            break;
        case EMR_CREATEBRUSHINDIRECT:
            if (Has(24)) {
                if (TGdiObject* O = Slot(U(8))) {
                    O->Kind = TGdiObject::okBrush;
                    O->Brush.Style = I(12);
                    O->Brush.Color = Color(U(16));
                    O->Brush.Hatch = I(20);
                    if (O->Brush.Style != BS_NULL && O->Brush.Style != BS_HATCHED)
                        O->Brush.Style = BS_SOLID;
                }
            }
            break;
        case EMR_CREATEMONOBRUSH:
        case EMR_CREATEDIBPATTERNBRUSHPT:
            if (Has(32)) {
                if (TGdiObject* O = Slot(U(8))) {
                    O->Kind = TGdiObject::okBrush;
                    O->Brush.Style = BS_DIBPATTERNPT;
                    O->Brush.Color = 0;
                    O->Brush.Pattern = PatternAt(U(16), U(20), U(24), U(28), U(12));
                    if (!O->Brush.Pattern) O->Brush.Style = BS_SOLID;
                }
            }
            break;
        case EMR_EXTCREATEFONTINDIRECTW:
            Font();
            break;
        case EMR_ANGLEARC:
            if (Has(28)) DC.AngleArc(I(8), I(12), U(16), GetF32(R + 20), GetF32(R + 24));
            break;
        case EMR_ELLIPSE:
            if (Has(24)) DC.Ellipse(I(8), I(12), I(16), I(20));
            break;
        case EMR_RECTANGLE:
            if (Has(24)) DC.Rectangle(I(8), I(12), I(16), I(20));
            break;
        case EMR_ROUNDRECT:
            if (Has(32)) DC.RoundRect(I(8), I(12), I(16), I(20), I(24), I(28));
            break;
        case EMR_ARC:
        case EMR_CHORD:
        case EMR_PIE:
        case EMR_ARCTO:
            if (Has(40)) {
                TPlayerDC::TArcKind K = Type == EMR_ARC     ? TPlayerDC::akArc
                                        : Type == EMR_CHORD ? TPlayerDC::akChord
                                        : Type == EMR_PIE   ? TPlayerDC::akPie
                                                            : TPlayerDC::akArcTo;
                DC.Arc(K, I(8), I(12), I(16), I(20), I(24), I(28), I(32), I(36));
            }
            break;
        case EMR_BEGINPATH:
            DC.BeginPath();
            break;
        case EMR_ENDPATH:
            DC.EndPath();
            break;
        case EMR_CLOSEFIGURE:
            DC.CloseFigure();
            break;
        case EMR_FILLPATH:
            DC.FillPath();
            break;
        case EMR_STROKEANDFILLPATH:
            DC.StrokeAndFillPath();
            break;
        case EMR_STROKEPATH:
            DC.StrokePath();
            break;
        case EMR_ABORTPATH:
            DC.AbortPath();
            break;
        case EMR_BITBLT:
        case EMR_STRETCHBLT:
        case EMR_SETDIBITSTODEVICE:
        case EMR_STRETCHDIBITS:
            Bitmap(Type);
            break;
        case EMR_EXTTEXTOUTW:
            Text(true);
            break;
        case EMR_EXTTEXTOUTA:
            Text(false);
            break;
        default:
            break; // records we do not draw are skipped by their size
        }
    }
};

} // namespace

TMetafileInfo ReadEmfInfo(const uint8_t* Data, size_t Size) {
    if (Size < kEmfHeaderSize)
        throw EInvalidGraphic(Format("Enhanced metafile header needs %zu bytes, the file has %zu",
                                     kEmfHeaderSize, Size));
    if (GetU32(Data + 40) != kEmfSignature)
        throw EInvalidGraphic("Enhanced metafile header lacks its \" EMF\" signature");
    uint32_t HeaderSize = GetU32(Data + 4), Bytes = GetU32(Data + 48);
    if (HeaderSize < kEmfHeaderSize || HeaderSize > Size || HeaderSize % 4 != 0)
        throw EInvalidGraphic(Format(
            "Enhanced metafile header record of %u bytes in a %zu-byte file", HeaderSize, Size));
    if (Bytes > Size)
        throw EInvalidGraphic(
            Format("Enhanced metafile header claims %u bytes, the file has %zu", Bytes, Size));
    if (Bytes < HeaderSize)
        throw EInvalidGraphic(Format(
            "Enhanced metafile header claims %u bytes, less than its own %u", Bytes, HeaderSize));
    TMetafileInfo I;
    I.Kind = mkEnhanced;
    I.Size = Bytes; // bytes past the stated size are not part of the picture
    I.BoundsLeft = GetI32(Data + 8), I.BoundsTop = GetI32(Data + 12);
    I.BoundsRight = GetI32(Data + 16), I.BoundsBottom = GetI32(Data + 20);
    I.FrameLeft = GetI32(Data + 24), I.FrameTop = GetI32(Data + 28);
    I.FrameRight = GetI32(Data + 32), I.FrameBottom = GetI32(Data + 36);
    I.Handles = GetU16(Data + 56);
    I.DeviceWidth = GetI32(Data + 72), I.DeviceHeight = GetI32(Data + 76);
    I.DeviceWidthMM = GetI32(Data + 80), I.DeviceHeightMM = GetI32(Data + 84);
    if (I.DeviceWidth <= 0 || I.DeviceHeight <= 0 || I.DeviceWidthMM <= 0 || I.DeviceHeightMM <= 0)
        throw EInvalidGraphic(Format("Enhanced metafile reference device of %d x %d pixels and "
                                     "%d x %d mm is not usable",
                                     I.DeviceWidth, I.DeviceHeight, I.DeviceWidthMM,
                                     I.DeviceHeightMM));
    // Tolerated: a frame of zero size (some writers leave it empty) is taken from the bounds.
    if (I.FrameRight == I.FrameLeft || I.FrameBottom == I.FrameTop) {
        int64_t BW = int64_t{I.BoundsRight} - I.BoundsLeft + 1;
        int64_t BH = int64_t{I.BoundsBottom} - I.BoundsTop + 1;
        if (BW > 0 && BH > 0 && BW <= kMaxPictureSide && BH <= kMaxPictureSide) {
            I.FrameLeft =
                static_cast<int32_t>(int64_t{I.BoundsLeft} * 100 * I.DeviceWidthMM / I.DeviceWidth);
            I.FrameTop = static_cast<int32_t>(int64_t{I.BoundsTop} * 100 * I.DeviceHeightMM /
                                              I.DeviceHeight);
            I.FrameRight = static_cast<int32_t>((int64_t{I.BoundsRight} + 1) * 100 *
                                                I.DeviceWidthMM / I.DeviceWidth);
            I.FrameBottom = static_cast<int32_t>((int64_t{I.BoundsBottom} + 1) * 100 *
                                                 I.DeviceHeightMM / I.DeviceHeight);
        }
    }
    int64_t W = To96(std::llabs(int64_t{I.FrameRight} - I.FrameLeft), 2540);
    int64_t H = To96(std::llabs(int64_t{I.FrameBottom} - I.FrameTop), 2540);
    if (W > kMaxPictureSide || H > kMaxPictureSide || W * H > kMaxPictureArea)
        throw EInvalidGraphic(Format("Enhanced metafile frame of %lld x %lld pixels is too large "
                                     "(at most %d pixels a side and %lld pixels)",
                                     static_cast<long long>(W), static_cast<long long>(H),
                                     kMaxPictureSide, static_cast<long long>(kMaxPictureArea)));
    I.Width = static_cast<int32_t>(W);
    I.Height = static_cast<int32_t>(H);
    I.FirstRecord = HeaderSize;
    // Walk the chain once: every record must lie inside the file.
    size_t Pos = HeaderSize;
    uint32_t Count = 1;
    while (Pos < Bytes) {
        if (Bytes - Pos < 8)
            throw EInvalidGraphic(Format("Enhanced metafile ends inside record %u at offset %zu "
                                         "(%zu bytes left)",
                                         Count + 1, Pos, Bytes - Pos));
        uint32_t Type = GetU32(Data + Pos), RSize = GetU32(Data + Pos + 4);
        if (RSize < 8 || RSize % 4 != 0)
            throw EInvalidGraphic(Format("Enhanced metafile record %u (type %u) at offset %zu has "
                                         "an invalid size of %u bytes",
                                         Count + 1, Type, Pos, RSize));
        if (RSize > Bytes - Pos)
            throw EInvalidGraphic(Format("Enhanced metafile record %u (type %u) at offset %zu "
                                         "claims %u bytes, only %zu remain",
                                         Count + 1, Type, Pos, RSize, Bytes - Pos));
        ++Count;
        Pos += RSize;
        if (Type == EMR_EOF) break;
        // Tolerated: a file that ends after a whole record without the end record.
    }
    I.Records = Count;
    return I;
}

void PlayEmf(TPlayerDC& DC, const uint8_t* Data, const TMetafileInfo& Info) {
    TEmfPlayer P(DC, Data, Info);
    P.Play();
}

} // namespace mv::metafile
