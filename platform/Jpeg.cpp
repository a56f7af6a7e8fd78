#include "platform/Jpeg.h"

#include "platform/SysUtils.h"

#include <cstdio> // jpeglib.h needs FILE and size_t first
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace mv {

namespace {

// ---------------------------------------------------------------------------
// libjpeg glue. libjpeg reports a fatal error through error_exit, which must not return.
// Ours longjmps back to the function that called into libjpeg; that function holds nothing
// with a destructor (everything lives in TJPEGContext), cleans libjpeg up and returns false,
// and only then does C++ code raise the exception. No C++ exception ever crosses libjpeg's
// C frames, and the process never exits.

struct TJPEGErrorManager {
    jpeg_error_mgr Pub; // first, so that a j_common_ptr's err converts to ours
    jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX];
};

struct TJPEGContext {
    jpeg_decompress_struct Info;
    TJPEGErrorManager Error;
    jpeg_source_mgr Source;
    jpeg_progress_mgr Progress;
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    bool Created = false;
};

void JPEGErrorExit(j_common_ptr Info) {
    auto* E = reinterpret_cast<TJPEGErrorManager*>(Info->err);
    (*Info->err->format_message)(Info, E->Message);
    longjmp(E->Jump, 1);
}

// Warnings (level -1) are counted, trace messages dropped; nothing goes to stderr.
void JPEGEmitMessage(j_common_ptr Info, int Level) {
    if (Level < 0) Info->err->num_warnings++;
}

void SourceInit(j_decompress_ptr) {}

// The data ran out: give libjpeg an end-of-image marker and a warning, as a file source
// does, so that a truncated file still gives the part of the picture it holds.
boolean SourceFill(j_decompress_ptr Info) {
    static const JOCTET FakeEOI[2] = {0xFF, JPEG_EOI};
    WARNMS(Info, JWRN_JPEG_EOF);
    Info->src->next_input_byte = FakeEOI;
    Info->src->bytes_in_buffer = 2;
    return TRUE;
}

void SourceSkip(j_decompress_ptr Info, long Count) {
    if (Count <= 0) return;
    if (static_cast<size_t>(Count) > Info->src->bytes_in_buffer) {
        SourceFill(Info);
        return;
    }
    Info->src->next_input_byte += Count;
    Info->src->bytes_in_buffer -= static_cast<size_t>(Count);
}

void SourceTerm(j_decompress_ptr) {}

void ProgressMonitor(j_common_ptr Info) {
    auto* D = reinterpret_cast<j_decompress_ptr>(Info);
    if (D->input_scan_number > MaxJPEGScans) {
        auto* E = reinterpret_cast<TJPEGErrorManager*>(Info->err);
        std::snprintf(E->Message, sizeof E->Message, "JPEG file has more than %d scans",
                      MaxJPEGScans);
        longjmp(E->Jump, 1);
    }
}

// Sets up the decompressor over the context's data. Must be called inside the setjmp scope.
void CreateDecompressor(TJPEGContext* C) {
    C->Info.err = jpeg_std_error(&C->Error.Pub);
    C->Error.Pub.error_exit = JPEGErrorExit;
    C->Error.Pub.emit_message = JPEGEmitMessage;
    jpeg_create_decompress(&C->Info);
    C->Created = true;
    C->Source.next_input_byte = C->Data;
    C->Source.bytes_in_buffer = C->Size;
    C->Source.init_source = SourceInit;
    C->Source.fill_input_buffer = SourceFill;
    C->Source.skip_input_data = SourceSkip;
    C->Source.resync_to_restart = jpeg_resync_to_restart;
    C->Source.term_source = SourceTerm;
    C->Info.src = &C->Source;
    if (C->Size == 0) ERREXIT(&C->Info, JERR_INPUT_EMPTY);
    C->Progress.progress_monitor = ProgressMonitor;
    C->Info.progress = &C->Progress;
}

void DestroyDecompressor(TJPEGContext* C) {
    if (C->Created) jpeg_destroy_decompress(&C->Info);
    C->Created = false;
}

bool ReadHeaderCore(TJPEGContext* C) {
    if (setjmp(C->Error.Jump)) {
        DestroyDecompressor(C);
        return false;
    }
    CreateDecompressor(C);
    jpeg_read_header(&C->Info, TRUE);
    return true;
}

struct TDecodeRequest {
    TJPEGOutput Output;
    int Width;
    int Height;
    uint8_t* const* Rows;
    uint8_t* Scratch; // one row of four-component samples
    int* Errors;      // two rows of dithering errors (four-component indexed decodes)
    int ErrorRow;
    TJPEGDecodeResult* Result;
    // Row by row: Rows are Strip rows of a buffer that is handed to Sink as it fills.
    const TJPEGRowSink* Sink = nullptr;
    int Strip = 0;
    std::exception_ptr SinkError; // what Sink raised; the decode stops there
};

// Hands Count decoded rows, the first being Row, to the sink. Its exceptions are kept for
// the caller to raise once libjpeg is cleaned up: none may cross libjpeg's frames.
bool PassRows(TDecodeRequest* R, int Row, int Count) {
    try {
        for (int i = 0; i < Count; ++i) (*R->Sink)(Row + i, R->Rows[i]);
    } catch (...) {
        R->SinkError = std::current_exception();
        return false;
    }
    return true;
}

bool IsFourComponent(const jpeg_decompress_struct& I) {
    return I.jpeg_color_space == JCS_CMYK || I.jpeg_color_space == JCS_YCCK;
}

// One channel of ink and black to a screen value. Adobe's writers store CMYK inverted
// (0 is full ink); plain CMYK stores ink amounts.
inline uint8_t InkToScreen(unsigned C, unsigned K, bool Inverted) {
    if (!Inverted) {
        C = 255 - C;
        K = 255 - K;
    }
    return static_cast<uint8_t>((C * K + 127) / 255);
}

// libjpeg's quantizers cannot take four-component output (the two-pass one needs three
// components, and the one-pass one would dither in ink space, which the nonlinear ink to
// screen conversion turns into visible errors). Such pictures are converted to screen
// colors row by row and dithered here onto the 6 x 6 x 6 cube with Floyd-Steinberg
// diffusion: 216 colors, within the limit. Errors is two rows of (Width + 2) * 3 ints.
void DitherToCube(TDecodeRequest* R, const uint8_t* BGR, uint8_t* Out) {
    const int W = R->Width;
    int* Cur = R->Errors + (R->ErrorRow & 1) * (W + 2) * 3;
    int* Next = R->Errors + ((R->ErrorRow + 1) & 1) * (W + 2) * 3;
    std::fill(Next, Next + (W + 2) * 3, 0);
    for (int x = 0; x < W; ++x) {
        int Level[3];
        for (int c = 0; c < 3; ++c) {
            int V = BGR[3 * x + c] + Cur[(x + 1) * 3 + c] / 16;
            V = V < 0 ? 0 : (V > 255 ? 255 : V);
            int L = (V + 25) / 51;
            Level[c] = L;
            int E = V - 51 * L;
            Cur[(x + 2) * 3 + c] += E * 7;
            Next[x * 3 + c] += E * 3;
            Next[(x + 1) * 3 + c] += E * 5;
            Next[(x + 2) * 3 + c] += E;
        }
        Out[x] = static_cast<uint8_t>(Level[2] * 36 + Level[1] * 6 + Level[0]);
    }
    R->ErrorRow++;
}

bool DecodeCore(TJPEGContext* C, TDecodeRequest* R) {
    if (setjmp(C->Error.Jump)) {
        R->Result->Warnings = static_cast<int>(C->Error.Pub.num_warnings);
        DestroyDecompressor(C);
        return false;
    }
    CreateDecompressor(C);
    jpeg_read_header(&C->Info, TRUE);
    jpeg_decompress_struct& I = C->Info;
    if (static_cast<int>(I.image_width) != R->Width ||
        static_cast<int>(I.image_height) != R->Height)
        ERREXIT(&I, JERR_IMAGE_TOO_BIG); // not the header we were given
    const bool Four = IsFourComponent(I);
    I.scale_num = 1;
    I.scale_denom = 1;
    I.dct_method = JDCT_FLOAT;
    I.do_fancy_upsampling = TRUE;
    I.do_block_smoothing = TRUE;
    I.buffered_image = FALSE;
    if (R->Output == TJPEGOutput::Indexed8 && !Four) {
        I.out_color_space = JCS_RGB; // grayscale pictures too: the quantizer wants three
        I.quantize_colors = TRUE;
        I.two_pass_quantize = TRUE;
        I.dither_mode = JDITHER_FS;
        I.desired_number_of_colors = JPEGPaletteColors;
        I.colormap = nullptr;
    } else {
        I.out_color_space = Four ? JCS_CMYK : JCS_EXT_BGR;
        I.quantize_colors = FALSE;
    }
    jpeg_start_decompress(&I);
    if (static_cast<int>(I.output_width) != R->Width ||
        static_cast<int>(I.output_height) != R->Height)
        ERREXIT(&I, JERR_IMAGE_TOO_BIG);
    const bool Inverted = I.saw_Adobe_marker;
    if (R->Output == TJPEGOutput::Indexed8 && Four) {
        R->Result->PaletteCount = 216;
        for (int i = 0; i < 216; ++i) {
            R->Result->Palette[i][0] = static_cast<uint8_t>(51 * (i / 36));
            R->Result->Palette[i][1] = static_cast<uint8_t>(51 * (i / 6 % 6));
            R->Result->Palette[i][2] = static_cast<uint8_t>(51 * (i % 6));
        }
    } else if (R->Output == TJPEGOutput::Indexed8) {
        int N = I.actual_number_of_colors;
        if (N > 256) N = 256;
        R->Result->PaletteCount = N;
        for (int i = 0; i < N; ++i) {
            uint8_t* P = R->Result->Palette[i];
            if (I.out_color_components == 4) {
                unsigned K = I.colormap[3][i];
                for (int c = 0; c < 3; ++c) P[c] = InkToScreen(I.colormap[c][i], K, Inverted);
            } else if (I.out_color_components == 3) {
                for (int c = 0; c < 3; ++c) P[c] = I.colormap[c][i];
            } else {
                P[0] = P[1] = P[2] = I.colormap[0][i];
            }
        }
    }
    while (I.output_scanline < I.output_height) {
        JDIMENSION Row = I.output_scanline;
        if (Four) {
            JSAMPROW Scratch = R->Scratch;
            if (jpeg_read_scanlines(&I, &Scratch, 1) != 1) break;
            const uint8_t* S = R->Scratch;
            uint8_t* D = R->Sink ? R->Rows[0]
                                 : (R->Output == TJPEGOutput::BGR24 ? R->Rows[Row] : R->Scratch);
            // In place is safe: each pixel's 3 bytes land at or before its 4 source bytes.
            for (int x = 0; x < R->Width; ++x, S += 4, D += 3) {
                uint8_t B = InkToScreen(S[2], S[3], Inverted);
                uint8_t G = InkToScreen(S[1], S[3], Inverted);
                uint8_t Rd = InkToScreen(S[0], S[3], Inverted);
                D[0] = B, D[1] = G, D[2] = Rd;
            }
            if (R->Sink) {
                if (!PassRows(R, static_cast<int>(Row), 1)) break;
            } else if (R->Output == TJPEGOutput::Indexed8) {
                DitherToCube(R, R->Scratch, R->Rows[Row]);
            }
        } else if (R->Sink) {
            // A strip at a time, libjpeg writing into it as many rows as it has ready.
            JSAMPARRAY Rows = const_cast<JSAMPARRAY>(R->Rows);
            const JDIMENSION Got = jpeg_read_scanlines(
                &I, Rows, std::min<JDIMENSION>(R->Strip, I.output_height - Row));
            if (Got == 0 || !PassRows(R, static_cast<int>(Row), static_cast<int>(Got))) break;
        } else {
            // Straight into the caller's rows, as many as libjpeg gives at once.
            JSAMPARRAY Rows = const_cast<JSAMPARRAY>(R->Rows + Row);
            if (jpeg_read_scanlines(&I, Rows, I.output_height - Row) == 0) break;
        }
    }
    R->Result->Warnings = static_cast<int>(C->Error.Pub.num_warnings);
    R->Result->Rows = static_cast<int>(I.output_scanline);
    // The rest of the file (markers after the last scan) is of no interest: no
    // jpeg_finish_decompress, which would read on and might fail on trailing bytes.
    DestroyDecompressor(C);
    return true;
}

} // namespace

TJPEGHeader ReadJPEGHeader(const uint8_t* Data, size_t Size) {
    auto C = std::make_unique<TJPEGContext>();
    C->Data = Data;
    C->Size = Size;
    if (!ReadHeaderCore(C.get())) throw EJPEG(C->Error.Message);
    TJPEGHeader H;
    H.Width = static_cast<int>(C->Info.image_width);
    H.Height = static_cast<int>(C->Info.image_height);
    H.Components = C->Info.num_components;
    H.Grayscale = C->Info.jpeg_color_space == JCS_GRAYSCALE;
    H.Progressive = C->Info.progressive_mode;
    DestroyDecompressor(C.get());
    const int64_t Pixels = int64_t(H.Width) * H.Height;
    if (Pixels > MaxJPEGPixels ||
        (Pixels > MaxJPEGFreePixels && Pixels / MaxJPEGPixelsPerByte > static_cast<int64_t>(Size)))
        throw EInvalidGraphic(Format("JPEG header claims %d x %d pixels from a %zu-byte file",
                                     H.Width, H.Height, Size));
    return H;
}

void DecodeJPEG(const uint8_t* Data, size_t Size, TJPEGOutput Output, int Width, int Height,
                uint8_t* const* Rows, TJPEGDecodeResult& Result) {
    auto C = std::make_unique<TJPEGContext>();
    C->Data = Data;
    C->Size = Size;
    const size_t W = static_cast<size_t>(Width > 0 ? Width : 1);
    std::vector<uint8_t> Scratch(W * 4);
    std::vector<int> Errors(Output == TJPEGOutput::Indexed8 ? (W + 2) * 6 : 0);
    TDecodeRequest R{Output, Width,   Height,  Rows, Scratch.data(), Errors.data(),
                     0,      &Result, nullptr, 0,    nullptr};
    Result = TJPEGDecodeResult();
    if (!DecodeCore(C.get(), &R)) throw EJPEG(C->Error.Message);
}

void DecodeJPEGRows(const uint8_t* Data, size_t Size, int Width, int Height,
                    const TJPEGRowSink& Sink, TJPEGDecodeResult& Result) {
    auto C = std::make_unique<TJPEGContext>();
    C->Data = Data;
    C->Size = Size;
    const size_t W = static_cast<size_t>(Width > 0 ? Width : 1);
    // libjpeg gives at most a few rows per call (its largest sampling factor, up to 4); a
    // strip of 16 keeps the calls few and the buffer a few rows of the picture.
    constexpr int Strip = 16;
    std::vector<uint8_t> Buffer(W * 3 * Strip);
    std::vector<uint8_t*> Rows(Strip);
    for (int i = 0; i < Strip; ++i) Rows[static_cast<size_t>(i)] = Buffer.data() + W * 3 * i;
    std::vector<uint8_t> Scratch(W * 4);
    TDecodeRequest R{TJPEGOutput::BGR24,
                     Width,
                     Height,
                     Rows.data(),
                     Scratch.data(),
                     nullptr,
                     0,
                     &Result,
                     &Sink,
                     Strip,
                     nullptr};
    Result = TJPEGDecodeResult();
    const bool Done = DecodeCore(C.get(), &R);
    if (R.SinkError) std::rethrow_exception(R.SinkError);
    if (!Done) throw EJPEG(C->Error.Message);
    // Rows the data did not reach are black, as in a decoded bitmap.
    if (Result.Rows < Height) {
        std::fill(Buffer.begin(), Buffer.begin() + static_cast<std::ptrdiff_t>(W * 3), 0);
        for (int y = Result.Rows; y < Height; ++y) Sink(y, Buffer.data());
    }
}

// ---------------------------------------------------------------------------
// TJPEGImage

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::LoadFromStream(TStream& Stream) {
    const int64_t Count = Stream.Size() - Stream.Position();
    std::vector<uint8_t> Bytes(static_cast<size_t>(Count > 0 ? Count : 0));
    Stream.ReadBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    TJPEGHeader Header = ReadJPEGHeader(Bytes.data(), Bytes.size());
    FData = std::move(Bytes);
    FHeader = Header;
    FreeBitmap();
    Changed(this);
}

void TJPEGImage::SaveToStream(TStream& Stream) {
    Stream.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size()));
}

void TJPEGImage::SetWidth(int32_t) {
    throw EInvalidGraphicOperation("Cannot change the size of a JPEG image");
}

void TJPEGImage::SetHeight(int32_t) {
    throw EInvalidGraphicOperation("Cannot change the size of a JPEG image");
}

HPALETTE TJPEGImage::GetPalette() {
    TBitmap* B = Bitmap();
    return B ? B->GetPalette() : HPALETTE();
}

bool TJPEGImage::Equals(TGraphic* Graphic) {
    auto* Other = dynamic_cast<TJPEGImage*>(Graphic);
    return Other != nullptr && Other->FData == FData;
}

namespace {

// Asks the system to back a large pixel buffer with huge pages before it is first written:
// a full-size picture is tens of megabytes, and faulting it in 4 KB pages costs more than
// decoding into it. Only a hint; nothing changes when it is not followed.
void AdviseLargePages(uint8_t* Data, size_t Size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t Huge = uintptr_t(2) << 20;
    if (Size < 4 * Huge) return;
    uintptr_t Begin = (reinterpret_cast<uintptr_t>(Data) + Huge - 1) & ~(Huge - 1);
    uintptr_t End = (reinterpret_cast<uintptr_t>(Data) + Size) & ~(Huge - 1);
    if (End > Begin) madvise(reinterpret_cast<void*>(Begin), End - Begin, MADV_HUGEPAGE);
#else
    (void)Data;
    (void)Size;
#endif
}

} // namespace

TBitmap* TJPEGImage::Bitmap() {
    if (FBitmap || FData.empty()) return FBitmap.get();
    const bool Indexed = ScreenBitsPerPixel() <= 8;
    const int W = FHeader.Width, H = FHeader.Height;
    // libjpeg writes straight into the rows of a DIB of our own, which needs no clearing
    // first: the decoder writes every pixel, and what it does not (row padding, rows after
    // a failure) is cleared below.
    auto Image = std::make_shared<TBitmapObject>();
    Image->DIB = true;
    Image->Allocate(W, H, Indexed ? 8 : 24, false);
    AdviseLargePages(Image->Bits(), Image->ByteSize());
    std::vector<uint8_t*> Rows(static_cast<size_t>(H));
    for (int y = 0; y < H; ++y) Rows[static_cast<size_t>(y)] = Image->Row(y);
    TJPEGDecodeResult R;
    DecodeJPEG(FData.data(), FData.size(), Indexed ? TJPEGOutput::Indexed8 : TJPEGOutput::BGR24, W,
               H, Rows.data(), R);
    const size_t Used = static_cast<size_t>(W) * (Indexed ? 1 : 3);
    const size_t Stride = static_cast<size_t>(Image->Stride);
    for (int y = 0; y < H; ++y) {
        if (y < R.Rows)
            std::memset(Image->Row(y) + Used, 0, Stride - Used);
        else
            std::memset(Image->Row(y), 0, Stride);
    }
    auto B = std::make_unique<TBitmap>();
    if (Indexed) {
        Image->ColorTable.resize(static_cast<size_t>(std::max(R.PaletteCount, 1)));
        for (int i = 0; i < R.PaletteCount; ++i)
            Image->ColorTable[static_cast<size_t>(i)] = {R.Palette[i][2], R.Palette[i][1],
                                                         R.Palette[i][0], 0};
        B->SetHandle(Image);
        B->SetPaletteModified(true);
    } else {
        B->SetHandle(Image);
    }
    FWarnings = R.Warnings;
    FBitmap = std::move(B);
    return FBitmap.get();
}

void TJPEGImage::FreeBitmap() {
    FBitmap.reset();
}

void TJPEGImage::Draw(TCanvas& ACanvas, const TRect& Rect) {
    if (TBitmap* B = Bitmap()) ACanvas.StretchDraw(Rect, B);
}

void TJPEGImage::LoadFromClipboardFormat(uint32_t, THandle, HPALETTE) {
    throw EInvalidGraphic("JPEG images cannot be read from the clipboard");
}

void TJPEGImage::SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) {
    TBitmap* B = Bitmap();
    if (!B) throw EInvalidGraphic("An empty JPEG image cannot be put on the clipboard");
    B->SaveToClipboardFormat(AFormat, AData, APalette);
}

void TJPEGImage::Assign(TPersistent* Source) {
    if (auto* J = dynamic_cast<TJPEGImage*>(Source)) {
        if (J == this) return;
        FData = J->FData;
        FHeader = J->FHeader;
        FreeBitmap();
        Changed(this);
        return;
    }
    TGraphic::Assign(Source);
}

void TJPEGImage::AssignTo(TPersistent* Dest) {
    if (auto* D = dynamic_cast<TBitmap*>(Dest)) {
        if (TBitmap* B = Bitmap()) {
            D->Assign(B);
        } else {
            TBitmap Empty;
            D->Assign(&Empty);
        }
        return;
    }
    TGraphic::AssignTo(Dest);
}

void RegisterJPEGFormats() {
    static std::mutex Lock;
    std::lock_guard<std::mutex> Guard(Lock);
    const TGraphicClass Class = TJPEGImage::ClassInfo();
    // The framework lists the most recent first, so "jpg" comes before "jpeg".
    for (const char* Ext : {"jpeg", "jpg"})
        if (TPicture::FindExtension(Ext) != Class)
            TPicture::RegisterFileFormat(Ext, "JPEG Image File", Class);
}

} // namespace mv
