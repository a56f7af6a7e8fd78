#include "platform/Raster.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace mv::raster {

namespace {

constexpr double kPi = 3.14159265358979323846;

// ceil() clamped into a range that int arithmetic can follow without overflow.
int ClampCeil(double V, int Lo, int Hi) {
    if (!(V > Lo)) return Lo; // also catches NaN
    if (V >= Hi) return Hi;
    return static_cast<int>(std::ceil(V));
}

bool Finite(TPointF P) {
    return std::isfinite(P.X) && std::isfinite(P.Y);
}

double SignedArea(const TPolygon& P) {
    double A = 0;
    for (size_t i = 0, n = P.size(); i < n; ++i) {
        const TPointF& a = P[i];
        const TPointF& b = P[(i + 1) % n];
        A += a.X * b.Y - b.X * a.Y;
    }
    return A / 2;
}

// Hatch rows: bit 7 is the leftmost of eight pixels.
bool HatchBit(int Style, int X, int Y) {
    int x = X & 7, y = Y & 7;
    switch (Style) {
    case hsHorizontal:
        return y == 7;
    case hsVertical:
        return x == 7;
    case hsFDiagonal:
        return x == y;
    case hsBDiagonal:
        return x == 7 - y;
    case hsCross:
        return x == 7 || y == 7;
    case hsDiagCross:
        return x == y || x == 7 - y;
    default:
        return false;
    }
}

struct TEdge {
    double X0, Y0, DxDy;
    int YStart, YEnd; // rows YStart..YEnd-1
    int Dir;
};

} // namespace

int CircleSegments(double R) {
    R = std::fabs(R);
    if (!(R > 0.5)) return 8;
    // Chord deviation (sagitta) of at most 0.2 pixel.
    double Step = 2 * std::acos(std::max(-1.0, 1 - 0.2 / R));
    double N = std::ceil(2 * kPi / Step);
    return static_cast<int>(std::clamp(N, 8.0, 2048.0));
}

void AppendEllipseArc(TPolygon& Out, double CX, double CY, double RX, double RY, double A0,
                      double A1) {
    double Sweep = A1 - A0;
    if (!std::isfinite(Sweep)) return;
    int N = CircleSegments(std::max(std::fabs(RX), std::fabs(RY)));
    int Steps = std::max(1, static_cast<int>(std::ceil(std::fabs(Sweep) / (2 * kPi) * N)));
    Steps = std::min(Steps, 4 * 2048);
    for (int i = 0; i <= Steps; ++i) {
        double A = A0 + Sweep * i / Steps;
        Out.push_back({CX + RX * std::cos(A), CY - RY * std::sin(A)});
    }
}

TPolygon EllipsePolygon(double CX, double CY, double RX, double RY) {
    TPolygon P;
    int N = CircleSegments(std::max(std::fabs(RX), std::fabs(RY)));
    P.reserve(static_cast<size_t>(N));
    for (int i = 0; i < N; ++i) {
        double A = 2 * kPi * i / N;
        P.push_back({CX + RX * std::cos(A), CY - RY * std::sin(A)});
    }
    return P;
}

void AppendBezier(TPolygon& Out, TPointF P0, TPointF P1, TPointF P2, TPointF P3) {
    if (!Finite(P0) || !Finite(P1) || !Finite(P2) || !Finite(P3)) return;
    // The control polygon's second differences bound the chord error of uniform steps.
    double Dx = std::max(std::fabs(P0.X - 2 * P1.X + P2.X), std::fabs(P1.X - 2 * P2.X + P3.X));
    double Dy = std::max(std::fabs(P0.Y - 2 * P1.Y + P2.Y), std::fabs(P1.Y - 2 * P2.Y + P3.Y));
    double D = std::hypot(Dx, Dy);
    // Error of n uniform steps is at most 3/4 * D / n^2; aim for 0.2 pixel.
    int N = static_cast<int>(std::ceil(std::sqrt(D * 0.75 / 0.2)));
    N = std::clamp(N, 1, 256);
    for (int i = 1; i <= N; ++i) {
        double t = static_cast<double>(i) / N, u = 1 - t;
        double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
        Out.push_back(
            {a * P0.X + b * P1.X + c * P2.X + d * P3.X, a * P0.Y + b * P1.Y + c * P2.Y + d * P3.Y});
    }
}

// ---------------------------------------------------------------------------
// Regions

namespace {

constexpr int kRegionLimit = 1000000000; // coordinates are kept within +-1e9

bool Apply(TRegion::TOp Op, bool A, bool B) {
    switch (Op) {
    case TRegion::roAnd:
        return A && B;
    case TRegion::roOr:
        return A || B;
    case TRegion::roXor:
        return A != B;
    case TRegion::roDiff:
        return A && !B;
    }
    return false;
}

// Adds [A, B) to sorted, disjoint spans, merging what touches the last one.
void AddSpan(TRegion::TSpans& Out, int A, int B) {
    if (B <= A) return;
    if (!Out.empty() && Out.back().second >= A) {
        Out.back().second = std::max(Out.back().second, B);
        return;
    }
    Out.emplace_back(A, B);
}

// The set operation on two sorted, disjoint span lists: a sweep over their edges.
void CombineSpans(const TRegion::TSpans& A, const TRegion::TSpans& B, TRegion::TOp Op,
                  TRegion::TSpans& Out) {
    Out.clear();
    size_t i = 0, j = 0, NA = 2 * A.size(), NB = 2 * B.size();
    auto Edge = [](const TRegion::TSpans& S, size_t k) {
        return k % 2 ? S[k / 2].second : S[k / 2].first;
    };
    bool InA = false, InB = false, Was = false;
    int Start = 0;
    while (i < NA || j < NB) {
        int XA = i < NA ? Edge(A, i) : INT32_MAX, XB = j < NB ? Edge(B, j) : INT32_MAX;
        int X = std::min(XA, XB);
        while (i < NA && Edge(A, i) == X) InA = !InA, ++i;
        while (j < NB && Edge(B, j) == X) InB = !InB, ++j;
        bool Now = Apply(Op, InA, InB);
        if (Now && !Was) Start = X;
        if (!Now && Was) AddSpan(Out, Start, X);
        Was = Now;
    }
}

TIntRect Bounded(TIntRect R) {
    R.Left = std::clamp(R.Left, -kRegionLimit, kRegionLimit);
    R.Right = std::clamp(R.Right, -kRegionLimit, kRegionLimit);
    R.Top = std::clamp(R.Top, -kRegionLimit, kRegionLimit);
    R.Bottom = std::clamp(R.Bottom, -kRegionLimit, kRegionLimit);
    return R;
}

} // namespace

TRegion::TRegion(const TIntRect& Rect) {
    TIntRect R = Bounded(Rect);
    if (R.IsEmpty()) return;
    FBands.push_back({R.Top, R.Bottom, {{R.Left, R.Right}}});
    FSpans = 1;
}

void TRegion::Push(int Top, int Bottom, const TSpans& Spans) {
    if (Spans.empty() || Bottom <= Top) return;
    if (!FBands.empty() && FBands.back().Bottom == Top && FBands.back().Spans == Spans) {
        FBands.back().Bottom = Bottom;
        return;
    }
    FBands.push_back({Top, Bottom, Spans});
    FSpans += Spans.size();
}

std::optional<TRegion> TRegion::FromRects(std::vector<TIntRect> Rects, TWorkBudget* Budget) {
    std::vector<int> Ys;
    for (TIntRect& R : Rects) R = Bounded(R);
    Rects.erase(
        std::remove_if(Rects.begin(), Rects.end(), [](const TIntRect& R) { return R.IsEmpty(); }),
        Rects.end());
    for (const TIntRect& R : Rects) Ys.push_back(R.Top), Ys.push_back(R.Bottom);
    std::sort(Ys.begin(), Ys.end());
    Ys.erase(std::unique(Ys.begin(), Ys.end()), Ys.end());
    std::sort(Rects.begin(), Rects.end(),
              [](const TIntRect& A, const TIntRect& B) { return A.Top < B.Top; });
    TRegion Out;
    std::vector<const TIntRect*> Active;
    std::vector<std::pair<int, int>> Pieces;
    TSpans Spans;
    size_t Next = 0;
    for (size_t k = 0; k + 1 < Ys.size(); ++k) {
        int Y0 = Ys[k], Y1 = Ys[k + 1];
        Active.erase(std::remove_if(Active.begin(), Active.end(),
                                    [&](const TIntRect* R) { return R->Bottom <= Y0; }),
                     Active.end());
        while (Next < Rects.size() && Rects[Next].Top <= Y0) Active.push_back(&Rects[Next++]);
        if (Budget && !Budget->Spend(Active.size() + 1)) return std::nullopt;
        Pieces.clear();
        for (const TIntRect* R : Active) Pieces.emplace_back(R->Left, R->Right);
        std::sort(Pieces.begin(), Pieces.end());
        Spans.clear();
        for (auto [A, B] : Pieces) AddSpan(Spans, A, B);
        Out.Push(Y0, Y1, Spans);
        if (Out.FSpans > kMaxSpans) return std::nullopt;
    }
    return Out;
}

std::optional<TRegion> TRegion::Combine(const TRegion& A, const TRegion& B, TOp Op,
                                        TWorkBudget* Budget) {
    std::vector<int> Ys;
    for (const TRegion* R : {&A, &B})
        for (const TBand& Band : R->FBands) Ys.push_back(Band.Top), Ys.push_back(Band.Bottom);
    std::sort(Ys.begin(), Ys.end());
    Ys.erase(std::unique(Ys.begin(), Ys.end()), Ys.end());
    TRegion Out;
    static const TSpans None;
    TSpans Spans;
    size_t ia = 0, ib = 0;
    for (size_t k = 0; k + 1 < Ys.size(); ++k) {
        int Y0 = Ys[k], Y1 = Ys[k + 1];
        while (ia < A.FBands.size() && A.FBands[ia].Bottom <= Y0) ++ia;
        while (ib < B.FBands.size() && B.FBands[ib].Bottom <= Y0) ++ib;
        const TSpans& SA =
            ia < A.FBands.size() && A.FBands[ia].Top <= Y0 ? A.FBands[ia].Spans : None;
        const TSpans& SB =
            ib < B.FBands.size() && B.FBands[ib].Top <= Y0 ? B.FBands[ib].Spans : None;
        if (Budget && !Budget->Spend(SA.size() + SB.size() + 1)) return std::nullopt;
        CombineSpans(SA, SB, Op, Spans);
        Out.Push(Y0, Y1, Spans);
        if (Out.FSpans > kMaxSpans) return std::nullopt;
    }
    return Out;
}

TRegion TRegion::Offset(int64_t DX, int64_t DY) const {
    auto Move = [](int V, int64_t D) {
        return static_cast<int>(std::clamp<int64_t>(V + D, -kRegionLimit, kRegionLimit));
    };
    DX = std::clamp<int64_t>(DX, -2 * int64_t{kRegionLimit}, 2 * int64_t{kRegionLimit});
    DY = std::clamp<int64_t>(DY, -2 * int64_t{kRegionLimit}, 2 * int64_t{kRegionLimit});
    TRegion Out;
    TSpans Spans;
    for (const TBand& B : FBands) {
        Spans.clear();
        for (auto [L, R] : B.Spans) AddSpan(Spans, Move(L, DX), Move(R, DX));
        Out.Push(Move(B.Top, DY), Move(B.Bottom, DY), Spans);
    }
    return Out;
}

TIntRect TRegion::Bounds() const {
    if (FBands.empty()) return {};
    TIntRect R{INT32_MAX, FBands.front().Top, INT32_MIN, FBands.back().Bottom};
    for (const TBand& B : FBands) {
        R.Left = std::min(R.Left, B.Spans.front().first);
        R.Right = std::max(R.Right, B.Spans.back().second);
    }
    return R;
}

const TRegion::TBand* TRegion::BandAt(int Y) const {
    auto It = std::upper_bound(FBands.begin(), FBands.end(), Y,
                               [](int V, const TBand& B) { return V < B.Bottom; });
    if (It == FBands.end() || It->Top > Y) return nullptr;
    return &*It;
}

bool TRegion::Contains(int X, int Y) const {
    const TBand* B = BandAt(Y);
    if (!B) return false;
    auto It = std::upper_bound(B->Spans.begin(), B->Spans.end(), X,
                               [](int V, const std::pair<int, int>& S) { return V < S.second; });
    return It != B->Spans.end() && It->first <= X;
}

// ---------------------------------------------------------------------------

template <class F> void TRasterizer::ForClipped(int Y, int X0, int X1, F&& Fn) const {
    if (!FRegion) {
        if (X1 > X0) Fn(X0, X1);
        return;
    }
    const TRegion::TBand* B = FRegion->BandAt(Y);
    if (!B) return;
    auto It = std::upper_bound(B->Spans.begin(), B->Spans.end(), X0,
                               [](int V, const std::pair<int, int>& S) { return V < S.second; });
    for (; It != B->Spans.end() && It->first < X1; ++It) {
        int A = std::max(X0, It->first), E = std::min(X1, It->second);
        if (E > A) Fn(A, E);
    }
}

TRasterizer::TRasterizer(const TPixelBuffer& Buffer, TWorkBudget* Budget)
    : FBuffer(Buffer), FBudget(Budget) {
    if (FBuffer.BytesPerPixel != 3) FBuffer.BytesPerPixel = 4;
    if (!FBuffer.Bits) FBuffer.Width = FBuffer.Height = 0;
    FClip = {0, 0, std::max(0, FBuffer.Width), std::max(0, FBuffer.Height)};
}

void TRasterizer::SetClip(const TIntRect& Clip) {
    FClip.Left = std::max(0, Clip.Left);
    FClip.Top = std::max(0, Clip.Top);
    FClip.Right = std::min(FBuffer.Width, Clip.Right);
    FClip.Bottom = std::min(FBuffer.Height, Clip.Bottom);
    if (FClip.IsEmpty()) FClip = {0, 0, 0, 0};
}

TRGB TRasterizer::Get(int X, int Y) const {
    const uint8_t* p = PixelAt(X, Y);
    return (static_cast<TRGB>(p[2]) << 16) | (static_cast<TRGB>(p[1]) << 8) | p[0];
}

void TRasterizer::Put(int X, int Y, TRGB C) {
    uint8_t* p = PixelAt(X, Y);
    if (FBuffer.BytesPerPixel == 4) {
        uint32_t V = (C & 0xFFFFFF) | FBuffer.FourthByte;
        std::copy_n(reinterpret_cast<const uint8_t*>(&V), 4, p); // little-endian B, G, R, X
    } else {
        p[0] = static_cast<uint8_t>(C);
        p[1] = static_cast<uint8_t>(C >> 8);
        p[2] = static_cast<uint8_t>(C >> 16);
    }
}

void TRasterizer::SetPixel(int X, int Y, TRGB Color) {
    if (X < FClip.Left || X >= FClip.Right || Y < FClip.Top || Y >= FClip.Bottom) return;
    if (FRegion && !FRegion->Contains(X, Y)) return;
    if (!Spend(1)) return;
    Put(X, Y, Color);
}

void TRasterizer::Span(int Y, int X0, int X1, const TPaint& Paint) {
    ForClipped(Y, X0, X1, [&](int A, int B) { PaintSpan(Y, A, B, Paint); });
}

void TRasterizer::PaintSpan(int Y, int X0, int X1, const TPaint& Paint) {
    switch (Paint.Kind) {
    case TPaint::pkSolid:
        if (FBuffer.BytesPerPixel == 4) {
            uint32_t V = (Paint.Color & 0xFFFFFF) | FBuffer.FourthByte;
            uint32_t* p = reinterpret_cast<uint32_t*>(PixelAt(X0, Y));
            if (reinterpret_cast<uintptr_t>(p) % alignof(uint32_t) == 0) {
                std::fill(p, p + (X1 - X0), V);
                return;
            }
        }
        for (int x = X0; x < X1; ++x) Put(x, Y, Paint.Color);
        return;
    case TPaint::pkHatch:
        for (int x = X0; x < X1; ++x) {
            if (HatchBit(Paint.Hatch, x, Y))
                Put(x, Y, Paint.Color);
            else if (Paint.Opaque)
                Put(x, Y, Paint.BkColor);
        }
        return;
    case TPaint::pkPattern: {
        const TImage* P = Paint.Pattern;
        if (!P || P->Width <= 0 || P->Height <= 0) {
            for (int x = X0; x < X1; ++x) Put(x, Y, Paint.Color);
            return;
        }
        int py = Y % P->Height;
        for (int x = X0; x < X1; ++x) Put(x, Y, P->At(x % P->Width, py));
        return;
    }
    }
}

void TRasterizer::FillRect(const TIntRect& R, const TPaint& Paint) {
    int L = std::max(R.Left, FClip.Left), T = std::max(R.Top, FClip.Top);
    int Rt = std::min(R.Right, FClip.Right), B = std::min(R.Bottom, FClip.Bottom);
    if (Rt <= L || B <= T) return;
    if (!Spend(static_cast<uint64_t>(Rt - L) * static_cast<uint64_t>(B - T))) return;
    for (int y = T; y < B; ++y) Span(y, L, Rt, Paint);
}

void TRasterizer::FillPolygons(const TPolygonSet& Polygons, TFillRule Rule, const TPaint& Paint) {
    if (FClip.IsEmpty()) return;
    std::vector<TEdge> Edges;
    size_t Total = 0;
    for (const TPolygon& P : Polygons) Total += P.size();
    Edges.reserve(Total);
    uint64_t Work = 0;
    for (const TPolygon& P : Polygons) {
        size_t n = P.size();
        if (n < 2) continue;
        for (size_t i = 0; i < n; ++i) {
            TPointF a = P[i], b = P[(i + 1) % n];
            if (!Finite(a) || !Finite(b) || a.Y == b.Y) continue;
            int Dir = 1;
            if (a.Y > b.Y) {
                std::swap(a, b);
                Dir = -1;
            }
            int Y0 = ClampCeil(a.Y, FClip.Top, FClip.Bottom);
            int Y1 = ClampCeil(b.Y, FClip.Top, FClip.Bottom);
            if (Y1 <= Y0) continue;
            Edges.push_back({a.X, a.Y, (b.X - a.X) / (b.Y - a.Y), Y0, Y1, Dir});
            Work += static_cast<uint64_t>(Y1 - Y0);
        }
    }
    if (Edges.empty() || !Spend(Work)) return;
    std::sort(Edges.begin(), Edges.end(),
              [](const TEdge& A, const TEdge& B) { return A.YStart < B.YStart; });

    std::vector<size_t> Active;
    size_t Next = 0;
    std::vector<std::pair<double, int>> Cross;
    int YFirst = Edges.front().YStart;
    int YLast = 0;
    for (const TEdge& E : Edges) YLast = std::max(YLast, E.YEnd);
    for (int y = YFirst; y < YLast; ++y) {
        Active.erase(std::remove_if(Active.begin(), Active.end(),
                                    [&](size_t i) { return Edges[i].YEnd <= y; }),
                     Active.end());
        while (Next < Edges.size() && Edges[Next].YStart <= y) {
            if (Edges[Next].YEnd > y) Active.push_back(Next);
            ++Next;
        }
        if (Active.empty()) {
            if (Next >= Edges.size()) break;
            y = Edges[Next].YStart - 1;
            continue;
        }
        Cross.clear();
        for (size_t i : Active) {
            const TEdge& E = Edges[i];
            Cross.emplace_back(E.X0 + (y - E.Y0) * E.DxDy, E.Dir);
        }
        std::sort(Cross.begin(), Cross.end(),
                  [](const auto& A, const auto& B) { return A.first < B.first; });
        int Wind = 0;
        uint64_t Pixels = 0;
        for (size_t k = 0; k + 1 < Cross.size(); ++k) {
            Wind += Cross[k].second;
            bool Inside = Rule == frAlternate ? ((k + 1) % 2 == 1) : Wind != 0;
            if (!Inside) continue;
            int X0 = ClampCeil(Cross[k].first, FClip.Left, FClip.Right);
            int X1 = ClampCeil(Cross[k + 1].first, FClip.Left, FClip.Right);
            if (X1 > X0) {
                Span(y, X0, X1, Paint);
                Pixels += static_cast<uint64_t>(X1 - X0);
            }
        }
        if (!Spend(Pixels)) return;
    }
}

void TRasterizer::ThinPolyline(const TPolygon& Points, bool Closed, TRGB Color,
                               const TLineStyle* Style) {
    size_t n = Points.size();
    if (n == 0 || FClip.IsEmpty()) return;
    // The dash pattern as one flag per pixel of its period.
    std::vector<uint8_t> On;
    if (Style && Style->Runs && Style->Count > 0) {
        for (int k = 0; k < Style->Count; ++k)
            On.insert(On.end(), std::min<int>(Style->Runs[k], 64), k % 2 == 0);
        if (On.empty()) Style = nullptr;
    } else {
        Style = nullptr;
    }
    uint64_t Phase = 0; // pixels of the pattern used up by earlier segments
    // Lines are clipped to the clip rectangle widened by two pixels before they are walked,
    // so that absurd coordinates cost no more than a line across the picture.
    const double L = FClip.Left - 2.0, T = FClip.Top - 2.0;
    const double R = FClip.Right + 2.0, B = FClip.Bottom + 2.0;
    // Pixel steps along the major axis between two points, as the pattern counts them.
    auto StepsBetween = [](TPointF a, TPointF b) {
        double ax = std::floor(std::clamp(a.X, -1e15, 1e15) + 0.5);
        double ay = std::floor(std::clamp(a.Y, -1e15, 1e15) + 0.5);
        double bx = std::floor(std::clamp(b.X, -1e15, 1e15) + 0.5);
        double by = std::floor(std::clamp(b.Y, -1e15, 1e15) + 0.5);
        return std::max(std::fabs(bx - ax), std::fabs(by - ay));
    };
    auto Advance = [&](uint64_t Base, double Steps) {
        return (Base + static_cast<uint64_t>(std::fmod(Steps, static_cast<double>(On.size())))) %
               On.size();
    };
    auto Segment = [&](TPointF a, TPointF b) {
        if (!Finite(a) || !Finite(b)) return;
        uint64_t Start = Phase;
        if (Style) Phase = Advance(Phase, StepsBetween(a, b));
        double t0 = 0, t1 = 1, dx = b.X - a.X, dy = b.Y - a.Y;
        auto Clip = [&](double p, double q) {
            if (p == 0) return q >= 0;
            double r = q / p;
            if (p < 0) {
                if (r > t1) return false;
                if (r > t0) t0 = r;
            } else {
                if (r < t0) return false;
                if (r < t1) t1 = r;
            }
            return true;
        };
        if (!Clip(-dx, a.X - L) || !Clip(dx, R - a.X) || !Clip(-dy, a.Y - T) || !Clip(dy, B - a.Y))
            return;
        TPointF c{a.X + t0 * dx, a.Y + t0 * dy};
        if (Style && t0 > 0) Start = Advance(Start, StepsBetween(a, c));
        long x0 = std::lround(c.X), y0 = std::lround(c.Y);
        long x1 = std::lround(a.X + t1 * dx), y1 = std::lround(a.Y + t1 * dy);
        long sx = x1 > x0 ? 1 : -1, sy = y1 > y0 ? 1 : -1;
        long ax = std::labs(x1 - x0), ay = std::labs(y1 - y0);
        long Steps = std::max(ax, ay); // the end point itself is left out
        if (!Spend(static_cast<uint64_t>(Steps))) return;
        size_t k = static_cast<size_t>(Start);
        auto Plot = [&](long x, long y) {
            if (!Style) {
                SetPixel(static_cast<int>(x), static_cast<int>(y), Color);
                return;
            }
            if (On[k])
                SetPixel(static_cast<int>(x), static_cast<int>(y), Color);
            else if (Style->Opaque)
                SetPixel(static_cast<int>(x), static_cast<int>(y), Style->BkColor);
            if (++k == On.size()) k = 0;
        };
        long x = x0, y = y0;
        if (ax >= ay) {
            long e = 2 * ay - ax;
            for (long i = 0; i < Steps; ++i) {
                Plot(x, y);
                if (e > 0 || (e == 0 && sx > 0)) {
                    y += sy;
                    e -= 2 * ax;
                }
                e += 2 * ay;
                x += sx;
            }
        } else {
            long e = 2 * ax - ay;
            for (long i = 0; i < Steps; ++i) {
                Plot(x, y);
                if (e > 0 || (e == 0 && sy > 0)) {
                    x += sx;
                    e -= 2 * ay;
                }
                e += 2 * ax;
                y += sy;
            }
        }
    };
    if (n == 1) return;
    for (size_t i = 0; i + 1 < n; ++i) Segment(Points[i], Points[i + 1]);
    if (Closed) Segment(Points[n - 1], Points[0]);
}

void TRasterizer::StrokePolyline(const TPolygon& Points, bool Closed, double Width, TRGB Color) {
    if (Points.empty() || FClip.IsEmpty()) return;
    if (!(Width > 0) || !std::isfinite(Width)) return;
    double H = Width / 2;
    // Collapse repeated points: they have no direction.
    TPolygon P;
    P.reserve(Points.size());
    for (const TPointF& Q : Points) {
        if (!Finite(Q)) continue;
        if (P.empty() || std::hypot(Q.X - P.back().X, Q.Y - P.back().Y) > 1e-9) P.push_back(Q);
    }
    if (Closed && P.size() > 2 &&
        std::hypot(P.front().X - P.back().X, P.front().Y - P.back().Y) <= 1e-9)
        P.pop_back();
    TPolygonSet Pieces;
    auto Add = [&](TPolygon Q) {
        double A = SignedArea(Q);
        if (std::fabs(A) < 1e-12) return;
        if (A < 0) std::reverse(Q.begin(), Q.end());
        Pieces.push_back(std::move(Q));
    };
    if (P.size() == 1) {
        Add(EllipsePolygon(P[0].X, P[0].Y, H, H));
        FillPolygons(Pieces, frWinding, TPaint::Solid(Color));
        return;
    }
    size_t n = P.size();
    size_t Segs = Closed ? n : n - 1;
    for (size_t i = 0; i < Segs; ++i) {
        TPointF a = P[i], b = P[(i + 1) % n];
        double dx = b.X - a.X, dy = b.Y - a.Y, len = std::hypot(dx, dy);
        double nx = -dy / len * H, ny = dx / len * H;
        Add({{a.X + nx, a.Y + ny},
             {b.X + nx, b.Y + ny},
             {b.X - nx, b.Y - ny},
             {a.X - nx, a.Y - ny}});
    }
    // Round joins: the wedge between two consecutive segments' outer sides.
    auto Join = [&](TPointF prev, TPointF v, TPointF next) {
        double a0 = std::atan2(-(v.Y - prev.Y), v.X - prev.X);
        double a1 = std::atan2(-(next.Y - v.Y), next.X - v.X);
        double turn = a1 - a0;
        while (turn > kPi) turn -= 2 * kPi;
        while (turn < -kPi) turn += 2 * kPi;
        if (std::fabs(turn) < 1e-9) return;
        // The outer side is to the right of the travel direction for a left turn.
        double s0 = turn > 0 ? a0 - kPi / 2 : a0 + kPi / 2;
        TPolygon W{v};
        AppendEllipseArc(W, v.X, v.Y, H, H, s0, s0 + turn);
        Add(std::move(W));
    };
    for (size_t i = Closed ? 0 : 1; i < (Closed ? n : n - 1); ++i)
        Join(P[(i + n - 1) % n], P[i], P[(i + 1) % n]);
    if (!Closed) {
        Add(EllipsePolygon(P.front().X, P.front().Y, H, H));
        Add(EllipsePolygon(P.back().X, P.back().Y, H, H));
    }
    FillPolygons(Pieces, frWinding, TPaint::Solid(Color));
}

void TRasterizer::DrawMonoBitmap(const uint8_t* Bits, int Width, int Rows, int Pitch, int X, int Y,
                                 TRGB Color) {
    if (!Bits || Width <= 0 || Rows <= 0) return;
    int x0 = std::max(X, FClip.Left),
        x1 = std::min<long>(static_cast<long>(X) + Width, FClip.Right);
    int y0 = std::max(Y, FClip.Top), y1 = std::min<long>(static_cast<long>(Y) + Rows, FClip.Bottom);
    if (x1 <= x0 || y1 <= y0) return;
    if (!Spend(static_cast<uint64_t>(x1 - x0) * static_cast<uint64_t>(y1 - y0))) return;
    for (int y = y0; y < y1; ++y) {
        const uint8_t* Row = Bits + static_cast<ptrdiff_t>(y - Y) * Pitch;
        ForClipped(y, x0, x1, [&](int A, int B) {
            for (int x = A; x < B; ++x) {
                int bx = x - X;
                if (Row[bx >> 3] & (0x80 >> (bx & 7))) Put(x, y, Color);
            }
        });
    }
}

void TRasterizer::StretchImage(const TImage& Src, int64_t SX, int64_t SY, int64_t SW, int64_t SH,
                               double X0, double Y0, double X1, double Y1, TBlitOp Op) {
    if (Src.Width <= 0 || Src.Height <= 0 || SW == 0 || SH == 0) return;
    if (!std::isfinite(X0) || !std::isfinite(X1) || !std::isfinite(Y0) || !std::isfinite(Y1))
        return;
    bool MirrorX = (X1 < X0) != (SW < 0), MirrorY = (Y1 < Y0) != (SH < 0);
    if (SW < 0) {
        SX += SW;
        SW = -SW;
    }
    if (SH < 0) {
        SY += SH;
        SH = -SH;
    }
    double L = std::min(X0, X1), R = std::max(X0, X1), T = std::min(Y0, Y1), B = std::max(Y0, Y1);
    int dl = ClampCeil(L, FClip.Left, FClip.Right), dr = ClampCeil(R, FClip.Left, FClip.Right);
    int dt = ClampCeil(T, FClip.Top, FClip.Bottom), db = ClampCeil(B, FClip.Top, FClip.Bottom);
    if (dr <= dl || db <= dt || R - L <= 0 || B - T <= 0) return;
    if (!Spend(static_cast<uint64_t>(dr - dl) * static_cast<uint64_t>(db - dt))) return;
    double ScaleX = SW / (R - L), ScaleY = SH / (B - T);
    // Source offsets as 64-bit numbers: a picture may give any 32-bit rectangle.
    std::vector<int64_t> Col(static_cast<size_t>(dr - dl));
    for (int x = dl; x < dr; ++x) {
        double u = std::clamp((x - L + 0.5) * ScaleX, 0.0, static_cast<double>(SW - 1));
        int64_t sx = static_cast<int64_t>(std::floor(u));
        if (MirrorX) sx = SW - 1 - sx;
        Col[static_cast<size_t>(x - dl)] = SX + sx;
    }
    for (int y = dt; y < db; ++y) {
        double v = std::clamp((y - T + 0.5) * ScaleY, 0.0, static_cast<double>(SH - 1));
        int64_t sy = static_cast<int64_t>(std::floor(v));
        if (MirrorY) sy = SH - 1 - sy;
        int64_t ry = SY + sy;
        if (ry < 0 || ry >= Src.Height) continue;
        ForClipped(y, dl, dr, [&](int A, int E) {
            for (int x = A; x < E; ++x) {
                int64_t rx = Col[static_cast<size_t>(x - dl)];
                if (rx < 0 || rx >= Src.Width) continue;
                TRGB s = Src.At(static_cast<int>(rx), static_cast<int>(ry));
                TRGB d;
                switch (Op) {
                case boSrcCopy:
                    d = s;
                    break;
                case boSrcPaint:
                    d = Get(x, y) | s;
                    break;
                case boSrcAnd:
                    d = Get(x, y) & s;
                    break;
                case boSrcInvert:
                    d = Get(x, y) ^ s;
                    break;
                case boNotSrcCopy:
                    d = ~s & 0xFFFFFF;
                    break;
                case boSrcErase:
                    d = s & ~Get(x, y) & 0xFFFFFF;
                    break;
                default:
                    d = s;
                    break;
                }
                Put(x, y, d);
            }
        });
    }
}

void TRasterizer::InvertRect(const TIntRect& R) {
    int L = std::max(R.Left, FClip.Left), T = std::max(R.Top, FClip.Top);
    int Rt = std::min(R.Right, FClip.Right), B = std::min(R.Bottom, FClip.Bottom);
    if (Rt <= L || B <= T) return;
    if (!Spend(static_cast<uint64_t>(Rt - L) * static_cast<uint64_t>(B - T))) return;
    for (int y = T; y < B; ++y)
        ForClipped(y, L, Rt, [&](int A, int E) {
            for (int x = A; x < E; ++x) Put(x, y, ~Get(x, y) & 0xFFFFFF);
        });
}

} // namespace mv::raster
