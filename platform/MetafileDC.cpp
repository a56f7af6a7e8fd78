#include "platform/MetafileDC.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/TextRender.h"

namespace mv::metafile {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kMaxPathPoints = 1 << 20; // a path longer than this stops growing
constexpr int kMaxSavedStates = 1024;      // deeper SaveDC nesting is ignored

uint32_t U32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
int32_t I32(const uint8_t* p) {
    return static_cast<int32_t>(U32(p));
}
uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

int ClampInt(double V) {
    if (!(V > -1e9)) return -1000000000;
    if (V > 1e9) return 1000000000;
    return static_cast<int>(std::ceil(V));
}

// The pixel nearest to a device coordinate, kept inside int range.
int RoundPixel(double V) {
    if (!(V > -1e9)) return -1000000000;
    if (V > 1e9) return 1000000000;
    return static_cast<int>(std::floor(V + 0.5));
}

} // namespace

// ---------------------------------------------------------------------------
// DIBs
//
// BITMAPINFOHEADER (40 bytes; 108 and 124 byte versions add fields we do not need):
//   0 size  4 width  8 height (negative: top-down)  12 planes  14 bit count  16 compression
//   20 image size  24 x ppm  28 y ppm  32 colors used  36 colors important
// BITMAPCOREHEADER (12 bytes): 0 size  4 width (16 bit)  6 height (16 bit)  8 planes  10 bits
// The color table follows the header: 4 bytes per entry (3 for the core header), then for
// 16- and 32-bit BI_BITFIELDS bitmaps with a 40-byte header, three masks come first.

std::optional<TDib> DecodeDib(const uint8_t* Info, size_t InfoSize, const uint8_t* Bits,
                              size_t BitsSize, uint32_t Usage) {
    if (!Info || InfoSize < 12) return std::nullopt;
    uint32_t HeaderSize = U32(Info);
    if (HeaderSize > InfoSize || HeaderSize < 12) return std::nullopt;
    int64_t W, H;
    int BitCount;
    uint32_t Compression = 0, ColorsUsed = 0;
    bool Core = HeaderSize < 40;
    if (Core) {
        W = U16(Info + 4);
        H = static_cast<int16_t>(U16(Info + 6));
        BitCount = U16(Info + 10);
    } else {
        W = I32(Info + 4);
        H = I32(Info + 8);
        BitCount = U16(Info + 14);
        Compression = U32(Info + 16);
        ColorsUsed = U32(Info + 32);
    }
    if (Usage != 0) return std::nullopt; // palette indices: there is no palette to index
    if (W <= 0 || H == 0 || H == INT32_MIN) return std::nullopt;
    bool BottomUp = H > 0;
    H = std::llabs(H);
    if (W > 65535 || H > 65535) return std::nullopt;
    const uint8_t* Table = Info + HeaderSize;
    size_t TableBytes = InfoSize - HeaderSize;
    uint32_t Masks[3] = {0xFF0000, 0xFF00, 0xFF};
    if (BitCount == 16) Masks[0] = 0x7C00, Masks[1] = 0x3E0, Masks[2] = 0x1F;
    if (Compression == 3 /*BI_BITFIELDS*/) {
        if (BitCount != 16 && BitCount != 32) return std::nullopt;
        if (HeaderSize >= 52) {
            for (int i = 0; i < 3; ++i) Masks[i] = U32(Info + 40 + 4 * i);
        } else {
            if (TableBytes < 12) return std::nullopt;
            for (int i = 0; i < 3; ++i) Masks[i] = U32(Table + 4 * i);
            Table += 12;
            TableBytes -= 12;
        }
    } else if (Compression != 0) {
        return std::nullopt; // run-length and embedded JPEG/PNG bitmaps are not decoded
    }
    std::vector<TRGB> Colors;
    if (BitCount <= 8) {
        if (BitCount != 1 && BitCount != 4 && BitCount != 8) return std::nullopt;
        size_t N = ColorsUsed ? std::min<size_t>(ColorsUsed, 256) : (size_t{1} << BitCount);
        size_t Entry = Core ? 3 : 4;
        N = std::min(N, TableBytes / Entry);
        for (size_t i = 0; i < N; ++i) {
            const uint8_t* e = Table + i * Entry;
            Colors.push_back((static_cast<TRGB>(e[2]) << 16) | (e[1] << 8) | e[0]);
        }
        if (Colors.empty()) return std::nullopt;
    } else if (BitCount != 16 && BitCount != 24 && BitCount != 32) {
        return std::nullopt;
    }
    size_t Stride = ((static_cast<size_t>(W) * BitCount + 31) / 32) * 4;
    if (!Bits || Stride * static_cast<size_t>(H) > BitsSize) return std::nullopt;
    TDib D;
    D.BottomUp = BottomUp;
    D.Image.Width = static_cast<int>(W);
    D.Image.Height = static_cast<int>(H);
    D.Image.Pixels.resize(static_cast<size_t>(W) * static_cast<size_t>(H));
    auto Channel = [](uint32_t V, uint32_t Mask) -> uint32_t {
        if (!Mask) return 0;
        int Shift = __builtin_ctz(Mask);
        uint32_t M = Mask >> Shift, C = (V & Mask) >> Shift;
        return M ? (C * 255 + M / 2) / M : 0;
    };
    for (int64_t y = 0; y < H; ++y) {
        const uint8_t* Row = Bits + Stride * static_cast<size_t>(BottomUp ? H - 1 - y : y);
        TRGB* Out = D.Image.Pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(W);
        for (int64_t x = 0; x < W; ++x) {
            TRGB C = 0;
            switch (BitCount) {
            case 1:
                C = Colors[std::min<size_t>((Row[x >> 3] >> (7 - (x & 7))) & 1, Colors.size() - 1)];
                break;
            case 4:
                C = Colors[std::min<size_t>((Row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15,
                                            Colors.size() - 1)];
                break;
            case 8:
                C = Colors[std::min<size_t>(Row[x], Colors.size() - 1)];
                break;
            case 16: {
                uint32_t V = U16(Row + 2 * x);
                C = (Channel(V, Masks[0]) << 16) | (Channel(V, Masks[1]) << 8) |
                    Channel(V, Masks[2]);
                break;
            }
            case 24:
                C = (static_cast<TRGB>(Row[3 * x + 2]) << 16) | (Row[3 * x + 1] << 8) | Row[3 * x];
                break;
            case 32: {
                uint32_t V = U32(Row + 4 * x);
                if (Compression == 3)
                    C = (Channel(V, Masks[0]) << 16) | (Channel(V, Masks[1]) << 8) |
                        Channel(V, Masks[2]);
                else
                    C = V & 0xFFFFFF;
                break;
            }
            }
            Out[x] = C;
        }
    }
    return D;
}

std::optional<TDib> DecodePackedDib(const uint8_t* Data, size_t Size, uint32_t Usage) {
    if (Size < 12) return std::nullopt;
    uint32_t HeaderSize = U32(Data);
    if (HeaderSize < 12 || HeaderSize > Size) return std::nullopt;
    size_t InfoSize = HeaderSize;
    if (HeaderSize >= 40) {
        int BitCount = U16(Data + 14);
        uint32_t Compression = U32(Data + 16), Used = U32(Data + 32);
        if (BitCount <= 8)
            InfoSize += 4 * (Used ? std::min<uint32_t>(Used, 256) : (1u << BitCount));
        if (Compression == 3 && HeaderSize == 40) InfoSize += 12;
    } else {
        int BitCount = U16(Data + 10);
        if (BitCount <= 8) InfoSize += 3 * (1u << BitCount);
    }
    if (InfoSize > Size) return std::nullopt;
    return DecodeDib(Data, InfoSize, Data + InfoSize, Size - InfoSize, Usage);
}

// ---------------------------------------------------------------------------
// Transforms

TXForm TXForm::Then(const TXForm& B) const {
    TXForm R;
    R.M11 = M11 * B.M11 + M12 * B.M21;
    R.M12 = M11 * B.M12 + M12 * B.M22;
    R.M21 = M21 * B.M11 + M22 * B.M21;
    R.M22 = M21 * B.M12 + M22 * B.M22;
    R.Dx = Dx * B.M11 + Dy * B.M21 + B.Dx;
    R.Dy = Dx * B.M12 + Dy * B.M22 + B.Dy;
    return R;
}

TPlayerDC::TPlayerDC(raster::TRasterizer& Target, const TMetafileInfo& Info, double Left,
                     double Top, double Right, double Bottom)
    : FTarget(Target) {
    WindowsMetafile = Info.Kind == mkWindows;
    raster::TIntRect Dest{ClampInt(std::min(Left, Right)), ClampInt(std::min(Top, Bottom)),
                          ClampInt(std::max(Left, Right)), ClampInt(std::max(Top, Bottom))};
    raster::TIntRect C = Target.Clip();
    FBaseClip = {std::max(C.Left, Dest.Left), std::max(C.Top, Dest.Top),
                 std::min(C.Right, Dest.Right), std::min(C.Bottom, Dest.Bottom)};
    if (FBaseClip.IsEmpty()) FBaseClip = {0, 0, 0, 0};
    if (WindowsMetafile) {
        // The picture's own device is a 96 pixels per inch surface of the picture's size;
        // on it the player sets up an anisotropic mapping of the bounding box (placeable) or
        // of the first window (plain) onto the whole picture. The file's own mapping records
        // change that set-up, and the picture is then stretched onto the target rectangle.
        S.MapMode = MM_ANISOTROPIC;
        double PW, PH;
        if (Info.Placeable) {
            S.WinOrgX = Info.BoxLeft, S.WinOrgY = Info.BoxTop;
            S.WinExtX = Info.BoxRight - Info.BoxLeft, S.WinExtY = Info.BoxBottom - Info.BoxTop;
            double PerInch = Info.UnitsPerInch > 0 ? Info.UnitsPerInch : 96;
            PW = std::fabs(S.WinExtX) * 96 / PerInch, PH = std::fabs(S.WinExtY) * 96 / PerInch;
        } else {
            S.WinOrgX = Info.WindowOrgX, S.WinOrgY = Info.WindowOrgY;
            S.WinExtX = Info.WindowExtX, S.WinExtY = Info.WindowExtY;
            PW = std::fabs(S.WinExtX), PH = std::fabs(S.WinExtY);
        }
        if (S.WinExtX == 0) S.WinExtX = 1;
        if (S.WinExtY == 0) S.WinExtY = 1;
        if (!(PW > 0)) PW = 1;
        if (!(PH > 0)) PH = 1;
        S.VpOrgX = S.VpOrgY = 0;
        S.VpExtX = PW, S.VpExtY = PH;
        FPixPerMMX = FPixPerMMY = 96 / 25.4;
        FRefSX = (Right - Left) / PW, FRefSY = (Bottom - Top) / PH;
        FRefOX = Left, FRefOY = Top;
    } else {
        // Reference device pixels per 0.01 mm maps the frame onto the target rectangle.
        double MMX = Info.DeviceWidthMM > 0 ? Info.DeviceWidthMM : 1;
        double MMY = Info.DeviceHeightMM > 0 ? Info.DeviceHeightMM : 1;
        FPixPerMMX = Info.DeviceWidth > 0 ? Info.DeviceWidth / MMX : 96 / 25.4;
        FPixPerMMY = Info.DeviceHeight > 0 ? Info.DeviceHeight / MMY : 96 / 25.4;
        double FL = Info.FrameLeft * FPixPerMMX / 100, FR = Info.FrameRight * FPixPerMMX / 100;
        double FT = Info.FrameTop * FPixPerMMY / 100, FB = Info.FrameBottom * FPixPerMMY / 100;
        FRefSX = FR != FL ? (Right - Left) / (FR - FL) : 1;
        FRefSY = FB != FT ? (Bottom - Top) / (FB - FT) : 1;
        FRefOX = Left - FL * FRefSX;
        FRefOY = Top - FT * FRefSY;
    }
    ApplyClip();
}

void TPlayerDC::SetMapMode(int Mode) {
    if (Mode < MM_TEXT || Mode > MM_ANISOTROPIC || Mode == S.MapMode) return;
    S.MapMode = Mode;
    // Fixed modes set both extents; the scalable ones start from the extents in force.
    double SX, SY;
    switch (Mode) {
    case MM_TEXT:
        SX = 1, SY = 1;
        break;
    case MM_LOMETRIC:
        SX = FPixPerMMX / 10, SY = -FPixPerMMY / 10;
        break;
    case MM_HIMETRIC:
        SX = FPixPerMMX / 100, SY = -FPixPerMMY / 100;
        break;
    case MM_LOENGLISH:
        SX = FPixPerMMX * 0.254, SY = -FPixPerMMY * 0.254;
        break;
    case MM_HIENGLISH:
        SX = FPixPerMMX * 0.0254, SY = -FPixPerMMY * 0.0254;
        break;
    case MM_TWIPS:
        SX = FPixPerMMX * 25.4 / 1440, SY = -FPixPerMMY * 25.4 / 1440;
        break;
    default:
        return;
    }
    S.WinExtX = S.WinExtY = 1;
    S.VpExtX = SX, S.VpExtY = SY;
}

namespace {
// Extents within 32-bit range and never (nearly) 0, so that scales stay finite.
bool ValidExtent(double V) {
    return std::isfinite(V) && std::fabs(V) >= 1e-6 && std::fabs(V) <= 2147483647.0;
}
} // namespace

void TPlayerDC::SetWindowExt(double X, double Y) {
    if (!ValidExtent(X) || !ValidExtent(Y)) return;
    if (S.MapMode != MM_ISOTROPIC && S.MapMode != MM_ANISOTROPIC) return;
    S.WinExtX = X, S.WinExtY = Y;
}

void TPlayerDC::SetViewportOrg(double X, double Y) {
    if (!std::isfinite(X) || !std::isfinite(Y)) return;
    S.VpOrgX = std::clamp(X, -1e12, 1e12), S.VpOrgY = std::clamp(Y, -1e12, 1e12);
}

void TPlayerDC::SetViewportExt(double X, double Y) {
    if (!ValidExtent(X) || !ValidExtent(Y)) return;
    if (S.MapMode != MM_ISOTROPIC && S.MapMode != MM_ANISOTROPIC) return;
    S.VpExtX = X, S.VpExtY = Y;
}

void TPlayerDC::ScaleWindowExt(double XNum, double XDen, double YNum, double YDen) {
    if (XDen == 0 || YDen == 0) return;
    SetWindowExt(S.WinExtX * XNum / XDen, S.WinExtY * YNum / YDen);
}

void TPlayerDC::ScaleViewportExt(double XNum, double XDen, double YNum, double YDen) {
    if (XDen == 0 || YDen == 0) return;
    SetViewportExt(S.VpExtX * XNum / XDen, S.VpExtY * YNum / YDen);
}

void TPlayerDC::ModifyWorldTransform(const TXForm& X, int Mode) {
    switch (Mode) {
    case 1:
        S.World = TXForm();
        break; // identity
    case 2:
        S.World = X.Then(S.World);
        break; // left multiply: X applies first
    case 3:
        S.World = S.World.Then(X);
        break; // right multiply
    case 4:
        S.World = X;
        break; // set
    default:
        break;
    }
}

TPointF TPlayerDC::ToDevice(double X, double Y) const {
    double WX = X * S.World.M11 + Y * S.World.M21 + S.World.Dx;
    double WY = X * S.World.M12 + Y * S.World.M22 + S.World.Dy;
    double SX = S.VpExtX / S.WinExtX, SY = S.VpExtY / S.WinExtY;
    if (S.MapMode == MM_ISOTROPIC) {
        double M = std::min(std::fabs(SX), std::fabs(SY));
        SX = std::copysign(M, SX), SY = std::copysign(M, SY);
    }
    double PX = (WX - S.WinOrgX) * SX + S.VpOrgX;
    double PY = (WY - S.WinOrgY) * SY + S.VpOrgY;
    return {PX * FRefSX + FRefOX, PY * FRefSY + FRefOY};
}

double TPlayerDC::DeviceScaleX() const {
    TPointF A = ToDevice(0, 0), B = ToDevice(1, 0);
    return std::hypot(B.X - A.X, B.Y - A.Y);
}

double TPlayerDC::DeviceScaleY() const {
    TPointF A = ToDevice(0, 0), B = ToDevice(0, 1);
    return std::hypot(B.X - A.X, B.Y - A.Y);
}

void TPlayerDC::SaveDC() {
    if (static_cast<int>(FSaved.size()) >= kMaxSavedStates) return;
    FSaved.push_back(S);
}

void TPlayerDC::RestoreDC(int Relative) {
    if (FSaved.empty()) return;
    size_t Index;
    if (Relative < 0) {
        if (static_cast<size_t>(-static_cast<int64_t>(Relative)) > FSaved.size()) return;
        Index = FSaved.size() - static_cast<size_t>(-static_cast<int64_t>(Relative));
    } else {
        if (Relative == 0 || static_cast<size_t>(Relative) > FSaved.size()) return;
        Index = static_cast<size_t>(Relative) - 1;
    }
    S = FSaved[Index];
    FSaved.resize(Index);
    ApplyClip();
}

// ---------------------------------------------------------------------------
// Clipping

void TPlayerDC::ApplyClip() {
    raster::TIntRect C = FBaseClip;
    const raster::TRegion* Region = nullptr;
    if (S.Clip) {
        raster::TIntRect R = S.Clip->Bounds();
        C.Left = std::max(C.Left, R.Left), C.Top = std::max(C.Top, R.Top);
        C.Right = std::min(C.Right, R.Right), C.Bottom = std::min(C.Bottom, R.Bottom);
        if (!S.Clip->IsRect()) Region = S.Clip.get();
    }
    FTarget.SetClip(C);
    FTarget.SetClipRegion(Region);
}

void TPlayerDC::DeviceBox(double L, double T, double R, double B, double& DL, double& DT,
                          double& DR, double& DB) const {
    TPointF P0 = ToDevice(L, T), P1 = ToDevice(R, B);
    TPointF P2 = ToDevice(L, B), P3 = ToDevice(R, T);
    DL = std::min({P0.X, P1.X, P2.X, P3.X});
    DR = std::max({P0.X, P1.X, P2.X, P3.X});
    DT = std::min({P0.Y, P1.Y, P2.Y, P3.Y});
    DB = std::max({P0.Y, P1.Y, P2.Y, P3.Y});
}

raster::TIntRect TPlayerDC::DeviceRect(double L, double T, double R, double B) const {
    double DL, DT, DR, DB;
    DeviceBox(L, T, R, B, DL, DT, DR, DB);
    return {ClampInt(DL), ClampInt(DT), ClampInt(DR), ClampInt(DB)};
}

// The clip becomes (clip Op R), both limited to the target rectangle; an operation the
// region bounds refuse leaves the clip as it was.
void TPlayerDC::CombineClip(const raster::TRegion& R, raster::TRegion::TOp Op) {
    raster::TRegion Base(FBaseClip);
    auto Limited = raster::TRegion::Combine(R, Base, raster::TRegion::roAnd, FTarget.Budget());
    if (!Limited) return;
    auto Out = raster::TRegion::Combine(S.Clip ? *S.Clip : Base, *Limited, Op, FTarget.Budget());
    if (!Out) return;
    S.Clip = std::make_shared<const raster::TRegion>(std::move(*Out));
    ApplyClip();
}

void TPlayerDC::IntersectClipRect(double L, double T, double R, double B) {
    CombineClip(raster::TRegion(DeviceRect(L, T, R, B)), raster::TRegion::roAnd);
}

void TPlayerDC::ExcludeClipRect(double L, double T, double R, double B) {
    CombineClip(raster::TRegion(DeviceRect(L, T, R, B)), raster::TRegion::roDiff);
}

void TPlayerDC::OffsetClipRgn(double DX, double DY) {
    if (!S.Clip) return;
    // Logical distances in device pixels (the world transform's rotation is not followed).
    TPointF O = ToDevice(0, 0), P = ToDevice(DX, DY);
    double X = std::round(P.X - O.X), Y = std::round(P.Y - O.Y);
    if (!std::isfinite(X) || !std::isfinite(Y)) return;
    S.Clip = std::make_shared<const raster::TRegion>(
        S.Clip->Offset(static_cast<int64_t>(std::clamp(X, -4e9, 4e9)),
                       static_cast<int64_t>(std::clamp(Y, -4e9, 4e9))));
    ApplyClip();
}

void TPlayerDC::SelectClipRects(const std::vector<raster::TIntRect>* Rects, int Mode) {
    if (!Rects) {
        if (Mode == RGN_COPY) ResetClip();
        return;
    }
    // Reference device pixels to the target, as the drawing of the picture maps them.
    std::vector<raster::TIntRect> Device;
    Device.reserve(Rects->size());
    for (const raster::TIntRect& R : *Rects) {
        double L = R.Left * FRefSX + FRefOX, Rt = R.Right * FRefSX + FRefOX;
        double T = R.Top * FRefSY + FRefOY, B = R.Bottom * FRefSY + FRefOY;
        Device.push_back({ClampInt(std::min(L, Rt)), ClampInt(std::min(T, B)),
                          ClampInt(std::max(L, Rt)), ClampInt(std::max(T, B))});
    }
    auto Region = raster::TRegion::FromRects(std::move(Device), FTarget.Budget());
    if (!Region) return;
    switch (Mode) {
    case RGN_COPY: {
        auto Old = std::move(S.Clip);
        CombineClip(*Region, raster::TRegion::roAnd); // against the whole target
        if (!S.Clip) S.Clip = std::move(Old);         // refused: the clip stays
        break;
    }
    case RGN_AND:
        CombineClip(*Region, raster::TRegion::roAnd);
        break;
    case RGN_OR:
        if (S.Clip) CombineClip(*Region, raster::TRegion::roOr); // no clip: all stays drawn
        break;
    case RGN_XOR:
        CombineClip(*Region, raster::TRegion::roXor);
        break;
    case RGN_DIFF:
        CombineClip(*Region, raster::TRegion::roDiff);
        break;
    default:
        break;
    }
}

void TPlayerDC::ResetClip() {
    S.Clip.reset();
    ApplyClip();
}

// ---------------------------------------------------------------------------
// Pens and brushes

double TPlayerDC::PenWidthDevice() const {
    if (S.Pen.Cosmetic || S.Pen.Width <= 0) return 1;
    return S.Pen.Width * std::sqrt(DeviceScaleX() * DeviceScaleY());
}

raster::TPaint TPlayerDC::BrushPaint() const {
    raster::TPaint P;
    P.Color = S.Brush.Color;
    if (S.Brush.Style == BS_HATCHED) {
        P.Kind = raster::TPaint::pkHatch;
        P.Hatch = S.Brush.Hatch;
        P.Opaque = S.BkMode == OPAQUE;
        P.BkColor = S.BkColor;
    } else if (S.Brush.Pattern) {
        P.Kind = raster::TPaint::pkPattern;
        P.Pattern = S.Brush.Pattern.get();
    }
    return P;
}

void TPlayerDC::FillDevice(const TPolygonSet& Polys, raster::TFillRule Rule) {
    if (S.Brush.Style == BS_NULL || Polys.empty()) return;
    FTarget.FillPolygons(Polys, Rule, BrushPaint());
}

void TPlayerDC::StrokeFigures(const std::vector<TPathFigure>& Figures) {
    int Style = S.Pen.Style & PS_STYLE_MASK;
    if (Style == PS_NULL) return;
    double W = PenWidthDevice();
    // One-pixel pens draw their style's dash pattern (pixels on, off, ...); wider ones are
    // solid.
    static const uint8_t Dash[] = {18, 6}, Dot[] = {3, 3}, DashDot[] = {9, 6, 3, 6},
                         DashDotDot[] = {9, 3, 3, 3, 3, 3}, Alternate[] = {1, 1};
    raster::TLineStyle Line;
    Line.Opaque = S.BkMode == OPAQUE;
    Line.BkColor = S.BkColor;
    auto Use = [&](const uint8_t* Runs, int Count) { Line.Runs = Runs, Line.Count = Count; };
    switch (Style) {
    case PS_DASH:
        Use(Dash, 2);
        break;
    case PS_DOT:
        Use(Dot, 2);
        break;
    case PS_DASHDOT:
        Use(DashDot, 4);
        break;
    case PS_DASHDOTDOT:
        Use(DashDotDot, 6);
        break;
    case PS_ALTERNATE:
        Use(Alternate, 2);
        break;
    default:
        break;
    }
    for (const TPathFigure& F : Figures) {
        if (W < 1.5) {
            if (F.Points.size() == 1) {
                FTarget.SetPixel(RoundPixel(F.Points[0].X), RoundPixel(F.Points[0].Y), S.Pen.Color);
                continue;
            }
            FTarget.ThinPolyline(F.Points, F.Closed, S.Pen.Color, Line.Runs ? &Line : nullptr);
        } else {
            FTarget.StrokePolyline(F.Points, F.Closed, W, S.Pen.Color);
        }
    }
}

void TPlayerDC::Emit(const TPolygonSet& Fill, const std::vector<TPathFigure>& Outline) {
    if (FInPath) {
        for (const TPathFigure& F : Outline) {
            if (FPath.size() > kMaxPathPoints) return;
            FPath.push_back(F);
        }
        return;
    }
    FillDevice(Fill, S.PolyFillMode == WINDING ? raster::frWinding : raster::frAlternate);
    StrokeFigures(Outline);
}

// ---------------------------------------------------------------------------
// Lines and curves

TPathFigure& TPlayerDC::CurrentFigure() {
    if (FPath.empty() || FPath.back().Closed) {
        FPath.push_back({});
        FPath.back().Points.push_back(ToDevice(S.CurX, S.CurY));
    }
    return FPath.back();
}

void TPlayerDC::MoveTo(double X, double Y) {
    S.CurX = X, S.CurY = Y;
    if (FInPath && FPath.size() < kMaxPathPoints) {
        if (!FPath.empty() && !FPath.back().Closed && FPath.back().Points.size() <= 1)
            FPath.back().Points.clear();
        else
            FPath.push_back({});
        FPath.back().Points.push_back(ToDevice(X, Y));
    }
}

void TPlayerDC::LineTo(double X, double Y) {
    PolylineTo({{X, Y}});
}

void TPlayerDC::Polyline(const TPolygon& Pts) {
    if (Pts.size() < 2) return;
    TPathFigure F;
    for (const TPointF& P : Pts) F.Points.push_back(ToDevice(P.X, P.Y));
    Emit({}, {F});
}

void TPlayerDC::PolylineTo(const TPolygon& Pts) {
    if (Pts.empty()) return;
    if (FInPath) {
        TPathFigure& F = CurrentFigure();
        for (const TPointF& P : Pts) {
            if (F.Points.size() > kMaxPathPoints) break;
            F.Points.push_back(ToDevice(P.X, P.Y));
        }
    } else {
        TPathFigure F;
        F.Points.push_back(ToDevice(S.CurX, S.CurY));
        for (const TPointF& P : Pts) F.Points.push_back(ToDevice(P.X, P.Y));
        StrokeFigures({F});
    }
    S.CurX = Pts.back().X, S.CurY = Pts.back().Y;
}

void TPlayerDC::PolyPolyline(const TPolygonSet& Lines) {
    std::vector<TPathFigure> Figs;
    for (const TPolygon& L : Lines) {
        if (L.size() < 2) continue;
        TPathFigure F;
        for (const TPointF& P : L) F.Points.push_back(ToDevice(P.X, P.Y));
        Figs.push_back(std::move(F));
    }
    Emit({}, Figs);
}

void TPlayerDC::PolyPolygon(const TPolygonSet& Polys) {
    TPolygonSet Fill;
    std::vector<TPathFigure> Figs;
    for (const TPolygon& L : Polys) {
        if (L.size() < 2) continue;
        TPathFigure F;
        F.Closed = true;
        for (const TPointF& P : L) F.Points.push_back(ToDevice(P.X, P.Y));
        Fill.push_back(F.Points);
        Figs.push_back(std::move(F));
    }
    Emit(Fill, Figs);
}

void TPlayerDC::PolyBezier(const TPolygon& Pts) {
    if (Pts.size() < 4) return;
    TPathFigure F;
    TPointF P0 = ToDevice(Pts[0].X, Pts[0].Y);
    F.Points.push_back(P0);
    for (size_t i = 1; i + 2 < Pts.size(); i += 3) {
        TPointF P1 = ToDevice(Pts[i].X, Pts[i].Y), P2 = ToDevice(Pts[i + 1].X, Pts[i + 1].Y);
        TPointF P3 = ToDevice(Pts[i + 2].X, Pts[i + 2].Y);
        raster::AppendBezier(F.Points, P0, P1, P2, P3);
        P0 = P3;
    }
    Emit({}, {F});
}

void TPlayerDC::PolyBezierTo(const TPolygon& Pts) {
    if (Pts.size() < 3) return;
    TPathFigure Loose;
    TPathFigure& F = FInPath ? CurrentFigure() : Loose;
    if (!FInPath) F.Points.push_back(ToDevice(S.CurX, S.CurY));
    TPointF P0 = F.Points.back();
    size_t i = 0;
    for (; i + 2 < Pts.size(); i += 3) {
        if (F.Points.size() > kMaxPathPoints) break;
        TPointF P1 = ToDevice(Pts[i].X, Pts[i].Y), P2 = ToDevice(Pts[i + 1].X, Pts[i + 1].Y);
        TPointF P3 = ToDevice(Pts[i + 2].X, Pts[i + 2].Y);
        raster::AppendBezier(F.Points, P0, P1, P2, P3);
        P0 = P3;
        S.CurX = Pts[i + 2].X, S.CurY = Pts[i + 2].Y;
    }
    if (!FInPath) StrokeFigures({F});
}

void TPlayerDC::PolyDraw(const TPolygon& Pts, const uint8_t* Types) {
    // PT_CLOSEFIGURE 1, PT_LINETO 2, PT_BEZIERTO 4, PT_MOVETO 6.
    bool WasInPath = FInPath;
    std::vector<TPathFigure> Saved;
    if (!WasInPath) {
        Saved.swap(FPath);
        FInPath = true;
    }
    for (size_t i = 0; i < Pts.size(); ++i) {
        int T = Types[i] & ~1;
        if (T == 6) {
            MoveTo(Pts[i].X, Pts[i].Y);
        } else if (T == 2) {
            LineTo(Pts[i].X, Pts[i].Y);
        } else if (T == 4 && i + 2 < Pts.size()) {
            PolyBezierTo({Pts[i], Pts[i + 1], Pts[i + 2]});
            i += 2;
        }
        if (Types[i] & 1) CloseFigure();
    }
    if (!WasInPath) {
        FInPath = false;
        std::vector<TPathFigure> Figs;
        Figs.swap(FPath);
        FPath.swap(Saved);
        StrokeFigures(Figs);
    }
}

void TPlayerDC::Rectangle(double L, double T, double R, double B) {
    double DL, DT, DR, DB;
    DeviceBox(L, T, R, B, DL, DT, DR, DB);
    bool NoPen = (S.Pen.Style & PS_STYLE_MASK) == PS_NULL;
    // Without a pen the filled area is one pixel narrower and shorter, as on the platform.
    TPolygon Fill{{DL, DT}, {DR - NoPen, DT}, {DR - NoPen, DB - NoPen}, {DL, DB - NoPen}};
    TPathFigure F;
    F.Closed = true;
    F.Points = {{DL, DT}, {DR - 1, DT}, {DR - 1, DB - 1}, {DL, DB - 1}};
    Emit({Fill}, {F});
}

void TPlayerDC::RoundRect(double L, double T, double R, double B, double W, double H) {
    double DL, DT, DR, DB;
    DeviceBox(L, T, R, B, DL, DT, DR, DB);
    double RX = std::min(std::fabs(W * DeviceScaleX()) / 2, (DR - DL) / 2);
    double RY = std::min(std::fabs(H * DeviceScaleY()) / 2, (DB - DT) / 2);
    auto Shape = [&](double l, double t, double r, double b, double rx, double ry) {
        TPolygon P;
        raster::AppendEllipseArc(P, r - rx, t + ry, rx, ry, 0, kPi / 2);
        raster::AppendEllipseArc(P, l + rx, t + ry, rx, ry, kPi / 2, kPi);
        raster::AppendEllipseArc(P, l + rx, b - ry, rx, ry, kPi, 3 * kPi / 2);
        raster::AppendEllipseArc(P, r - rx, b - ry, rx, ry, 3 * kPi / 2, 2 * kPi);
        return P;
    };
    TPathFigure F;
    F.Closed = true;
    F.Points = Shape(DL, DT, DR - 1, DB - 1, std::max(0.0, RX - 0.5), std::max(0.0, RY - 0.5));
    Emit({Shape(DL - 0.5, DT - 0.5, DR - 0.5, DB - 0.5, RX, RY)}, {F});
}

void TPlayerDC::Ellipse(double L, double T, double R, double B) {
    double DL, DT, DR, DB;
    DeviceBox(L, T, R, B, DL, DT, DR, DB);
    double CX = (DL + DR - 1) / 2, CY = (DT + DB - 1) / 2;
    double RX = std::max(0.0, (DR - DL - 1) / 2), RY = std::max(0.0, (DB - DT - 1) / 2);
    TPathFigure F;
    F.Closed = true;
    F.Points = raster::EllipsePolygon(CX, CY, RX, RY);
    Emit({raster::EllipsePolygon(CX, CY, RX + 0.5, RY + 0.5)}, {F});
}

void TPlayerDC::Arc(TArcKind Kind, double L, double T, double R, double B, double XS, double YS,
                    double XE, double YE) {
    double DL, DT, DR, DB;
    DeviceBox(L, T, R, B, DL, DT, DR, DB);
    double CX = (DL + DR - 1) / 2, CY = (DT + DB - 1) / 2;
    double RX = std::max(0.5, (DR - DL - 1) / 2), RY = std::max(0.5, (DB - DT - 1) / 2);
    TPointF PS = ToDevice(XS, YS), PE = ToDevice(XE, YE);
    double A0 = std::atan2(-(PS.Y - CY) / RY, (PS.X - CX) / RX);
    double A1 = std::atan2(-(PE.Y - CY) / RY, (PE.X - CX) / RX);
    // The direction is counter-clockwise in logical space; a mirroring mapping turns it round.
    TPointF O = ToDevice(0, 0), UX = ToDevice(1, 0), UY = ToDevice(0, 1);
    double Det = (UX.X - O.X) * (UY.Y - O.Y) - (UX.Y - O.Y) * (UY.X - O.X);
    bool CCW = (S.ArcDirection != AD_CLOCKWISE) == (Det >= 0);
    if (CCW) {
        while (A1 <= A0) A1 += 2 * kPi;
    } else {
        while (A1 >= A0) A1 -= 2 * kPi;
    }
    TPathFigure F;
    if (Kind == akArcTo) {
        if (FInPath) {
            TPathFigure& C = CurrentFigure();
            raster::AppendEllipseArc(C.Points, CX, CY, RX, RY, A0, A1);
        } else {
            F.Points.push_back(ToDevice(S.CurX, S.CurY));
            raster::AppendEllipseArc(F.Points, CX, CY, RX, RY, A0, A1);
            StrokeFigures({F});
        }
        const TPointF& End = FInPath ? FPath.back().Points.back() : F.Points.back();
        // Back to logical coordinates for the current position: invert the mapping.
        TPointF O2 = ToDevice(0, 0);
        double a = UX.X - O2.X, b = UX.Y - O2.Y, c = UY.X - O2.X, d = UY.Y - O2.Y;
        if (std::fabs(Det) > 1e-12) {
            double ex = End.X - O2.X, ey = End.Y - O2.Y;
            S.CurX = (ex * d - ey * c) / Det;
            S.CurY = (ey * a - ex * b) / Det;
        }
        return;
    }
    raster::AppendEllipseArc(F.Points, CX, CY, RX, RY, A0, A1);
    if (Kind == akArc) {
        Emit({}, {F});
        return;
    }
    if (Kind == akPie) F.Points.push_back({CX, CY});
    F.Closed = true;
    Emit({F.Points}, {F});
}

void TPlayerDC::AngleArc(double X, double Y, double Radius, double StartDeg, double SweepDeg) {
    if (!std::isfinite(StartDeg) || !std::isfinite(SweepDeg) || std::fabs(SweepDeg) > 36000) return;
    TPointF C = ToDevice(X, Y);
    double RX = Radius * DeviceScaleX(), RY = Radius * DeviceScaleY();
    double A0 = StartDeg * kPi / 180, A1 = (StartDeg + SweepDeg) * kPi / 180;
    TPolygon Arc;
    raster::AppendEllipseArc(Arc, C.X, C.Y, RX, RY, A0, A1);
    if (Arc.empty()) return;
    if (FInPath) {
        TPathFigure& F = CurrentFigure();
        F.Points.insert(F.Points.end(), Arc.begin(), Arc.end());
    } else {
        TPathFigure F;
        F.Points.push_back(ToDevice(S.CurX, S.CurY));
        F.Points.insert(F.Points.end(), Arc.begin(), Arc.end());
        StrokeFigures({F});
    }
    S.CurX = X + Radius * std::cos(A1);
    S.CurY = Y - Radius * std::sin(A1);
}

void TPlayerDC::SetPixel(double X, double Y, TRGB Color) {
    TPointF P = ToDevice(X, Y);
    FTarget.SetPixel(RoundPixel(P.X), RoundPixel(P.Y), Color);
}

// ---------------------------------------------------------------------------
// Paths

void TPlayerDC::BeginPath() {
    FPath.clear();
    FInPath = true;
}

void TPlayerDC::AbortPath() {
    FPath.clear();
    FInPath = false;
}

void TPlayerDC::CloseFigure() {
    if (!FInPath || FPath.empty() || FPath.back().Closed) return;
    TPathFigure& F = FPath.back();
    F.Closed = true;
    // The next figure starts where this one did.
    TPointF Start = F.Points.front();
    FPath.push_back({});
    FPath.back().Points.push_back(Start);
}

void TPlayerDC::FillPath() {
    FInPath = false;
    TPolygonSet Polys;
    for (const TPathFigure& F : FPath)
        if (F.Points.size() > 2) Polys.push_back(F.Points);
    FillDevice(Polys, S.PolyFillMode == WINDING ? raster::frWinding : raster::frAlternate);
    FPath.clear();
}

void TPlayerDC::StrokePath() {
    FInPath = false;
    std::vector<TPathFigure> Figs;
    for (const TPathFigure& F : FPath)
        if (F.Points.size() > 1) Figs.push_back(F);
    StrokeFigures(Figs);
    FPath.clear();
}

void TPlayerDC::StrokeAndFillPath() {
    std::vector<TPathFigure> Keep = FPath;
    FillPath();
    FPath = std::move(Keep);
    StrokePath();
}

// ---------------------------------------------------------------------------
// Text

void TPlayerDC::TextOut(double X, double Y, const std::u32string& Text,
                        const std::vector<double>& Dx, int Options, const double* Rect) {
    if (FInPath) return; // text outlines in paths are not supported
    if (Rect && (Options & ETO_OPAQUE)) {
        double DL, DT, DR, DB;
        DeviceBox(Rect[0], Rect[1], Rect[2], Rect[3], DL, DT, DR, DB);
        FTarget.FillRect({ClampInt(DL), ClampInt(DT), ClampInt(DR), ClampInt(DB)},
                         raster::TPaint::Solid(S.BkColor));
    }
    if (Text.empty()) return;
    raster::TIntRect SavedClip = FTarget.Clip();
    if (Rect && (Options & ETO_CLIPPED)) {
        double DL, DT, DR, DB;
        DeviceBox(Rect[0], Rect[1], Rect[2], Rect[3], DL, DT, DR, DB);
        raster::TIntRect C = SavedClip;
        FTarget.SetClip({std::max(C.Left, ClampInt(DL)), std::max(C.Top, ClampInt(DT)),
                         std::min(C.Right, ClampInt(DR)), std::min(C.Bottom, ClampInt(DB))});
    }
    if (S.TextAlign & TA_UPDATECP) X = S.CurX, Y = S.CurY;

    // Font size and angle in device terms.
    text::TFontRequest R;
    R.Face = S.Font.Face;
    R.Weight = S.Font.Weight == 0 ? 400 : S.Font.Weight;
    R.Italic = S.Font.Italic;
    R.Charset = S.Font.Charset;
    double ScaleY = DeviceScaleY(), ScaleX = DeviceScaleX();
    TPointF O = ToDevice(0, 0), UX = ToDevice(1, 0);
    double WorldAngle = std::atan2(-(UX.Y - O.Y), UX.X - O.X) * 180 / kPi;
    double Angle = S.Font.Escapement / 10.0 + WorldAngle;
    R.AngleDegrees = Angle;
    double H = std::fabs(static_cast<double>(S.Font.Height)) * ScaleY;
    if (S.Font.Height == 0) H = 16 * ScaleY; // the platform's default size in logical units
    R.EmPixels = S.Font.Height > 0 ? text::EmForCellHeight(R, H) : H;
    text::TFontMetrics M = text::Metrics(R);

    double A = Angle * kPi / 180;
    TPointF Dir{std::cos(A), -std::sin(A)}; // along the baseline, device
    TPointF Up{-std::sin(A), -std::cos(A)};

    // Glyph origins along the baseline (device distances from the reference point).
    std::vector<std::shared_ptr<const text::TGlyph>> Glyphs;
    std::vector<double> Pos;
    double Pen = 0;
    for (size_t i = 0; i < Text.size(); ++i) {
        auto G = text::Glyph(R, Text[i]);
        Glyphs.push_back(G);
        Pos.push_back(Pen);
        if (i < Dx.size())
            Pen += Dx[i] * ScaleX;
        else
            Pen += G ? G->Advance : 0;
    }
    double Total = Pen;
    double Shift = 0;
    int Horz = S.TextAlign & TA_HORZ_MASK;
    if (Horz == TA_CENTER)
        Shift = -Total / 2;
    else if (Horz == TA_RIGHT)
        Shift = -Total;
    double Lift = 0; // baseline offset along Up
    int Vert = S.TextAlign & TA_VERT_MASK;
    if (Vert == 0)
        Lift = -M.Ascent; // reference point at the top of the cell
    else if (Vert == TA_BOTTOM)
        Lift = M.Descent;
    TPointF Ref = ToDevice(X, Y);
    TPointF Base{Ref.X + Dir.X * Shift + Up.X * Lift, Ref.Y + Dir.Y * Shift + Up.Y * Lift};

    if (S.BkMode == OPAQUE && !(Options & ETO_OPAQUE)) {
        TPolygon Box;
        auto P = [&](double Along, double Height) {
            return TPointF{Base.X + Dir.X * Along + Up.X * Height,
                           Base.Y + Dir.Y * Along + Up.Y * Height};
        };
        Box = {P(0, M.Ascent), P(Total, M.Ascent), P(Total, -M.Descent), P(0, -M.Descent)};
        FTarget.FillPolygons({Box}, raster::frWinding, raster::TPaint::Solid(S.BkColor));
    }
    for (size_t i = 0; i < Glyphs.size(); ++i) {
        const auto& G = Glyphs[i];
        if (!G || G->Bits.empty()) continue;
        double OX = Base.X + Dir.X * Pos[i], OY = Base.Y + Dir.Y * Pos[i];
        int GX = RoundPixel(OX) + G->Left;
        int GY = RoundPixel(OY) - G->Top;
        FTarget.DrawMonoBitmap(G->Bits.data(), G->Width, G->Rows, G->Pitch, GX, GY, S.TextColor);
    }
    auto Bar = [&](double Offset, double Thick) { // a line along the text, Offset below base
        auto P = [&](double Along, double Down) {
            return TPointF{Base.X + Dir.X * Along - Up.X * Down,
                           Base.Y + Dir.Y * Along - Up.Y * Down};
        };
        TPolygon B{P(0, Offset), P(Total, Offset), P(Total, Offset + Thick), P(0, Offset + Thick)};
        FTarget.FillPolygons({B}, raster::frWinding, raster::TPaint::Solid(S.TextColor));
    };
    double Thick = std::max(1.0, std::round(R.EmPixels / 14));
    if (S.Font.Underline) Bar(std::max(1.0, M.Descent / 2), Thick);
    if (S.Font.StrikeOut) Bar(-M.Ascent / 3, Thick);
    FTarget.SetClip(SavedClip);

    if (S.TextAlign & TA_UPDATECP) {
        S.CurX = X + (ScaleX > 0 ? Total / ScaleX : 0);
    }
}

// ---------------------------------------------------------------------------
// Bitmaps

void TPlayerDC::StretchDib(const TDib& Dib, double XDest, double YDest, double WDest, double HDest,
                           int XSrc, int YSrc, int WSrc, int HSrc, uint32_t Rop,
                           bool SourceFromBottom) {
    if (FInPath) return;
    raster::TBlitOp Op;
    switch (Rop) {
    case 0x00CC0020:
        Op = raster::boSrcCopy;
        break;
    case 0x00EE0086:
        Op = raster::boSrcPaint;
        break;
    case 0x008800C6:
        Op = raster::boSrcAnd;
        break;
    case 0x00660046:
        Op = raster::boSrcInvert;
        break;
    case 0x00330008:
        Op = raster::boNotSrcCopy;
        break;
    case 0x00440328:
        Op = raster::boSrcErase;
        break;
    default:
        if ((Rop >> 16) == 0x00CC || Rop == 0) {
            Op = raster::boSrcCopy;
            break;
        }
        PatBlt(XDest, YDest, WDest, HDest, Rop); // operations without a source
        return;
    }
    int64_t Y = YSrc;
    // The source rectangle of a bottom-up DIB counts from its lowest row.
    if (SourceFromBottom && Dib.BottomUp) Y = int64_t{Dib.Image.Height} - (int64_t{YSrc} + HSrc);
    TPointF P0 = ToDevice(XDest, YDest), P1 = ToDevice(XDest + WDest, YDest + HDest);
    FTarget.StretchImage(Dib.Image, XSrc, Y, WSrc, HSrc, P0.X, P0.Y, P1.X, P1.Y, Op);
}

void TPlayerDC::PatBlt(double X, double Y, double W, double H, uint32_t Rop) {
    if (FInPath) return;
    double DL, DT, DR, DB;
    DeviceBox(X, Y, X + W, Y + H, DL, DT, DR, DB);
    raster::TIntRect R{ClampInt(DL), ClampInt(DT), ClampInt(DR), ClampInt(DB)};
    switch (Rop) {
    case 0x00F00021: // PATCOPY
        if (S.Brush.Style != BS_NULL) FTarget.FillRect(R, BrushPaint());
        break;
    case 0x00000042:
        FTarget.FillRect(R, raster::TPaint::Solid(0));
        break; // BLACKNESS
    case 0x00FF0062:
        FTarget.FillRect(R, raster::TPaint::Solid(0xFFFFFF));
        break; // WHITENESS
    case 0x00550009:
        FTarget.InvertRect(R);
        break; // DSTINVERT
    default:
        break; // other operations are not drawn
    }
}

} // namespace mv::metafile
