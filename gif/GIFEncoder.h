// Encoders of GIF image data: the shared base (minimum code size byte, LSB-first bit packing,
// interlaced pixel order, data sub-blocks, terminator), the hashed LZW compressor and the
// sub-block writer.
#pragma once

#include "gif/GIFBase.h"

#include <cstdint>
#include <memory>

namespace mv {

enum TGIFCompressionMethod : uint8_t { cpLZW = 0, cpRunLength = 1 };

// ---------------------------------------------------------------------------
// Hashed string table of the LZW encoder.
//
// 8009 slots of 32 bits. A taken slot holds (Key shl 12) or Code: the key (prefix code shl 8 or
// pixel) in the upper 20 bits, the code in the lower 12. An empty slot is 0xFFFFFFFF; a slot is
// empty exactly when its upper 20 bits are all ones (no key reaches that: prefixes stay below
// 4095), so Reset is one byte fill.
//
// The probe step (NextSlot) doubles the slot modulo 8009, which walks one of two cycles of 4004
// slots (slot 0 leads into one of them). A cycle can in principle fill up with 6-bit or smaller
// frames; then Add keeps the entry in a small overflow list and Find searches it after a full
// walk of the cycle, so neither ever loops forever nor loses an entry. Which codes are found is
// all that reaches the output, so the coded bytes do not depend on where entries are kept.
inline constexpr int32_t HashTableSize = 8009;
inline constexpr uint32_t HashEmptySlot = 0xFFFFFFFFu;

inline int32_t KeySlot(int32_t Key) {
    return ((Key >> 4) ^ Key) % HashTableSize;
}
// Steps back by (8009 - Slot), by 1 from slot 0: so slot 0 leads to 8008, and any other slot S
// to 2S mod 8009.
inline int32_t NextSlot(int32_t Slot) {
    const int32_t Step = Slot == 0 ? 1 : HashTableSize - Slot;
    const int32_t S = Slot - Step;
    return S < 0 ? S + HashTableSize : S;
}

class THashTable : public TObject {
public:
    THashTable();
    ~THashTable() override;
    THashTable(const THashTable&) = delete;
    THashTable& operator=(const THashTable&) = delete;
    std::string ClassName() const override { return "THashTable"; }

    void Reset();
    void Add(int32_t Key, int16_t Code);
    // The code stored for Key, or -1.
    int16_t Find(int32_t Key) const {
        const uint32_t Wanted = static_cast<uint32_t>(Key);
        int32_t Slot = KeySlot(Key);
        for (int32_t Probes = 0; Probes < MaxProbes; ++Probes) {
            const uint32_t Entry = FSlots[Slot];
            const uint32_t EntryKey = Entry >> 12;
            if (EntryKey == Wanted) return static_cast<int16_t>(Entry & 0xFFF);
            if (EntryKey == (HashEmptySlot >> 12)) return -1;
            Slot = NextSlot(Slot);
        }
        return FindOverflow(Key);
    }

    const uint32_t* Slots() const { return FSlots.get(); }
    int32_t OverflowCount() const { return FOverflowCount; }

    // A probe walk from any start has met every slot it can reach after this many steps.
    static constexpr int32_t MaxProbes = 4005;

private:
    int16_t FindOverflow(int32_t Key) const;

    std::unique_ptr<uint32_t[]> FSlots;
    // Entries whose probe cycle had no empty slot (at most a few dozen, only at low bit depths).
    std::unique_ptr<uint32_t[]> FOverflow;
    int32_t FOverflowCount = 0;
};

// ---------------------------------------------------------------------------
// Streams of the encoders. Read, Write and Seek on a bare TGIFStream raise Exception
// "Invalid stream operation"; so does whatever builds on them (Position, Size).

class TGIFStream : public TStream {
public:
    explicit TGIFStream(TStream& Target);
    std::string ClassName() const override { return "TGIFStream"; }

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;

protected:
    // Writes the buffered bytes as one sub-block (byte 0 = length) and empties the buffer.
    void FlushBuffer();

    TStream& FTarget;
    uint8_t FBuffer[256];
    int32_t FFillPos = 1; // next free byte; 1 when empty
};

// Cuts the bytes written to it into data sub-blocks of 255 bytes (the last one 1..255). It
// never writes the zero-length terminator.
class TGIFWriter : public TGIFStream {
public:
    explicit TGIFWriter(TStream& Target) : TGIFStream(Target) {}
    // Writes the pending sub-block; a write error there is dropped (callers that must see it
    // call FlushBlock themselves first).
    ~TGIFWriter() override;
    std::string ClassName() const override { return "TGIFWriter"; }

    int64_t Write(const void* Buffer, int64_t Count) override;
    void PutByte(uint8_t Value) {
        FPending = true;
        FBuffer[FFillPos++] = Value;
        if (FFillPos == 256) FlushBlock();
    }
    void FlushBlock();
    bool Pending() const { return FPending; }

private:
    bool FPending = false;
};

// ---------------------------------------------------------------------------
// Base of the frame data encoders. One object serves one Encode call.

class TGIFEncoder : public TObject {
public:
    ~TGIFEncoder() override;
    std::string ClassName() const override { return "TGIFEncoder"; }

    // Writes the image data of a Width x Height frame of one byte per pixel: the minimum code
    // size (BitsPerPixel, at least 2), the coded pixels in data sub-blocks, and the terminator.
    // Every pixel must be below ColorCount ("Color not in color table"; then the buffered bytes
    // are written and the terminator is not). Without pixels, or with a zero side, only the end
    // code is coded.
    void Encode(TStream& Stream, uint8_t BitsPerPixel, int32_t Width, int32_t Height,
                bool Interlaced, const uint8_t* Pixels, int32_t ColorCount);

    // (1 shl Bits) - 1
    static int16_t LargestCode(int32_t Bits) { return static_cast<int16_t>((1 << Bits) - 1); }

protected:
    TGIFEncoder() = default;

    virtual void EmitCode(int32_t Code);
    virtual void EmitClear();
    virtual void EncodePixels() = 0;

    // After the pixel at FCursor - 1: whether another follows (then FCursor points at it).
    bool NextPixel();
    // Raises "Color not in color table".
    [[noreturn]] static void ColorError();

    // Packs Code at FCodeWidth, least significant bit first (no width bookkeeping).
    void PackCode(int32_t Code) {
        if (FBitCount > 0)
            FBitBuffer =
                (static_cast<uint32_t>(Code) << FBitCount) | (FBitBuffer & ((1u << FBitCount) - 1));
        else
            FBitBuffer = static_cast<uint32_t>(Code);
        FBitCount += FCodeWidth;
        while (FBitCount >= 8) {
            FBlockWriter->PutByte(static_cast<uint8_t>(FBitBuffer));
            FBitBuffer >>= 8;
            FBitCount -= 8;
        }
        if (Code == FEndValue) {
            while (FBitCount > 0) {
                FBlockWriter->PutByte(static_cast<uint8_t>(FBitBuffer));
                FBitBuffer >>= 8;
                FBitCount -= 8;
            }
        }
    }

    int32_t FColorCount = 0;
    uint8_t FRootBits = 0;
    TStream* FDest = nullptr;
    int32_t FFrameWidth = 0;
    int32_t FFrameHeight = 0;
    bool FInterlaced = false;
    const uint8_t* FPixels = nullptr;
    std::unique_ptr<TGIFWriter> FBlockWriter;
    uint32_t FBitBuffer = 0;
    int32_t FBitCount = 0;
    bool FJustCleared = false;
    int32_t FCodeWidth = 0;
    int32_t FStartCodeWidth = 0;
    int16_t FCodeCeiling = 0;
    int16_t FClearValue = 0;
    int16_t FEndValue = 0;
    int16_t FFirstFree = 0;
    const uint8_t* FCursor = nullptr;
    int64_t FLeftInRow = 0; // 64-bit: a whole frame's pixel count may pass 2^31
    int32_t FRow = 0;
    int32_t FPass = 0;
};

// True LZW with the hashed string table: string codes from the clear code + 2 up to 4094; when
// 4094 is taken, the next miss emits its prefix and a clear code.
class TLZWEncoder : public TGIFEncoder {
public:
    TLZWEncoder() = default;
    std::string ClassName() const override { return "TLZWEncoder"; }

protected:
    void EmitCode(int32_t Code) override;
    void EmitClear() override;
    void EncodePixels() override;

private:
    void EmitLZWCode(int32_t Code);

    int16_t FPrefixCode = 0;
    int16_t FNextCode = 0;
    std::unique_ptr<THashTable> FTable;
};

// A new encoder for Method: cpRunLength gives the run-length encoder, any other value LZW.
std::unique_ptr<TGIFEncoder> CreateGIFEncoder(TGIFCompressionMethod Method);

} // namespace mv
