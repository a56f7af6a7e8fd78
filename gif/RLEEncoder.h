// The run-length encoder: image data any GIF LZW decoder reads, made of single-pixel codes and
// of run codes the decoder has just defined, with no string table of its own.
#pragma once

#include "gif/GIFEncoder.h"

namespace mv {

class TRLEEncoder : public TGIFEncoder {
public:
    TRLEEncoder() = default;
    std::string ClassName() const override { return "TRLEEncoder"; }

    // Codes needed to send Count pixels as runs of 1, 2, 3, ..., restarting after Longest codes.
    static int32_t TriangleCost(int32_t Count, int32_t Longest);

protected:
    void EmitClear() override;
    void EncodePixels() override;

private:
    void EmitCounted(int32_t Code);
    void SendRun(int32_t Count);
    void SendFreshRun(int32_t Count);
    void SendRunFromTable(int32_t Count);
    void SendRunByRepeat(int32_t Count);
    void LiftClearLimit() { FClearLimit = FTableRoom; }
    void RestoreClearLimit();

    int32_t FTableRoom = 0;
    int32_t FFirstWiden = 0;
    int32_t FPlainClearLimit = 0;
    int32_t FRunPixel = -1;
    int32_t FLongestRun = 0;
    int32_t FTablePixel = 0;
    int32_t FCodesSinceClear = 0;
    int32_t FClearLimit = 0;
    int32_t FNextWiden = 0;
};

// floor(sqrt(X)) for X >= 0.
int32_t IntSqrt(int32_t X);

} // namespace mv
