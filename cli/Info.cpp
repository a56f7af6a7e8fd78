// morvellan-cli info: what a GIF file holds, as text or as one JSON object per file.
#include "cli/Cli.h"

#include "gif/GIFImage.h"
#include "platform/Classes.h"
#include "platform/SysUtils.h"

#include <cstring>
#include <optional>

namespace mv::cli {

namespace {

// The length of the well-formed UTF-8 sequence at S[i] (1 for ASCII), or 0 when the bytes
// there are not one.
size_t Utf8Length(const std::string& S, size_t i) {
    const auto B = [&](size_t k) { return static_cast<unsigned char>(S[k]); };
    const unsigned char C = B(i);
    if (C < 0x80) return 1;
    size_t N;
    uint32_t V;
    if (C >= 0xC2 && C <= 0xDF)
        N = 2, V = C & 0x1F;
    else if (C >= 0xE0 && C <= 0xEF)
        N = 3, V = C & 0x0F;
    else if (C >= 0xF0 && C <= 0xF4)
        N = 4, V = C & 0x07;
    else
        return 0;
    if (i + N > S.size()) return 0;
    for (size_t k = 1; k < N; ++k) {
        if ((B(i + k) & 0xC0) != 0x80) return 0;
        V = V << 6 | (B(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not well-formed.
    if ((N == 3 && V < 0x800) || (N == 4 && (V < 0x10000 || V > 0x10FFFF)) ||
        (V >= 0xD800 && V <= 0xDFFF))
        return 0;
    return N;
}

// A JSON string of S. GIF comments are bytes of no stated encoding: well-formed UTF-8 passes
// as it is, and any other byte is taken as Latin-1 (\u00XX), so the output is always valid.
std::string JsonString(const std::string& S) {
    std::string R = "\"";
    for (size_t i = 0; i < S.size(); ++i) {
        const unsigned char C = static_cast<unsigned char>(S[i]);
        if (C >= 0x80) {
            if (size_t N = Utf8Length(S, i)) {
                R.append(S, i, N);
                i += N - 1;
            } else {
                R += Format("\\u%04x", C);
            }
            continue;
        }
        switch (C) {
        case '"':
            R += "\\\"";
            break;
        case '\\':
            R += "\\\\";
            break;
        case '\n':
            R += "\\n";
            break;
        case '\r':
            R += "\\r";
            break;
        case '\t':
            R += "\\t";
            break;
        default:
            if (C < 0x20)
                R += Format("\\u%04x", C);
            else
                R += static_cast<char>(C);
        }
    }
    return R + "\"";
}

std::string JsonList(const std::vector<std::string>& Items) {
    std::string R = "[";
    for (size_t i = 0; i < Items.size(); ++i) {
        if (i) R += ',';
        R += JsonString(Items[i]);
    }
    return R + "]";
}

const char* DisposalName(int D) {
    static const char* Names[8] = {"unspecified",      "keep",       "restore-background",
                                   "restore-previous", "reserved-4", "reserved-5",
                                   "reserved-6",       "reserved-7"};
    return Names[D & 7];
}

std::string ExtensionName(TGIFExtension* E) {
    if (dynamic_cast<TGIFGraphicControlExtension*>(E)) return "graphic-control";
    if (dynamic_cast<TGIFCommentExtension*>(E)) return "comment";
    if (dynamic_cast<TGIFTextExtension*>(E)) return "plain-text";
    if (dynamic_cast<TGIFAppExtNSLoop*>(E)) return "loop";
    if (dynamic_cast<TGIFApplicationExtension*>(E)) return "application";
    return "unknown";
}

struct TFrameInfo {
    int Left, Top, Width, Height;
    bool Interlaced;
    int LocalColors;
    int Disposal, Delay;
    std::optional<int> Transparent;
    std::vector<std::string> Extensions;
};

struct TFileInfo {
    std::string Version;
    int Width, Height, GlobalColors, Background;
    std::optional<int> LoopCount;
    std::vector<std::string> Comments, Warnings;
    std::vector<TFrameInfo> Frames;
};

TFileInfo Inspect(const std::string& Name) {
    TMemoryStream Data;
    Data.LoadFromFile(Name);
    TFileInfo I;
    // The version as the file declares it (the reader takes any); a 4-byte prefix before
    // the signature is tolerated as the reader tolerates it.
    {
        const std::vector<uint8_t>& B = Data.Bytes();
        size_t At = B.size() >= 10 && std::memcmp(B.data(), "GIF", 3) != 0 ? 4 : 0;
        if (B.size() >= At + 6) I.Version.assign(reinterpret_cast<const char*>(&B[At + 3]), 3);
    }
    TGIFImage GIF;
    GIF.OnWarningReport = [&](TObject*, uint8_t, const std::string& Message) {
        I.Warnings.push_back(Message);
    };
    Data.SetPosition(0);
    GIF.LoadFromStream(Data);
    I.Width = GIF.Width();
    I.Height = GIF.Height();
    I.GlobalColors = GIF.ScreenColorMap().Count();
    I.Background = GIF.ScreenHeader().Screen().BackgroundIndex;
    for (int f = 0; f < GIF.Frames().Count(); ++f) {
        TGIFSubImage* Frame = GIF.Frames().FrameAt(f);
        TFrameInfo F{Frame->Left(),
                     Frame->Top(),
                     Frame->Width(),
                     Frame->Height(),
                     Frame->IsInterlaced(),
                     Frame->LocalMap().Count(),
                     0,
                     0,
                     std::nullopt,
                     {}};
        if (TGIFGraphicControlExtension* C = Frame->ControlExtension()) {
            F.Disposal = C->DisposalMode();
            F.Delay = C->DelayHundredths();
            if (C->UsesTransparency()) F.Transparent = C->TransparentSlot();
        }
        TGIFExtensionList& List = Frame->ExtensionList();
        for (int e = 0; e < List.Count(); ++e) {
            TGIFExtension* E = List.ExtensionAt(e);
            F.Extensions.push_back(ExtensionName(E));
            if (auto* Loop = dynamic_cast<TGIFAppExtNSLoop*>(E); Loop && !I.LoopCount)
                I.LoopCount = Loop->FLoopCount;
            if (auto* Comment = dynamic_cast<TGIFCommentExtension*>(E)) {
                std::string Text;
                for (int l = 0; l < Comment->FLines.Count(); ++l) {
                    if (l) Text += '\n';
                    Text += Comment->FLines[l];
                }
                I.Comments.push_back(Text);
            }
        }
        I.Frames.push_back(std::move(F));
    }
    return I;
}

std::string OptionalInt(const std::optional<int>& V) {
    return V ? std::to_string(*V) : "null";
}

void PrintJson(const std::string& Name, const TFileInfo& I) {
    std::string S = "{\"file\":" + JsonString(Name) + ",\"version\":" + JsonString(I.Version) +
                    Format(",\"width\":%d,\"height\":%d,\"global_colors\":%d,"
                           "\"background_index\":%d,",
                           I.Width, I.Height, I.GlobalColors, I.Background) +
                    "\"loop_count\":" + OptionalInt(I.LoopCount) +
                    ",\"comments\":" + JsonList(I.Comments) +
                    ",\"warnings\":" + JsonList(I.Warnings) + ",\"frames\":[";
    for (size_t f = 0; f < I.Frames.size(); ++f) {
        const TFrameInfo& F = I.Frames[f];
        if (f) S += ',';
        S += Format("{\"left\":%d,\"top\":%d,\"width\":%d,\"height\":%d,\"interlaced\":%s,"
                    "\"local_colors\":%d,\"disposal\":%d,\"delay\":%d,",
                    F.Left, F.Top, F.Width, F.Height, F.Interlaced ? "true" : "false",
                    F.LocalColors, F.Disposal, F.Delay) +
             "\"transparent_index\":" + OptionalInt(F.Transparent) +
             ",\"extensions\":" + JsonList(F.Extensions) + "}";
    }
    S += "]}";
    std::printf("%s\n", S.c_str());
}

void PrintText(const std::string& Name, const TFileInfo& I) {
    std::printf("%s: GIF%s, %d x %d, %d global colors, background %d, %s, %zu frame%s\n",
                Name.c_str(), I.Version.c_str(), I.Width, I.Height, I.GlobalColors, I.Background,
                I.LoopCount ? (*I.LoopCount == 0 ? "loops forever"
                                                 : Format("loops %d times", *I.LoopCount).c_str())
                            : "no loop extension",
                I.Frames.size(), I.Frames.size() == 1 ? "" : "s");
    for (const std::string& C : I.Comments) std::printf("  comment: %s\n", C.c_str());
    for (const std::string& W : I.Warnings) std::printf("  warning: %s\n", W.c_str());
    for (size_t f = 0; f < I.Frames.size(); ++f) {
        const TFrameInfo& F = I.Frames[f];
        std::string Ext;
        for (const std::string& E : F.Extensions) {
            if (!Ext.empty()) Ext += ", ";
            Ext += E;
        }
        std::printf("  frame %zu: %d x %d at %d,%d, %s, %d local colors, disposal %s, delay %d/100 "
                    "s, transparent %s%s%s\n",
                    f, F.Width, F.Height, F.Left, F.Top,
                    F.Interlaced ? "interlaced" : "not interlaced", F.LocalColors,
                    DisposalName(F.Disposal), F.Delay,
                    F.Transparent ? std::to_string(*F.Transparent).c_str() : "none",
                    Ext.empty() ? "" : ", extensions: ", Ext.c_str());
    }
}

} // namespace

int RunInfo(TArguments& Args) {
    bool Json = false;
    std::vector<std::string> Files;
    while (!Args.AtEnd()) {
        bool IsOption;
        std::string A = Args.Next(IsOption);
        if (!IsOption) {
            if (!A.empty()) Files.push_back(A);
        } else if (A == "-h" || A == "--help") {
            std::fputs(HelpText, stdout);
            return ExitOk;
        } else if (A == "--json") {
            Args.NoValue(A);
            Json = true;
        } else {
            throw TUsageError{"info: unknown option " + A};
        }
    }
    if (Files.empty()) throw TUsageError{"info: no GIF given"};
    int Failures = 0;
    for (const std::string& Name : Files) {
        try {
            TFileInfo I = Inspect(Name);
            if (Json)
                PrintJson(Name, I);
            else
                PrintText(Name, I);
        } catch (const std::exception& E) {
            ++Failures;
            std::fflush(stdout);
            PrintFileError(Name, E.what());
        }
        std::fflush(stdout);
    }
    return Failures ? ExitFailed : ExitOk;
}

} // namespace mv::cli
