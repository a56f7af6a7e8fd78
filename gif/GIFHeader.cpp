#include "gif/GIFHeader.h"

#include "gif/GIFImage.h"

#include <cctype>
#include <cstring>

namespace mv {

TGIFHeader::TGIFHeader(TGIFImage* GIFImage)
    : TGIFItem(GIFImage), FGlobalMap(std::make_unique<TGIFGlobalColorMap>(this)) {
    MakeEmpty();
}

TGIFHeader::~TGIFHeader() {
    FGlobalMap.reset();
}

void TGIFHeader::MakeEmpty() {
    FGlobalMap->MakeEmpty();
    FScreen = TScreenDescriptor{};
}

void TGIFHeader::Assign(TPersistent* Source) {
    if (auto* Header = dynamic_cast<TGIFHeader*>(Source)) {
        if (Header == this) return;
        FGlobalMap->Assign(Header->FGlobalMap.get());
        FScreen = Header->FScreen;
    } else if (auto* Map = dynamic_cast<TGIFColorMap*>(Source)) {
        MakeEmpty();
        FGlobalMap->Assign(Map);
    } else {
        TGIFItem::Assign(Source);
    }
}

TGIFRevision TGIFHeader::RequiredVersion() {
    return FGlobalMap->Sorted() || FScreen.PixelAspect != 0 ? gr89a : gr87a;
}

void TGIFHeader::UpdateFlags() {
    int32_t Resolution = FOwnerImage ? FOwnerImage->ResolutionBits() : ResolutionBits();
    int32_t Bits = FOwnerImage ? FOwnerImage->IndexBits() : IndexBits();
    uint8_t Flags = 0;
    if (FGlobalMap->Count() > 0) {
        Flags |= 0x80;
        if (FGlobalMap->Sorted()) Flags |= 0x08;
    }
    Flags |= static_cast<uint8_t>((Resolution << 4) & 0x70);
    if (Flags & 0x80)
        Flags |= static_cast<uint8_t>((FGlobalMap->IndexBits() - 1) & 7);
    else
        Flags |= static_cast<uint8_t>((Bits - 1) & 7);
    FScreen.Flags = Flags;
}

void TGIFHeader::SaveToStream(TStream& Stream) {
    // offset size
    // 0      3    "GIF"
    // 3      3    "87a" / "89a"
    // 6      7    logical screen descriptor
    // 13     3*2^n global color table (flag 0x80)
    TGIFRevision Revision = FOwnerImage ? FOwnerImage->RequiredVersion() : RequiredVersion();
    if (Revision == grNone) RaiseGIFError(gifmsg::UnsupportedVersion);
    const char* Signature = Revision == gr89a ? "GIF89a" : "GIF87a";
    UpdateFlags();
    Stream.Write(Signature, 6);
    Stream.Write(&FScreen, sizeof(FScreen));
    if (FScreen.Flags & 0x80) FGlobalMap->WriteTable(Stream);
}

namespace {

bool IsSignature(const char* Bytes) {
    return std::toupper(static_cast<unsigned char>(Bytes[0])) == 'G' &&
           std::toupper(static_cast<unsigned char>(Bytes[1])) == 'I' &&
           std::toupper(static_cast<unsigned char>(Bytes[2])) == 'F';
}

} // namespace

void TGIFHeader::LoadFromStream(TStream& Stream) {
    int64_t Start = Stream.Position();
    char Signature[6];
    ReadExact(Stream, Signature, 6);
    if (!IsSignature(Signature)) {
        // Tolerated: one 4-byte prefix before the signature.
        Stream.SetPosition(Start);
        Stream.Seek(4, soCurrent);
        ReadExact(Stream, Signature, 6);
        if (!IsSignature(Signature)) RaiseGIFError(gifmsg::InvalidSignature);
    }
    // Tolerated: any version bytes.
    ReadExact(Stream, &FScreen, sizeof(FScreen));
    if (FScreen.Flags & 0x80) {
        int32_t Count = 2 << (FScreen.Flags & 7);
        if (Count < 2 || Count > 256) RaiseGIFError(gifmsg::ScreenBadColorSize);
        FGlobalMap->ReadTable(Stream, Count);
    } else {
        FGlobalMap->MakeEmpty();
    }
}

// ---------------------------------------------------------------------------
// TGIFTrailer

void TGIFTrailer::SaveToStream(TStream& Stream) {
    WriteOneByte(Stream, 0x3B);
}

void TGIFTrailer::LoadFromStream(TStream& Stream) {
    uint8_t Byte;
    // Tolerated: data that ends before the trailer.
    if (ReadOneByte(Stream, Byte) && Byte != 0x3B) ReportWarning(1, gifmsg::BadTrailer);
}

} // namespace mv
