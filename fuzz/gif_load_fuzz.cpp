// Loads arbitrary bytes as a GIF and saves whatever was read again. A clean GIFException (or
// another library exception) is a fine outcome; a crash, a hang or a sanitizer report is not.
#include "gif/GIFImage.h"
#include "gif/GIFLimits.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    using namespace mv;
    // A few bytes may declare frames of hundreds of megapixels, which the real limits allow;
    // filling and encoding them is bounded but slow under the sanitizers, so the fuzzer runs
    // with small limits (the limit checks themselves are exercised that way too).
    GIFSizeLimits.MaxFramePixels = int64_t{1} << 22;
    GIFSizeLimits.MaxLoadPixelBytes = int64_t{1} << 23;
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
    // A copy goes through every frame's and extension's assignment.
    TGIFImage Copy;
    Copy.Assign(&Image);
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
