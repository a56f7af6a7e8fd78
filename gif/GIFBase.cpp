#include "gif/GIFBase.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <cstring>

namespace mv {

const char* const GIFMessageTable[] = {
    gifmsg::InvalidReductionMethod,
    gifmsg::GIFImageDescription,
    gifmsg::Loading,
    gifmsg::Saving,
    gifmsg::Converting,
    gifmsg::Rendering,
    gifmsg::Copying,
    gifmsg::Optimizing,
    gifmsg::UnknownBlockType,
    gifmsg::UnsupportedClass,
    gifmsg::InvalidData,
    gifmsg::ImageHeightTooSmall,
    gifmsg::ImageWidthTooSmall,
    gifmsg::FailedClipboardStore,
    gifmsg::ScreenSizeExceeded,
    gifmsg::NoColorTable,
    gifmsg::BadPixelCoordinates,
    gifmsg::UnsupportedPixelFormat,
    gifmsg::InvalidImageDimensions,
    gifmsg::NoDIB,
    gifmsg::InvalidStream,
    gifmsg::InvalidColor,
    gifmsg::EmptyColorMap,
    gifmsg::EmptyImage,
    gifmsg::PrematureEnd,
    gifmsg::ColorTableOverflow,
    gifmsg::InvalidColorIndex,
    gifmsg::UnsupportedVersion,
    gifmsg::InvalidSignature,
    gifmsg::ScreenBadColorSize,
    gifmsg::ImageBadColorSize,
    gifmsg::UnknownExtension,
    gifmsg::BadExtensionLabel,
    gifmsg::OutOfMemoryDIB,
    gifmsg::DecodeBitBufferUnderrun,
    gifmsg::DecodeCircular,
    gifmsg::BadTrailer,
    gifmsg::BadExtensionInstance,
    gifmsg::InvalidAppBlockSize,
    gifmsg::ImageTooLarge,
};
const int GIFMessageCount = static_cast<int>(sizeof(GIFMessageTable) / sizeof(GIFMessageTable[0]));

void RaiseGIFError(const std::string& Message) {
    throw GIFException(Message);
}

uint32_t RequireGDIHandle(uint32_t Value) {
    if (Value != 0) return Value;
    std::string Text = SystemErrorText(GetLastError());
    throw EOutOfResources(Text.empty() ? std::string("Out of system resources") : Text);
}

int32_t RowBytes(int32_t Width, int32_t BitsPerPixel, int32_t AlignBits) {
    // Computed in 64 bits and unsigned so that huge widths cannot overflow.
    uint64_t Bits =
        static_cast<uint64_t>(static_cast<uint32_t>(Width)) * static_cast<uint32_t>(BitsPerPixel) +
        static_cast<uint32_t>(AlignBits) - 1;
    Bits &= ~static_cast<uint64_t>(static_cast<uint32_t>(AlignBits) - 1);
    return static_cast<int32_t>(Bits >> 3);
}

int32_t BitsForColorCount(int32_t Count) {
    if (Count <= 0) return 0;
    int32_t N = 1;
    while (N < 31 && (int64_t{1} << N) < Count) ++N;
    return N;
}

void WriteOneByte(TStream& Stream, uint8_t Value) {
    Stream.Write(&Value, 1);
}

uint8_t ReadOneByte(TStream& Stream) {
    uint8_t Value = 0;
    Stream.Read(&Value, 1);
    return Value;
}

bool ReadOneByte(TStream& Stream, uint8_t& Value) {
    Value = 0;
    return Stream.Read(&Value, 1) == 1;
}

void ReadExact(TStream& Stream, void* Buffer, int64_t Count) {
    if (Count <= 0) return;
    if (Stream.Read(Buffer, Count) < Count) RaiseGIFError(gifmsg::PrematureEnd);
}

void WriteTextBlocks(TStream& Stream, const TStrings& Lines) {
    for (const std::string& Line : Lines.Lines()) {
        size_t L = Line.size();
        size_t C = std::min<size_t>(L, 255);
        const char* P = Line.data();
        while (L > 0) {
            WriteOneByte(Stream, static_cast<uint8_t>(C));
            Stream.Write(P, static_cast<int64_t>(C));
            P += C;
            L -= C;
            if (L < C) C = L;
        }
    }
    WriteOneByte(Stream, 0);
}

void ReadTextBlocks(TStream& Stream, TStrings& Lines) {
    Lines.Clear();
    uint8_t N;
    if (!ReadOneByte(Stream, N)) return;
    char Buffer[256];
    while (N != 0) {
        ReadExact(Stream, Buffer, N);
        Buffer[N] = 0;
        Lines.Add(std::string(Buffer, std::strlen(Buffer)));
        if (!ReadOneByte(Stream, N)) return;
    }
}

// ---------------------------------------------------------------------------
// TGIFItem

void TGIFItem::ReportWarning(uint8_t Severity, const std::string& Message) {
    if (FOwnerImage) ReportImageWarning(FOwnerImage, this, Severity, Message);
}

void TGIFItem::SaveToPath(const std::string& FileName) {
    TFileStream Stream(FileName, fmCreate);
    SaveToStream(Stream);
    Stream.Flush();
}

void TGIFItem::LoadFromPath(const std::string& FileName) {
    TFileStream Stream(FileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(Stream);
}

// ---------------------------------------------------------------------------
// TGIFList

TGIFList::~TGIFList() {
    DeleteAll();
}

void TGIFList::ReportWarning(uint8_t Severity, const std::string& Message) {
    if (FOwnerImage) ReportImageWarning(FOwnerImage, this, Severity, Message);
}

void TGIFList::SaveToStream(TStream& Stream) {
    for (int i = 0; i < Count(); ++i) Items(i)->SaveToStream(Stream);
}

int TGIFList::Append(std::unique_ptr<TGIFItem> Item) {
    return FEntries.Add(Item.release());
}

void TGIFList::InsertAt(int Index, std::unique_ptr<TGIFItem> Item) {
    FEntries.Insert(Index, Item.get());
    Item.release();
}

void TGIFList::DeleteAt(int Index) {
    std::unique_ptr<TGIFItem> Item(FEntries.Items(Index));
    FEntries.Delete(Index);
    // Item is destroyed here; its own detach finds nothing to remove.
}

int TGIFList::Detach(TGIFItem* Item) {
    return FEntries.Remove(Item);
}

void TGIFList::DeleteAll() {
    while (Count() > 0) DeleteAt(0);
}

} // namespace mv
