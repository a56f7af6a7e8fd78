// morvellan-cli convert: pictures to one-frame GIFs with the window's save conversion.
#include "cli/Cli.h"

#include "gif/GIFImage.h"
#include "gif/color/SaveConversion.h"
#include "platform/Classes.h"
#include "platform/SysUtils.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace mv::cli {

namespace {

struct TConvertOptions {
    std::string Output;    // -o
    std::string Directory; // -d
    bool Resize = true;
    TReductionMethod Reduction = GIFDefaultReductionMethod;
    TDitherKind Dither = GIFDefaultDitherKind;
    int32_t PaletteBits = 8;
    TGIFCompressionMethod Compression = cpLZW;
    int Jobs = 0; // 0: all cores
    bool Quiet = false;
};

template <class T>
T Pick(const std::string& Option, const std::string& Text,
       const std::vector<std::pair<const char*, T>>& Names) {
    for (const auto& [Name, Value] : Names)
        if (Text == Name) return Value;
    std::string Known;
    for (const auto& [Name, Value] : Names) {
        if (!Known.empty()) Known += '|';
        Known += Name;
    }
    throw TUsageError{Option + " wants one of " + Known + ", not \"" + Text + "\""};
}

const std::vector<std::pair<const char*, TReductionMethod>> ReductionNames = {
    {"none", rdNone},
    {"system20", rdSystem20},
    {"halftone", rdHalftone},
    {"system-gray", rdSystemGray},
    {"monochrome", rdMonochrome},
    {"gray256", rdGray256},
    {"netscape216", rdNetscape216},
    {"octree", rdOctree},
    {"octree-system", rdOctreeSystem},
};
const std::vector<std::pair<const char*, TDitherKind>> DitherNames = {
    {"nearest", dkNearest}, {"floyd-steinberg", dkFloydSteinberg},
    {"stucki", dkStucki},   {"sierra", dkSierra},
    {"jajuni", dkJaJuNi},   {"steve-arche", dkSteveArche},
    {"burkes", dkBurkes},
};
const std::vector<std::pair<const char*, TGIFCompressionMethod>> CompressionNames = {
    {"lzw", cpLZW}, {"rle", cpRunLength}};

// The output of Picture: its file name with the extension changed to ".gif", in the
// directory asked for or beside the picture; -o names it outright (extension changed too).
std::string OutputName(const std::string& Picture, const TConvertOptions& O) {
    if (!O.Output.empty())
        return ExtractFilePath(O.Output) + ChangeFileExt(ExtractFileName(O.Output), ".gif");
    std::string Dir = O.Directory.empty() ? ExtractFilePath(Picture) : O.Directory;
    if (!Dir.empty() && Dir.back() != '/') Dir += '/';
    return Dir + ChangeFileExt(ExtractFileName(Picture), ".gif");
}

// Converts one picture and writes it; answers the line to print.
std::string ConvertOne(const std::string& Picture, const std::string& Output,
                       const TConvertOptions& O) {
    // A directory has no extension to pick a format by; say what it is instead.
    std::error_code Code;
    if (std::filesystem::is_directory(Picture, Code))
        throw EFOpenError(Format("\"%s\" is a directory, not a picture", Picture.c_str()));
    TPicture Source;
    Source.LoadFromFile(Picture);
    TGraphic* Graphic = Source.Graphic();
    if (!Graphic || Graphic->Empty())
        throw EInvalidGraphic(Format("%s holds no picture", ExtractFileName(Picture).c_str()));
    std::unique_ptr<TBitmap> Small = DownscaleForSave(Graphic, O.Resize);
    // The scaled bitmap is all that is needed from here on: the full-size picture goes.
    if (Small) Source.SetGraphic(nullptr);

    TGIFImage GIF;
    GIF.ReductionMethod = O.Reduction;
    GIF.DitherKind = O.Dither;
    GIF.PaletteBits = O.PaletteBits;
    GIF.CompressionMethod = O.Compression;
    AssignForSave(GIF, Small ? Small.get() : Graphic);
    Small.reset();
    Source.SetGraphic(nullptr);

    int32_t Colors = GIF.ScreenColorMap().Count();
    for (int i = 0; i < GIF.Frames().Count(); ++i)
        Colors = std::max(Colors, GIF.Frames().FrameAt(i)->EffectiveMap().Count());
    {
        TAtomicFileStream File(Output);
        GIF.SaveToStream(File);
        File.Commit();
    }
    return Format("%s -> %s (%d x %d, %d colors)", Picture.c_str(), Output.c_str(), GIF.Width(),
                  GIF.Height(), Colors);
}

// The cores this process may run on (its affinity mask, which a container or taskset may
// narrow), at least 1.
size_t UsableCores() {
#if defined(__linux__)
    cpu_set_t Set;
    if (sched_getaffinity(0, sizeof Set, &Set) == 0 && CPU_COUNT(&Set) > 0)
        return static_cast<size_t>(CPU_COUNT(&Set));
#endif
    return std::max<size_t>(1, std::thread::hardware_concurrency());
}

struct TOutcome {
    bool Ok = false;
    std::string Text; // the line, or the error message
};

} // namespace

int RunConvert(TArguments& Args) {
    TConvertOptions O;
    std::vector<std::string> Pictures;
    while (!Args.AtEnd()) {
        bool IsOption;
        std::string A = Args.Next(IsOption);
        if (!IsOption) {
            if (!A.empty()) Pictures.push_back(A);
            continue;
        }
        if (A == "-h" || A == "--help") {
            std::fputs(HelpText, stdout);
            return ExitOk;
        }
        if (A == "-o" || A == "--output") {
            O.Output = Args.Value(A);
            if (O.Output.empty()) throw TUsageError{A + " needs a file name"};
        } else if (A == "-d" || A == "--directory") {
            O.Directory = Args.Value(A);
            if (O.Directory.empty()) throw TUsageError{A + " needs a directory"};
        } else if (A == "--no-resize") {
            Args.NoValue(A);
            O.Resize = false;
        } else if (A == "--reduction") {
            O.Reduction = Pick(A, Args.Value(A), ReductionNames);
        } else if (A == "--dither") {
            O.Dither = Pick(A, Args.Value(A), DitherNames);
        } else if (A == "--palette-bits") {
            O.PaletteBits = ParseInt(A, Args.Value(A), 1, 8);
        } else if (A == "--compression") {
            O.Compression = Pick(A, Args.Value(A), CompressionNames);
        } else if (A == "-j" || A == "--jobs") {
            O.Jobs = ParseInt(A, Args.Value(A), 1, 1024);
        } else if (A == "-q" || A == "--quiet") {
            Args.NoValue(A);
            O.Quiet = true;
        } else {
            throw TUsageError{"convert: unknown option " + A};
        }
    }
    if (Pictures.empty()) throw TUsageError{"convert: no PICTURE given"};
    if (!O.Output.empty() && Pictures.size() > 1)
        throw TUsageError{"convert: --output names one output, but " +
                          std::to_string(Pictures.size()) + " pictures were given"};
    if (!O.Output.empty() && !O.Directory.empty())
        throw TUsageError{"convert: --output and --directory cannot be used together"};

    const size_t N = Pictures.size();
    std::vector<std::string> Outputs(N);
    std::vector<std::optional<TOutcome>> Outcomes(N);
    // The directory of -d is made when missing; when it cannot be, no picture can be written.
    std::string DirectoryError;
    if (!O.Directory.empty()) {
        std::error_code Code;
        std::filesystem::create_directories(O.Directory, Code);
        if (Code)
            DirectoryError = Format("Cannot create directory \"%s\": %s", O.Directory.c_str(),
                                    Code.message().c_str());
    }
    // Two pictures that would write the same file (a.jpg and a.bmp): the first one wins, in
    // order, so that the result does not depend on which finishes first.
    std::map<std::string, size_t> Claimed;
    for (size_t i = 0; i < N; ++i) {
        Outputs[i] = OutputName(Pictures[i], O);
        auto [It, New] = Claimed.emplace(Outputs[i], i);
        if (!DirectoryError.empty())
            Outcomes[i] = TOutcome{false, DirectoryError};
        else if (!New)
            Outcomes[i] = TOutcome{false, Format("%s is already written from %s",
                                                 Outputs[i].c_str(), Pictures[It->second].c_str())};
    }

    std::mutex Lock;
    size_t NextToPrint = 0;
    int Failures = 0;
    // Results are printed in the order of the pictures, each as soon as those before it are.
    auto Publish = [&](size_t i, TOutcome R) {
        std::lock_guard<std::mutex> Guard(Lock);
        Outcomes[i] = std::move(R);
        while (NextToPrint < N && Outcomes[NextToPrint]) {
            const TOutcome& Done = *Outcomes[NextToPrint];
            if (Done.Ok) {
                if (!O.Quiet) std::printf("%s\n", Done.Text.c_str());
            } else {
                ++Failures;
                std::fflush(stdout);
                PrintFileError(Pictures[NextToPrint], Done.Text);
            }
            ++NextToPrint;
        }
        std::fflush(stdout);
    };
    std::vector<size_t> Work;
    for (size_t i = 0; i < N; ++i)
        if (Outcomes[i])
            Publish(i, *Outcomes[i]);
        else
            Work.push_back(i);

    std::atomic<size_t> Next{0};
    auto Worker = [&] {
        for (size_t k; (k = Next.fetch_add(1)) < Work.size();) {
            const size_t i = Work[k];
            TOutcome R;
            try {
                R = TOutcome{true, ConvertOne(Pictures[i], Outputs[i], O)};
            } catch (const std::bad_alloc&) {
                R = TOutcome{false, "Out of memory"};
            } catch (const std::exception& E) {
                R = TOutcome{false, E.what()};
            }
            Publish(i, std::move(R));
        }
    };
    size_t Jobs = O.Jobs > 0 ? static_cast<size_t>(O.Jobs) : UsableCores();
    Jobs = std::min(Jobs, Work.size());
    if (Jobs <= 1) {
        Worker();
    } else {
        std::vector<std::thread> Threads;
        for (size_t t = 0; t < Jobs; ++t) Threads.emplace_back(Worker);
        for (auto& T : Threads) T.join();
    }
    return Failures ? ExitFailed : ExitOk;
}

} // namespace mv::cli
