// Loads arbitrary bytes as a GIF and saves whatever was read again. A clean GIFException (or
// another library exception) is a fine outcome; a crash, a hang or a sanitizer report is not.
#include "gif/GIFImage.h"

#include <cstddef>
#include <cstdint>

namespace {
constexpr int64_t MaxSavedPixels = int64_t{1} << 22;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    using namespace mv;
    TMemoryStream Input;
    if (Size > 0) Input.Write(Data, static_cast<int64_t>(Size));
    Input.SetPosition(0);
    TGIFImage Image;
    Image.OnWarningReport = [](TObject*, uint8_t, const std::string&) {};
    try {
        Image.LoadFromStream(Input);
    } catch (const Exception&) {
        // The frames read before the failure stay in the image and are saved below.
    }
    // A few bytes may declare frames of hundreds of megapixels, which the limits allow; their
    // encoding is bounded but slow under the sanitizers, so only smaller images are saved.
    int64_t Pixels = 0;
    for (int i = 0; i < Image.Frames().Count(); ++i)
        Pixels += int64_t{Image.Frames().FrameAt(i)->Width()} * Image.Frames().FrameAt(i)->Height();
    if (Pixels > MaxSavedPixels) return 0;
    for (int Method = 0; Method < 2; ++Method) {
        Image.CompressionMethod = static_cast<TGIFCompressionMethod>(Method);
        TMemoryStream Output;
        try {
            Image.SaveToStream(Output);
        } catch (const Exception&) {
            continue; // e.g. no frames, or a pixel outside a color table
        }
        // What we wrote we must read again.
        Output.SetPosition(0);
        TGIFImage Again;
        try {
            Again.LoadFromStream(Output);
        } catch (const Exception&) {
        }
    }
    return 0;
}
