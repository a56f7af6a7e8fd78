#include "platform/TextRender.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iconv.h>
#include <map>
#include <mutex>
#include <tuple>

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

namespace mv::text {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Largest em size we render; larger requests draw nothing (they would only make huge
// bitmaps).
constexpr double kMaxEmPixels = 4096;
constexpr size_t kGlyphCacheLimit = 4096;
constexpr size_t kChainCacheLimit = 64;

bool IsCJKCharset(int Charset) {
    return Charset == 128 || Charset == 129 || Charset == 130 || Charset == 134 || Charset == 136;
}

const char* CharsetLang(int Charset) {
    switch (Charset) {
    case 128:
        return "ja";
    case 129:
    case 130:
        return "ko";
    case 136:
        return "zh-tw";
    default:
        return "zh-cn";
    }
}

// Face names that Chinese, Japanese and Korean documents use; a name outside ASCII counts too.
bool IsCJKFaceName(const std::string& Face) {
    for (unsigned char c : Face)
        if (c >= 0x80) return true;
    static const char* const Names[] = {
        "simsun",          "nsimsun", "simhei",       "kaiti",          "fangsong",
        "microsoft yahei", "mingliu", "pmingliu",     "ms mincho",      "ms gothic",
        "batang",          "gulim",   "dfkai",        "stsong",         "stkaiti",
        "youyuan",         "lisu",    "kaiti_gb2312", "fangsong_gb2312"};
    std::string L;
    for (char c : Face) L += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* N : Names)
        if (L.rfind(N, 0) == 0) return true;
    return false;
}

struct TFaceEntry {
    FT_Face Face = nullptr;
    bool Bold = false;   // the face itself is bold
    bool Italic = false; // the face itself is slanted
};

struct TFontChain {
    TFontChain() = default;
    TFontChain(const TFontChain&) = delete;
    TFontChain& operator=(const TFontChain&) = delete;
    ~TFontChain() {
        if (Set) FcFontSetDestroy(Set);
    }
    FcFontSet* Set = nullptr;
    std::vector<FcCharSet*> CharSets; // per font of Set, owned by Set
    std::vector<int> FaceIndex;       // into TState::Faces, -1 not loaded yet, -2 failed
};

struct TState {
    std::mutex Lock;
    FT_Library Library = nullptr;
    bool Initialised = false;
    std::vector<TFaceEntry> Faces;
    std::map<std::pair<std::string, int>, int> FaceByFile;
    std::map<std::tuple<std::string, bool, bool, bool>, std::unique_ptr<TFontChain>> Chains;
    std::map<std::tuple<int, long, long, bool, bool, char32_t>, std::shared_ptr<TGlyph>> Glyphs;

    ~TState() {
        Glyphs.clear();
        Chains.clear();
        for (TFaceEntry& F : Faces)
            if (F.Face) FT_Done_Face(F.Face);
        if (Library) FT_Done_FreeType(Library);
        if (Initialised) FcFini(); // fontconfig's own caches, so leak checkers stay quiet
    }

    bool Init() {
        if (Initialised) return Library != nullptr;
        Initialised = true;
        if (!FcInit()) return false;
        if (FT_Init_FreeType(&Library) != 0) Library = nullptr;
        return Library != nullptr;
    }

    TFontChain* Chain(const TFontRequest& R) {
        bool Bold = R.Weight >= 600;
        bool CJK = IsCJKCharset(R.Charset) || IsCJKFaceName(R.Face);
        auto Key = std::make_tuple(R.Face, Bold, R.Italic, CJK);
        auto It = Chains.find(Key);
        if (It != Chains.end()) return It->second.get();
        // Every face name a picture gives makes a chain; keep their number bounded.
        if (Chains.size() >= kChainCacheLimit) Chains.clear();
        auto C = std::make_unique<TFontChain>();
        FcPattern* P = FcPatternCreate();
        if (!R.Face.empty())
            FcPatternAddString(P, FC_FAMILY, reinterpret_cast<const FcChar8*>(R.Face.c_str()));
        if (CJK) {
            // A Chinese face we do not have: ask for any face covering the language first.
            FcLangSet* LS = FcLangSetCreate();
            FcLangSetAdd(LS, reinterpret_cast<const FcChar8*>(
                                 IsCJKCharset(R.Charset) ? CharsetLang(R.Charset) : "zh-cn"));
            FcPatternAddLangSet(P, FC_LANG, LS);
            FcLangSetDestroy(LS);
        }
        FcPatternAddInteger(P, FC_WEIGHT, Bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
        FcPatternAddInteger(P, FC_SLANT, R.Italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
        FcPatternAddBool(P, FC_SCALABLE, FcTrue);
        FcConfigSubstitute(nullptr, P, FcMatchPattern);
        FcDefaultSubstitute(P);
        FcResult Result;
        C->Set = FcFontSort(nullptr, P, FcTrue, nullptr, &Result);
        FcPatternDestroy(P);
        if (C->Set) {
            for (int i = 0; i < C->Set->nfont; ++i) {
                FcCharSet* CS = nullptr;
                FcPatternGetCharSet(C->Set->fonts[i], FC_CHARSET, 0, &CS);
                C->CharSets.push_back(CS);
                C->FaceIndex.push_back(-1);
            }
        }
        TFontChain* Raw = C.get();
        Chains.emplace(Key, std::move(C));
        return Raw;
    }

    int LoadFace(TFontChain& C, int i) {
        if (C.FaceIndex[static_cast<size_t>(i)] != -1) return C.FaceIndex[static_cast<size_t>(i)];
        FcPattern* F = C.Set->fonts[i];
        FcChar8* File = nullptr;
        int Index = 0, Weight = FC_WEIGHT_REGULAR, Slant = FC_SLANT_ROMAN;
        int Result = -2;
        if (FcPatternGetString(F, FC_FILE, 0, &File) == FcResultMatch) {
            FcPatternGetInteger(F, FC_INDEX, 0, &Index);
            FcPatternGetInteger(F, FC_WEIGHT, 0, &Weight);
            FcPatternGetInteger(F, FC_SLANT, 0, &Slant);
            auto Key = std::make_pair(std::string(reinterpret_cast<char*>(File)), Index);
            auto It = FaceByFile.find(Key);
            if (It != FaceByFile.end()) {
                Result = It->second;
            } else {
                FT_Face Face = nullptr;
                if (FT_New_Face(Library, Key.first.c_str(), Index, &Face) == 0 &&
                    FT_IS_SCALABLE(Face)) {
                    Faces.push_back({Face, Weight >= FC_WEIGHT_DEMIBOLD, Slant != FC_SLANT_ROMAN});
                    Result = static_cast<int>(Faces.size()) - 1;
                } else if (Face) {
                    FT_Done_Face(Face);
                }
                FaceByFile[Key] = Result;
            }
        }
        C.FaceIndex[static_cast<size_t>(i)] = Result;
        return Result;
    }

    // The first face of the chain that has the character (or, for Code 0, the first face).
    int FaceFor(const TFontRequest& R, char32_t Code) {
        TFontChain* C = Chain(R);
        if (!C->Set) return -1;
        for (int i = 0; i < C->Set->nfont; ++i) {
            if (Code != 0 && (!C->CharSets[static_cast<size_t>(i)] ||
                              !FcCharSetHasChar(C->CharSets[static_cast<size_t>(i)], Code)))
                continue;
            int F = LoadFace(*C, i);
            if (F >= 0) return F;
        }
        if (Code != 0) return FaceFor(R, 0); // nobody has it: the main face draws its .notdef
        return -1;
    }
};

TState& State() {
    static TState S;
    return S;
}

long Fixed(double V) {
    return std::lround(V * 65536.0);
}

} // namespace

bool Available() {
    TState& S = State();
    std::lock_guard<std::mutex> G(S.Lock);
    if (!S.Init()) return false;
    TFontRequest R;
    return S.FaceFor(R, 0) >= 0;
}

TFontMetrics Metrics(const TFontRequest& Request) {
    TState& S = State();
    std::lock_guard<std::mutex> G(S.Lock);
    TFontMetrics M{Request.EmPixels * 0.88, Request.EmPixels * 0.12};
    if (!S.Init()) return M;
    int F = S.FaceFor(Request, 0);
    if (F < 0) return M;
    FT_Face Face = S.Faces[static_cast<size_t>(F)].Face;
    double Units = Face->units_per_EM > 0 ? Face->units_per_EM : 1000;
    double Asc = Face->ascender, Desc = -Face->descender;
    if (Asc + Desc <= 0) return M;
    M.Ascent = Asc * Request.EmPixels / Units;
    M.Descent = Desc * Request.EmPixels / Units;
    return M;
}

double EmForCellHeight(const TFontRequest& Request, double CellPixels) {
    TFontRequest R = Request;
    R.EmPixels = 1000;
    TFontMetrics M = Metrics(R);
    double Cell = M.Ascent + M.Descent;
    if (Cell <= 0) return CellPixels;
    return CellPixels * 1000 / Cell;
}

std::shared_ptr<const TGlyph> Glyph(const TFontRequest& Request, char32_t Code) {
    TState& S = State();
    std::lock_guard<std::mutex> G(S.Lock);
    if (!S.Init()) return nullptr;
    double Em = Request.EmPixels;
    if (!(Em >= 1) || Em > kMaxEmPixels) return nullptr;
    int F = S.FaceFor(Request, Code);
    if (F < 0) return nullptr;
    const TFaceEntry& FE = S.Faces[static_cast<size_t>(F)];
    bool Embolden = Request.Weight >= 600 && !FE.Bold;
    bool Shear = Request.Italic && !FE.Italic;
    double Angle = std::fmod(Request.AngleDegrees, 360.0);
    if (!std::isfinite(Angle)) Angle = 0;
    auto Key =
        std::make_tuple(F, std::lround(Em * 64), std::lround(Angle * 100), Embolden, Shear, Code);
    auto It = S.Glyphs.find(Key);
    if (It != S.Glyphs.end()) return It->second;
    if (S.Glyphs.size() >= kGlyphCacheLimit) S.Glyphs.clear();

    FT_Face Face = FE.Face;
    if (FT_Set_Char_Size(Face, 0, static_cast<FT_F26Dot6>(std::lround(Em * 64)), 72, 72) != 0)
        return nullptr;
    // Glyph transform: an optional italic shear, then the rotation.
    double a = Angle * kPi / 180, c = std::cos(a), s = std::sin(a);
    double k = Shear ? 0.2 : 0;
    // FreeType's y points up: rotation [c -s; s c] times shear [1 k; 0 1].
    FT_Matrix Mx;
    Mx.xx = Fixed(c);
    Mx.xy = Fixed(c * k - s);
    Mx.yx = Fixed(s);
    Mx.yy = Fixed(s * k + c);
    FT_Set_Transform(Face, &Mx, nullptr);
    auto Result = std::make_shared<TGlyph>();
    FT_UInt Index = FT_Get_Char_Index(Face, static_cast<FT_ULong>(Code));
    FT_Error E = FT_Load_Glyph(Face, Index, FT_LOAD_NO_BITMAP | FT_LOAD_TARGET_MONO);
    if (E == 0) {
        FT_GlyphSlot Slot = Face->glyph;
        Result->Advance = Slot->linearHoriAdvance / 65536.0;
        if (Slot->format == FT_GLYPH_FORMAT_OUTLINE) {
            if (Embolden) FT_Outline_Embolden(&Slot->outline, static_cast<FT_Pos>(Em * 64 / 24));
            if (FT_Render_Glyph(Slot, FT_RENDER_MODE_MONO) == 0) {
                const FT_Bitmap& B = Slot->bitmap;
                Result->Left = Slot->bitmap_left;
                Result->Top = Slot->bitmap_top;
                Result->Width = static_cast<int>(B.width);
                Result->Rows = static_cast<int>(B.rows);
                int Pitch = (Result->Width + 7) / 8;
                Result->Pitch = Pitch;
                Result->Bits.assign(static_cast<size_t>(Pitch) * B.rows, 0);
                for (unsigned y = 0; y < B.rows; ++y) {
                    const uint8_t* Src =
                        B.pitch >= 0 ? B.buffer + static_cast<ptrdiff_t>(y) * B.pitch
                                     : B.buffer + static_cast<ptrdiff_t>(B.rows - 1 - y) * -B.pitch;
                    std::memcpy(Result->Bits.data() + static_cast<size_t>(y) * Pitch, Src,
                                static_cast<size_t>(Pitch));
                }
            }
        }
        if (Embolden) Result->Advance += Em / 24;
    }
    FT_Set_Transform(Face, nullptr, nullptr);
    S.Glyphs.emplace(Key, Result);
    return Result;
}

std::u32string DecodeUTF16(const uint16_t* Units, size_t Count) {
    std::u32string Out;
    Out.reserve(Count);
    for (size_t i = 0; i < Count; ++i) {
        char32_t u = Units[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < Count && Units[i + 1] >= 0xDC00 &&
            Units[i + 1] < 0xE000) {
            u = 0x10000 + ((u - 0xD800) << 10) + (Units[i + 1] - 0xDC00);
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            u = 0xFFFD;
        }
        Out.push_back(u);
    }
    return Out;
}

std::u32string DecodeCharset(const std::string& Bytes, int Charset) {
    const char* Code = nullptr;
    switch (Charset) {
    case 128:
        Code = "SHIFT_JIS";
        break;
    case 129:
        Code = "CP949";
        break;
    case 134:
        Code = "GBK";
        break;
    case 136:
        Code = "BIG5";
        break;
    case 161:
        Code = "CP1253";
        break;
    case 162:
        Code = "CP1254";
        break;
    case 177:
        Code = "CP1255";
        break;
    case 178:
        Code = "CP1256";
        break;
    case 186:
        Code = "CP1257";
        break;
    case 204:
        Code = "CP1251";
        break;
    case 222:
        Code = "CP874";
        break;
    case 238:
        Code = "CP1250";
        break;
    case 2:
        Code = nullptr;
        break; // symbol fonts: bytes are the character codes
    default:
        Code = "CP1252";
        break;
    }
    std::u32string Out;
    if (Code) {
        iconv_t CD = iconv_open("UTF-32LE", Code);
        if (CD != reinterpret_cast<iconv_t>(-1)) {
            std::string In = Bytes;
            std::vector<char> Buf(In.size() * 4 + 16);
            char* InP = In.data();
            size_t InLeft = In.size();
            while (InLeft > 0) {
                char* OutP = Buf.data();
                size_t OutLeft = Buf.size();
                size_t R = iconv(CD, &InP, &InLeft, &OutP, &OutLeft);
                size_t Got = (Buf.size() - OutLeft) / 4;
                for (size_t i = 0; i < Got; ++i) {
                    uint32_t V;
                    std::memcpy(&V, Buf.data() + i * 4, 4);
                    Out.push_back(static_cast<char32_t>(V));
                }
                if (R == static_cast<size_t>(-1) && InLeft > 0) {
                    // An invalid or incomplete sequence: one replacement, skip one byte.
                    Out.push_back(0xFFFD);
                    ++InP;
                    --InLeft;
                }
            }
            iconv_close(CD);
            return Out;
        }
    }
    for (unsigned char c : Bytes) Out.push_back(c);
    return Out;
}

} // namespace mv::text
