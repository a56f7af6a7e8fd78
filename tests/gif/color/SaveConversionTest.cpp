#include "gif/color/SaveConversion.h"

#include "gif/color/Ditherers.h"
#include "platform/Jpeg.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace mv {
namespace {

std::vector<uint8_t> SealBytes() {
    std::ifstream F(std::string(MORVELLAN_SOURCE_DIR) + "/samples/seal.jpg", std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(F), {});
}

void LoadJPEG(TJPEGImage& J, const std::vector<uint8_t>& Bytes) {
    TMemoryStream S;
    S.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    S.SetPosition(0);
    J.LoadFromStream(S);
}

std::vector<uint8_t> Saved(TGIFImage& G) {
    TMemoryStream S;
    G.SaveToStream(S);
    return S.Bytes();
}

// A JPEG not decoded yet goes to the cube row by row as it is decoded; the file is the one its
// decoded 24-bit bitmap gives, for every ditherer and for a file cut short.
TEST(SaveConversion, JPEGReducedWhileDecodingGivesTheFileOfItsDecodedBitmap) {
    const std::vector<uint8_t> Seal = SealBytes();
    ASSERT_GT(Seal.size(), 1000u);
    const std::vector<uint8_t> Cut(Seal.begin(), Seal.begin() + Seal.size() / 3);
    struct TCase {
        const std::vector<uint8_t>* File;
        TDitherKind Kind;
    } Cases[] = {{&Seal, dkNearest}, {&Seal, dkFloydSteinberg}, {&Seal, dkStucki},
                 {&Seal, dkSierra},  {&Seal, dkJaJuNi},         {&Seal, dkSteveArche},
                 {&Seal, dkBurkes},  {&Cut, dkNearest},         {&Cut, dkFloydSteinberg}};
    for (const TCase& C : Cases) {
        SCOPED_TRACE(testing::Message() << (C.File == &Cut ? "cut, " : "") << "dither " << C.Kind);
        TJPEGImage Streamed, Decoded;
        LoadJPEG(Streamed, *C.File);
        LoadJPEG(Decoded, *C.File);
        ASSERT_NE(Decoded.Bitmap(), nullptr);

        TGIFImage A, B;
        A.DitherKind = B.DitherKind = C.Kind;
        AssignForSave(A, &Streamed);
        EXPECT_FALSE(Streamed.Decoded()); // the full-color picture was never made
        AssignForSave(B, &Decoded);
        const std::vector<uint8_t> Want = Saved(B);
        EXPECT_TRUE(Saved(A) == Want);
    }
}

} // namespace
} // namespace mv
