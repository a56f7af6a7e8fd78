// The encoder base, the LZW encoder, the sub-block writer and the hash table, on raw image data.
#include "gif/GIFDecoder.h"
#include "gif/GIFEncoder.h"
#include "gif/RLEEncoder.h"
#include "tests/gif/CodecTestUtil.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace mv {
namespace {

using namespace codectest;

Bytes EncodeWith(TGIFCompressionMethod Method, uint8_t Bits, int32_t Width, int32_t Height,
                 bool Interlaced, const uint8_t* Pixels, int32_t ColorCount) {
    TMemoryStream S;
    CreateGIFEncoder(Method)->Encode(S, Bits, Width, Height, Interlaced, Pixels, ColorCount);
    return S.Bytes();
}

Bytes LZW(uint8_t Bits, const Bytes& Pixels, int32_t Width = 0, int32_t Height = 1,
          bool Interlaced = false) {
    if (Width == 0) Width = int32_t(Pixels.size());
    return EncodeWith(cpLZW, Bits, Width, Height, Interlaced, Pixels.data(), 1 << Bits);
}

// A straightforward LZW over a std::map: the codes the hashed encoder must produce.
std::vector<int> ReferenceLZW(int Root, const Bytes& Pixels) {
    const int Clear = 1 << Root;
    std::map<int, int> Table;
    std::vector<int> Codes{Clear};
    int Next = Clear + 2;
    int Prefix = Pixels[0];
    for (size_t i = 1; i < Pixels.size(); ++i) {
        const int Key = (Prefix << 8) | Pixels[i];
        auto It = Table.find(Key);
        if (It != Table.end()) {
            Prefix = It->second;
            continue;
        }
        Codes.push_back(Prefix);
        Prefix = Pixels[i];
        if (Next >= 4095) {
            Codes.push_back(Clear);
            Table.clear();
            Next = Clear + 2;
        } else {
            Table[Key] = Next++;
        }
    }
    Codes.push_back(Prefix);
    Codes.push_back(Clear + 1);
    return Codes;
}

TEST(LZWEncoderTest, EmptyFrameWritesOnlyTheEndCode) {
    const Bytes Expected{0x08, 0x02, 0x01, 0x01, 0x00};
    EXPECT_EQ(EncodeWith(cpLZW, 8, 0, 0, false, nullptr, 256), Expected);
    const uint8_t Pixel = 0;
    EXPECT_EQ(EncodeWith(cpLZW, 8, 0, 5, false, &Pixel, 256), Expected);
    EXPECT_EQ(EncodeWith(cpLZW, 8, 5, 0, true, &Pixel, 256), Expected);
    EXPECT_EQ(EncodeWith(cpRunLength, 8, 5, 5, false, nullptr, 256), Expected);
}

TEST(LZWEncoderTest, GoldenCodeSequences) {
    // One pixel: clear, the pixel, end.
    EXPECT_EQ(LZW(8, {7}), FrameData(8, PackCodes(8, {256, 7, 257})));
    // Two colors still use minimum code size 2: clear 4, end 5.
    EXPECT_EQ(LZW(1, {1}), FrameData(2, PackCodes(2, {4, 1, 5})));
    EXPECT_EQ(LZW(1, {1})[0], 2);
    // 0,1,0,1,0,1,0,1 at 8 bits, all 9 bits wide.
    EXPECT_EQ(LZW(8, {0, 1, 0, 1, 0, 1, 0, 1}),
              FrameData(8, PackCodes(8, {256, 0, 1, 258, 260, 1, 257})));
}

TEST(LZWEncoderTest, TableFullEmitsPrefixThenClearAt12Bits) {
    // Distinct pairs fill the table fast: every pixel pair is a miss until it repeats.
    TRandom R(7);
    Bytes Pixels(20000);
    for (auto& P : Pixels) P = uint8_t(R.Next());
    const std::vector<int> Codes = ReferenceLZW(8, Pixels);
    const Bytes Coded = LZW(8, Pixels, 200, 100);
    EXPECT_EQ(Coded, FrameData(8, PackCodes(8, Codes)));
    // The first clear after the start comes right after the code that would have defined 4095.
    auto It = std::find(Codes.begin() + 1, Codes.end(), 256);
    ASSERT_NE(It, Codes.end());
    EXPECT_EQ(It - Codes.begin(), 1 + 1 + (4094 - 258 + 1));
}

TEST(LZWEncoderTest, MatchesReferenceOnRunsAndNoise) {
    // Long runs (strings up to thousands of pixels, KwKwK codes) mixed with noise, every depth.
    for (int Bits = 1; Bits <= 8; ++Bits) {
        TRandom R(Bits);
        Bytes Pixels(30000);
        const int Colors = 1 << Bits;
        for (size_t i = 0; i < Pixels.size();) {
            const size_t Run = (R.Next() % 4 == 0) ? R.Next() % 3000 : 1 + R.Next() % 4;
            const uint8_t V = uint8_t(R.Next() % Colors);
            for (size_t k = 0; k < Run && i < Pixels.size(); ++k, ++i) Pixels[i] = V;
        }
        const int Root = Bits < 2 ? 2 : Bits;
        EXPECT_EQ(LZW(uint8_t(Bits), Pixels, 300, 100),
                  FrameData(Root, PackCodes(Root, ReferenceLZW(Root, Pixels))))
            << Bits << " bits";
    }
}

TEST(LZWEncoderTest, InterlacedRowOrder) {
    // One pixel per row, each row its own value: the codes list the rows in coding order.
    EXPECT_EQ(LZW(8, {0, 10, 20}, 1, 3, true), FrameData(8, PackCodes(8, {256, 0, 20, 10, 257})));
    EXPECT_EQ(LZW(8, {0, 10, 20, 30, 40}, 1, 5, true),
              FrameData(8, PackCodes(8, {256, 0, 40, 20, 10, 30, 257})));
    // Rows of several pixels continue the string across the row change.
    EXPECT_EQ(LZW(8, {1, 1, 2, 2}, 2, 2, true), FrameData(8, PackCodes(8, {256, 1, 1, 2, 2, 257})));
}

TEST(LZWEncoderTest, ExactlyFullSubBlockIsFollowedByTheTerminator) {
    // 224 distinct pixels: clear + 224 codes + end = 226 codes of 9 bits = 255 bytes.
    Bytes Pixels(224);
    for (int i = 0; i < 224; ++i) Pixels[i] = uint8_t(i);
    for (TGIFCompressionMethod M : {cpLZW, cpRunLength}) {
        const Bytes Coded = EncodeWith(M, 8, 224, 1, false, Pixels.data(), 256);
        ASSERT_EQ(Coded.size(), 1u + 1 + 255 + 1);
        EXPECT_EQ(Coded[1], 0xFF);
        EXPECT_EQ(Coded.back(), 0x00);
    }
    // One more pixel spills into a second, 1-byte block.
    Pixels.push_back(224);
    const Bytes Coded = LZW(8, Pixels);
    ASSERT_EQ(Coded.size(), 1u + 256 + 2 + 1);
    EXPECT_EQ(Coded[257], 1);
}

TEST(LZWEncoderTest, ColorOutsideTableStopsWithoutTerminator) {
    for (TGIFCompressionMethod M : {cpLZW, cpRunLength}) {
        SCOPED_TRACE(int(M));
        // The first pixel, and a later one, equal to the color count.
        for (const Bytes& Pixels : {Bytes{5, 1, 2}, Bytes{1, 2, 3, 5, 1}}) {
            TMemoryStream S;
            auto Encoder = CreateGIFEncoder(M);
            try {
                Encoder->Encode(S, 3, int32_t(Pixels.size()), 1, false, Pixels.data(), 5);
                FAIL() << "no exception";
            } catch (const GIFException& E) {
                EXPECT_STREQ(E.what(), "Color not in color table");
            }
            // The minimum code size and the buffered whole bytes went out; no terminator.
            ASSERT_GE(S.Bytes().size(), 1u);
            EXPECT_EQ(S.Bytes()[0], 3);
            if (S.Bytes().size() > 1) {
                EXPECT_EQ(S.Bytes()[1], S.Bytes().size() - 2);
            }
        }
    }
    // Without a local table every value below 2^IndexBits passes, whatever the global count.
    const Bytes Pixels{0, 7, 3};
    EXPECT_NO_THROW(EncodeWith(cpLZW, 3, 3, 1, false, Pixels.data(), 8));
}

TEST(GIFWriterTest, CutsSubBlocksAndRefusesOtherOperations) {
    TMemoryStream Target;
    {
        TGIFWriter W(Target);
        for (int i = 0; i < 256; ++i) W.PutByte(uint8_t(i));
        EXPECT_EQ(W.Write("ab", 2), 2);
        EXPECT_THROW(W.Position(), Exception);
        char C;
        try {
            W.Read(&C, 1);
            FAIL();
        } catch (const GIFException&) {
            FAIL() << "must be the base exception class";
        } catch (const Exception& E) {
            EXPECT_STREQ(E.what(), "Invalid stream operation");
        }
        EXPECT_THROW(W.Seek(0, soBeginning), Exception);
    }
    const Bytes& B = Target.Bytes();
    ASSERT_EQ(B.size(), 256u + 4);
    EXPECT_EQ(B[0], 255);
    EXPECT_EQ(B[255], 254);
    EXPECT_EQ(B[256], 3);
    EXPECT_EQ(B[257], 255);
    EXPECT_EQ(B[258], 'a');

    TGIFStream Bare(Target);
    EXPECT_THROW(Bare.Write("x", 1), Exception);
    EXPECT_THROW(Bare.Size(), Exception);
}

TEST(HashTableTest, ProbeWalkAndFullCycles) {
    EXPECT_EQ(NextSlot(0), 8008);
    EXPECT_EQ(NextSlot(1), 2);
    EXPECT_EQ(NextSlot(5000), 2 * 5000 - 8009);

    THashTable T;
    T.Add(0x12345, 300);
    EXPECT_EQ(T.Find(0x12345), 300);
    EXPECT_EQ(T.Find(0x12346), -1);
    T.Reset();
    EXPECT_EQ(T.Find(0x12345), -1);

    // Fill the cycle that slot 1 lies on (4004 slots) with more keys than it holds: nothing
    // may be lost, and lookups of absent keys on the full cycle must still end.
    std::set<int32_t> Cycle;
    for (int32_t S = 1; Cycle.insert(S).second;) S = NextSlot(S);
    ASSERT_EQ(Cycle.size(), 4004u);
    std::vector<int32_t> Keys, Absent;
    for (int32_t Key = 0; Key < (1 << 20) - 1 && Keys.size() < 4090; ++Key)
        if (Cycle.count(KeySlot(Key))) Keys.push_back(Key);
    for (int32_t Key = (1 << 20) - 2; Absent.size() < 3; --Key)
        if (Cycle.count(KeySlot(Key))) Absent.push_back(Key);
    for (size_t i = 0; i < Keys.size(); ++i) T.Add(Keys[i], int16_t(i));
    EXPECT_EQ(T.OverflowCount(), int32_t(Keys.size()) - 4004);
    for (size_t i = 0; i < Keys.size(); ++i) ASSERT_EQ(T.Find(Keys[i]), int16_t(i)) << i;
    for (int32_t Key : Absent) EXPECT_EQ(T.Find(Key), -1);
}

// Encode -> decode at every depth, interlaced or not, both encoders, odd sizes included.
TEST(CodecRoundTripTest, RandomFramesEveryDepth) {
    struct Size {
        int32_t W, H;
    };
    for (int Bits = 1; Bits <= 8; ++Bits) {
        for (bool Interlaced : {false, true}) {
            for (TGIFCompressionMethod M : {cpLZW, cpRunLength}) {
                for (Size Sz : {Size{1, 1}, Size{1, 9}, Size{37, 23}, Size{300, 70}}) {
                    TRandom R(Bits * 100 + Sz.W);
                    Bytes Pixels(size_t(Sz.W) * Sz.H);
                    for (size_t i = 0; i < Pixels.size();) {
                        // Runs of random length, so RLE's table and LZW's long strings appear.
                        const size_t Run = 1 + (R.Next() % 3 == 0 ? R.Next() % 200 : 0);
                        const uint8_t V = uint8_t(R.Next() % (1u << Bits));
                        for (size_t k = 0; k < Run && i < Pixels.size(); ++k) Pixels[i++] = V;
                    }
                    TMemoryStream S;
                    CreateGIFEncoder(M)->Encode(S, uint8_t(Bits), Sz.W, Sz.H, Interlaced,
                                                Pixels.data(), 1 << Bits);
                    S.Write("!", 1);
                    S.SetPosition(0);
                    Bytes Decoded(Pixels.size(), 0xEE);
                    TWarningRecorder Rec;
                    DecodeImageData(S, Decoded.data(), Sz.W, Sz.H, Interlaced, &Rec);
                    EXPECT_EQ(Decoded, Pixels) << Bits << " bits, " << Interlaced << ", " << M
                                               << ", " << Sz.W << "x" << Sz.H;
                    EXPECT_TRUE(Rec.Warnings.empty());
                    EXPECT_EQ(S.Position(), S.Size() - 1); // right after the terminator
                }
            }
        }
    }
}

} // namespace
} // namespace mv
