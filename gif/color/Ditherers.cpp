#include "gif/color/Ditherers.h"

#include <algorithm>
#include <iterator>
#include <typeinfo>
#include <utility>

namespace mv {

namespace {

// Runs Fn with the lookup as its concrete class, so that the row loops inline its mapping;
// a lookup of another class is used through its virtual MapColor.
template <class F> void WithLookup(TColorLookup* Lookup, F&& Fn) {
    switch (Lookup->Kind()) {
    case TLookupKind::Fast:
        Fn(*static_cast<TFastColorLookup*>(Lookup));
        break;
    case TLookupKind::Netscape:
        Fn(*static_cast<TNetscapeColorLookup*>(Lookup));
        break;
    case TLookupKind::GrayScale:
        Fn(*static_cast<TGrayScaleLookup*>(Lookup));
        break;
    case TLookupKind::Monochrome:
        Fn(*static_cast<TMonochromeLookup*>(Lookup));
        break;
    default:
        Fn(*Lookup);
        break;
    }
}

// A channel corrected by the error waiting for it: c + (accumulated + half) div divisor, the
// division truncating toward zero, then clamped to 0..255.
template <int32_t Divisor> inline int32_t Corrected(uint8_t Channel, int32_t Accumulated) {
    int32_t V = Channel + (Accumulated + Divisor / 2) / Divisor;
    return V < 0 ? 0 : (V > 255 ? 255 : V);
}

// One weight of a kernel: row 0 is the current row; an offset of +1 is one column ahead in
// the direction of travel.
struct TTap {
    int32_t Row;
    int32_t Offset;
    int32_t Weight;
};

struct TStuckiKernel {
    static constexpr int32_t Rows = 3, Divisor = 42;
    static constexpr TTap Taps[] = {{0, 1, 8},  {0, 2, 4}, {1, -2, 2}, {1, -1, 4},
                                    {1, 0, 8},  {1, 1, 4}, {1, 2, 2},  {2, -2, 1},
                                    {2, -1, 2}, {2, 0, 4}, {2, 1, 2},  {2, 2, 1}};
};
struct TSierraKernel {
    static constexpr int32_t Rows = 3, Divisor = 32;
    // The row after has weight 0 at -2 and +2.
    static constexpr TTap Taps[] = {{0, 1, 5}, {0, 2, 3}, {1, -2, 2}, {1, -1, 4}, {1, 0, 5},
                                    {1, 1, 4}, {1, 2, 2}, {2, -1, 2}, {2, 0, 3},  {2, 1, 2}};
};
struct TJaJuNiKernel {
    static constexpr int32_t Rows = 3, Divisor = 48;
    static constexpr TTap Taps[] = {{0, 1, 7},  {0, 2, 5}, {1, -2, 3}, {1, -1, 5},
                                    {1, 0, 7},  {1, 1, 5}, {1, 2, 3},  {2, -2, 1},
                                    {2, -1, 3}, {2, 0, 5}, {2, 1, 3},  {2, 2, 1}};
};
struct TSteveArcheKernel {
    static constexpr int32_t Rows = 4, Divisor = 200;
    static constexpr TTap Taps[] = {{0, 2, 32}, {1, -3, 12}, {1, -1, 26}, {1, 1, 30},
                                    {1, 3, 16}, {2, -2, 12}, {2, 0, 26},  {2, 2, 12},
                                    {3, -3, 5}, {3, -1, 12}, {3, 1, 12},  {3, 3, 5}};
};
struct TBurkesKernel {
    static constexpr int32_t Rows = 2, Divisor = 32;
    static constexpr TTap Taps[] = {{0, 1, 8}, {0, 2, 4}, {1, -2, 2}, {1, -1, 4},
                                    {1, 0, 8}, {1, 1, 4}, {1, 2, 2}};
};

template <class K> constexpr int32_t WeightSum() {
    int32_t Sum = 0;
    for (const TTap& T : K::Taps) Sum += T.Weight;
    return Sum;
}
static_assert(WeightSum<TStuckiKernel>() == TStuckiKernel::Divisor);
static_assert(WeightSum<TSierraKernel>() == TSierraKernel::Divisor);
static_assert(WeightSum<TJaJuNiKernel>() == TJaJuNiKernel::Divisor);
static_assert(WeightSum<TSteveArcheKernel>() == TSteveArcheKernel::Divisor);
static_assert(WeightSum<TBurkesKernel>() == TBurkesKernel::Divisor);

// Adds the weighted errors of Channels channels: At[r] points at the pixel's first channel entry
// in row r, Step is the distance to the entry one column ahead. The taps are unrolled at
// compile time.
template <class K, int Channels, size_t... I>
inline void SpreadTaps(int32_t* const* At, int32_t Step, const int32_t* Errors,
                       std::index_sequence<I...>) {
    auto Tap = [&](const TTap& T) {
        int32_t* P = At[T.Row] + T.Offset * Step;
        for (int Ch = 0; Ch < Channels; ++Ch) P[Ch] += Errors[Ch] * T.Weight;
    };
    (Tap(K::Taps[I]), ...);
}
template <class K, int Channels>
inline void SpreadTaps(int32_t* const* At, int32_t Step, const int32_t* Errors) {
    SpreadTaps<K, Channels>(At, Step, Errors, std::make_index_sequence<std::size(K::Taps)>());
}

template <class K> inline void SpreadChannel(int32_t* const* At, int32_t Step, int32_t Error) {
    if (Error != 0) SpreadTaps<K, 1>(At, Step, &Error);
}

// One pixel of a multi-row kernel: corrected colors from the current row's entry, the lookup,
// then all three channels' errors spread. Pos is the pixel's entry; rows hold 3 values per entry.
template <class K, class L>
inline uint8_t DiffuseStep(L& Lookup, const TErrorRows& Rows, int32_t Pos, int32_t Dir, uint8_t Red,
                           uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G, uint8_t& B) {
    int32_t* At[K::Rows];
    for (int32_t I = 0; I < K::Rows; ++I) At[I] = Rows.Row(I) + 3 * Pos;
    int32_t CR = Corrected<K::Divisor>(Red, At[0][0]);
    int32_t CG = Corrected<K::Divisor>(Green, At[0][1]);
    int32_t CB = Corrected<K::Divisor>(Blue, At[0][2]);
    uint8_t Index = Lookup.MapColor(static_cast<uint8_t>(CR), static_cast<uint8_t>(CG),
                                    static_cast<uint8_t>(CB), R, G, B);
    const int32_t Errors[3] = {CR - R, CG - G, CB - B};
    if ((Errors[0] | Errors[1] | Errors[2]) != 0) SpreadTaps<K, 3>(At, 3 * Dir, Errors);
    return Index;
}

template <class K, class L, int32_t Dir>
void DiffuseRun(L& Lookup, const TErrorRows& Rows, int32_t& Pos, int32_t& Column, int32_t Width,
                const uint8_t* BGR, uint8_t* Indices) {
    int32_t X = Column, P = Pos;
    uint8_t R, G, B;
    for (; X >= 0 && X < Width; X += Dir, P += Dir) {
        const uint8_t* S = BGR + 3 * X;
        Indices[X] = DiffuseStep<K>(Lookup, Rows, P, Dir, S[2], S[1], S[0], R, G, B);
    }
    Column = X;
    Pos = P;
}

template <class K>
void DiffuseRow(TColorLookup* Lookup, const TErrorRows& Rows, int32_t& Pos, int32_t& Column,
                int32_t Direction, int32_t Width, const uint8_t* BGR, uint8_t* Indices) {
    WithLookup(Lookup, [&](auto& L) {
        if (Direction > 0)
            DiffuseRun<K, std::remove_reference_t<decltype(L)>, 1>(L, Rows, Pos, Column, Width, BGR,
                                                                   Indices);
        else
            DiffuseRun<K, std::remove_reference_t<decltype(L)>, -1>(L, Rows, Pos, Column, Width,
                                                                    BGR, Indices);
    });
}

// Floyd-Steinberg's pixel step, per channel with P the entry, R the carry to the next pixel,
// B the carry below and BB the carry below-behind:
//   accumulated = row[P] + R; e = corrected - palette channel;
//   e <> 0: row[P] := BB + 3e; BB := B + 5e; B := e; R := 7e.   e = 0: R := 0 only.
template <class L>
inline uint8_t FloydStep(L& Lookup, int32_t* Row, TFloydSteinbergDitherer::TState& S, int32_t Dir,
                         uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                         uint8_t& B) {
    int32_t* E = Row + 3 * S.Position;
    int32_t C[3] = {Corrected<16>(Red, E[0] + S.Carry[0]), Corrected<16>(Green, E[1] + S.Carry[1]),
                    Corrected<16>(Blue, E[2] + S.Carry[2])};
    uint8_t Index = Lookup.MapColor(static_cast<uint8_t>(C[0]), static_cast<uint8_t>(C[1]),
                                    static_cast<uint8_t>(C[2]), R, G, B);
    const int32_t Got[3] = {R, G, B};
    // Written without branches (the sign of the error is noise on real pictures); with e = 0
    // the row entry, B and BB keep their values and R becomes 7 x 0.
    for (int Ch = 0; Ch < 3; ++Ch) {
        int32_t Err = C[Ch] - Got[Ch];
        bool Moved = Err != 0;
        int32_t Entry = S.BelowBehind[Ch] + 3 * Err;
        E[Ch] = Moved ? Entry : E[Ch];
        S.BelowBehind[Ch] = Moved ? S.Below[Ch] + 5 * Err : S.BelowBehind[Ch];
        S.Below[Ch] = Moved ? Err : S.Below[Ch];
        S.Carry[Ch] = 7 * Err;
    }
    S.Position += Dir;
    return Index;
}

template <class L, int32_t Dir>
void FloydRun(L& Lookup, int32_t* Row, TFloydSteinbergDitherer::TState& State, int32_t& Column,
              int32_t Width, const uint8_t* BGR, uint8_t* Indices) {
    TFloydSteinbergDitherer::TState S = State; // kept in registers through the row
    int32_t X = Column;
    uint8_t R, G, B;
    for (; X >= 0 && X < Width; X += Dir) {
        const uint8_t* P = BGR + 3 * X;
        Indices[X] = FloydStep(Lookup, Row, S, Dir, P[2], P[1], P[0], R, G, B);
    }
    Column = X;
    State = S;
}

} // namespace

// ---------------------------------------------------------------------------
// TDitherEngine

TDitherEngine::TDitherEngine(int32_t Width, TColorLookup* Lookup)
    : FLookup(Lookup), FWidth(std::max(Width, 0)) {}

uint8_t TDitherEngine::DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                                   uint8_t& B) {
    uint8_t Index = FLookup->MapColor(Red, Green, Blue, R, G, B);
    FColumn += FDirection;
    return Index;
}

void TDitherEngine::StartNextRow() {
    FDirection = -FDirection;
    FColumn = FDirection > 0 ? 0 : FWidth - 1;
}

void TDitherEngine::DitherRow(const uint8_t* BGR, uint8_t* Indices) {
    if (FColumn < 0 || FColumn >= FWidth) return;
    if (typeid(*this) == typeid(TDitherEngine)) {
        // The plain kind: the lookup maps the rest of the row in one call, in scan order.
        if (FDirection > 0) {
            FLookup->LookupRow(BGR + 3 * FColumn, Indices + FColumn, FWidth - FColumn, false);
            FColumn = FWidth;
        } else {
            FLookup->LookupRow(BGR, Indices, FColumn + 1, true);
            FColumn = -1;
        }
        return;
    }
    // A kind of unknown shape: pixel by pixel through its own DitherPixel.
    uint8_t R, G, B;
    while (FColumn >= 0 && FColumn < FWidth) {
        const uint8_t* P = BGR + 3 * FColumn;
        int32_t X = FColumn;
        Indices[X] = DitherPixel(P[2], P[1], P[0], R, G, B);
    }
}

// ---------------------------------------------------------------------------
// TErrorRows

TErrorRows::TErrorRows(int32_t Count, int32_t Width, int32_t Pad)
    : FCount(Count), FRowLength(3 * (static_cast<size_t>(std::max(Width, 0)) + 2 * Pad)) {
    FStore.assign(FRowLength * Count, 0);
    for (int32_t I = 0; I < Count; ++I) FRows[I] = FStore.data() + I * FRowLength;
}

void TErrorRows::Advance() {
    int32_t* Done = FRows[0];
    std::fill(Done, Done + FRowLength, 0);
    for (int32_t I = 0; I + 1 < FCount; ++I) FRows[I] = FRows[I + 1];
    FRows[FCount - 1] = Done;
}

// ---------------------------------------------------------------------------
// Floyd-Steinberg

TFloydSteinbergDitherer::TFloydSteinbergDitherer(int32_t Width, TColorLookup* Lookup)
    : TDitherEngine(Width, Lookup), FErrors(1, Width, 1) {}

uint8_t TFloydSteinbergDitherer::DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R,
                                             uint8_t& G, uint8_t& B) {
    // Outside the row there is no entry to work on: the color is mapped as it is.
    if (FColumn < 0 || FColumn >= FWidth)
        return TDitherEngine::DitherPixel(Red, Green, Blue, R, G, B);
    uint8_t Index =
        FloydStep(*FLookup, FErrors.Row(0), FState, FDirection, Red, Green, Blue, R, G, B);
    FColumn += FDirection;
    return Index;
}

void TFloydSteinbergDitherer::StartNextRow() {
    int32_t* E = FErrors.Row(0) + 3 * FState.Position;
    for (int Ch = 0; Ch < 3; ++Ch) {
        E[Ch] = FState.BelowBehind[Ch];
        FState.Carry[Ch] = FState.Below[Ch] = FState.BelowBehind[Ch] = 0;
    }
    TDitherEngine::StartNextRow();
    // Width + 1, not width: odd rows read the error row one entry further right.
    FState.Position = FDirection > 0 ? 0 : FWidth + 1;
}

void TFloydSteinbergDitherer::DitherRow(const uint8_t* BGR, uint8_t* Indices) {
    int32_t* Row = FErrors.Row(0);
    WithLookup(FLookup, [&](auto& L) {
        using TL = std::remove_reference_t<decltype(L)>;
        if (FDirection > 0)
            FloydRun<TL, 1>(L, Row, FState, FColumn, FWidth, BGR, Indices);
        else
            FloydRun<TL, -1>(L, Row, FState, FColumn, FWidth, BGR, Indices);
    });
}

// ---------------------------------------------------------------------------
// 5 x 3 kernels

T5by3Ditherer::T5by3Ditherer(int32_t Width, TColorLookup* Lookup, int32_t Divisor)
    : TDitherEngine(Width, Lookup), FErrors(3, Width, 2), FPosition(2),
      FDivisor(Divisor > 0 ? Divisor : 1) {}

uint8_t T5by3Ditherer::DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                                   uint8_t& B) {
    if (FColumn < 0 || FColumn >= FWidth)
        return TDitherEngine::DitherPixel(Red, Green, Blue, R, G, B);
    int32_t* At[3] = {FErrors.Row(0) + 3 * FPosition, FErrors.Row(1) + 3 * FPosition,
                      FErrors.Row(2) + 3 * FPosition};
    const int32_t Half = FDivisor / 2;
    int32_t C[3];
    const uint8_t In[3] = {Red, Green, Blue};
    for (int Ch = 0; Ch < 3; ++Ch)
        C[Ch] = std::clamp(In[Ch] + (At[0][Ch] + Half) / FDivisor, 0, 255);
    uint8_t Index =
        TDitherEngine::DitherPixel(static_cast<uint8_t>(C[0]), static_cast<uint8_t>(C[1]),
                                   static_cast<uint8_t>(C[2]), R, G, B);
    const int32_t Got[3] = {R, G, B};
    for (int Ch = 0; Ch < 3; ++Ch) SpreadError(At[0] + Ch, At[1] + Ch, At[2] + Ch, C[Ch] - Got[Ch]);
    FPosition += FDirection;
    return Index;
}

void T5by3Ditherer::StartNextRow() {
    FErrors.Advance();
    TDitherEngine::StartNextRow();
    FPosition = FDirection > 0 ? 2 : FWidth + 1;
}

namespace {
template <class K>
void Spread5by3(int32_t* Current, int32_t* Next, int32_t* After, int32_t Direction, int32_t Error) {
    int32_t* At[3] = {Current, Next, After};
    SpreadChannel<K>(At, 3 * Direction, Error);
}
} // namespace

TStuckiDitherer::TStuckiDitherer(int32_t Width, TColorLookup* Lookup)
    : T5by3Ditherer(Width, Lookup, TStuckiKernel::Divisor) {}
void TStuckiDitherer::SpreadError(int32_t* Current, int32_t* Next, int32_t* After, int32_t Error) {
    Spread5by3<TStuckiKernel>(Current, Next, After, FDirection, Error);
}
void TStuckiDitherer::DitherRow(const uint8_t* BGR, uint8_t* Indices) {
    DiffuseRow<TStuckiKernel>(FLookup, FErrors, FPosition, FColumn, FDirection, FWidth, BGR,
                              Indices);
}

TSierraDitherer::TSierraDitherer(int32_t Width, TColorLookup* Lookup)
    : T5by3Ditherer(Width, Lookup, TSierraKernel::Divisor) {}
void TSierraDitherer::SpreadError(int32_t* Current, int32_t* Next, int32_t* After, int32_t Error) {
    Spread5by3<TSierraKernel>(Current, Next, After, FDirection, Error);
}
void TSierraDitherer::DitherRow(const uint8_t* BGR, uint8_t* Indices) {
    DiffuseRow<TSierraKernel>(FLookup, FErrors, FPosition, FColumn, FDirection, FWidth, BGR,
                              Indices);
}

TJaJuNiDitherer::TJaJuNiDitherer(int32_t Width, TColorLookup* Lookup)
    : T5by3Ditherer(Width, Lookup, TJaJuNiKernel::Divisor) {}
void TJaJuNiDitherer::SpreadError(int32_t* Current, int32_t* Next, int32_t* After, int32_t Error) {
    Spread5by3<TJaJuNiKernel>(Current, Next, After, FDirection, Error);
}
void TJaJuNiDitherer::DitherRow(const uint8_t* BGR, uint8_t* Indices) {
    DiffuseRow<TJaJuNiKernel>(FLookup, FErrors, FPosition, FColumn, FDirection, FWidth, BGR,
                              Indices);
}

// ---------------------------------------------------------------------------
// Stevenson and Arce

TSteveArcheDitherer::TSteveArcheDitherer(int32_t Width, TColorLookup* Lookup)
    : TDitherEngine(Width, Lookup), FErrors(4, Width, 3), FPosition(3) {}

uint8_t TSteveArcheDitherer::DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R,
                                         uint8_t& G, uint8_t& B) {
    if (FColumn < 0 || FColumn >= FWidth)
        return TDitherEngine::DitherPixel(Red, Green, Blue, R, G, B);
    uint8_t Index = DiffuseStep<TSteveArcheKernel>(*FLookup, FErrors, FPosition, FDirection, Red,
                                                   Green, Blue, R, G, B);
    FColumn += FDirection;
    FPosition += FDirection;
    return Index;
}

void TSteveArcheDitherer::StartNextRow() {
    FErrors.Advance();
    TDitherEngine::StartNextRow();
    FPosition = FDirection > 0 ? 3 : FWidth + 2;
}

void TSteveArcheDitherer::DitherRow(const uint8_t* BGR, uint8_t* Indices) {
    DiffuseRow<TSteveArcheKernel>(FLookup, FErrors, FPosition, FColumn, FDirection, FWidth, BGR,
                                  Indices);
}

// ---------------------------------------------------------------------------
// Burkes

TBurkesDitherer::TBurkesDitherer(int32_t Width, TColorLookup* Lookup)
    : TDitherEngine(Width, Lookup), FErrors(2, Width, 2), FPosition(2) {}

uint8_t TBurkesDitherer::DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R,
                                     uint8_t& G, uint8_t& B) {
    if (FColumn < 0 || FColumn >= FWidth)
        return TDitherEngine::DitherPixel(Red, Green, Blue, R, G, B);
    uint8_t Index = DiffuseStep<TBurkesKernel>(*FLookup, FErrors, FPosition, FDirection, Red, Green,
                                               Blue, R, G, B);
    FColumn += FDirection;
    FPosition += FDirection;
    return Index;
}

void TBurkesDitherer::StartNextRow() {
    FErrors.Advance();
    TDitherEngine::StartNextRow();
    FPosition = FDirection > 0 ? 2 : FWidth + 1;
}

void TBurkesDitherer::DitherRow(const uint8_t* BGR, uint8_t* Indices) {
    DiffuseRow<TBurkesKernel>(FLookup, FErrors, FPosition, FColumn, FDirection, FWidth, BGR,
                              Indices);
}

// ---------------------------------------------------------------------------

std::unique_ptr<TDitherEngine> CreateDitherer(TDitherKind Kind, int32_t Width,
                                              TColorLookup* Lookup) {
    if (!Lookup) return nullptr;
    switch (Kind) {
    case dkNearest:
        return std::make_unique<TDitherEngine>(Width, Lookup);
    case dkFloydSteinberg:
        return std::make_unique<TFloydSteinbergDitherer>(Width, Lookup);
    case dkStucki:
        return std::make_unique<TStuckiDitherer>(Width, Lookup);
    case dkSierra:
        return std::make_unique<TSierraDitherer>(Width, Lookup);
    case dkJaJuNi:
        return std::make_unique<TJaJuNiDitherer>(Width, Lookup);
    case dkSteveArche:
        return std::make_unique<TSteveArcheDitherer>(Width, Lookup);
    case dkBurkes:
        return std::make_unique<TBurkesDitherer>(Width, Lookup);
    }
    return nullptr;
}

} // namespace mv
