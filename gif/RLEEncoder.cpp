// The run-length encoder. It follows the decoder's table by counting codes: after a clear and
// one single-pixel code p, the code the decoder is about to define decodes as "p p" (the
// previous string plus its own first pixel), the one after it as "p p p", and so on. So runs of
// one value go out as codes the decoder has just defined, and no string table is kept here.
#include "gif/RLEEncoder.h"

#include "gif/GIFLimits.h"

namespace mv {

int32_t IntSqrt(int32_t X) {
    if (X < 2) return X;
    int32_t R = 1;
    int32_t T = X;
    do {
        T /= 4;
        R *= 2;
    } while (T != 0);
    for (;;) {
        const int32_t A = (R + X / R) / 2;
        if (A == R || A == R + 1) return R;
        R = A;
    }
}

int32_t TRLEEncoder::TriangleCost(int32_t Count, int32_t Longest) {
    const int64_t T = int64_t{Longest} * (Longest + 1) / 2;
    if (T <= 0) return Count;
    int64_t Cost = (Count / T) * Longest;
    const int64_t M = Count % T;
    if (M > 0) {
        int64_t B = IntSqrt(static_cast<int32_t>(M));
        while (B * (B + 1) >= 2 * M) --B;
        while (B * (B + 1) < 2 * M) ++B;
        Cost += B;
    }
    return static_cast<int32_t>(Cost);
}

void TRLEEncoder::EncodePixels() {
    FFirstWiden = FClearValue - 1;
    // With 4 or more bits per pixel a clear comes before the decoder's first width growth
    // while no run table is in use.
    FPlainClearLimit = FRootBits <= 3 ? 9 : FClearValue - 2;
    FTableRoom = LargestCode(MaxLZWCodeBits) - FFirstFree;
    EmitClear();
    FCursor = FPixels;
    FRunPixel = -1;
    int32_t Run = 0;
    do {
        const int32_t C = *FCursor++;
        if (C >= FColorCount) ColorError();
        if (Run > 0 && C != FRunPixel) {
            SendRun(Run);
            Run = 0;
        }
        if (C == FRunPixel) {
            ++Run;
        } else {
            FRunPixel = C;
            Run = 1;
        }
    } while (NextPixel());
    SendRun(Run);
}

void TRLEEncoder::EmitCounted(int32_t Code) {
    FJustCleared = false;
    PackCode(Code);
    ++FCodesSinceClear;
    if (FCodesSinceClear >= FNextWiden) {
        FNextWiden += 1 << FCodeWidth;
        ++FCodeWidth;
    }
    if (FCodesSinceClear >= FClearLimit) EmitClear();
}

void TRLEEncoder::EmitClear() {
    FNextWiden = FFirstWiden;
    FClearLimit = FPlainClearLimit;
    FCodesSinceClear = 0;
    FLongestRun = 0;
    TGIFEncoder::EmitClear();
    FCodeWidth = FStartCodeWidth;
}

void TRLEEncoder::RestoreClearLimit() {
    FClearLimit = FPlainClearLimit;
    if (FCodesSinceClear >= FClearLimit) EmitClear();
}

void TRLEEncoder::SendRun(int32_t Count) {
    if (Count == 1)
        EmitCounted(FRunPixel);
    else if (FJustCleared)
        SendFreshRun(Count);
    else if (FLongestRun >= 2 && FTablePixel == FRunPixel)
        SendRunFromTable(Count);
    else
        SendRunByRepeat(Count);
}

// The decoder's table is empty: send runs of 1, 2, 3, ... which it stores as they come.
void TRLEEncoder::SendFreshRun(int32_t Count) {
    LiftClearLimit();
    FTablePixel = FRunPixel;
    int32_t K = 1;
    while (Count > 0) {
        if (K == 1) {
            FLongestRun = 1;
            EmitCounted(FRunPixel);
            Count -= 1;
        } else if (K <= Count) {
            FLongestRun = K;
            EmitCounted(FFirstFree + K - 2);
            Count -= K;
        } else {
            ++FLongestRun; // the decoder stores one more run with this code
            EmitCounted(Count == 1 ? FRunPixel : FFirstFree + Count - 2);
            break;
        }
        K = FCodesSinceClear == 0 ? 1 : K + 1;
    }
    RestoreClearLimit();
}

// The decoder holds runs of 2 to FLongestRun of this pixel.
void TRLEEncoder::SendRunFromTable(int32_t Count) {
    const int32_t L = FLongestRun;
    int32_t Q = Count / L;
    int32_t R = Count % L;
    int32_t E = R > 0 ? 1 : 0;
    if (FCodesSinceClear + Q + E > FTableRoom) {
        Q = FTableRoom - FCodesSinceClear;
        R = Count - Q * L;
        E = TriangleCost(R, FTableRoom) + 1;
    }
    if (TriangleCost(Count, FTableRoom) + 1 < Q + E) {
        EmitClear();
        SendFreshRun(Count);
        return;
    }
    LiftClearLimit();
    for (int32_t i = 0; i < Q; ++i) EmitCounted(FFirstFree + L - 2);
    if (R > 0) {
        if (FJustCleared)
            SendFreshRun(R); // the table filled up meanwhile
        else
            EmitCounted(R == 1 ? FRunPixel : FFirstFree + R - 2);
    }
    RestoreClearLimit();
}

// The decoder holds no runs of this pixel: repeat its code, unless a fresh table is cheaper.
void TRLEEncoder::SendRunByRepeat(int32_t Count) {
    if (TriangleCost(Count, FTableRoom) + 1 < Count) {
        EmitClear();
        SendFreshRun(Count);
        return;
    }
    for (int32_t i = 0; i < Count; ++i) EmitCounted(FRunPixel);
}

} // namespace mv
