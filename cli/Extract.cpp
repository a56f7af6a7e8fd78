// morvellan-cli extract: one frame's color indices as an 8-bit BMP whose color table is the
// frame's effective color map.
#include "cli/Cli.h"

#include "gif/GIFImage.h"
#include "platform/Classes.h"
#include "platform/SysUtils.h"

#include <cstring>

namespace mv::cli {

namespace {

void Put16(std::vector<uint8_t>& B, uint32_t V) {
    B.push_back(static_cast<uint8_t>(V));
    B.push_back(static_cast<uint8_t>(V >> 8));
}
void Put32(std::vector<uint8_t>& B, uint32_t V) {
    Put16(B, V & 0xFFFF);
    Put16(B, V >> 16);
}

// The BMP written:
//   offset        size          field
//   0             14            BITMAPFILEHEADER: "BM", file size, 0, 0, pixel offset
//   14            40            BITMAPINFOHEADER: 40, width, height (> 0: bottom-up), 1 plane,
//                               8 bits, BI_RGB, image size, 0, 0, colors used = map entries,
//                               colors important = 0
//   54            4 x colors    color table (blue, green, red, 0)
//   pixel offset  stride x rows rows of the frame's indices, the top row last, each padded
//                               to a multiple of 4 bytes
void WriteIndexBitmap(const std::string& Name, TGIFSubImage& Frame) {
    TGIFColorMap& Map = Frame.EffectiveMap();
    const int32_t W = Frame.Width(), H = Frame.Height();
    const int32_t Colors = Map.Count();
    if (Colors == 0) throw EInvalidGraphic("The frame has no color map, local or global");
    // A frame of no pixels is tolerated in a GIF, but a BMP cannot hold it.
    if (W <= 0 || H <= 0)
        throw EInvalidGraphic(
            Format("The frame is %d x %d pixels: there is nothing to write", W, H));
    const uint32_t Stride = (static_cast<uint32_t>(W) + 3) & ~3u;
    const uint32_t PixelOffset = 14 + 40 + 4 * static_cast<uint32_t>(Colors);
    const uint64_t FileSize = PixelOffset + uint64_t{Stride} * static_cast<uint32_t>(H);
    if (FileSize > 0xFFFFFFFFu)
        throw EInvalidGraphic(Format("A BMP of the %d x %d frame would be %llu bytes, more than "
                                     "its 32-bit size field holds",
                                     W, H, static_cast<unsigned long long>(FileSize)));
    Frame.EnsurePixels();
    std::vector<uint8_t> Head;
    Head.push_back('B');
    Head.push_back('M');
    Put32(Head, static_cast<uint32_t>(FileSize));
    Put32(Head, 0);
    Put32(Head, PixelOffset);
    Put32(Head, 40);
    Put32(Head, static_cast<uint32_t>(W));
    Put32(Head, static_cast<uint32_t>(H));
    Put16(Head, 1);
    Put16(Head, 8);
    Put32(Head, 0);
    Put32(Head, Stride * static_cast<uint32_t>(H));
    Put32(Head, 0);
    Put32(Head, 0);
    Put32(Head, static_cast<uint32_t>(Colors));
    Put32(Head, 0);
    const uint8_t* T = Map.Triples();
    for (int32_t i = 0; i < Colors; ++i, T += 3) {
        Head.push_back(T[2]);
        Head.push_back(T[1]);
        Head.push_back(T[0]);
        Head.push_back(0);
    }
    TAtomicFileStream File(Name);
    File.WriteBuffer(Head.data(), static_cast<int64_t>(Head.size()));
    std::vector<uint8_t> Row(Stride, 0);
    for (int32_t Y = H - 1; Y >= 0; --Y) {
        std::memcpy(Row.data(), Frame.RowPointer(Y), static_cast<size_t>(W));
        File.WriteBuffer(Row.data(), Stride);
    }
    File.Commit();
}

} // namespace

int RunExtract(TArguments& Args) {
    std::string Input, Output;
    int FrameIndex = -1;
    while (!Args.AtEnd()) {
        bool IsOption;
        std::string A = Args.Next(IsOption);
        if (!IsOption) {
            if (A.empty()) continue;
            if (!Input.empty()) throw TUsageError{"extract: one GIF at a time"};
            Input = A;
        } else if (A == "-h" || A == "--help") {
            std::fputs(HelpText, stdout);
            return ExitOk;
        } else if (A == "--frame" || A == "-f") {
            FrameIndex = ParseInt(A, Args.Value(A), 0, 1 << 30);
        } else if (A == "-o" || A == "--output") {
            Output = Args.Value(A);
        } else {
            throw TUsageError{"extract: unknown option " + A};
        }
    }
    if (Input.empty()) throw TUsageError{"extract: no GIF given"};
    if (FrameIndex < 0) throw TUsageError{"extract: --frame N is required"};
    if (Output.empty()) throw TUsageError{"extract: -o OUT.bmp is required"};
    try {
        TGIFImage GIF;
        GIF.LoadFromFile(Input);
        const int Count = GIF.Frames().Count();
        if (FrameIndex >= Count)
            throw EInvalidGraphic(Format("There is no frame %d: the GIF has %d frame%s (from 0)",
                                         FrameIndex, Count, Count == 1 ? "" : "s"));
        WriteIndexBitmap(Output, *GIF.Frames().FrameAt(FrameIndex));
    } catch (const std::exception& E) {
        PrintFileError(Input, E.what());
        return ExitFailed;
    }
    return ExitOk;
}

} // namespace mv::cli
