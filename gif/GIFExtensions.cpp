#include "gif/GIFExtensions.h"

#include "gif/GIFFrame.h"

#include <cstring>
#include <mutex>

namespace mv {

TAppIdentity MakeAppIdentity(const char* NameAndCode) {
    TAppIdentity Identity;
    std::memcpy(&Identity, NameAndCode, sizeof(Identity));
    return Identity;
}

namespace {

template <class T> std::unique_ptr<TGIFExtension> Make(TGIFSubImage* Frame) {
    return std::make_unique<T>(Frame);
}

} // namespace

// ---------------------------------------------------------------------------
// TGIFExtension

TGIFExtension::TGIFExtension(TGIFSubImage* Frame)
    : TGIFItem(Frame ? Frame->Image() : nullptr), FOwnerFrame(Frame) {}

TGIFExtension::~TGIFExtension() {
    if (FOwnerFrame) FOwnerFrame->ExtensionList().Detach(this);
}

void TGIFExtension::SaveToStream(TStream& Stream) {
    uint8_t LeadIn[2] = {0x21, LabelByte()};
    Stream.Write(LeadIn, 2);
}

void TGIFExtension::LoadFromStream(TStream& Stream) {
    if (ReadLeadIn(Stream) != LabelByte()) RaiseGIFError(gifmsg::BadExtensionInstance);
}

uint8_t TGIFExtension::ReadLeadIn(TStream& Stream) {
    uint8_t LeadIn[2];
    ReadExact(Stream, LeadIn, 2);
    if (LeadIn[0] != 0x21) RaiseGIFError(gifmsg::BadExtensionLabel);
    return LeadIn[1];
}

const TGIFExtensionClass* TGIFExtension::KeepClass(const TGIFExtensionClass* Self, TStream&) {
    return Self;
}

const TGIFExtensionClass* TGIFExtension::ClassForBlock(TStream& Stream) {
    int64_t Start = Stream.Position();
    uint8_t Label;
    if (!ReadOneByte(Stream, Label)) return nullptr;
    const TGIFExtensionClass* Class = ExtensionRegistry().Lookup(Label);
    // Each narrowing that changes the class reads further into the block, so this ends at
    // the end of the data at the latest.
    while (Class) {
        const TGIFExtensionClass* Narrower = Class->NarrowClass(Class, Stream);
        if (Narrower == Class) break;
        Class = Narrower;
    }
    Stream.SetPosition(Start);
    return Class;
}

// ---------------------------------------------------------------------------
// TGIFGraphicControlExtension

const TGIFExtensionClass& TGIFGraphicControlExtension::Class() {
    static const TGIFExtensionClass C{"TGIFGraphicControlExtension", 0xF9,
                                      &Make<TGIFGraphicControlExtension>, &KeepClass};
    return C;
}

TGIFGraphicControlExtension::TGIFGraphicControlExtension(TGIFSubImage* Frame)
    : TGIFExtension(Frame), FControlBlock{4, 0, 0, 0, 0} {
    if (FOwnerFrame && !FOwnerFrame->ControlExtension()) FOwnerFrame->SetControlExtension(this);
}

TGIFGraphicControlExtension::~TGIFGraphicControlExtension() {
    if (FOwnerFrame) {
        if (UsesTransparency()) FOwnerFrame->SetHasTransparency(false);
        if (FOwnerFrame->ControlExtension() == this) FOwnerFrame->SetControlExtension(nullptr);
    }
}

void TGIFGraphicControlExtension::SaveToStream(TStream& Stream) {
    TGIFExtension::SaveToStream(Stream);
    Stream.Write(&FControlBlock, sizeof(FControlBlock));
}

void TGIFGraphicControlExtension::LoadFromStream(TStream& Stream) {
    TGIFExtension::LoadFromStream(Stream);
    // Tolerated: a block cut short keeps what arrived, with a warning.
    if (Stream.Read(&FControlBlock, sizeof(FControlBlock)) < int64_t{sizeof(FControlBlock)}) {
        ReportWarning(1, gifmsg::PrematureEnd);
        return;
    }
    if (UsesTransparency() && FOwnerFrame) FOwnerFrame->SetHasTransparency(true);
}

void TGIFGraphicControlExtension::SetUsesTransparency(bool Value) {
    if (FOwnerFrame) FOwnerFrame->SetHasTransparency(Value);
    if (Value)
        FControlBlock.Flags |= 0x01;
    else
        FControlBlock.Flags &= static_cast<uint8_t>(~0x01);
}

void TGIFGraphicControlExtension::SetTransparentSlot(uint8_t Value) {
    int32_t Count = FOwnerFrame ? FOwnerFrame->EffectiveMap().Count() : 0;
    if (Value >= Count && Count > 0) {
        ReportWarning(1, gifmsg::InvalidColorIndex);
        Value = 0;
    }
    FControlBlock.TransparentSlot = Value;
}

// ---------------------------------------------------------------------------
// TGIFTextExtension

const TGIFExtensionClass& TGIFTextExtension::Class() {
    static const TGIFExtensionClass C{"TGIFTextExtension", 0x01, &Make<TGIFTextExtension>,
                                      &KeepClass};
    return C;
}

TGIFTextExtension::TGIFTextExtension(TGIFSubImage* Frame) : TGIFExtension(Frame), FGrid{} {
    FGrid.BlockLength = 12;
}

void TGIFTextExtension::SaveToStream(TStream& Stream) {
    TGIFExtension::SaveToStream(Stream);
    Stream.Write(&FGrid, sizeof(FGrid));
    WriteTextBlocks(Stream, FLines);
}

void TGIFTextExtension::LoadFromStream(TStream& Stream) {
    TGIFExtension::LoadFromStream(Stream);
    ReadExact(Stream, &FGrid, sizeof(FGrid));
    ReadTextBlocks(Stream, FLines);
}

// ---------------------------------------------------------------------------
// TGIFCommentExtension

const TGIFExtensionClass& TGIFCommentExtension::Class() {
    static const TGIFExtensionClass C{"TGIFCommentExtension", 0xFE, &Make<TGIFCommentExtension>,
                                      &KeepClass};
    return C;
}

void TGIFCommentExtension::SaveToStream(TStream& Stream) {
    TGIFExtension::SaveToStream(Stream);
    WriteTextBlocks(Stream, FLines);
}

void TGIFCommentExtension::LoadFromStream(TStream& Stream) {
    TGIFExtension::LoadFromStream(Stream);
    ReadTextBlocks(Stream, FLines);
}

// ---------------------------------------------------------------------------
// TGIFApplicationExtension

const TGIFExtensionClass& TGIFApplicationExtension::Class() {
    static const TGIFExtensionClass C{"TGIFApplicationExtension", 0xFF,
                                      &Make<TGIFApplicationExtension>, &NarrowApplication};
    return C;
}

TGIFApplicationExtension::TGIFApplicationExtension(TGIFSubImage* Frame)
    : TGIFExtension(Frame), FIdentity{} {}

void TGIFApplicationExtension::SaveToStream(TStream& Stream) {
    TGIFExtension::SaveToStream(Stream);
    WriteOneByte(Stream, 11);
    Stream.Write(&FIdentity, sizeof(FIdentity));
    WritePayload(Stream);
}

void TGIFApplicationExtension::LoadFromStream(TStream& Stream) {
    // offset size
    // 0      2    21 FF
    // 2      1    block size S (11; 10 tolerated)
    // 3      11   identity (8 name bytes, 3 code bytes); bytes beyond the 11th are skipped
    // 3+S    ...  payload sub-blocks, 00
    TGIFExtension::LoadFromStream(Stream);
    uint8_t Size = ReadOneByte(Stream);
    if (Size == 10)
        FIdentity = TAppIdentity{};
    else if (Size < 11)
        RaiseGIFError(gifmsg::InvalidAppBlockSize);
    ReadExact(Stream, &FIdentity, sizeof(FIdentity));
    Stream.Seek(int64_t{Size} - 11, soCurrent);
    ReadPayload(Stream);
}

void TGIFApplicationExtension::WritePayload(TStream& Stream) {
    WriteOneByte(Stream, 0);
}

void TGIFApplicationExtension::ReadPayload(TStream& Stream) {
    uint8_t Length;
    while (ReadOneByte(Stream, Length) && Length != 0) Stream.Seek(Length, soCurrent);
}

const TGIFExtensionClass*
TGIFApplicationExtension::NarrowApplication(const TGIFExtensionClass* Self, TStream& Stream) {
    int64_t Start = Stream.Position();
    uint8_t Size;
    if (!ReadOneByte(Stream, Size)) return nullptr;
    if (Size == 10) {
        uint8_t Skip[10];
        return Stream.Read(Skip, 10) == 10 ? &TGIFUnknownAppExtension::Class() : nullptr;
    }
    TAppIdentity Identity;
    if (Size == 11 && Stream.Read(&Identity, 11) == 11) {
        const TGIFExtensionClass* Class = AppExtensionRegistry().Lookup(Identity);
        return Class ? Class : &TGIFUnknownAppExtension::Class();
    }
    // A block larger than the identity: read as an application we do not know, the bytes
    // beyond the 11th skipped.
    if (Size > 11) return &TGIFUnknownAppExtension::Class();
    Stream.SetPosition(Start);
    return Self;
}

// ---------------------------------------------------------------------------
// TGIFBlock

void TGIFBlock::WriteTo(TStream& Stream) const {
    WriteOneByte(Stream, FLength);
    Stream.Write(FBytes.data(), FLength);
}

void TGIFBlock::ReadFrom(TStream& Stream) {
    ReadExact(Stream, FBytes.data(), FLength);
}

// ---------------------------------------------------------------------------
// TGIFUnknownAppExtension

const TGIFExtensionClass& TGIFUnknownAppExtension::Class() {
    static const TGIFExtensionClass C{"TGIFUnknownAppExtension", 0xFF,
                                      &Make<TGIFUnknownAppExtension>, &NarrowApplication};
    return C;
}

TGIFBlock& TGIFUnknownAppExtension::Chunks(int Index) const {
    if (Index < 0 || Index >= ChunkCount()) ListIndexError(Index);
    return *FChunks[static_cast<size_t>(Index)];
}

void TGIFUnknownAppExtension::WritePayload(TStream& Stream) {
    for (const auto& Block : FChunks) Block->WriteTo(Stream);
    WriteOneByte(Stream, 0);
}

void TGIFUnknownAppExtension::ReadPayload(TStream& Stream) {
    FChunks.clear();
    uint8_t Length;
    if (!ReadOneByte(Stream, Length)) return;
    while (Length != 0) {
        auto Block = std::make_unique<TGIFBlock>(Length);
        Block->ReadFrom(Stream);
        FChunks.push_back(std::move(Block));
        if (!ReadOneByte(Stream, Length)) return;
    }
}

// ---------------------------------------------------------------------------
// TGIFAppExtNSLoop

const TGIFExtensionClass& TGIFAppExtNSLoop::Class() {
    static const TGIFExtensionClass C{"TGIFAppExtNSLoop", 0xFF, &Make<TGIFAppExtNSLoop>,
                                      &NarrowApplication};
    return C;
}

TGIFAppExtNSLoop::TGIFAppExtNSLoop(TGIFSubImage* Frame) : TGIFApplicationExtension(Frame) {
    FIdentity = MakeAppIdentity("NETSCAPE2.0");
}

void TGIFAppExtNSLoop::WritePayload(TStream& Stream) {
    const uint8_t Loop[4] = {3, 1, static_cast<uint8_t>(FLoopCount),
                             static_cast<uint8_t>(FLoopCount >> 8)};
    Stream.Write(Loop, 4);
    if (FBufferHint > 0) {
        uint8_t Hint[6] = {5, 2};
        std::memcpy(Hint + 2, &FBufferHint, 4);
        Stream.Write(Hint, 6);
    }
    WriteOneByte(Stream, 0);
}

void TGIFAppExtNSLoop::ReadPayload(TStream& Stream) {
    // Sub-blocks: size N, id (low 3 bits: 1 loop count, 2 buffer hint), fields; then 00.
    // The loop ends at the end of the data as well as at the terminator.
    uint8_t Size, Id;
    while (ReadOneByte(Stream, Size) && Size != 0) {
        if (!ReadOneByte(Stream, Id)) return;
        int32_t Rest;
        if ((Id & 7) == 1) {
            if (Size < 3) RaiseGIFError(gifmsg::InvalidData);
            ReadExact(Stream, &FLoopCount, 2);
            Rest = Size - 3;
        } else if ((Id & 7) == 2) {
            if (Size < 5) RaiseGIFError(gifmsg::InvalidData);
            ReadExact(Stream, &FBufferHint, 4);
            Rest = Size - 5;
        } else {
            Rest = Size - 1;
        }
        if (Rest > 0) Stream.Seek(Rest, soCurrent);
    }
}

// ---------------------------------------------------------------------------
// Registries

TExtensionList::TExtensionList() {
    AddClass(0x01, &TGIFTextExtension::Class());
    AddClass(0xF9, &TGIFGraphicControlExtension::Class());
    AddClass(0xFE, &TGIFCommentExtension::Class());
    AddClass(0xFF, &TGIFApplicationExtension::Class());
}

void TExtensionList::AddClass(uint8_t Label, const TGIFExtensionClass* Class) {
    FEntries.emplace_back(Label, Class);
}

const TGIFExtensionClass* TExtensionList::Lookup(uint8_t Label) const {
    for (auto It = FEntries.rbegin(); It != FEntries.rend(); ++It)
        if (It->first == Label) return It->second;
    return nullptr;
}

TAppExtensionList::TAppExtensionList() {
    AddClass(MakeAppIdentity("NETSCAPE2.0"), &TGIFAppExtNSLoop::Class());
    AddClass(MakeAppIdentity("ANIMEXTS1.0"), &TGIFAppExtNSLoop::Class());
}

void TAppExtensionList::AddClass(const TAppIdentity& Identity, const TGIFExtensionClass* Class) {
    FEntries.emplace_back(Identity, Class);
}

const TGIFExtensionClass* TAppExtensionList::Lookup(const TAppIdentity& Identity) const {
    for (auto It = FEntries.rbegin(); It != FEntries.rend(); ++It)
        if (std::memcmp(&It->first, &Identity, sizeof(Identity)) == 0) return It->second;
    return nullptr;
}

namespace {

// The registries' holder is never destroyed: the image unit frees the registries from its
// own shutdown code, which may run after this file's static objects are gone.
struct TRegistryState {
    std::mutex Lock;
    std::unique_ptr<TExtensionList> Extensions;
    std::unique_ptr<TAppExtensionList> AppExtensions;
};

TRegistryState& Registries() {
    static TRegistryState* State = new TRegistryState;
    return *State;
}

} // namespace

TExtensionList& ExtensionRegistry() {
    TRegistryState& R = Registries();
    std::lock_guard<std::mutex> Guard(R.Lock);
    if (!R.Extensions) R.Extensions = std::make_unique<TExtensionList>();
    return *R.Extensions;
}

TAppExtensionList& AppExtensionRegistry() {
    TRegistryState& R = Registries();
    std::lock_guard<std::mutex> Guard(R.Lock);
    if (!R.AppExtensions) R.AppExtensions = std::make_unique<TAppExtensionList>();
    return *R.AppExtensions;
}

void FreeExtensionRegistries() {
    TRegistryState& R = Registries();
    std::lock_guard<std::mutex> Guard(R.Lock);
    R.Extensions.reset();
    R.AppExtensions.reset();
}

} // namespace mv
