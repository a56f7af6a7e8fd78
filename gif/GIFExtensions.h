// GIF89a extension blocks that precede a frame's image descriptor, and the two registries that
// map a block's label (and an application's identity) to the class that reads it.
#pragma once

#include "gif/GIFBase.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace mv {

class TGIFSubImage;
class TGIFExtension;

// A class reference of the extension family: its label, its factory and its class-level
// narrowing question.
struct TGIFExtensionClass {
    const char* Name;
    uint8_t Label;
    std::unique_ptr<TGIFExtension> (*Create)(TGIFSubImage* Frame);
    // A more specific class for the block at the stream position (right after the label);
    // the class itself when there is none, or null when the data does not allow an answer.
    const TGIFExtensionClass* (*NarrowClass)(const TGIFExtensionClass* Self, TStream& Stream);
};

// Disposal method, stored in bits 4-2 of the graphic control flags.
enum TFrameDisposal : uint8_t {
    fdUnspecified = 0,
    fdKeep = 1,
    fdRestoreBackground = 2,
    fdRestorePrevious = 3,
    fdReserved4 = 4,
    fdReserved5 = 5,
    fdReserved6 = 6,
    fdReserved7 = 7,
};

class TGIFExtension : public TGIFItem {
public:
    explicit TGIFExtension(TGIFSubImage* Frame);
    // Takes itself out of its frame's extension list.
    ~TGIFExtension() override;
    std::string ClassName() const override { return "TGIFExtension"; }

    TGIFRevision RequiredVersion() override { return gr89a; }
    // 0x21 and the label.
    void SaveToStream(TStream& Stream) override;
    // Reads 0x21 and the label; a label of another class is an internal error.
    void LoadFromStream(TStream& Stream) override;

    virtual uint8_t LabelByte() const = 0;
    virtual const TGIFExtensionClass& ExtensionClass() const = 0;

    // Reads the introducer (which must be 0x21) and answers the label.
    static uint8_t ReadLeadIn(TStream& Stream);
    // The class for the block whose 0x21 was just read; the stream position is restored when
    // there is an answer. Null when no class reads the block.
    static const TGIFExtensionClass* ClassForBlock(TStream& Stream);
    // The default narrowing: the class itself, nothing read.
    static const TGIFExtensionClass* KeepClass(const TGIFExtensionClass* Self, TStream& Stream);

    TGIFSubImage* Frame() const { return FOwnerFrame; }
    void SetImage(TGIFImage* GIFImage) { FOwnerImage = GIFImage; }

protected:
    TGIFSubImage* FOwnerFrame;
};

#pragma pack(push, 1)
// Graphic control block after 21 F9, 6 bytes as in the file.
//   offset size field
//   0      1    BlockLength (4)
//   1      1    Flags: 0xE0 reserved, 0x1C disposal, 0x02 user input, 0x01 transparent
//   2      2    DelayHundredths
//   4      1    TransparentSlot
//   5      1    BlockEnd (0)
struct TControlBlock {
    uint8_t BlockLength;
    uint8_t Flags; // disposal = (Flags >> 2) & 7
    uint16_t DelayHundredths;
    uint8_t TransparentSlot;
    uint8_t BlockEnd;
};

// Plain text grid after 21 01, 13 bytes as in the file.
//   offset size field
//   0      1    BlockLength (12)
//   1      2    GridLeft      3  2  GridTop
//   5      2    GridWidth     7  2  GridHeight
//   9      1    CellWidth     10 1  CellHeight
//   11     1    InkIndex      12 1  PaperIndex
struct TTextGrid {
    uint8_t BlockLength;
    uint16_t GridLeft;
    uint16_t GridTop;
    uint16_t GridWidth;
    uint16_t GridHeight;
    uint8_t CellWidth;
    uint8_t CellHeight;
    uint8_t InkIndex;
    uint8_t PaperIndex;
};

// The 11 bytes after an application extension's block size.
struct TAppIdentity {
    char AppName[8];
    char AppCode[3];
};
#pragma pack(pop)
static_assert(sizeof(TControlBlock) == 6);
static_assert(sizeof(TTextGrid) == 13);
static_assert(sizeof(TAppIdentity) == 11);

TAppIdentity MakeAppIdentity(const char* NameAndCode); // 11 characters, e.g. "NETSCAPE2.0"

class TGIFGraphicControlExtension : public TGIFExtension {
public:
    // Becomes the frame's control extension when the frame has none yet.
    explicit TGIFGraphicControlExtension(TGIFSubImage* Frame);
    ~TGIFGraphicControlExtension() override;
    std::string ClassName() const override { return "TGIFGraphicControlExtension"; }
    static const TGIFExtensionClass& Class();
    const TGIFExtensionClass& ExtensionClass() const override { return Class(); }
    uint8_t LabelByte() const override { return 0xF9; }

    void SaveToStream(TStream& Stream) override;
    // A block cut short is a warning; the bytes that arrived are kept.
    void LoadFromStream(TStream& Stream) override;

    bool UsesTransparency() const { return FControlBlock.Flags & 0x01; }
    // Also sets the frame's transparency flag.
    void SetUsesTransparency(bool Value);
    uint8_t TransparentSlot() const { return FControlBlock.TransparentSlot; }
    // An index outside the frame's (non-empty) effective map warns and stores 0.
    void SetTransparentSlot(uint8_t Value);
    uint16_t DelayHundredths() const { return FControlBlock.DelayHundredths; }
    void SetDelayHundredths(uint16_t Value) { FControlBlock.DelayHundredths = Value; }
    bool WaitsForInput() const { return FControlBlock.Flags & 0x02; }
    TFrameDisposal DisposalMode() const {
        return static_cast<TFrameDisposal>((FControlBlock.Flags >> 2) & 7);
    }
    void SetDisposalMode(TFrameDisposal Value) {
        FControlBlock.Flags =
            static_cast<uint8_t>((FControlBlock.Flags & 0xE3) | ((Value << 2) & 0x1C));
    }

    TControlBlock FControlBlock;
};

class TGIFTextExtension : public TGIFExtension {
public:
    explicit TGIFTextExtension(TGIFSubImage* Frame);
    std::string ClassName() const override { return "TGIFTextExtension"; }
    static const TGIFExtensionClass& Class();
    const TGIFExtensionClass& ExtensionClass() const override { return Class(); }
    uint8_t LabelByte() const override { return 0x01; }

    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;

    TTextGrid FGrid;
    TStringList FLines;
};

class TGIFCommentExtension : public TGIFExtension {
public:
    using TGIFExtension::TGIFExtension;
    std::string ClassName() const override { return "TGIFCommentExtension"; }
    static const TGIFExtensionClass& Class();
    const TGIFExtensionClass& ExtensionClass() const override { return Class(); }
    uint8_t LabelByte() const override { return 0xFE; }

    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;

    TStringList FLines;
};

class TGIFApplicationExtension : public TGIFExtension {
public:
    explicit TGIFApplicationExtension(TGIFSubImage* Frame);
    std::string ClassName() const override { return "TGIFApplicationExtension"; }
    static const TGIFExtensionClass& Class();
    const TGIFExtensionClass& ExtensionClass() const override { return Class(); }
    uint8_t LabelByte() const override { return 0xFF; }

    // 21 FF 0B, the identity, the payload.
    void SaveToStream(TStream& Stream) override;
    // Block size 10: identity of zeros plus the first sub-block's length (read again by the
    // payload); below 11 otherwise: an error; above 11: the extra identity bytes are skipped.
    void LoadFromStream(TStream& Stream) override;

    // The application's own sub-blocks and their terminator. An application extension of no
    // known kind carries none: it writes the terminator and skips sub-blocks on reading.
    virtual void WritePayload(TStream& Stream);
    virtual void ReadPayload(TStream& Stream);

    // The narrowing of every application class: by block size and registered identity.
    static const TGIFExtensionClass* NarrowApplication(const TGIFExtensionClass* Self,
                                                       TStream& Stream);

    TAppIdentity FIdentity;
};

// One data sub-block.
class TGIFBlock : public TObject {
public:
    explicit TGIFBlock(uint8_t Length) : FLength(Length), FBytes(Length, 0) {}
    std::string ClassName() const override { return "TGIFBlock"; }
    void WriteTo(TStream& Stream) const;
    void ReadFrom(TStream& Stream);
    uint8_t Length() const { return FLength; }
    uint8_t* Bytes() { return FBytes.data(); }
    const uint8_t* Bytes() const { return FBytes.data(); }

private:
    uint8_t FLength;
    std::vector<uint8_t> FBytes;
};

// An application extension of an application we do not know, kept as raw sub-blocks.
class TGIFUnknownAppExtension : public TGIFApplicationExtension {
public:
    using TGIFApplicationExtension::TGIFApplicationExtension;
    std::string ClassName() const override { return "TGIFUnknownAppExtension"; }
    static const TGIFExtensionClass& Class();
    const TGIFExtensionClass& ExtensionClass() const override { return Class(); }

    void WritePayload(TStream& Stream) override;
    void ReadPayload(TStream& Stream) override;

    int ChunkCount() const { return static_cast<int>(FChunks.size()); }
    TGIFBlock& Chunks(int Index) const;
    void AddChunk(std::unique_ptr<TGIFBlock> Block) { FChunks.push_back(std::move(Block)); }
    void ClearChunks() { FChunks.clear(); }

private:
    std::vector<std::unique_ptr<TGIFBlock>> FChunks;
};

// The looping extension ("NETSCAPE2.0" or "ANIMEXTS1.0").
class TGIFAppExtNSLoop : public TGIFApplicationExtension {
public:
    explicit TGIFAppExtNSLoop(TGIFSubImage* Frame);
    std::string ClassName() const override { return "TGIFAppExtNSLoop"; }
    static const TGIFExtensionClass& Class();
    const TGIFExtensionClass& ExtensionClass() const override { return Class(); }

    // 03 01 loop count; 05 02 buffer hint when above 0; 00.
    void WritePayload(TStream& Stream) override;
    void ReadPayload(TStream& Stream) override;

    uint16_t FLoopCount = 0;
    uint32_t FBufferHint = 0;
};

// Registry of extension classes by label.
class TExtensionList {
public:
    TExtensionList(); // registers the four standard labels
    void AddClass(uint8_t Label, const TGIFExtensionClass* Class);
    // The last registered class for the label, or null.
    const TGIFExtensionClass* Lookup(uint8_t Label) const;
    int Count() const { return static_cast<int>(FEntries.size()); }

private:
    std::vector<std::pair<uint8_t, const TGIFExtensionClass*>> FEntries;
};

// Registry of application extension classes by their 11 identity bytes (compared exactly).
class TAppExtensionList {
public:
    TAppExtensionList(); // registers the two looping identities
    void AddClass(const TAppIdentity& Identity, const TGIFExtensionClass* Class);
    const TGIFExtensionClass* Lookup(const TAppIdentity& Identity) const;
    int Count() const { return static_cast<int>(FEntries.size()); }

private:
    std::vector<std::pair<TAppIdentity, const TGIFExtensionClass*>> FEntries;
};

// The registries, made on first use and freed by FreeExtensionRegistries (library shutdown).
TExtensionList& ExtensionRegistry();
TAppExtensionList& AppExtensionRegistry();
void FreeExtensionRegistries();

} // namespace mv
