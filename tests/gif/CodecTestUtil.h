// Helpers of the codec tests: LSB-first code packing with the decoder's width rule, sub-block
// framing, and a warning recorder.
#pragma once

#include "gif/GIFBase.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mv::codectest {

using Bytes = std::vector<uint8_t>;

// Packs codes least significant bit first. The width follows the decoder: root bits + 1 after a
// clear; every code but the first after a clear defines an entry, and the width grows when the
// next free code reaches 2^width (up to 12 bits).
inline Bytes PackCodes(int Root, const std::vector<int>& Codes) {
    const int Clear = 1 << Root;
    int Width = Root + 1, NextFree = Clear + 2;
    bool First = true;
    uint64_t Acc = 0;
    int Bits = 0;
    Bytes Out;
    for (int Code : Codes) {
        Acc |= uint64_t(Code) << Bits;
        Bits += Width;
        while (Bits >= 8) {
            Out.push_back(uint8_t(Acc));
            Acc >>= 8;
            Bits -= 8;
        }
        if (Code == Clear) {
            Width = Root + 1;
            NextFree = Clear + 2;
            First = true;
        } else if (First) {
            First = false;
        } else if (NextFree < 4096) {
            ++NextFree;
            if (NextFree >= (1 << Width) && Width < 12) ++Width;
        }
    }
    if (Bits > 0) Out.push_back(uint8_t(Acc));
    return Out;
}

// Minimum code size, Payload in sub-blocks of BlockSize bytes, and the terminator when asked.
inline Bytes FrameData(int Root, const Bytes& Payload, size_t BlockSize = 255,
                       bool Terminator = true) {
    Bytes Out{uint8_t(Root)};
    for (size_t i = 0; i < Payload.size(); i += BlockSize) {
        const size_t N = std::min(BlockSize, Payload.size() - i);
        Out.push_back(uint8_t(N));
        Out.insert(Out.end(), Payload.begin() + i, Payload.begin() + i + N);
    }
    if (Terminator) Out.push_back(0);
    return Out;
}

// An item that keeps the warnings reported to it.
class TWarningRecorder : public TGIFItem {
public:
    TWarningRecorder() : TGIFItem(nullptr) {}
    void ReportWarning(uint8_t Severity, const std::string& Message) override {
        Warnings.push_back(std::to_string(Severity) + ":" + Message);
    }
    void SaveToStream(TStream&) override {}
    void LoadFromStream(TStream&) override {}
    std::vector<std::string> Warnings;
};

// Deterministic pseudo-random numbers for test data.
struct TRandom {
    uint64_t State;
    explicit TRandom(uint64_t Seed) : State(Seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t Next() {
        State ^= State << 13;
        State ^= State >> 7;
        State ^= State << 17;
        return uint32_t(State >> 16);
    }
};

} // namespace mv::codectest
