// Arbitrary bytes as frame image data: the first four bytes give the frame's width and height
// (1..1024 each) and its interlace flag, the rest is the data. Decoding must end in pixels, a
// warning or a GIFException; then the pixels are encoded with both encoders and decoded again,
// which must give them back.
#include "gif/GIFDecoder.h"
#include "gif/GIFEncoder.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 4) return 0;
    const int32_t Width = 1 + ((Data[0] | (Data[1] & 0x03) << 8));
    const int32_t Height = 1 + ((Data[2] | (Data[3] & 0x03) << 8));
    const bool Interlaced = Data[1] & 0x80;
    std::vector<uint8_t> Pixels(size_t(Width) * Height, 0);
    mv::TMemoryStream In;
    In.Write(Data + 4, int64_t(Size - 4));
    In.SetPosition(0);
    try {
        mv::DecodeImageData(In, Pixels.data(), Width, Height, Interlaced, nullptr);
    } catch (const mv::GIFException&) {
    }
    if (In.Position() > In.Size()) std::abort();
    for (mv::TGIFCompressionMethod M : {mv::cpLZW, mv::cpRunLength}) {
        mv::TMemoryStream Out;
        mv::CreateGIFEncoder(M)->Encode(Out, 8, Width, Height, Interlaced, Pixels.data(), 256);
        Out.SetPosition(0);
        std::vector<uint8_t> Back(Pixels.size(), 0);
        mv::DecodeImageData(Out, Back.data(), Width, Height, Interlaced, nullptr);
        if (Back != Pixels || Out.Position() != Out.Size()) std::abort();
    }
    return 0;
}
