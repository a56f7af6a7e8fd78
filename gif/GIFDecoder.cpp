// LZW decoder of GIF image data.
//
// Image data layout:
//   offset  size  field
//   0       1     LZW minimum code size (root bits); clear code = 1 shl it, end code = clear + 1
//   1       1     sub-block length n (1..255); 0 ends the data (the terminator)
//   2       n     n bytes of codes, least significant bit first, continuing across sub-blocks
//   ...           further sub-blocks, then the terminator
//
// Codes start root bits + 1 wide and grow by one bit when the next free code reaches 2^width,
// up to 12 bits; once code 4095 is defined no entries are added until the next clear code.
//
// Speed: the stream is read ahead in large pieces and the sub-block payloads are gathered into
// one contiguous bit buffer, so a code is one unaligned load, shift and mask. For frames that are
// not interlaced, every string of a well-formed table is a copy of pixels already in the frame
// buffer (the entry defined after string S at offset P is the |S| + 1 pixels at P), so a string
// is one copy instead of a walk through the table. Interlaced frames, and table states that only
// malformed data produces (a code beyond the next free one, or a non-root code right after a
// clear), go through the table walk with its pixel stack, which decodes exactly the same way on
// any data.
#include "gif/GIFDecoder.h"

#include "gif/GIFLimits.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace mv {

namespace {

constexpr int32_t PixelStackSize = 8192;

// Reads a stream ahead in pieces that grow from 4 KB to 256 KB, hands out its bytes in order,
// and at the end puts the stream back right after the last byte handed out or skipped.
class TReadAhead {
public:
    explicit TReadAhead(TStream& Stream) : FStream(Stream) {
        FStreamPos = Stream.Position();
        FBase = FStreamPos;
        FSize = std::max(Stream.Size(), FStreamPos);
    }

    bool GetByte(uint8_t& Value) {
        if (FPos == FEnd && !Fill()) return false;
        Value = FBuf[FPos++];
        return true;
    }
    bool PeekByte(uint8_t& Value) {
        if (FPos == FEnd && !Fill()) return false;
        Value = FBuf[FPos];
        return true;
    }
    // Copies Count bytes; "Premature end of data" when the stream delivers fewer than its size
    // promised.
    void GetBytes(uint8_t* Dest, size_t Count) {
        while (Count > 0) {
            if (FPos == FEnd && !Fill()) RaiseGIFError(gifmsg::PrematureEnd);
            const size_t N = std::min(Count, FEnd - FPos);
            std::memcpy(Dest, FBuf.data() + FPos, N);
            Dest += N;
            FPos += N;
            Count -= N;
        }
    }
    // Moves on by Count bytes without reading them (not past the end of the stream).
    void Skip(size_t Count) {
        if (Count <= FEnd - FPos) {
            FPos += Count;
            return;
        }
        const int64_t Target = std::min<int64_t>(Position() + static_cast<int64_t>(Count), FSize);
        FBase = Target;
        FPos = FEnd = 0;
    }
    int64_t Position() const { return FBase + static_cast<int64_t>(FPos); }
    // Bytes the stream's size promises after the current position.
    int64_t Remaining() const { return FSize - Position(); }
    void Restore() {
        if (FStreamPos != Position()) FStream.Seek(Position(), soBeginning);
    }

private:
    bool Fill() {
        FBase += static_cast<int64_t>(FEnd);
        FPos = FEnd = 0;
        if (FBase >= FSize) return false;
        if (FStreamPos != FBase) {
            FStream.Seek(FBase, soBeginning);
            FStreamPos = FBase;
        }
        const size_t Want = static_cast<size_t>(std::min<int64_t>(FChunk, FSize - FBase));
        if (FBuf.size() < Want) FBuf.resize(Want);
        size_t Got = 0;
        while (Got < Want) {
            const int64_t N = FStream.Read(FBuf.data() + Got, static_cast<int64_t>(Want - Got));
            if (N <= 0) break;
            Got += static_cast<size_t>(N);
        }
        FStreamPos += static_cast<int64_t>(Got);
        FEnd = Got;
        if (FChunk < MaxChunk) FChunk *= 2;
        return Got > 0;
    }

    static constexpr int64_t MaxChunk = 256 * 1024;
    TStream& FStream;
    std::vector<uint8_t> FBuf;
    size_t FPos = 0;
    size_t FEnd = 0;
    int64_t FBase = 0;      // stream position of FBuf[0]
    int64_t FStreamPos = 0; // where the stream itself stands
    int64_t FSize = 0;
    int64_t FChunk = 4096;
};

// Where decoding stopped.
enum TStop { stFull, stEndCode, stExhausted };

// Writes decoded pixels in the frame's row order.
struct TPixelSink {
    uint8_t* Pixels = nullptr;
    uint32_t Width = 0;
    uint32_t Height = 0;
    bool Interlaced = false;
    // Linear: position in the buffer; interlaced: row, pass and column.
    uint32_t Pos = 0;
    uint32_t Total = 0;
    uint32_t Row = 0;
    uint32_t Column = 0;
    int32_t Pass = 0;
    uint32_t RowsLeft = 0;

    // Stores N pixels; answers true once the frame is full (the rest of Src is dropped).
    bool Put(const uint8_t* Src, uint32_t N) {
        if (!Interlaced) {
            const uint32_t M = std::min(N, Total - Pos);
            std::memcpy(Pixels + Pos, Src, M);
            Pos += M;
            return Pos == Total;
        }
        while (N > 0) {
            const uint32_t M = std::min(N, Width - Column);
            std::memcpy(Pixels + static_cast<size_t>(Row) * Width + Column, Src, M);
            Src += M;
            N -= M;
            Column += M;
            if (Column == Width) {
                Column = 0;
                if (--RowsLeft == 0) return true;
                NextRow();
            }
        }
        return false;
    }
    bool Full() const { return Interlaced ? RowsLeft == 0 : Pos == Total; }

    void NextRow() {
        static constexpr uint32_t PassStart[4] = {0, 4, 2, 1};
        static constexpr uint32_t PassStep[4] = {8, 8, 4, 2};
        Row += PassStep[Pass];
        while (Row >= Height && Pass < 3) Row = PassStart[++Pass];
    }
};

inline void CopyString(uint8_t* Dest, const uint8_t* Src, uint32_t N) {
    // Src + N <= Dest: the ranges never overlap.
    if (N <= 16) {
        if (N >= 8) {
            uint64_t A, B;
            std::memcpy(&A, Src, 8);
            std::memcpy(&B, Src + N - 8, 8);
            std::memcpy(Dest, &A, 8);
            std::memcpy(Dest + N - 8, &B, 8);
        } else if (N >= 4) {
            uint32_t A, B;
            std::memcpy(&A, Src, 4);
            std::memcpy(&B, Src + N - 4, 4);
            std::memcpy(Dest, &A, 4);
            std::memcpy(Dest + N - 4, &B, 4);
        } else if (N >= 2) {
            uint16_t A, B;
            std::memcpy(&A, Src, 2);
            std::memcpy(&B, Src + N - 2, 2);
            std::memcpy(Dest, &A, 2);
            std::memcpy(Dest + N - 2, &B, 2);
        } else if (N == 1) {
            *Dest = *Src;
        }
    } else {
        std::memcpy(Dest, Src, N);
    }
}

class TDecoder {
public:
    TDecoder(TStream& Stream, TGIFItem* Reporter) : FInput(Stream), FReporter(Reporter) {}

    void Run(uint8_t* Pixels, int32_t Width, int32_t Height, bool Interlaced);

private:
    // --- codes
    int32_t ReadCode(int32_t Width) {
        if (FBitPos + static_cast<uint64_t>(Width) > FAvailBits && !Refill(Width)) return -1;
        uint32_t Word;
        std::memcpy(&Word, FBits.data() + (FBitPos >> 3), 4);
        const int32_t Code = static_cast<int32_t>((Word >> (FBitPos & 7)) & ((1u << Width) - 1));
        FBitPos += static_cast<uint64_t>(Width);
        return Code;
    }
    bool Refill(int32_t Need);
    bool FetchBlock(bool MustHave);
    void SkipToTerminator();
    void Warn(const char* Message) {
        if (FReporter) FReporter->ReportWarning(1, Message);
    }

    // --- tables
    void ResetRoots();
    void ResetCycle() {
        FCodeWidth = FRootBits + 1;
        FWidthLimit = 2 * FClear;
        FNextFree = FClear + 2;
    }
    void AddEntry(int32_t Prefix, uint8_t Pixel) {
        if (FNextFree <= LZWTableSize - 1) {
            FPrefix[FNextFree] = static_cast<uint16_t>(Prefix);
            FSuffix[FNextFree] = Pixel;
            ++FNextFree;
            if (FNextFree >= FWidthLimit && FWidthLimit <= LZWTableSize - 1) {
                FWidthLimit *= 2;
                ++FCodeWidth;
            }
        }
    }

    TStop DecodeCopying(uint8_t* Pixels, uint32_t Total);
    // Table walk from Code on. With ReturnOnClear it stops before a clear code (answering
    // stExhausted with FPendingClear set), so the copying decoder can take over again.
    TStop DecodeWalking(int32_t Code, bool AfterClear, bool ReturnOnClear);

    TReadAhead FInput;
    TGIFItem* FReporter;
    TPixelSink FSink;

    // Bit buffer: payload bytes of the sub-blocks read so far, from the first unread one.
    std::vector<uint8_t> FBits;
    size_t FBitsEnd = 0;
    uint64_t FBitPos = 0;
    uint64_t FAvailBits = 0;
    bool FTerminatorRead = false;
    bool FDataEnded = false; // a length byte was missing
    bool FUnderrunReported = false;
    bool FPendingClear = false;

    int32_t FRootBits = 0;
    int32_t FClear = 0;
    int32_t FEnd = 0;
    int32_t FCodeWidth = 0;
    int32_t FWidthLimit = 0;
    int32_t FNextFree = 0;
    int32_t FPrevious = 0;
    uint8_t FFirstPixel = 0;

    uint16_t FPrefix[LZWTableSize];
    uint8_t FSuffix[LZWTableSize];
    // Copying decoder: where each string code's pixels lie in the frame buffer, and how many.
    uint32_t FOffset[LZWTableSize];
    uint16_t FLength[LZWTableSize];
    uint8_t FStack[PixelStackSize];

    static constexpr size_t GatherBytes = 16384;
};

bool TDecoder::Refill(int32_t Need) {
    // Keep the unread bytes, drop the rest.
    const size_t Keep = static_cast<size_t>(FBitPos >> 3);
    if (Keep > 0) {
        std::memmove(FBits.data(), FBits.data() + Keep, FBitsEnd - Keep);
        FBitsEnd -= Keep;
        FBitPos -= Keep * 8;
    }
    // Gather sub-blocks up to GatherBytes. A sub-block the stream cannot hold in full is taken
    // only when its bits are needed now, so its warning comes when the code reaches it.
    while (FBitsEnd < GatherBytes) {
        const bool MustHave = FBitsEnd * 8 < FBitPos + static_cast<uint64_t>(Need);
        if (!FetchBlock(MustHave)) break;
    }
    FAvailBits = FBitsEnd * 8;
    if (FBitPos + static_cast<uint64_t>(Need) <= FAvailBits) return true;
    // The data holds no complete code any more. A code cut short by the terminator is not
    // completed from stale bytes: decoding stops there.
    if (FTerminatorRead && !FUnderrunReported) {
        FUnderrunReported = true;
        Warn(gifmsg::DecodeBitBufferUnderrun);
    }
    return false;
}

bool TDecoder::FetchBlock(bool MustHave) {
    if (FTerminatorRead || FDataEnded) return false;
    uint8_t Length;
    if (!FInput.PeekByte(Length)) {
        // Tolerated: the data stops without its terminator; quietly no more codes.
        FDataEnded = true;
        return false;
    }
    if (Length == 0) {
        FInput.Skip(1);
        FTerminatorRead = true;
        return false;
    }
    int64_t Count = Length;
    const int64_t Left = FInput.Remaining() - 1;
    if (Count > Left) {
        if (!MustHave) return false;
        // Tolerated: a sub-block longer than the rest of the stream; what is there is used.
        Warn(gifmsg::PrematureEnd);
        Count = std::max<int64_t>(Left, 0);
    }
    FInput.Skip(1);
    if (Count > 0) {
        FInput.GetBytes(FBits.data() + FBitsEnd, static_cast<size_t>(Count));
        FBitsEnd += static_cast<size_t>(Count);
    }
    return true;
}

// Tolerated: sub-blocks after the end code or after the last pixel are skipped unread.
void TDecoder::SkipToTerminator() {
    while (!FTerminatorRead && !FDataEnded) {
        uint8_t Length;
        if (!FInput.GetByte(Length)) {
            FDataEnded = true;
        } else if (Length == 0) {
            FTerminatorRead = true;
        } else {
            FInput.Skip(Length);
        }
    }
}

void TDecoder::ResetRoots() {
    std::memset(FPrefix, 0, sizeof(FPrefix));
    std::memset(FSuffix, 0, sizeof(FSuffix));
    for (int32_t i = 0; i < FClear; ++i) FSuffix[i] = static_cast<uint8_t>(i);
}

void TDecoder::Run(uint8_t* Pixels, int32_t Width, int32_t Height, bool Interlaced) {
    uint8_t RootBits;
    if (!FInput.GetByte(RootBits)) return; // no image data at all: nothing read, no warning
    try {
        // The clear code must leave room in the 4096-entry tables for the end code and more.
        if (RootBits > MaxLZWMinCodeSize) RaiseGIFError(gifmsg::InvalidData);
        FRootBits = RootBits;
        FClear = 1 << RootBits;
        FEnd = FClear + 1;
        ResetCycle();
        ResetRoots();
        FBits.assign(GatherBytes + 256 + 8, 0);

        const uint32_t W = Width > 0 ? static_cast<uint32_t>(Width) : 0;
        const uint32_t H = Height > 0 ? static_cast<uint32_t>(Height) : 0;
        const uint64_t Total64 = Pixels ? uint64_t{W} * H : 0;
        // Two 16-bit sides always fit; anything larger is refused rather than wrapped.
        if (Total64 > 0xFFFFFFFFu) RaiseGIFError(gifmsg::InvalidImageDimensions);
        FSink.Pixels = Pixels;
        FSink.Width = W;
        FSink.Height = H;
        FSink.Interlaced = Interlaced;
        FSink.Total = static_cast<uint32_t>(Total64);
        FSink.RowsLeft = Total64 ? H : 0;

        TStop Stop = stFull;
        if (Total64 == 0)
            Stop = stFull;
        else if (!Interlaced)
            Stop = DecodeCopying(Pixels, FSink.Total);
        else
            Stop = DecodeWalking(FClear, false, false);
        if (Stop != stExhausted) SkipToTerminator();
    } catch (...) {
        FInput.Restore();
        throw;
    }
    FInput.Restore();
}

TStop TDecoder::DecodeCopying(uint8_t* Out, uint32_t Total) {
    uint32_t Pos = 0;
    uint32_t PrevPos = 0;
    uint32_t PrevLen = 0;
    int32_t Prev = 0;
    int32_t Width = FCodeWidth;
    int32_t NextFree = FNextFree;
    int32_t Limit = FWidthLimit;
    const int32_t Clear = FClear;
    const int32_t End = FEnd;
    uint64_t BitPos = FBitPos;
    uint64_t Avail = FAvailBits;
    const uint8_t* Bits = FBits.data();
    bool AfterClear = false;
    int32_t Code = Clear; // decoding starts as after a clear code

    auto Define = [&](uint8_t First) {
        if (NextFree <= LZWTableSize - 1) {
            FOffset[NextFree] = PrevPos;
            FLength[NextFree] = static_cast<uint16_t>(PrevLen + 1);
            FPrefix[NextFree] = static_cast<uint16_t>(Prev);
            FSuffix[NextFree] = First;
            ++NextFree;
            if (NextFree >= Limit && Limit <= LZWTableSize - 1) {
                Limit *= 2;
                ++Width;
            }
        }
    };

    for (;;) {
        if (Code == Clear) {
            Width = FRootBits + 1;
            Limit = 2 * Clear;
            NextFree = Clear + 2;
            AfterClear = true;
        } else if (Code == End) {
            return stEndCode;
        } else if (AfterClear && Code < Clear) {
            AfterClear = false;
            Out[Pos] = static_cast<uint8_t>(Code);
            Prev = Code;
            PrevPos = Pos;
            PrevLen = 1;
            if (++Pos == Total) return stFull;
        } else if (Code < Clear) {
            Out[Pos] = static_cast<uint8_t>(Code);
            Define(static_cast<uint8_t>(Code));
            Prev = Code;
            PrevPos = Pos;
            PrevLen = 1;
            if (++Pos == Total) return stFull;
        } else if (!AfterClear && Code < NextFree) {
            const uint32_t Len = FLength[Code];
            if (Len >= Total - Pos) {
                CopyString(Out + Pos, Out + FOffset[Code], Total - Pos);
                return stFull;
            }
            CopyString(Out + Pos, Out + FOffset[Code], Len);
            Define(Out[Pos]);
            Prev = Code;
            PrevPos = Pos;
            PrevLen = Len;
            Pos += Len;
        } else if (!AfterClear && Code == NextFree) {
            // The code being defined: the previous string plus its own first pixel.
            const uint32_t Len = PrevLen + 1;
            if (Len >= Total - Pos) {
                const uint32_t Room = Total - Pos;
                CopyString(Out + Pos, Out + PrevPos, std::min(PrevLen, Room));
                if (Room > PrevLen) Out[Pos + PrevLen] = Out[PrevPos];
                return stFull;
            }
            CopyString(Out + Pos, Out + PrevPos, PrevLen);
            Out[Pos + PrevLen] = Out[PrevPos];
            Define(Out[PrevPos]);
            Prev = Code;
            PrevPos = Pos;
            PrevLen = Len;
            Pos += Len;
        } else {
            // A code beyond the table, or a non-root code right after a clear: only malformed
            // data does this. Codes not defined since the clear read as zero entries.
            for (int32_t i = NextFree; i < LZWTableSize; ++i) FPrefix[i] = 0, FSuffix[i] = 0;
            FCodeWidth = Width;
            FWidthLimit = Limit;
            FNextFree = NextFree;
            FPrevious = Prev;
            FFirstPixel = AfterClear ? 0 : Out[PrevPos];
            FBitPos = BitPos;
            FSink.Pos = Pos;
            const TStop Stop = DecodeWalking(Code, AfterClear, true);
            if (!FPendingClear) return Stop;
            FPendingClear = false;
            Pos = FSink.Pos;
            BitPos = FBitPos;
            Avail = FAvailBits;
            Code = Clear;
            continue;
        }
        // Next code.
        if (BitPos + static_cast<uint64_t>(Width) > Avail) {
            FBitPos = BitPos;
            if (!Refill(Width)) return stExhausted;
            BitPos = FBitPos;
            Avail = FAvailBits;
        }
        uint32_t Word;
        std::memcpy(&Word, Bits + (BitPos >> 3), 4);
        Code = static_cast<int32_t>((Word >> (BitPos & 7)) & ((1u << Width) - 1));
        BitPos += static_cast<uint64_t>(Width);
    }
}

TStop TDecoder::DecodeWalking(int32_t Code, bool AfterClear, bool ReturnOnClear) {
    for (;;) {
        if (Code == FClear) {
            if (ReturnOnClear) {
                FPendingClear = true;
                return stExhausted;
            }
            // Every string code reads as a zero entry until it is defined again.
            std::memset(FPrefix + FClear, 0, sizeof(FPrefix[0]) * (LZWTableSize - FClear));
            std::memset(FSuffix + FClear, 0, sizeof(FSuffix[0]) * (LZWTableSize - FClear));
            ResetCycle();
            AfterClear = true;
        } else if (Code == FEnd) {
            return stEndCode;
        } else if (AfterClear) {
            // The first code after a clear is taken as the pixel itself, root code or not.
            AfterClear = false;
            FFirstPixel = static_cast<uint8_t>(Code);
            FPrevious = Code;
            if (FSink.Put(&FFirstPixel, 1)) return stFull;
        } else {
            int32_t Top = PixelStackSize;
            int32_t W = Code;
            if (Code >= FNextFree) {
                FStack[--Top] = FFirstPixel;
                W = FPrevious;
            }
            while (W >= FClear) {
                // A string longer than the stack can only come from entries that loop.
                if (Top == 0) RaiseGIFError(gifmsg::DecodeCircular);
                FStack[--Top] = FSuffix[W];
                if (FPrefix[W] == W) RaiseGIFError(gifmsg::DecodeCircular);
                W = FPrefix[W];
            }
            if (Top == 0) RaiseGIFError(gifmsg::DecodeCircular);
            FFirstPixel = FSuffix[W];
            FStack[--Top] = FFirstPixel;
            AddEntry(FPrevious, FFirstPixel);
            FPrevious = Code;
            if (FSink.Put(FStack + Top, static_cast<uint32_t>(PixelStackSize - Top))) return stFull;
        }
        Code = ReadCode(FCodeWidth);
        if (Code < 0) return stExhausted;
    }
}

} // namespace

void DecodeImageData(TStream& Stream, uint8_t* Pixels, int32_t Width, int32_t Height,
                     bool Interlaced, TGIFItem* Reporter) {
    auto Decoder = std::make_unique<TDecoder>(Stream, Reporter);
    Decoder->Run(Pixels, Width, Height, Interlaced);
}

} // namespace mv
