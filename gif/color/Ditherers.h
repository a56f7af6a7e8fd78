// Ditherers: walk a picture in serpentine order (even rows left to right, odd rows right to
// left), ask a color lookup for each pixel's index and, for the diffusing kinds, spread the
// difference between the pixel and the chosen color over pixels not yet visited. All integer:
// errors are kept multiplied by the kernel weights, in units of 1/divisor of a color step.
#pragma once

#include "gif/color/ColorLookup.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace mv {

// How pixels are mapped to the palette. Stored by the GIF image as one byte.
enum TDitherKind : uint8_t {
    dkNearest = 0, // nearest color, no diffusion (the default)
    dkFloydSteinberg = 1,
    dkStucki = 2,
    dkSierra = 3,
    dkJaJuNi = 4,     // Jarvis, Judice and Ninke
    dkSteveArche = 5, // Stevenson and Arce
    dkBurkes = 6,
};

// The plain kind and the base of every ditherer. A caller maps a row by reading Column()
// before each DitherPixel and stopping when it leaves 0 .. width - 1 (or by one DitherRow),
// then calls StartNextRow once, also after the last row.
class TDitherEngine : public TObject {
public:
    // The lookup is not owned; it must outlive the ditherer. A negative width counts as 0.
    TDitherEngine(int32_t Width, TColorLookup* Lookup);
    std::string ClassName() const override { return "TDitherEngine"; }

    // Maps the pixel at the current column, gives back the palette color chosen and moves
    // the column by the direction.
    virtual uint8_t DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                                uint8_t& B);
    virtual void StartNextRow();
    // Maps the rest of the current row exactly as repeated DitherPixel calls would: from the
    // current column in the current direction until the column leaves the row. BGR holds the
    // whole row (blue, green, red per pixel); Indices[x] receives pixel x's index. The kinds
    // here run it without a virtual call per pixel.
    virtual void DitherRow(const uint8_t* BGR, uint8_t* Indices);

    int32_t Column() const { return FColumn; }
    int32_t Direction() const { return FDirection; }
    int32_t Width() const { return FWidth; }
    TColorLookup* Lookup() const { return FLookup; }

protected:
    int32_t FDirection = 1;
    int32_t FColumn = 0;
    TColorLookup* FLookup; // not owned
    int32_t FWidth;
};

// Error rows of one ditherer: Count rows of (width + 2 x Pad) entries, the three channels of an
// entry side by side (red, green, blue), so neighbouring columns are 3 values apart. Column x of
// the picture is entry x + Pad. Advance zero-fills the current row and rotates it to the end.
class TErrorRows {
public:
    TErrorRows(int32_t Count, int32_t Width, int32_t Pad);
    int32_t* Row(int32_t Index) const { return FRows[Index]; }
    void Advance();

private:
    std::vector<int32_t> FStore;
    std::array<int32_t*, 4> FRows{};
    int32_t FCount;
    size_t FRowLength;
};

// Floyd-Steinberg: weights 7 (next pixel), 3, 5, 1 (row below), over 16. One error row; the
// current pixel's contributions travel in three carried values per channel.
class TFloydSteinbergDitherer : public TDitherEngine {
public:
    TFloydSteinbergDitherer(int32_t Width, TColorLookup* Lookup);
    std::string ClassName() const override { return "TFloydSteinbergDitherer"; }
    uint8_t DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                        uint8_t& B) override;
    void StartNextRow() override;
    void DitherRow(const uint8_t* BGR, uint8_t* Indices) override;

    struct TState {
        int32_t Position = 0;        // entry of the error row for the current pixel
        int32_t Carry[3] = {};       // to the next pixel (R)
        int32_t Below[3] = {};       // below (B)
        int32_t BelowBehind[3] = {}; // below-behind (BB)
    };

private:
    TErrorRows FErrors; // one row of width + 2 entries
    TState FState;
};

// Kernels reaching two columns to each side and two rows down. Column x is entry x + 2.
class T5by3Ditherer : public TDitherEngine {
public:
    T5by3Ditherer(int32_t Width, TColorLookup* Lookup, int32_t Divisor);
    std::string ClassName() const override { return "T5by3Ditherer"; }
    uint8_t DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                        uint8_t& B) override;
    void StartNextRow() override;

    // Adds the weighted Error of one channel around the pixel: Current, Next and After point
    // at that channel's entry for the pixel in the three rows; the entry one column ahead (in
    // the direction of travel) is 3 x Direction() values further.
    virtual void SpreadError(int32_t* Current, int32_t* Next, int32_t* After, int32_t Error) = 0;

    int32_t Divisor() const { return FDivisor; }

protected:
    TErrorRows FErrors;
    int32_t FPosition; // entry of the current pixel, the same in all three rows
    int32_t FDivisor;
};

class TStuckiDitherer : public T5by3Ditherer {
public:
    TStuckiDitherer(int32_t Width, TColorLookup* Lookup);
    std::string ClassName() const override { return "TStuckiDitherer"; }
    void SpreadError(int32_t* Current, int32_t* Next, int32_t* After, int32_t Error) override;
    void DitherRow(const uint8_t* BGR, uint8_t* Indices) override;
};

class TSierraDitherer : public T5by3Ditherer {
public:
    TSierraDitherer(int32_t Width, TColorLookup* Lookup);
    std::string ClassName() const override { return "TSierraDitherer"; }
    void SpreadError(int32_t* Current, int32_t* Next, int32_t* After, int32_t Error) override;
    void DitherRow(const uint8_t* BGR, uint8_t* Indices) override;
};

class TJaJuNiDitherer : public T5by3Ditherer {
public:
    TJaJuNiDitherer(int32_t Width, TColorLookup* Lookup);
    std::string ClassName() const override { return "TJaJuNiDitherer"; }
    void SpreadError(int32_t* Current, int32_t* Next, int32_t* After, int32_t Error) override;
    void DitherRow(const uint8_t* BGR, uint8_t* Indices) override;
};

// Stevenson and Arce: three columns to each side, three rows down, over 200. Column x is
// entry x + 3.
class TSteveArcheDitherer : public TDitherEngine {
public:
    TSteveArcheDitherer(int32_t Width, TColorLookup* Lookup);
    std::string ClassName() const override { return "TSteveArcheDitherer"; }
    uint8_t DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                        uint8_t& B) override;
    void StartNextRow() override;
    void DitherRow(const uint8_t* BGR, uint8_t* Indices) override;

private:
    TErrorRows FErrors;
    int32_t FPosition;
};

// Burkes: two columns to each side, one row down, over 32. Column x is entry x + 2.
class TBurkesDitherer : public TDitherEngine {
public:
    TBurkesDitherer(int32_t Width, TColorLookup* Lookup);
    std::string ClassName() const override { return "TBurkesDitherer"; }
    uint8_t DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t& R, uint8_t& G,
                        uint8_t& B) override;
    void StartNextRow() override;
    void DitherRow(const uint8_t* BGR, uint8_t* Indices) override;

private:
    TErrorRows FErrors;
    int32_t FPosition;
};

// The ditherer of Kind for rows of Width pixels over Lookup; null for a value outside the
// enumeration or a null lookup.
std::unique_ptr<TDitherEngine> CreateDitherer(TDitherKind Kind, int32_t Width,
                                              TColorLookup* Lookup);

} // namespace mv
