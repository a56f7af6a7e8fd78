// Text for our metafile player: fontconfig chooses the face for a face name, weight and slant
// (falling back character by character to any installed face that has the character, CJK
// faces preferred for CJK names and character sets), FreeType renders the glyphs in
// monochrome, aliased, optionally rotated.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mv::text {

struct TFontRequest {
    std::string Face;     // UTF-8 face name as the picture gives it ("Arial", "宋体", "")
    double EmPixels = 16; // em size in device pixels
    int Weight = 400;     // 100..900; 600 and above is bold
    bool Italic = false;
    int Charset = 1;         // the picture's character-set number (134 = GB2312, ...)
    double AngleDegrees = 0; // counter-clockwise rotation of the glyphs
};

// One rendered glyph: a 1-bit bitmap (most significant bit first) whose top left pixel lies
// at (Left, -Top) from the glyph's origin on the baseline, y pointing down.
struct TGlyph {
    int Left = 0, Top = 0;
    int Width = 0, Rows = 0, Pitch = 0;
    std::vector<uint8_t> Bits;
    double Advance = 0; // unrotated advance along the baseline, pixels
};

struct TFontMetrics {
    double Ascent = 0;  // pixels above the baseline
    double Descent = 0; // pixels below the baseline (positive)
};

// Em size for a cell height (ascent + descent) of CellPixels in the face the request picks.
double EmForCellHeight(const TFontRequest& Request, double CellPixels);
TFontMetrics Metrics(const TFontRequest& Request);
// The glyph for one character, or null when no installed face can draw anything for it
// (or the size is beyond what we render). Glyphs are cached.
std::shared_ptr<const TGlyph> Glyph(const TFontRequest& Request, char32_t Code);
// True when at least one face could be loaded (fonts are installed).
bool Available();

// Decodes bytes of a picture's 8-bit text in the code page of a character set number.
std::u32string DecodeCharset(const std::string& Bytes, int Charset);
std::u32string DecodeUTF16(const uint16_t* Units, size_t Count);

} // namespace mv::text
