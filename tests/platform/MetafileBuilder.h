// Writes small enhanced and Windows metafiles record by record, for tests, benchmarks and
// fuzz seeds.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace mv::testing {

class TByteWriter {
public:
    std::vector<uint8_t> Bytes;
    void U8(uint8_t V) { Bytes.push_back(V); }
    void U16(uint16_t V) { U8(V & 0xFF), U8(V >> 8); }
    void U32(uint32_t V) { U16(V & 0xFFFF), U16(V >> 16); }
    void F32(float F) {
        uint32_t V;
        std::memcpy(&V, &F, 4);
        U32(V);
    }
    void Pad4() {
        while (Bytes.size() % 4) U8(0);
    }
    void Put32(size_t At, uint32_t V) {
        for (int i = 0; i < 4; ++i) Bytes[At + i] = static_cast<uint8_t>(V >> (8 * i));
    }
};

// A bottom-up 24-bit DIB (BITMAPINFOHEADER, then the bits), rows given top first as
// 0x00RRGGBB pixels.
inline void WriteDib24(TByteWriter& W, int Width, const std::vector<std::vector<uint32_t>>& Rows,
                       std::vector<uint8_t>* BitsOut = nullptr) {
    int Height = static_cast<int>(Rows.size());
    TByteWriter Bits;
    for (int y = Height - 1; y >= 0; --y) {
        for (int x = 0; x < Width; ++x) {
            uint32_t C = Rows[static_cast<size_t>(y)][static_cast<size_t>(x)];
            Bits.U8(C & 0xFF), Bits.U8((C >> 8) & 0xFF), Bits.U8((C >> 16) & 0xFF);
        }
        Bits.Pad4();
    }
    W.U32(40), W.U32(static_cast<uint32_t>(Width)), W.U32(static_cast<uint32_t>(Height));
    W.U16(1), W.U16(24), W.U32(0), W.U32(static_cast<uint32_t>(Bits.Bytes.size()));
    W.U32(0), W.U32(0), W.U32(0), W.U32(0);
    if (BitsOut)
        *BitsOut = Bits.Bytes;
    else
        W.Bytes.insert(W.Bytes.end(), Bits.Bytes.begin(), Bits.Bytes.end());
}

// Enhanced metafile at 96 pixels per inch: the reference device is 960 x 960 pixels on
// 254 x 254 mm, and the frame is Width x Height pixels (exact for multiples of 48).
class TEmfBuilder {
public:
    TEmfBuilder(int Width, int Height, uint16_t Handles = 16) {
        W.U32(1), W.U32(88);
        W.U32(0), W.U32(0), W.U32(static_cast<uint32_t>(Width - 1)),
            W.U32(static_cast<uint32_t>(Height - 1));
        W.U32(0), W.U32(0);
        W.U32(static_cast<uint32_t>(Width * 2540 / 96)),
            W.U32(static_cast<uint32_t>(Height * 2540 / 96));
        W.U32(0x464D4520), W.U32(0x10000), W.U32(0), W.U32(0);
        W.U16(Handles), W.U16(0), W.U32(0), W.U32(0), W.U32(0);
        W.U32(960), W.U32(960), W.U32(254), W.U32(254);
        Records = 1;
    }

    // A record of 32-bit fields.
    TEmfBuilder& Rec(uint32_t Type, std::initializer_list<int32_t> Fields) {
        W.U32(Type), W.U32(static_cast<uint32_t>(8 + 4 * Fields.size()));
        for (int32_t F : Fields) W.U32(static_cast<uint32_t>(F));
        ++Records;
        return *this;
    }
    // A record with raw bytes after type and size (padded to 4).
    TEmfBuilder& Raw(uint32_t Type, const std::vector<uint8_t>& Body) {
        size_t Size = (8 + Body.size() + 3) & ~size_t{3};
        W.U32(Type), W.U32(static_cast<uint32_t>(Size));
        W.Bytes.insert(W.Bytes.end(), Body.begin(), Body.end());
        W.Pad4();
        ++Records;
        return *this;
    }

    TEmfBuilder& Pen(uint32_t Index, int Width, uint32_t ColorRef, int Style = 0) {
        return Rec(38,
                   {static_cast<int32_t>(Index), Style, Width, 0, static_cast<int32_t>(ColorRef)});
    }
    TEmfBuilder& Brush(uint32_t Index, int Style, uint32_t ColorRef, int Hatch = 0) {
        return Rec(39, {static_cast<int32_t>(Index), Style, static_cast<int32_t>(ColorRef), Hatch});
    }
    TEmfBuilder& Select(uint32_t Index) { return Rec(37, {static_cast<int32_t>(Index)}); }
    TEmfBuilder& Ellipse(int L, int T, int R, int B) { return Rec(42, {L, T, R, B}); }
    TEmfBuilder& Rectangle(int L, int T, int R, int B) { return Rec(43, {L, T, R, B}); }
    TEmfBuilder& Points(uint32_t Type, const std::vector<std::pair<int, int>>& Pts) {
        std::vector<int32_t> F{0, 0, 0, 0, static_cast<int32_t>(Pts.size())};
        for (auto [x, y] : Pts) F.push_back(x), F.push_back(y);
        W.U32(Type), W.U32(static_cast<uint32_t>(8 + 4 * F.size()));
        for (int32_t V : F) W.U32(static_cast<uint32_t>(V));
        ++Records;
        return *this;
    }
    TEmfBuilder& Font(uint32_t Index, int Height, const std::u16string& Face, int Escapement = 0,
                      int Weight = 400, int Charset = 1) {
        W.U32(82), W.U32(12 + 92);
        W.U32(Index), W.U32(static_cast<uint32_t>(Height)), W.U32(0),
            W.U32(static_cast<uint32_t>(Escapement)), W.U32(static_cast<uint32_t>(Escapement));
        W.U32(static_cast<uint32_t>(Weight));
        W.U8(0), W.U8(0), W.U8(0), W.U8(static_cast<uint8_t>(Charset));
        W.U8(0), W.U8(0), W.U8(0), W.U8(0);
        for (size_t i = 0; i < 32; ++i) W.U16(i < Face.size() ? Face[i] : 0);
        ++Records;
        return *this;
    }
    TEmfBuilder& Text(int X, int Y, const std::u16string& S, const std::vector<int>& Dx = {}) {
        size_t Start = W.Bytes.size();
        W.U32(84), W.U32(0);
        for (int i = 0; i < 4; ++i) W.U32(0); // bounds
        W.U32(1), W.F32(1), W.F32(1);         // graphics mode, scales
        W.U32(static_cast<uint32_t>(X)), W.U32(static_cast<uint32_t>(Y));
        W.U32(static_cast<uint32_t>(S.size()));
        W.U32(76);                            // string offset
        W.U32(0);                             // options
        for (int i = 0; i < 4; ++i) W.U32(0); // rectangle
        size_t DxAt = W.Bytes.size();
        W.U32(0);
        for (char16_t c : S) W.U16(c);
        W.Pad4();
        if (!Dx.empty()) {
            W.Put32(DxAt, static_cast<uint32_t>(W.Bytes.size() - Start));
            for (int D : Dx) W.U32(static_cast<uint32_t>(D));
        }
        W.Put32(Start + 4, static_cast<uint32_t>(W.Bytes.size() - Start));
        ++Records;
        return *this;
    }
    // StretchDIBits of a 24-bit DIB onto the destination rectangle, SRCCOPY.
    TEmfBuilder& StretchDib(int X, int Y, int CX, int CY, int DibW,
                            const std::vector<std::vector<uint32_t>>& Rows) {
        TByteWriter Info;
        std::vector<uint8_t> Bits;
        WriteDib24(Info, DibW, Rows, &Bits);
        uint32_t DibH = static_cast<uint32_t>(Rows.size());
        size_t Start = W.Bytes.size();
        W.U32(81), W.U32(0);
        for (int i = 0; i < 4; ++i) W.U32(0);
        W.U32(static_cast<uint32_t>(X)), W.U32(static_cast<uint32_t>(Y)), W.U32(0), W.U32(0);
        W.U32(static_cast<uint32_t>(DibW)), W.U32(DibH);
        W.U32(80), W.U32(40), W.U32(120), W.U32(static_cast<uint32_t>(Bits.size()));
        W.U32(0), W.U32(0x00CC0020), W.U32(static_cast<uint32_t>(CX)),
            W.U32(static_cast<uint32_t>(CY));
        W.Bytes.insert(W.Bytes.end(), Info.Bytes.begin(), Info.Bytes.end());
        W.Bytes.insert(W.Bytes.end(), Bits.begin(), Bits.end());
        W.Pad4();
        W.Put32(Start + 4, static_cast<uint32_t>(W.Bytes.size() - Start));
        ++Records;
        return *this;
    }

    std::vector<uint8_t> Finish() {
        TByteWriter Out = W;
        Out.U32(14), Out.U32(20), Out.U32(0), Out.U32(16), Out.U32(20);
        Out.Put32(48, static_cast<uint32_t>(Out.Bytes.size()));
        Out.Put32(52, Records + 1);
        return Out.Bytes;
    }

    TByteWriter W;
    uint32_t Records = 0;
};

// Windows metafile; placeable when UnitsPerInch is not 0.
class TWmfBuilder {
public:
    TWmfBuilder(int BoxRight = 0, int BoxBottom = 0, int UnitsPerInch = 0, uint16_t Objects = 8) {
        if (UnitsPerInch) {
            W.U32(0x9AC6CDD7), W.U16(0), W.U16(0), W.U16(0);
            W.U16(static_cast<uint16_t>(BoxRight)), W.U16(static_cast<uint16_t>(BoxBottom));
            W.U16(static_cast<uint16_t>(UnitsPerInch)), W.U32(0), W.U16(0);
        }
        HeaderAt = W.Bytes.size();
        W.U16(1), W.U16(9), W.U16(0x300), W.U32(0), W.U16(Objects), W.U32(0), W.U16(0);
    }
    TWmfBuilder& Rec(uint16_t Function, std::initializer_list<int> Words) {
        W.U32(static_cast<uint32_t>(3 + Words.size())), W.U16(Function);
        for (int V : Words) W.U16(static_cast<uint16_t>(V));
        return *this;
    }
    TWmfBuilder& RecBytes(uint16_t Function, const std::vector<uint8_t>& Body) {
        std::vector<uint8_t> B = Body;
        if (B.size() % 2) B.push_back(0);
        W.U32(static_cast<uint32_t>(3 + B.size() / 2)), W.U16(Function);
        W.Bytes.insert(W.Bytes.end(), B.begin(), B.end());
        return *this;
    }
    std::vector<uint8_t> Finish() {
        TByteWriter Out = W;
        Out.U32(3), Out.U16(0);
        Out.Put32(HeaderAt + 6, static_cast<uint32_t>((Out.Bytes.size() - HeaderAt) / 2));
        return Out.Bytes;
    }
    TByteWriter W;
    size_t HeaderAt = 0;
};

} // namespace mv::testing
