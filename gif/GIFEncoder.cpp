// Encoder base, sub-block writer, hashed string table and the LZW compressor.
#include "gif/GIFEncoder.h"

#include "gif/GIFLimits.h"
#include "gif/RLEEncoder.h"

#include <algorithm>
#include <cstring>

namespace mv {

// ---------------------------------------------------------------------------
// THashTable

THashTable::THashTable() : FSlots(new uint32_t[HashTableSize]) {
    Reset();
}

THashTable::~THashTable() = default;

void THashTable::Reset() {
    std::memset(FSlots.get(), 0xFF, sizeof(uint32_t) * HashTableSize);
    FOverflowCount = 0;
}

void THashTable::Add(int32_t Key, int16_t Code) {
    const uint32_t Entry =
        (static_cast<uint32_t>(Key) << 12) | (static_cast<uint32_t>(Code) & 0xFFF);
    int32_t Slot = KeySlot(Key);
    for (int32_t Probes = 0; Probes < MaxProbes; ++Probes) {
        if ((FSlots[Slot] >> 12) == (HashEmptySlot >> 12)) {
            FSlots[Slot] = Entry;
            return;
        }
        Slot = NextSlot(Slot);
    }
    // Every slot this key's probe walk can reach is taken: keep the entry aside. The encoder
    // adds at most 4094 entries between resets, so the list never needs more room than that.
    if (!FOverflow) FOverflow.reset(new uint32_t[LZWTableSize]);
    if (FOverflowCount < LZWTableSize) FOverflow[FOverflowCount++] = Entry;
}

int16_t THashTable::FindOverflow(int32_t Key) const {
    const uint32_t Wanted = static_cast<uint32_t>(Key);
    for (int32_t i = 0; i < FOverflowCount; ++i)
        if ((FOverflow[i] >> 12) == Wanted) return static_cast<int16_t>(FOverflow[i] & 0xFFF);
    return -1;
}

// ---------------------------------------------------------------------------
// TGIFStream, TGIFWriter

TGIFStream::TGIFStream(TStream& Target) : FTarget(Target) {
    FBuffer[0] = 0;
}

int64_t TGIFStream::Read(void*, int64_t) {
    throw Exception(gifmsg::InvalidStream);
}
int64_t TGIFStream::Write(const void*, int64_t) {
    throw Exception(gifmsg::InvalidStream);
}
int64_t TGIFStream::Seek(int64_t, TSeekOrigin) {
    throw Exception(gifmsg::InvalidStream);
}

void TGIFStream::FlushBuffer() {
    if (FFillPos <= 0) return;
    const int32_t Count = FFillPos;
    FBuffer[0] = static_cast<uint8_t>(Count - 1);
    FFillPos = 1;
    FTarget.WriteBuffer(FBuffer, Count);
}

TGIFWriter::~TGIFWriter() {
    if (!FPending) return;
    try {
        FlushBlock();
    } catch (...) {
        // A destructor cannot pass the error on; Encode flushes explicitly on its normal path.
    }
}

int64_t TGIFWriter::Write(const void* Buffer, int64_t Count) {
    FPending = true;
    const uint8_t* Source = static_cast<const uint8_t*>(Buffer);
    int64_t Left = Count;
    while (Left > 0) {
        const int64_t Room = 256 - FFillPos;
        const int64_t N = std::min(Left, Room);
        std::memcpy(FBuffer + FFillPos, Source, static_cast<size_t>(N));
        FFillPos += static_cast<int32_t>(N);
        Source += N;
        Left -= N;
        if (FFillPos >= 256) FlushBlock();
    }
    return Count;
}

void TGIFWriter::FlushBlock() {
    FPending = false;
    FlushBuffer();
}

// ---------------------------------------------------------------------------
// TGIFEncoder

TGIFEncoder::~TGIFEncoder() = default;

void TGIFEncoder::ColorError() {
    RaiseGIFError(gifmsg::InvalidColor);
}

void TGIFEncoder::Encode(TStream& Stream, uint8_t BitsPerPixel, int32_t Width, int32_t Height,
                         bool Interlaced, const uint8_t* Pixels, int32_t ColorCount) {
    // Codes are at most 12 bits: the clear and end codes must fit below 4096.
    if (BitsPerPixel > MaxLZWMinCodeSize) RaiseGIFError(gifmsg::InvalidData);
    FColorCount = ColorCount;
    FRootBits = BitsPerPixel < 2 ? 2 : BitsPerPixel;
    FDest = &Stream;
    FFrameWidth = Width;
    FFrameHeight = Height;
    FInterlaced = Interlaced;
    FPixels = Pixels;
    FStartCodeWidth = FRootBits + 1;

    Stream.Write(&FRootBits, 1);

    FCodeWidth = FStartCodeWidth;
    FCodeCeiling = LargestCode(FCodeWidth);
    FClearValue = static_cast<int16_t>(1 << FRootBits);
    FEndValue = static_cast<int16_t>(FClearValue + 1);
    FFirstFree = static_cast<int16_t>(FClearValue + 2);
    FBitBuffer = 0;
    FBitCount = 0;
    FJustCleared = false;
    FLeftInRow = Interlaced ? int64_t{Width} : int64_t{Width} * Height;
    FRow = 0;
    FPass = 0;
    FCursor = Pixels;

    FBlockWriter = std::make_unique<TGIFWriter>(Stream);
    try {
        if (Pixels && Height > 0 && Width > 0) EncodePixels();
        EmitCode(FEndValue);
    } catch (...) {
        FBlockWriter.reset(); // still writes the buffered bytes; no terminator follows
        throw;
    }
    if (FBlockWriter->Pending()) FBlockWriter->FlushBlock();
    FBlockWriter.reset();
    WriteOneByte(Stream, 0);
}

void TGIFEncoder::EmitCode(int32_t Code) {
    PackCode(Code);
}

void TGIFEncoder::EmitClear() {
    FJustCleared = true;
    EmitCode(FClearValue);
}

namespace {
// Interlace passes: first row and row step of each.
constexpr int32_t PassStart[4] = {0, 4, 2, 1};
constexpr int32_t PassStep[4] = {8, 8, 4, 2};
} // namespace

bool TGIFEncoder::NextPixel() {
    if (--FLeftInRow > 0) return true;
    if (!FInterlaced) return false;
    FLeftInRow = FFrameWidth;
    FRow += PassStep[FPass];
    while (FRow >= FFrameHeight) {
        if (++FPass > 3) return false;
        FRow = PassStart[FPass];
    }
    FCursor = FPixels + static_cast<int64_t>(FRow) * FFrameWidth;
    return true;
}

// ---------------------------------------------------------------------------
// TLZWEncoder

void TLZWEncoder::EmitLZWCode(int32_t Code) {
    PackCode(Code);
    if (FNextCode > FCodeCeiling || FJustCleared) {
        if (FJustCleared) {
            FCodeWidth = FStartCodeWidth;
            FCodeCeiling = LargestCode(FCodeWidth);
            FJustCleared = false;
        } else {
            ++FCodeWidth;
            FCodeCeiling =
                FCodeWidth == MaxLZWCodeBits ? int16_t{LZWTableSize} : LargestCode(FCodeWidth);
        }
    }
}

void TLZWEncoder::EmitCode(int32_t Code) {
    EmitLZWCode(Code);
}

void TLZWEncoder::EmitClear() {
    TGIFEncoder::EmitClear();
    FTable->Reset();
    FNextCode = static_cast<int16_t>(FClearValue + 2);
}

// The compressor loop keeps its state in locals: the bit accumulator, the code width and the
// table walk stay in registers, and whole output bytes collect in a local buffer that goes to
// the sub-block writer in large pieces. The bits, codes and bytes are those of EmitCode,
// EmitClear, NextPixel and THashTable Find/Add one pixel at a time.
void TLZWEncoder::EncodePixels() {
    FTable = std::make_unique<THashTable>();
    struct TableGuard {
        std::unique_ptr<THashTable>& Table;
        ~TableGuard() { Table.reset(); }
    } Guard{FTable};

    EmitClear();

    constexpr size_t OutChunk = 16384;
    uint8_t Out[OutChunk + 16];
    size_t OutCount = 0;
    // Hand the bytes collected so far to the writer.
    auto FlushOut = [&] {
        if (OutCount) FBlockWriter->Write(Out, static_cast<int64_t>(OutCount));
        OutCount = 0;
    };

    uint64_t Acc = FBitBuffer & ((1u << FBitCount) - 1);
    int32_t AccBits = FBitCount;
    int32_t CodeWidth = FCodeWidth;
    int32_t Ceiling = FCodeCeiling;
    int32_t NextCode = FNextCode;
    const int32_t StartWidth = FStartCodeWidth;
    const int32_t ClearValue = FClearValue;
    const uint32_t ColorCount = FColorCount < 0 ? 0u : static_cast<uint32_t>(FColorCount);
    THashTable& TableRef = *FTable;
    uint32_t* Slots = const_cast<uint32_t*>(TableRef.Slots());

    // Packs one code and does TLZWEncoder::EmitCode's width bookkeeping.
    auto Emit = [&](int32_t Code, bool Cleared) {
        Acc |= static_cast<uint64_t>(Code) << AccBits;
        AccBits += CodeWidth;
        std::memcpy(Out + OutCount, &Acc, 8);
        const int32_t Bytes = AccBits >> 3;
        OutCount += static_cast<size_t>(Bytes);
        Acc >>= Bytes * 8;
        AccBits &= 7;
        if (NextCode > Ceiling || Cleared) {
            if (Cleared) {
                CodeWidth = StartWidth;
                Ceiling = (1 << CodeWidth) - 1;
            } else {
                ++CodeWidth;
                Ceiling = CodeWidth == MaxLZWCodeBits ? LZWTableSize : (1 << CodeWidth) - 1;
            }
        }
    };
    // Puts the local state back into the fields (the end code goes out through EmitCode).
    auto Store = [&] {
        FlushOut();
        FBitBuffer = static_cast<uint32_t>(Acc);
        FBitCount = AccBits;
        FCodeWidth = CodeWidth;
        FCodeCeiling = static_cast<int16_t>(Ceiling);
        FNextCode = static_cast<int16_t>(NextCode);
        FJustCleared = false;
    };

    const uint8_t First = FPixels[0];
    if (First >= ColorCount) {
        Store();
        ColorError();
    }
    int32_t Prefix = First;

    // A memo in front of the hash table: for each prefix code, the last two (pixel, code) pairs
    // the table answered or was given for it, most recent in the low half. Table entries never
    // change until a reset, so a memo hit is exactly what Find would answer; on scans (long
    // runs of paper with a little noise) it saves almost every hash walk.
    // Half entry: bit 20 set, code in bits 8..19, pixel in bits 0..7; 0 = nothing known.
    std::unique_ptr<uint64_t[]> Memo(new uint64_t[LZWTableSize]());
    constexpr uint32_t MemoValid = 1u << 20;
    auto Remember = [&](int32_t ForPrefix, int32_t Code, uint32_t Pixel) {
        const uint64_t Entry = MemoValid | (static_cast<uint32_t>(Code) << 8) | Pixel;
        Memo[ForPrefix] = (Memo[ForPrefix] << 32) | Entry;
    };

    // Rows in coding order: the whole frame as one stretch, or the interlaced rows.
    const int64_t Width = FFrameWidth;
    const int64_t Height = FFrameHeight;
    int32_t Pass = 0;
    int64_t Row = 0;
    const uint8_t* P = FPixels + 1;
    const uint8_t* End = FInterlaced ? FPixels + Width : FPixels + Width * Height;
    for (;;) {
        for (; P < End; ++P) {
            const uint32_t C = *P;
            if (C >= ColorCount) {
                Store();
                FPrefixCode = static_cast<int16_t>(Prefix);
                ColorError();
            }
            const uint64_t Known = Memo[Prefix];
            const uint32_t Recent = static_cast<uint32_t>(Known);
            const uint32_t Older = static_cast<uint32_t>(Known >> 32);
            const uint32_t Wanted = MemoValid | C;
            const bool RecentHit = (Recent & (MemoValid | 0xFF)) == Wanted;
            const bool OlderHit = (Older & (MemoValid | 0xFF)) == Wanted;
            if (RecentHit | OlderHit) {
                const uint32_t Hit = RecentHit ? Recent : Older;
                Prefix = static_cast<int32_t>((Hit >> 8) & 0xFFF);
                continue;
            }
            const int32_t Key = (Prefix << 8) | static_cast<int32_t>(C);
            int32_t Slot = KeySlot(Key);
            int32_t Found = -1;
            bool HaveEmpty = false;
            for (int32_t Probes = 0; Probes < THashTable::MaxProbes; ++Probes) {
                const uint32_t Entry = Slots[Slot];
                const uint32_t EntryKey = Entry >> 12;
                if (EntryKey == static_cast<uint32_t>(Key)) {
                    Found = static_cast<int32_t>(Entry & 0xFFF);
                    break;
                }
                if (EntryKey == (HashEmptySlot >> 12)) {
                    HaveEmpty = true;
                    break;
                }
                Slot = NextSlot(Slot);
            }
            if (Found < 0 && !HaveEmpty) Found = TableRef.Find(Key);
            if (Found >= 0) {
                Remember(Prefix, Found, C);
                Prefix = Found;
                continue;
            }
            Emit(Prefix, false);
            if (NextCode >= LZWTableSize - 1) {
                // Table full: clear code at the current width, then back to the start width.
                Emit(ClearValue, true);
                TableRef.Reset();
                std::memset(Memo.get(), 0, sizeof(uint64_t) * LZWTableSize);
                NextCode = ClearValue + 2;
            } else {
                // Add stops at the empty slot the lookup just met.
                if (HaveEmpty)
                    Slots[Slot] =
                        (static_cast<uint32_t>(Key) << 12) | static_cast<uint32_t>(NextCode);
                else
                    TableRef.Add(Key, static_cast<int16_t>(NextCode));
                Remember(Prefix, NextCode, C);
                ++NextCode;
            }
            Prefix = static_cast<int32_t>(C);
            if (OutCount >= OutChunk) FlushOut();
        }
        if (!FInterlaced) break;
        // Next row in interlace order.
        Row += PassStep[Pass];
        while (Row >= Height) {
            if (++Pass > 3) break;
            Row = PassStart[Pass];
        }
        if (Pass > 3) break;
        P = FPixels + Row * Width;
        End = P + Width;
    }
    Emit(Prefix, false);
    Store();
    FPrefixCode = static_cast<int16_t>(Prefix);
}

std::unique_ptr<TGIFEncoder> CreateGIFEncoder(TGIFCompressionMethod Method) {
    if (Method == cpRunLength) return std::make_unique<TRLEEncoder>();
    return std::make_unique<TLZWEncoder>();
}

} // namespace mv
