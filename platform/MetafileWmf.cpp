// Windows metafiles, placeable or plain.
//
// Placeable header (22 bytes):
//   0 key 0x9AC6CDD7  4 handle (0)  6 bounding box (l, t, r, b; 16-bit logical units)
//   14 units per inch  16 reserved  20 checksum (xor of the ten words before; not checked)
// Metafile header (18 bytes): 0 type (1 memory, 2 disk)  2 header size in words (9)
//   4 version  6 file size in words  10 object count  12 largest record in words  16 (0)
// Every record: 0 size in 16-bit words (at least 3)  4 function  6 parameters (16-bit words,
// most of them in reverse order of the call's arguments).
#include <algorithm>
#include <cmath>
#include <optional>

#include "platform/Classes.h"
#include "platform/MetafileDC.h"
#include "platform/SysUtils.h"
#include "platform/TextRender.h"

namespace mv::metafile {

namespace {

constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;

enum : uint16_t {
    META_EOF = 0x0000,
    META_SAVEDC = 0x001E,
    META_REALIZEPALETTE = 0x0035,
    META_SETPALENTRIES = 0x0037,
    META_CREATEPALETTE = 0x00F7,
    META_SETBKMODE = 0x0102,
    META_SETMAPMODE = 0x0103,
    META_SETROP2 = 0x0104,
    META_SETPOLYFILLMODE = 0x0106,
    META_SETSTRETCHBLTMODE = 0x0107,
    META_RESTOREDC = 0x0127,
    META_SELECTCLIPREGION = 0x012C,
    META_SELECTOBJECT = 0x012D,
    META_SETTEXTALIGN = 0x012E,
    META_DIBCREATEPATTERNBRUSH = 0x0142,
    META_DELETEOBJECT = 0x01F0,
    META_CREATEPATTERNBRUSH = 0x01F9,
    META_SETBKCOLOR = 0x0201,
    META_SETTEXTCOLOR = 0x0209,
    META_SETWINDOWORG = 0x020B,
    META_SETWINDOWEXT = 0x020C,
    META_SETVIEWPORTORG = 0x020D,
    META_SETVIEWPORTEXT = 0x020E,
    META_OFFSETWINDOWORG = 0x020F,
    META_OFFSETVIEWPORTORG = 0x0211,
    META_LINETO = 0x0213,
    META_MOVETO = 0x0214,
    META_SELECTPALETTE = 0x0234,
    META_CREATEPENINDIRECT = 0x02FA,
    META_CREATEFONTINDIRECT = 0x02FB,
    META_CREATEBRUSHINDIRECT = 0x02FC,
    META_POLYGON = 0x0324,
    META_POLYLINE = 0x0325,
    META_SCALEWINDOWEXT = 0x0410,
    META_SCALEVIEWPORTEXT = 0x0412,
    META_EXCLUDECLIPRECT = 0x0415,
    META_INTERSECTCLIPRECT = 0x0416,
    META_ELLIPSE = 0x0418,
    META_RECTANGLE = 0x041B,
    META_SETPIXEL = 0x041F,
    META_OFFSETCLIPRGN = 0x0220,
    META_TEXTOUT = 0x0521,
    META_POLYPOLYGON = 0x0538,
    META_ROUNDRECT = 0x061C,
    META_PATBLT = 0x061D,
    META_CREATEREGION = 0x06FF,
    META_ARC = 0x0817,
    META_PIE = 0x081A,
    META_CHORD = 0x0830,
    META_DIBBITBLT = 0x0940,
    META_EXTTEXTOUT = 0x0A32,
    META_DIBSTRETCHBLT = 0x0B41,
    META_STRETCHDIB = 0x0F43
};

// Functions that create an object in the table (each takes the lowest free slot).
bool CreatesObject(uint16_t F) {
    return F == META_CREATEPENINDIRECT || F == META_CREATEBRUSHINDIRECT ||
           F == META_CREATEFONTINDIRECT || F == META_CREATEPALETTE ||
           F == META_CREATEPATTERNBRUSH || F == META_DIBCREATEPATTERNBRUSH ||
           F == META_CREATEREGION;
}

class TWmfPlayer {
public:
    TWmfPlayer(TPlayerDC& DC, const uint8_t* Data, const TMetafileInfo& Info)
        : DC(DC), Data(Data), Info(Info), Objects(Info.Handles) {}

    void Play() {
        size_t Pos = Info.FirstRecord;
        uint32_t Count = 0;
        while (Pos + 6 <= Info.Size && Count++ < kMaxPlayedRecords && !DC.Exhausted()) {
            uint64_t Size = uint64_t{GetU32(Data + Pos)} * 2;
            uint16_t F = GetU16(Data + Pos + 4);
            if (Size < 6 || Size > Info.Size - Pos) break; // the chain was checked on load
            if (F == META_EOF) break;
            P = Data + Pos + 6;
            N = static_cast<size_t>(Size - 6);
            Record(F);
            Pos += static_cast<size_t>(Size);
        }
    }

private:
    TPlayerDC& DC;
    const uint8_t* Data;
    const TMetafileInfo& Info;
    std::vector<std::optional<TGdiObject>> Objects;
    const uint8_t* P = nullptr; // parameters of the current record
    size_t N = 0;               // their size in bytes

    bool Has(size_t Words) const { return N >= Words * 2; }
    double W(size_t Index) const { return GetI16(P + 2 * Index); } // signed word
    uint16_t UW(size_t Index) const { return GetU16(P + 2 * Index); }
    uint32_t DW(size_t Index) const { return GetU32(P + 2 * Index); }
    static TRGB Color(uint32_t ColorRef) { return raster::ColorRefToRGB(ColorRef); }

    TGdiObject* NewObject() {
        for (auto& O : Objects)
            if (!O) return &O.emplace();
        // Tolerated: more objects than the header declared, up to the 16-bit index range.
        if (Objects.size() >= 65535) return nullptr;
        Objects.emplace_back().emplace();
        return &*Objects.back();
    }

    bool PointsAt(size_t Word, size_t Count, TPolygon& Out) const {
        if (Word * 2 > N || Count > (N - Word * 2) / 4) return false;
        Out.resize(Count);
        for (size_t i = 0; i < Count; ++i) Out[i] = {W(Word + 2 * i), W(Word + 2 * i + 1)};
        return true;
    }

    std::string FaceName(const uint8_t* Bytes, size_t Max, int Charset) const {
        size_t Len = 0;
        while (Len < Max && Bytes[Len]) ++Len;
        return ToUTF8(
            text::DecodeCharset(std::string(reinterpret_cast<const char*>(Bytes), Len), Charset));
    }

    void Create(uint16_t F) {
        TGdiObject* O = NewObject();
        if (!O) return;
        switch (F) {
        case META_CREATEPENINDIRECT:
            if (!Has(5)) return;
            O->Kind = TGdiObject::okPen;
            O->Pen.Style = UW(0);
            O->Pen.Width = std::fabs(W(1));
            O->Pen.Cosmetic = O->Pen.Width == 0;
            O->Pen.Color = Color(DW(3));
            break;
        case META_CREATEBRUSHINDIRECT:
            if (!Has(4)) return;
            O->Kind = TGdiObject::okBrush;
            O->Brush.Style = UW(0);
            O->Brush.Color = Color(DW(1));
            O->Brush.Hatch = UW(3);
            if (O->Brush.Style != BS_NULL && O->Brush.Style != BS_HATCHED)
                O->Brush.Style = BS_SOLID;
            break;
        case META_DIBCREATEPATTERNBRUSH:
            if (!Has(2)) return;
            O->Kind = TGdiObject::okBrush;
            if (auto D = DecodePackedDib(P + 4, N - 4, UW(1))) {
                O->Brush.Style = BS_DIBPATTERNPT;
                O->Brush.Pattern = std::make_shared<raster::TImage>(std::move(D->Image));
            }
            break;
        case META_CREATEFONTINDIRECT: {
            if (!Has(9)) return;
            O->Kind = TGdiObject::okFont;
            TFont& Ft = O->Font;
            Ft.Height = static_cast<int32_t>(W(0));
            Ft.Width = static_cast<int32_t>(W(1));
            Ft.Escapement = static_cast<int32_t>(W(2));
            Ft.Orientation = static_cast<int32_t>(W(3));
            Ft.Weight = static_cast<int32_t>(W(4));
            Ft.Italic = P[10] != 0;
            Ft.Underline = P[11] != 0;
            Ft.StrikeOut = P[12] != 0;
            Ft.Charset = P[13];
            Ft.Face = FaceName(P + 18, std::min<size_t>(32, N - 18), Ft.Charset);
            break;
        }
        default:
            break; // palettes, regions, device-dependent patterns: the slot is taken
        }
    }

    void Select(size_t Index) {
        if (Index >= Objects.size() || !Objects[Index]) return;
        const TGdiObject& O = *Objects[Index];
        switch (O.Kind) {
        case TGdiObject::okPen:
            DC.SelectPen(O.Pen);
            break;
        case TGdiObject::okBrush:
            DC.SelectBrush(O.Brush);
            break;
        case TGdiObject::okFont:
            DC.SelectFont(O.Font);
            break;
        default:
            break;
        }
    }

    std::u32string Chars(const uint8_t* Bytes, size_t Count) const {
        return text::DecodeCharset(std::string(reinterpret_cast<const char*>(Bytes), Count),
                                   DC.S.Font.Charset);
    }

    // Advances per character from per-byte advances (double-byte characters add theirs up).
    std::vector<double> Advances(const std::u32string& S, const uint8_t* Bytes, size_t Count,
                                 const uint8_t* Dx) const {
        std::vector<double> Out;
        if (S.size() == Count) {
            for (size_t i = 0; i < Count; ++i) Out.push_back(GetI16(Dx + 2 * i));
            return Out;
        }
        size_t u = 0;
        for (size_t k = 0; k < S.size() && u < Count; ++k) {
            std::u32string One = Chars(Bytes + u, 1);
            size_t Len = (One.size() == 1 && One[0] != 0xFFFD) ? 1 : 2;
            double A = 0;
            for (size_t j = 0; j < Len && u < Count; ++j) A += GetI16(Dx + 2 * u++);
            Out.push_back(A);
        }
        return Out;
    }

    void TextOut() {
        if (!Has(1)) return;
        size_t Count = UW(0);
        size_t Padded = (Count + 1) & ~size_t{1};
        if (N < 2 + Padded + 4) return;
        const uint8_t* Bytes = P + 2;
        double Y = GetI16(P + 2 + Padded), X = GetI16(P + 4 + Padded);
        DC.TextOut(X, Y, Chars(Bytes, Count), {}, 0, nullptr);
    }

    void ExtTextOut() {
        if (!Has(4)) return;
        double Y = W(0), X = W(1);
        size_t Count = UW(2);
        int Options = UW(3);
        size_t Off = 8;
        double Rect[4];
        bool HasRect = (Options & (ETO_OPAQUE | ETO_CLIPPED)) != 0;
        if (HasRect) {
            if (!Has(8)) return;
            for (int i = 0; i < 4; ++i) Rect[i] = W(4 + i);
            Off = 16;
        }
        if (Count > N - std::min(N, Off)) return;
        const uint8_t* Bytes = P + Off;
        std::u32string S = Chars(Bytes, Count);
        size_t DxOff = Off + ((Count + 1) & ~size_t{1});
        std::vector<double> Dx;
        if (Count > 0 && DxOff <= N && (N - DxOff) / 2 >= Count)
            Dx = Advances(S, Bytes, Count, P + DxOff);
        DC.TextOut(X, Y, S, Dx, Options, HasRect ? Rect : nullptr);
    }

    void Dib(uint16_t F) {
        // StretchDIB: rop(2 words) usage srcH srcW ySrc xSrc destH destW yDst xDst, DIB
        // DIBStretchBlt: rop srcH srcW ySrc xSrc destH destW yDst xDst, DIB
        // DIBBitBlt: rop ySrc xSrc height width yDst xDst, DIB
        size_t Words = F == META_STRETCHDIB ? 11 : F == META_DIBSTRETCHBLT ? 10 : 8;
        if (!Has(Words)) return;
        uint32_t Rop = DW(0);
        // Without a bitmap the record carries one more reserved word and is a pattern blit.
        if (N == (Words + 1) * 2 && F != META_STRETCHDIB) {
            size_t B = Words - 4 + 1;
            DC.PatBlt(W(B + 3), W(B + 2), W(B + 1), W(B), Rop);
            return;
        }
        auto D = DecodePackedDib(P + Words * 2, N - Words * 2, F == META_STRETCHDIB ? UW(2) : 0);
        if (!D) return;
        if (F == META_STRETCHDIB) {
            DC.StretchDib(*D, W(10), W(9), W(8), W(7), static_cast<int>(W(6)),
                          static_cast<int>(W(5)), static_cast<int>(W(4)), static_cast<int>(W(3)),
                          Rop, true);
        } else if (F == META_DIBSTRETCHBLT) {
            DC.StretchDib(*D, W(9), W(8), W(7), W(6), static_cast<int>(W(5)),
                          static_cast<int>(W(4)), static_cast<int>(W(3)), static_cast<int>(W(2)),
                          Rop, false);
        } else {
            DC.StretchDib(*D, W(7), W(6), W(5), W(4), static_cast<int>(W(3)),
                          static_cast<int>(W(2)), static_cast<int>(W(5)), static_cast<int>(W(4)),
                          Rop, false);
        }
    }

    void Record(uint16_t F) {
        if (CreatesObject(F)) {
            Create(F);
            return;
        }
        switch (F) {
        case META_SAVEDC:
            DC.SaveDC();
            break;
        case META_RESTOREDC:
            if (Has(1)) DC.RestoreDC(static_cast<int>(W(0)));
            break;
        case META_SETBKMODE:
            if (Has(1) && (UW(0) == TRANSPARENT || UW(0) == OPAQUE)) DC.S.BkMode = UW(0);
            break;
        case META_SETPOLYFILLMODE:
            if (Has(1) && (UW(0) == ALTERNATE || UW(0) == WINDING)) DC.S.PolyFillMode = UW(0);
            break;
        case META_SETTEXTALIGN:
            if (Has(1)) DC.S.TextAlign = UW(0);
            break;
        case META_SETBKCOLOR:
            if (Has(2)) DC.S.BkColor = Color(DW(0));
            break;
        case META_SETTEXTCOLOR:
            if (Has(2)) DC.S.TextColor = Color(DW(0));
            break;
        case META_SETWINDOWORG:
            if (Has(2)) DC.SetWindowOrg(W(1), W(0));
            break;
        case META_SETWINDOWEXT:
            if (Has(2)) DC.SetWindowExt(W(1), W(0));
            break;
        case META_OFFSETWINDOWORG:
            if (Has(2)) DC.SetWindowOrg(DC.S.WinOrgX + W(1), DC.S.WinOrgY + W(0));
            break;
        case META_SCALEWINDOWEXT:
            if (Has(4)) DC.ScaleWindowExt(W(3), W(2), W(1), W(0));
            break;
        // The viewport is in the picture's own pixels (see TPlayerDC).
        case META_SETMAPMODE:
            if (Has(1)) DC.SetMapMode(UW(0));
            break;
        case META_SETVIEWPORTORG:
            if (Has(2)) DC.SetViewportOrg(W(1), W(0));
            break;
        case META_SETVIEWPORTEXT:
            if (Has(2)) DC.SetViewportExt(W(1), W(0));
            break;
        case META_OFFSETVIEWPORTORG:
            if (Has(2)) DC.SetViewportOrg(DC.S.VpOrgX + W(1), DC.S.VpOrgY + W(0));
            break;
        case META_SCALEVIEWPORTEXT:
            if (Has(4)) DC.ScaleViewportExt(W(3), W(2), W(1), W(0));
            break;
        case META_SELECTOBJECT:
            if (Has(1)) Select(UW(0));
            break;
        case META_DELETEOBJECT:
            if (Has(1) && UW(0) < Objects.size()) Objects[UW(0)].reset();
            break;
        case META_MOVETO:
            if (Has(2)) DC.MoveTo(W(1), W(0));
            break;
        case META_LINETO:
            if (Has(2)) DC.LineTo(W(1), W(0));
            break;
        case META_POLYGON:
        case META_POLYLINE:
            if (Has(1)) {
                TPolygon Pts;
                if (!PointsAt(1, UW(0), Pts)) return;
                if (F == META_POLYGON)
                    DC.PolyPolygon({Pts});
                else
                    DC.Polyline(Pts);
            }
            break;
        case META_POLYPOLYGON:
            if (Has(1)) {
                size_t Polys = UW(0);
                if (!Has(1 + Polys)) return;
                size_t Word = 1 + Polys;
                TPolygonSet Set;
                for (size_t i = 0; i < Polys; ++i) {
                    TPolygon Pts;
                    if (!PointsAt(Word, UW(1 + i), Pts)) return;
                    Word += 2 * Pts.size();
                    Set.push_back(std::move(Pts));
                }
                DC.PolyPolygon(Set);
            }
            break;
        case META_RECTANGLE:
            if (Has(4)) DC.Rectangle(W(3), W(2), W(1), W(0));
            break;
        case META_ELLIPSE:
            if (Has(4)) DC.Ellipse(W(3), W(2), W(1), W(0));
            break;
        case META_ROUNDRECT:
            if (Has(6)) DC.RoundRect(W(5), W(4), W(3), W(2), W(1), W(0));
            break;
        case META_ARC:
        case META_PIE:
        case META_CHORD:
            if (Has(8)) {
                TPlayerDC::TArcKind K = F == META_ARC   ? TPlayerDC::akArc
                                        : F == META_PIE ? TPlayerDC::akPie
                                                        : TPlayerDC::akChord;
                DC.Arc(K, W(7), W(6), W(5), W(4), W(3), W(2), W(1), W(0));
            }
            break;
        case META_SETPIXEL:
            if (Has(4)) DC.SetPixel(W(3), W(2), Color(DW(0)));
            break;
        case META_INTERSECTCLIPRECT:
            if (Has(4)) DC.IntersectClipRect(W(3), W(2), W(1), W(0));
            break;
        case META_EXCLUDECLIPRECT:
            if (Has(4)) DC.ExcludeClipRect(W(3), W(2), W(1), W(0));
            break;
        case META_OFFSETCLIPRGN:
            if (Has(2)) DC.OffsetClipRgn(W(1), W(0));
            break;
        case META_PATBLT:
            if (Has(6)) DC.PatBlt(W(5), W(4), W(3), W(2), DW(0));
            break;
        case META_TEXTOUT:
            TextOut();
            break;
        case META_EXTTEXTOUT:
            ExtTextOut();
            break;
        case META_STRETCHDIB:
        case META_DIBSTRETCHBLT:
        case META_DIBBITBLT:
            Dib(F);
            break;
        default:
            break; // records we do not draw are skipped by their size
        }
    }
};

} // namespace

TMetafileInfo ReadWmfInfo(const uint8_t* Data, size_t Size) {
    TMetafileInfo I;
    I.Kind = mkWindows;
    size_t Off = 0;
    if (Size >= 4 && GetU32(Data) == kPlaceableKey) {
        if (Size < 22 + 18)
            throw EInvalidGraphic(Format(
                "Placeable metafile needs at least 40 bytes of headers, the file has %zu", Size));
        I.Placeable = true;
        I.BoxLeft = GetI16(Data + 6), I.BoxTop = GetI16(Data + 8);
        I.BoxRight = GetI16(Data + 10), I.BoxBottom = GetI16(Data + 12);
        I.UnitsPerInch = GetU16(Data + 14);
        if (I.UnitsPerInch == 0) throw EInvalidGraphic("Placeable metafile gives 0 units per inch");
        Off = 22;
    }
    if (Size - Off < 18)
        throw EInvalidGraphic(
            Format("Windows metafile header needs 18 bytes, %zu remain", Size - Off));
    uint16_t Type = GetU16(Data + Off), HeaderWords = GetU16(Data + Off + 2);
    if ((Type != 1 && Type != 2) || HeaderWords != 9)
        throw EInvalidGraphic(Format("Windows metafile header of type %u and %u words is not valid",
                                     Type, HeaderWords));
    I.Handles = GetU16(Data + Off + 10);
    I.FirstRecord = Off + 18;
    // Tolerated: the header's file size is often wrong; the records' own sizes are followed.
    size_t Pos = I.FirstRecord;
    uint32_t Count = 0;
    bool HasOrg = false;
    while (Pos < Size) {
        if (Size - Pos < 6) {
            // Tolerated: a few stray bytes after the last record.
            if (Count > 0) break;
            throw EInvalidGraphic(
                Format("Windows metafile ends inside record 1 at offset %zu", Pos));
        }
        uint64_t RSize = uint64_t{GetU32(Data + Pos)} * 2;
        uint16_t F = GetU16(Data + Pos + 4);
        ++Count;
        if (RSize < 6)
            throw EInvalidGraphic(Format("Windows metafile record %u (function 0x%04X) at offset "
                                         "%zu has an invalid size of %llu bytes",
                                         Count, F, Pos, static_cast<unsigned long long>(RSize)));
        if (RSize > Size - Pos)
            throw EInvalidGraphic(Format("Windows metafile record %u (function 0x%04X) at offset "
                                         "%zu claims %llu bytes, only %zu remain",
                                         Count, F, Pos, static_cast<unsigned long long>(RSize),
                                         Size - Pos));
        // The plain kind's size: its first window origin and extent.
        if (F == META_SETWINDOWEXT && RSize >= 10 && !I.HasWindow) {
            I.WindowExtY = GetI16(Data + Pos + 6), I.WindowExtX = GetI16(Data + Pos + 8);
            I.HasWindow = true;
        } else if (F == META_SETWINDOWORG && RSize >= 10 && !HasOrg) {
            I.WindowOrgY = GetI16(Data + Pos + 6), I.WindowOrgX = GetI16(Data + Pos + 8);
            HasOrg = true;
        }
        Pos += static_cast<size_t>(RSize);
        if (F == META_EOF) break;
    }
    I.Records = Count;
    I.Size = Pos;
    int64_t Wd, Ht;
    if (I.Placeable) {
        Wd = To96(std::llabs(int64_t{I.BoxRight} - I.BoxLeft), I.UnitsPerInch);
        Ht = To96(std::llabs(int64_t{I.BoxBottom} - I.BoxTop), I.UnitsPerInch);
    } else {
        if (!I.HasWindow)
            throw EInvalidGraphic(
                "Windows metafile without a placeable header sets no window extent");
        Wd = std::llabs(int64_t{I.WindowExtX});
        Ht = std::llabs(int64_t{I.WindowExtY});
    }
    if (Wd > kMaxPictureSide || Ht > kMaxPictureSide || Wd * Ht > kMaxPictureArea)
        throw EInvalidGraphic(Format("Windows metafile of %lld x %lld pixels is too large (at "
                                     "most %d pixels a side and %lld pixels)",
                                     static_cast<long long>(Wd), static_cast<long long>(Ht),
                                     kMaxPictureSide, static_cast<long long>(kMaxPictureArea)));
    I.Width = static_cast<int32_t>(Wd);
    I.Height = static_cast<int32_t>(Ht);
    return I;
}

void PlayWmf(TPlayerDC& DC, const uint8_t* Data, const TMetafileInfo& Info) {
    TWmfPlayer P(DC, Data, Info);
    P.Play();
}

} // namespace mv::metafile
