// BMP reading and writing.
#include "platform/Bmp.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <cstring>

namespace mv {

namespace {

[[noreturn]] void Invalid() {
    throw EInvalidGraphic("Bitmap image is not valid");
}
[[noreturn]] void Invalid(const std::string& Message) {
    throw EInvalidGraphic(Message);
}

// A read-only stream over memory we do not own.
class TBufferStream : public TStream {
public:
    TBufferStream(const uint8_t* Data, size_t Size)
        : FData(Data), FSize(static_cast<int64_t>(Size)) {}
    int64_t Read(void* Buffer, int64_t Count) override {
        if (Count <= 0 || FPos >= FSize) return 0;
        int64_t N = std::min(Count, FSize - FPos);
        std::memcpy(Buffer, FData + FPos, static_cast<size_t>(N));
        FPos += N;
        return N;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
        int64_t Base = Origin == soBeginning ? 0 : Origin == soCurrent ? FPos : FSize;
        FPos = std::max<int64_t>(0, Base + Offset);
        return FPos;
    }
    int64_t Size() override { return FSize; }

private:
    const uint8_t* FData;
    int64_t FSize;
    int64_t FPos = 0;
};

// Reverses the order of Rows rows of Stride bytes in place (bottom-up <-> top-down).
void FlipRows(uint8_t* Base, size_t Stride, int32_t Rows) {
    for (int32_t Top = 0, Bottom = Rows - 1; Top < Bottom; ++Top, --Bottom)
        std::swap_ranges(Base + Stride * static_cast<size_t>(Top),
                         Base + Stride * static_cast<size_t>(Top + 1),
                         Base + Stride * static_cast<size_t>(Bottom));
}

inline uint16_t U16(const uint8_t* P) {
    return static_cast<uint16_t>(P[0] | (P[1] << 8));
}
inline uint32_t U32(const uint8_t* P) {
    return static_cast<uint32_t>(P[0]) | (static_cast<uint32_t>(P[1]) << 8) |
           (static_cast<uint32_t>(P[2]) << 16) | (static_cast<uint32_t>(P[3]) << 24);
}

int64_t RowBytes(int64_t Width, int64_t Bits, int64_t Align) {
    return ((Width * Bits + Align - 1) & ~(Align - 1)) / 8;
}

bool ContiguousMask(uint32_t M) {
    if (M == 0) return true;
    uint32_t Shifted = M >> __builtin_ctz(M);
    return (Shifted & (Shifted + 1)) == 0;
}

// A mask's value scaled to 0..255.
struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    uint32_t Max = 0;
    explicit TChannel(uint32_t M) : Mask(M) {
        if (M) {
            Shift = __builtin_ctz(M);
            Max = M >> Shift;
        }
    }
    uint8_t Get(uint32_t V) const {
        if (!Mask) return 0;
        return static_cast<uint8_t>((((V & Mask) >> Shift) * 255 + Max / 2) / Max);
    }
};

struct THeader {
    uint32_t Size = 0;
    int32_t Width = 0;
    int32_t Height = 0; // as stored: negative for top-down
    uint16_t BitCount = 0;
    uint32_t Compression = BI_RGB;
    uint32_t SizeImage = 0;
    uint32_t ClrUsed = 0;
    uint32_t ClrImportant = 0;
    uint32_t Masks[4] = {0, 0, 0, 0};
    bool Core = false;
};

// Reads the info header at the stream's position; answers the bytes it took, masks included.
int64_t ReadInfoHeader(TStream& S, int64_t Avail, THeader& H) {
    uint8_t B[124] = {};
    if (Avail < 4 || S.Read(B, 4) != 4) Invalid();
    H.Size = U32(B);
    if (H.Size == 12) {
        if (Avail < 12 || S.Read(B + 4, 8) != 8) Invalid();
        H.Core = true;
        H.Width = U16(B + 4);
        H.Height = U16(B + 6);
        H.BitCount = U16(B + 10);
        return 12;
    }
    if (H.Size < 16 || H.Size > 4096)
        Invalid(Format("BMP header size %u is not one of the known kinds", H.Size));
    if (Avail < H.Size) Invalid();
    uint32_t Take = std::min<uint32_t>(H.Size, 124);
    if (S.Read(B + 4, Take - 4) != static_cast<int64_t>(Take - 4)) Invalid();
    if (H.Size > Take) S.Seek(H.Size - Take, soCurrent);
    H.Width = static_cast<int32_t>(U32(B + 4));
    H.Height = static_cast<int32_t>(U32(B + 8));
    H.BitCount = U16(B + 14);
    H.Compression = Take >= 20 ? U32(B + 16) : BI_RGB;
    H.SizeImage = Take >= 24 ? U32(B + 20) : 0;
    H.ClrUsed = Take >= 36 ? U32(B + 32) : 0;
    H.ClrImportant = Take >= 40 ? U32(B + 36) : 0;
    int64_t Used = H.Size;
    if (H.Size >= 52) {
        // V2 and later headers carry the masks themselves.
        H.Masks[0] = U32(B + 40);
        H.Masks[1] = U32(B + 44);
        H.Masks[2] = U32(B + 48);
        if (H.Size >= 56) H.Masks[3] = U32(B + 52);
    } else if (H.Size == 40 &&
               (H.Compression == BI_BITFIELDS || H.Compression == BI_ALPHABITFIELDS)) {
        // A plain info header is followed by the three (or four) masks.
        int N = H.Compression == BI_ALPHABITFIELDS ? 4 : 3;
        if (Avail < Used + 4 * N) Invalid();
        uint8_t M[16];
        if (S.Read(M, 4 * N) != 4 * N) Invalid();
        for (int i = 0; i < N; ++i) H.Masks[i] = U32(M + 4 * i);
        Used += 4 * N;
    }
    return Used;
}

// Decodes RLE8 or RLE4 data into the (zeroed) bitmap. Rows are counted from the bottom.
void DecodeRLE(const uint8_t* D, size_t N, TBitmapObject& B, bool Four) {
    const int32_t W = B.Width, H = B.Height;
    int32_t x = 0, y = 0; // y: rows from the bottom
    size_t p = 0;
    auto Put = [&](int32_t X, uint8_t V) {
        uint8_t* Row = B.Row(H - 1 - y);
        if (Four) {
            if (X & 1)
                Row[X >> 1] = static_cast<uint8_t>((Row[X >> 1] & 0xF0) | (V & 0x0F));
            else
                Row[X >> 1] = static_cast<uint8_t>((Row[X >> 1] & 0x0F) | (V << 4));
        } else {
            Row[X] = V;
        }
    };
    auto OffPicture = [&](int32_t Count) {
        throw EInvalidGraphic(Format("BMP RLE data runs off the picture (%d pixels from column %d "
                                     "of row %d in a %d x %d picture)",
                                     Count, x, H - 1 - y, W, H));
    };
    // Writes Count pixels from x on; a 4-bit run may reach one nibble past an odd width, since
    // its pixels come in pairs.
    auto CheckRun = [&](int32_t Count) {
        if (y >= H) OffPicture(Count);
        int32_t Slack = Four && (W & 1) ? 1 : 0;
        if (static_cast<int64_t>(x) + Count > static_cast<int64_t>(W) + Slack) OffPicture(Count);
    };
    while (true) {
        if (p + 2 > N) {
            // Data that stops after the last row is accepted without its end marker.
            if (y >= H) return;
            Invalid(Format("BMP RLE data ends early, at row %d of %d", H - 1 - y, H));
        }
        uint8_t Count = D[p], Value = D[p + 1];
        p += 2;
        if (Count > 0) {
            CheckRun(Count);
            for (int i = 0; i < Count; ++i, ++x) {
                if (x >= W) continue;
                uint8_t V =
                    Four ? static_cast<uint8_t>((i & 1) ? (Value & 0x0F) : (Value >> 4)) : Value;
                Put(x, V);
            }
            continue;
        }
        switch (Value) {
        case 0: // end of line
            x = 0;
            ++y;
            break;
        case 1: // end of bitmap
            return;
        case 2: { // delta
            if (p + 2 > N) Invalid("BMP RLE data ends inside a delta");
            int32_t dx = D[p], dy = D[p + 1];
            p += 2;
            x += dx;
            y += dy;
            if (x > W || y > H || (y == H && x > 0)) OffPicture(0);
            break;
        }
        default: { // absolute run of Value pixels, padded to a 16-bit boundary
            int32_t Pixels = Value;
            size_t Bytes =
                Four ? (static_cast<size_t>(Pixels) + 1) / 2 : static_cast<size_t>(Pixels);
            size_t Padded = (Bytes + 1) & ~size_t{1};
            if (p + Bytes > N) Invalid("BMP RLE data ends inside an absolute run");
            CheckRun(Pixels);
            for (int32_t i = 0; i < Pixels; ++i, ++x) {
                if (x >= W) continue;
                uint8_t V = Four ? static_cast<uint8_t>((i & 1) ? (D[p + i / 2] & 0x0F)
                                                                : (D[p + i / 2] >> 4))
                                 : D[p + static_cast<size_t>(i)];
                Put(x, V);
            }
            p += std::min(Padded, N - p);
            break;
        }
        }
    }
}

// Reads the DIB whose info header starts at the stream's position. Base is where the file (or
// the DIB, without a file header) starts; OffBits the pixel offset from Base, or 0 when the
// pixels follow the color table.
HBITMAP ReadDIBAt(TStream& S, int64_t Base, int64_t FileSize, uint32_t OffBits,
                  const HBITMAP& Reuse) {
    int64_t HeaderPos = S.Position();
    THeader H;
    int64_t HeaderBytes = ReadInfoHeader(S, FileSize - (HeaderPos - Base), H);

    const int32_t W = H.Width;
    const bool TopDown = H.Height < 0;
    if (H.Height == INT32_MIN) Invalid();
    const int32_t Ht = TopDown ? -H.Height : H.Height;
    const int Bits = H.BitCount;
    if (W <= 0 || Ht <= 0) Invalid(Format("BMP header claims %d x %d pixels", W, H.Height));
    if (H.Compression == BI_JPEG || H.Compression == BI_PNG)
        Invalid(Format("BMP compression %u (embedded %s) is not supported", H.Compression,
                       H.Compression == BI_JPEG ? "JPEG" : "PNG"));
    if (!(Bits == 1 || Bits == 4 || Bits == 8 || Bits == 16 || Bits == 24 || Bits == 32))
        Invalid(Format("BMP with %d bits per pixel is not supported", Bits));
    if (H.Core && Bits != 1 && Bits != 4 && Bits != 8 && Bits != 24) Invalid();
    bool RLE = H.Compression == BI_RLE8 || H.Compression == BI_RLE4;
    switch (H.Compression) {
    case BI_RGB:
        break;
    case BI_RLE8:
        if (Bits != 8) Invalid(Format("BMP RLE8 data with %d bits per pixel", Bits));
        break;
    case BI_RLE4:
        if (Bits != 4) Invalid(Format("BMP RLE4 data with %d bits per pixel", Bits));
        break;
    case BI_BITFIELDS:
    case BI_ALPHABITFIELDS:
        if (Bits != 16 && Bits != 32)
            Invalid(Format("BMP bit fields with %d bits per pixel", Bits));
        break;
    default:
        Invalid(Format("BMP compression %u is not supported", H.Compression));
    }
    if (RLE && TopDown) Invalid("BMP RLE data cannot be stored top-down");
    if (W > bmplimits::MaxSide || Ht > bmplimits::MaxSide)
        Invalid(Format("BMP header claims %d x %d pixels, more than we accept", W, Ht));

    // Masks for 16 and 32 bits.
    uint32_t RM = 0, GM = 0, BM = 0;
    if (Bits == 16 || Bits == 32) {
        if (H.Compression == BI_BITFIELDS || H.Compression == BI_ALPHABITFIELDS) {
            RM = H.Masks[0];
            GM = H.Masks[1];
            BM = H.Masks[2];
            uint32_t Limit = Bits == 16 ? 0xFFFF : 0xFFFFFFFF;
            if ((RM | GM | BM) == 0 || (RM | GM | BM) > Limit || !ContiguousMask(RM) ||
                !ContiguousMask(GM) || !ContiguousMask(BM) || (RM & GM) || (RM & BM) || (GM & BM))
                Invalid(Format("BMP bit masks %08X %08X %08X are not valid for %d bits", RM, GM, BM,
                               Bits));
        } else if (Bits == 16) {
            RM = 0x7C00, GM = 0x03E0, BM = 0x001F;
        } else {
            RM = 0xFF0000, GM = 0xFF00, BM = 0xFF;
        }
    }

    // Color table.
    const int EntrySize = H.Core ? 3 : 4;
    int64_t TableStart = HeaderPos + HeaderBytes;
    uint64_t Count = 0;
    if (Bits <= 8) {
        uint32_t Full = 1u << Bits;
        Count = H.ClrUsed ? H.ClrUsed : Full;
        if (Count > 256)
            Invalid(Format("BMP color table claims %u colors for %d bits per pixel",
                           static_cast<uint32_t>(std::min<uint64_t>(Count, 0xFFFFFFFF)), Bits));
        if (Count > Full) Count = Full;
    } else if (H.ClrUsed) {
        // Deeper pictures may carry a table for palette displays; it is skipped.
        if (H.ClrUsed > 65536)
            Invalid(
                Format("BMP color table claims %u colors for %d bits per pixel", H.ClrUsed, Bits));
        Count = 0;
    }
    int64_t TableEnd = TableStart + static_cast<int64_t>(Count) * EntrySize;
    int64_t SkipTable = Bits > 8 ? static_cast<int64_t>(H.ClrUsed) * EntrySize : 0;
    int64_t End = Base + FileSize;
    int64_t PixelPos;
    if (OffBits != 0) {
        PixelPos = Base + OffBits;
        if (PixelPos > End)
            Invalid(Format("BMP pixel data offset %u lies beyond the %lld-byte file", OffBits,
                           static_cast<long long>(FileSize)));
        if (PixelPos < TableStart) {
            // An offset inside the header cannot be right; the pixels follow the table.
            PixelPos = TableEnd;
        } else if (PixelPos < TableEnd) {
            // A short color table: only the entries before the pixels exist.
            Count = static_cast<uint64_t>((PixelPos - TableStart) / EntrySize);
            TableEnd = TableStart + static_cast<int64_t>(Count) * EntrySize;
        }
    } else {
        PixelPos = TableEnd + SkipTable;
    }
    if (TableEnd > End)
        Invalid(Format("BMP color table of %u entries runs past the end of the data",
                       static_cast<uint32_t>(Count)));
    if (Bits <= 8 && Count == 0) Invalid("BMP color table is empty");

    std::vector<RGBQUAD> Table(static_cast<size_t>(Count));
    if (Count) {
        std::vector<uint8_t> Raw(static_cast<size_t>(Count) * EntrySize);
        S.SetPosition(TableStart);
        if (S.Read(Raw.data(), static_cast<int64_t>(Raw.size())) !=
            static_cast<int64_t>(Raw.size()))
            Invalid();
        for (size_t i = 0; i < Count; ++i)
            Table[i] = {Raw[i * EntrySize], Raw[i * EntrySize + 1], Raw[i * EntrySize + 2], 0};
    }

    int64_t DataAvail = End - PixelPos;
    if (DataAvail < 0) Invalid();
    const int64_t FileStride = RowBytes(W, Bits, 32);
    auto Img = std::make_shared<TBitmapObject>();
    // An importance count beyond the table means all of it, as 0 does.
    const uint32_t Important = Bits <= 8 && H.ClrImportant <= Count ? H.ClrImportant : 0;
    Img->ClrImportant = Important;

    if (RLE) {
        int64_t Len = DataAvail;
        if (H.SizeImage != 0 && H.SizeImage < Len) Len = H.SizeImage;
        if (static_cast<int64_t>(W) * Ht > (Len + 2) * bmplimits::MaxRLEPixelsPerByte)
            Invalid(Format("BMP header claims %d x %d pixels from %lld bytes of RLE data", W, Ht,
                           static_cast<long long>(Len)));
        if (static_cast<int64_t>(W) * Ht > bmplimits::MaxPixels)
            Invalid(Format("BMP header claims %d x %d pixels, more than we accept", W, Ht));
        std::vector<uint8_t> Data(static_cast<size_t>(Len));
        S.SetPosition(PixelPos);
        if (S.Read(Data.data(), Len) != Len) Invalid();
        Img->Allocate(W, Ht, Bits, true);
        Img->ColorTable = std::move(Table);
        DecodeRLE(Data.data(), Data.size(), *Img, H.Compression == BI_RLE4);
        S.SetPosition(PixelPos + Len);
        return Img;
    }

    // Uncompressed: the data must hold every row; only the last row's padding may be missing.
    int64_t Need = FileStride * Ht;
    int64_t LastRowBytes = RowBytes(W, Bits, 8);
    int64_t Minimum = FileStride * (Ht - 1) + LastRowBytes;
    if (DataAvail < Minimum) {
        if (Need > 2 * DataAvail + 4096)
            Invalid(Format("BMP header claims %d x %d pixels from a %lld-byte file", W, Ht,
                           static_cast<long long>(FileSize)));
        Invalid(Format("BMP pixel data is truncated: %lld of %lld bytes present",
                       static_cast<long long>(DataAvail), static_cast<long long>(Need)));
    }

    if (static_cast<int64_t>(W) * Ht > bmplimits::MaxPixels)
        Invalid(Format("BMP header claims %d x %d pixels, more than we accept", W, Ht));

    bool Standard16 = Bits == 16 && ((RM == 0x7C00 && GM == 0x03E0 && BM == 0x001F) ||
                                     (RM == 0xF800 && GM == 0x07E0 && BM == 0x001F));
    bool Standard32 = Bits == 32 && RM == 0xFF0000 && GM == 0xFF00 && BM == 0xFF;
    bool Direct = Bits <= 8 || Bits == 24 || Standard16 || Standard32;
    S.SetPosition(PixelPos);
    if (Direct) {
        if (Bits == 16) {
            Img->RedMask = RM;
            Img->GreenMask = GM;
            Img->BlueMask = BM;
        }
        const bool Reusable = Reuse && Reuse->Width == W && Reuse->Height == Ht &&
                              Reuse->BitCount == Bits && Reuse->SelectedCount == 0;
        // Same geometry: the caller's bitmap object takes the new pixels and description.
        auto TakeReuse = [&] {
            Img = Reuse;
            Img->DIB = true;
            Img->Monochrome = false;
            Img->RedMask = Bits == 16 ? RM : 0;
            Img->GreenMask = Bits == 16 ? GM : 0;
            Img->BlueMask = Bits == 16 ? BM : 0;
            Img->ClrImportant = Important;
        };
        auto* Donor = dynamic_cast<TBMPImageStream*>(&S);
        std::unique_ptr<uint8_t[]> Block =
            Donor && DataAvail >= Need ? Donor->TakePixels(PixelPos, Need) : nullptr;
        if (Block) {
            // The rows are taken over where they are: no copy, no fresh memory.
            if (Reusable) TakeReuse();
            if (!TopDown) FlipRows(Block.get(), static_cast<size_t>(FileStride), Ht);
            Img->Adopt(std::move(Block), 0, W, Ht, Bits);
            Img->ColorTable = std::move(Table);
            S.SetPosition(PixelPos + Need);
            return Img;
        }
        if (Reusable) {
            // The pixels go into the memory the caller no longer needs.
            TakeReuse();
        } else {
            Img->Allocate(W, Ht, Bits, false);
        }
        Img->ColorTable = std::move(Table);
        auto ReadFailed = [&] {
            if (Img == Reuse) Img->Allocate(0, 0, Bits); // half-written pixels are not kept
            Invalid();
        };
        if (TopDown && DataAvail >= Need) {
            if (S.Read(Img->Bits(), Need) != Need) ReadFailed();
        } else {
            for (int32_t i = 0; i < Ht; ++i) {
                uint8_t* Row = Img->Row(TopDown ? i : Ht - 1 - i);
                int64_t Take = std::min<int64_t>(FileStride, DataAvail - FileStride * i);
                if (S.Read(Row, Take) != Take) ReadFailed();
                if (Take < FileStride)
                    std::memset(Row + Take, 0, static_cast<size_t>(FileStride - Take));
            }
        }
        return Img;
    }

    // Other bit fields: decoded into 32 bits.
    Img->Allocate(W, Ht, 32, false);
    TChannel R(RM), G(GM), B(BM);
    std::vector<uint8_t> Buf(static_cast<size_t>(FileStride), 0);
    for (int32_t i = 0; i < Ht; ++i) {
        int64_t Take = std::min<int64_t>(FileStride, DataAvail - FileStride * i);
        std::fill(Buf.begin(), Buf.end(), 0);
        if (S.Read(Buf.data(), Take) != Take) Invalid();
        uint8_t* Row = Img->Row(TopDown ? i : Ht - 1 - i);
        for (int32_t x = 0; x < W; ++x) {
            uint32_t V = Bits == 16 ? U16(&Buf[2 * static_cast<size_t>(x)])
                                    : U32(&Buf[4 * static_cast<size_t>(x)]);
            Row[4 * x] = B.Get(V);
            Row[4 * x + 1] = G.Get(V);
            Row[4 * x + 2] = R.Get(V);
            Row[4 * x + 3] = 0;
        }
    }
    return Img;
}

} // namespace

HBITMAP ReadBMP(TStream& Stream, const HBITMAP& Reuse) {
    int64_t Base = Stream.Position();
    int64_t FileSize = Stream.Size() - Base;
    uint8_t FH[14];
    if (FileSize < 14 + 12 || Stream.Read(FH, 14) != 14) Invalid();
    if (FH[0] != 'B' || FH[1] != 'M') Invalid();
    uint32_t OffBits = U32(FH + 10);
    HBITMAP B = ReadDIBAt(Stream, Base, FileSize, OffBits == 0 ? 0 : OffBits, Reuse);
    return B;
}

HBITMAP ReadDIB(const uint8_t* Data, size_t Size) {
    if (!Data) Invalid();
    TBufferStream S(Data, Size);
    return ReadDIBAt(S, 0, static_cast<int64_t>(Size), 0, nullptr);
}

TBMPImageStream::TBMPImageStream(std::vector<uint8_t> Head, std::unique_ptr<uint8_t[]> Pixels,
                                 int64_t PixelBytes)
    : FHead(std::move(Head)), FPixels(std::move(Pixels)), FPixelBytes(FPixels ? PixelBytes : 0) {}

int64_t TBMPImageStream::Read(void* Buffer, int64_t Count) {
    auto* Out = static_cast<uint8_t*>(Buffer);
    int64_t Done = 0;
    const int64_t HeadBytes = static_cast<int64_t>(FHead.size());
    while (Done < Count && FPosition < HeadBytes + FPixelBytes) {
        if (FPosition < HeadBytes) {
            int64_t N = std::min(Count - Done, HeadBytes - FPosition);
            std::memcpy(Out + Done, FHead.data() + FPosition, static_cast<size_t>(N));
            Done += N;
            FPosition += N;
        } else {
            if (!FPixels) break; // taken over
            int64_t N = std::min(Count - Done, HeadBytes + FPixelBytes - FPosition);
            std::memcpy(Out + Done, FPixels.get() + (FPosition - HeadBytes),
                        static_cast<size_t>(N));
            Done += N;
            FPosition += N;
        }
    }
    return Done;
}

int64_t TBMPImageStream::Write(const void*, int64_t) {
    return 0;
}

int64_t TBMPImageStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t Base = Origin == soBeginning ? 0 : Origin == soCurrent ? FPosition : Size();
    FPosition = std::max<int64_t>(0, Base + Offset);
    return FPosition;
}

int64_t TBMPImageStream::Size() {
    return static_cast<int64_t>(FHead.size()) + FPixelBytes;
}

std::unique_ptr<uint8_t[]> TBMPImageStream::TakePixels(int64_t Position, int64_t Bytes) {
    if (!FPixels || Position != static_cast<int64_t>(FHead.size()) || Bytes > FPixelBytes)
        return nullptr;
    return std::move(FPixels);
}

void WriteBMP(TStream& Stream, const TBitmapObject& Image) {
    int Bits = Image.BitCount;
    std::vector<RGBQUAD> Table;
    if (Bits <= 8) {
        if (Image.Monochrome)
            Table = {{0, 0, 0, 0}, {255, 255, 255, 0}};
        else
            Table = Image.ColorTable;
        if (Table.empty()) Table.assign(size_t{1} << Bits, RGBQUAD{});
        if (Table.size() > (size_t{1} << Bits)) Table.resize(size_t{1} << Bits);
    }
    bool Fields = Bits == 16 && !(Image.RedMask == 0x7C00 && Image.GreenMask == 0x03E0 &&
                                  Image.BlueMask == 0x001F);
    uint32_t HeaderBytes = 14 + 40 + (Fields ? 12 : 0) + static_cast<uint32_t>(Table.size() * 4);
    uint64_t PixelBytes = Image.ByteSize();
    BITMAPFILEHEADER FH;
    FH.bfSize = static_cast<uint32_t>(std::min<uint64_t>(HeaderBytes + PixelBytes, 0xFFFFFFFF));
    FH.bfOffBits = HeaderBytes;
    BITMAPINFOHEADER IH;
    IH.biWidth = Image.Width;
    IH.biHeight = Image.Height;
    IH.biBitCount = static_cast<uint16_t>(Bits);
    IH.biCompression = Fields ? BI_BITFIELDS : BI_RGB;
    IH.biSizeImage = static_cast<uint32_t>(std::min<uint64_t>(PixelBytes, 0xFFFFFFFF));
    IH.biClrUsed = static_cast<uint32_t>(Table.size());
    IH.biClrImportant = Image.ClrImportant <= Table.size() ? Image.ClrImportant : 0;
    std::vector<uint8_t> Head(HeaderBytes);
    std::memcpy(Head.data(), &FH, 14);
    std::memcpy(Head.data() + 14, &IH, 40);
    size_t P = 54;
    if (Fields) {
        uint32_t M[3] = {Image.RedMask, Image.GreenMask, Image.BlueMask};
        std::memcpy(Head.data() + P, M, 12);
        P += 12;
    }
    if (!Table.empty()) std::memcpy(Head.data() + P, Table.data(), Table.size() * 4);
    Stream.WriteBuffer(Head.data(), static_cast<int64_t>(Head.size()));
    // Rows bottom-up, as a positive height says.
    for (int32_t y = Image.Height - 1; y >= 0; --y) Stream.WriteBuffer(Image.Row(y), Image.Stride);
}

} // namespace mv
