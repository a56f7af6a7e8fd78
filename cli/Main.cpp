// morvellan-cli's entry: the command dispatch, --help and --version.
#include "cli/Cli.h"

#include "platform/Classes.h"
#include "platform/SysUtils.h"

#include <cerrno>
#include <cstdlib>
#include <exception>

namespace mv::cli {

const char* HelpText =
    "Usage:\n"
    "  morvellan-cli convert [OPTIONS] PICTURE...      picture -> one-frame GIF, as the window's "
    "save does\n"
    "    -o, --output FILE        output name (one PICTURE only); its extension is changed to "
    ".gif\n"
    "    -d, --directory DIR      write each output into DIR, made when missing (default: "
    "beside\n"
    "                             its picture)\n"
    "        --no-resize          keep the size (default: 700 px or more on a side -> 640 px "
    "wide)\n"
    "        --reduction METHOD   none|system20|halftone|system-gray|monochrome|gray256|"
    "netscape216|\n"
    "                             octree|octree-system                        (default "
    "netscape216)\n"
    "        --dither KIND        nearest|floyd-steinberg|stucki|sierra|jajuni|steve-arche|"
    "burkes\n"
    "                                                                         (default nearest)\n"
    "        --palette-bits N     1..8, for octree                             (default 8)\n"
    "        --compression NAME   lzw|rle                                      (default lzw)\n"
    "    -j, --jobs N             pictures converted at once (default: all cores)\n"
    "    -q, --quiet              print nothing but errors\n"
    "  morvellan-cli info [--json] GIF...               blocks, frames, extensions and warnings\n"
    "  morvellan-cli extract GIF --frame N -o OUT.bmp   frame N's indices as an 8-bit BMP with "
    "its colors\n"
    "  morvellan-cli --help | --version\n"
    "\n"
    "convert names each output after its picture with the extension changed to .gif\n"
    "(a.b.jpg -> a.b.gif) and prints one line per written file:\n"
    "  PICTURE -> OUTPUT (W x H, N colors)\n"
    "Outputs are written to a temporary file and renamed into place when complete.\n"
    "info --json prints one JSON object per GIF, one per line. extract counts frames from 0.\n"
    "Errors are printed as 'morvellan-cli: FILE: MESSAGE' and the other files go on.\n"
    "Exit status: 0 all done, 1 some failed, 2 bad usage.\n";

void PrintFileError(const std::string& Name, const std::string& Message) {
    std::fprintf(stderr, "%s: %s: %s\n", ProgramName, Name.c_str(), Message.c_str());
}

std::string TArguments::Next(bool& IsOption) {
    FHasInline = false;
    std::string A = FArgs[FIndex++];
    IsOption = false;
    if (FOptionsEnded || A.size() < 2 || A[0] != '-') return A;
    if (A == "--") {
        FOptionsEnded = true;
        if (AtEnd()) return {};
        return Next(IsOption);
    }
    IsOption = true;
    if (A.rfind("--", 0) == 0) {
        size_t Eq = A.find('=');
        if (Eq != std::string::npos) {
            FHasInline = true;
            FInline = A.substr(Eq + 1);
            return A.substr(0, Eq);
        }
    } else if (A.size() > 2) {
        // "-j4": a short option with its value attached.
        FHasInline = true;
        FInline = A.substr(2);
        return A.substr(0, 2);
    }
    return A;
}

std::string TArguments::Value(const std::string& Option) {
    if (FHasInline) {
        FHasInline = false;
        return FInline;
    }
    if (AtEnd()) throw TUsageError{"option " + Option + " needs a value"};
    return FArgs[FIndex++];
}

void TArguments::NoValue(const std::string& Option) {
    if (FHasInline) throw TUsageError{"option " + Option + " takes no value"};
}

int ParseInt(const std::string& Option, const std::string& Text, int Min, int Max) {
    char* End = nullptr;
    errno = 0;
    long V = Text.empty() ? 0 : std::strtol(Text.c_str(), &End, 10);
    if (Text.empty() || *End != '\0' || errno != 0 || V < Min || V > Max)
        throw TUsageError{Format("%s wants a whole number from %d to %d, not \"%s\"",
                                 Option.c_str(), Min, Max, Text.c_str())};
    return static_cast<int>(V);
}

} // namespace mv::cli

int main(int argc, char** argv) {
    using namespace mv::cli;
    std::vector<std::string> Args(argv + 1, argv + argc);
    try {
        if (Args.empty()) throw TUsageError{"no command given"};
        const std::string Command = Args[0];
        if (Command == "--help" || Command == "-h" || Command == "help") {
            std::fputs(HelpText, stdout);
            return ExitOk;
        }
        if (Command == "--version") {
            std::printf("%s %s\n", ProgramName, MORVELLAN_VERSION);
            return ExitOk;
        }
        TArguments Rest(std::vector<std::string>(Args.begin() + 1, Args.end()));
        if (Command == "convert") return RunConvert(Rest);
        if (Command == "info") return RunInfo(Rest);
        if (Command == "extract") return RunExtract(Rest);
        throw TUsageError{"unknown command \"" + Command + "\""};
    } catch (const TUsageError& E) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", ProgramName,
                     E.Message.c_str(), ProgramName);
        return ExitUsage;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "%s: %s\n", ProgramName, E.what());
        return ExitFailed;
    }
}
