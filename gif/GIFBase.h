// The GIF library's bottom layer: its exception and messages, one-byte and exact stream
// transfers, text carried in data sub-blocks, and the item and list bases.
#pragma once

#include "platform/Classes.h"

#include <cstdint>
#include <memory>
#include <string>

namespace mv {

class TGIFImage;

// The library's exception: every error of its own is one of these with a message below.
class GIFException : public EInvalidGraphic {
public:
    using EInvalidGraphic::EInvalidGraphic;
    std::string ClassName() const override { return "GIFException"; }
};

// The library's messages, in the order they are stored.
namespace gifmsg {
inline constexpr const char* InvalidReductionMethod = "Invalid reduction method";
inline constexpr const char* GIFImageDescription = "GIF Image";
inline constexpr const char* Loading = "Loading...";
inline constexpr const char* Saving = "Saving...";
inline constexpr const char* Converting = "Converting...";
inline constexpr const char* Rendering = "Rendering...";
inline constexpr const char* Copying = "Copying...";
inline constexpr const char* Optimizing = "Optimizing...";
inline constexpr const char* UnknownBlockType = "Unknown GIF block type";
inline constexpr const char* UnsupportedClass = "Object type not supported for operation";
inline constexpr const char* InvalidData = "Invalid GIF data";
inline constexpr const char* ImageHeightTooSmall = "Image height too small for contained frames";
inline constexpr const char* ImageWidthTooSmall = "Image width too small for contained frames";
inline constexpr const char* FailedClipboardStore = "Failed to store GIF on clipboard";
inline constexpr const char* ScreenSizeExceeded = "Image exceeds Logical Screen size";
inline constexpr const char* NoColorTable = "No global or local color table defined";
inline constexpr const char* BadPixelCoordinates = "Invalid pixel coordinates";
inline constexpr const char* UnsupportedPixelFormat = "Unsupported PixelFormat";
inline constexpr const char* InvalidImageDimensions = "Invalid image dimensions";
inline constexpr const char* NoDIB = "Image has no DIB";
inline constexpr const char* InvalidStream = "Invalid stream operation";
inline constexpr const char* InvalidColor = "Color not in color table";
inline constexpr const char* EmptyColorMap = "Color table is empty";
inline constexpr const char* EmptyImage = "Image is empty";
inline constexpr const char* PrematureEnd = "Premature end of data";
inline constexpr const char* ColorTableOverflow = "Color table overflow";
inline constexpr const char* InvalidColorIndex = "Invalid color index";
inline constexpr const char* UnsupportedVersion = "Unsupported GIF version";
inline constexpr const char* InvalidSignature = "Invalid GIF signature";
inline constexpr const char* ScreenBadColorSize =
    "Invalid number of colors specified in Screen Descriptor";
inline constexpr const char* ImageBadColorSize =
    "Invalid number of colors specified in Image Descriptor";
inline constexpr const char* UnknownExtension = "Unknown extension type";
inline constexpr const char* BadExtensionLabel = "Invalid extension introducer";
inline constexpr const char* OutOfMemoryDIB = "Failed to allocate memory for GIF DIB";
inline constexpr const char* DecodeBitBufferUnderrun = "Decoder bit buffer under-run";
inline constexpr const char* DecodeCircular = "Circular decoder table entry";
inline constexpr const char* BadTrailer = "Invalid Image trailer";
inline constexpr const char* BadExtensionInstance =
    "Internal error: Extension Instance does not match Extension Label";
inline constexpr const char* InvalidAppBlockSize = "Unsupported Application Extension block size";
// Ours: a file whose frames would need more memory than we allow (see GIFLimits.h).
inline constexpr const char* ImageTooLarge = "Image exceeds maximum size";
} // namespace gifmsg

// The message table in storage order (the platform keeps them as translatable resources).
extern const char* const GIFMessageTable[];
extern const int GIFMessageCount;

// Raises GIFException with Message.
[[noreturn]] void RaiseGIFError(const std::string& Message);

// Returns Value unless it is 0 (or null); then raises EOutOfResources with the text of the
// platform layer's last error, or "Out of system resources" when it has none.
uint32_t RequireGDIHandle(uint32_t Value);
template <class Handle> Handle RequireGDIHandle(Handle H) {
    if (!H) RequireGDIHandle(uint32_t{0});
    return H;
}

// Bytes of a row of Width pixels at BitsPerPixel, aligned to AlignBits (a power of two).
int32_t RowBytes(int32_t Width, int32_t BitsPerPixel, int32_t AlignBits);
// 0 for 0; otherwise the smallest n >= 1 with 2^n >= Count.
int32_t BitsForColorCount(int32_t Count);

void WriteOneByte(TStream& Stream, uint8_t Value);
// Reads one byte. At the end of the data it yields 0; callers that must stop there use the
// overload that reports whether a byte arrived.
uint8_t ReadOneByte(TStream& Stream);
bool ReadOneByte(TStream& Stream, uint8_t& Value);
// Reads exactly Count bytes or raises "Premature end of data" (what arrived stays in Buffer).
void ReadExact(TStream& Stream, void* Buffer, int64_t Count);

// Text as data sub-blocks: each line as sub-blocks of 1..255 bytes, then one 0 byte.
void WriteTextBlocks(TStream& Stream, const TStrings& Lines);
// Each sub-block becomes one line, cut at its first 0 byte; stops quietly when a length byte
// is missing.
void ReadTextBlocks(TStream& Stream, TStrings& Lines);

enum TGIFRevision : uint8_t { grNone = 0, gr87a = 1, gr89a = 2 };

// Base of every item of a GIF document: header, frames, extensions, trailer.
class TGIFItem : public TPersistent {
public:
    explicit TGIFItem(TGIFImage* GIFImage) : FOwnerImage(GIFImage) {}
    std::string ClassName() const override { return "TGIFItem"; }

    virtual TGIFRevision RequiredVersion() { return gr87a; }
    // Passes the warning to the owning image; dropped when there is none.
    virtual void ReportWarning(uint8_t Severity, const std::string& Message);
    virtual void SaveToStream(TStream& Stream) = 0;
    virtual void LoadFromStream(TStream& Stream) = 0;
    // Creates (replacing) the file and saves into it; the file is closed on every path.
    void SaveToPath(const std::string& FileName);
    // Opens the file for reading, writers denied, and loads from it; closed on every path.
    void LoadFromPath(const std::string& FileName);

    TGIFImage* Image() const { return FOwnerImage; }

protected:
    TGIFImage* FOwnerImage;
};

// Base of the owning lists (frame list, extension list). Deleting an item frees it; an item
// that is destroyed while in a list takes itself out (its destructor calls Detach).
class TGIFList : public TPersistent {
public:
    explicit TGIFList(TGIFImage* GIFImage) : FOwnerImage(GIFImage) {}
    ~TGIFList() override;
    TGIFList(const TGIFList&) = delete;
    TGIFList& operator=(const TGIFList&) = delete;
    std::string ClassName() const override { return "TGIFList"; }

    virtual void ReportWarning(uint8_t Severity, const std::string& Message);
    // Every item's SaveToStream, first to last; nothing before, between or after.
    virtual void SaveToStream(TStream& Stream);
    virtual void LoadFromStream(TStream& Stream, TObject* Parent) = 0;

    int Count() const { return FEntries.Count(); }
    TGIFItem* Items(int Index) const { return FEntries.Items(Index); }
    // Takes ownership of Item; returns its index.
    int Append(std::unique_ptr<TGIFItem> Item);
    // Removes the item at Index from the list, then frees it.
    void DeleteAt(int Index);
    // Removes Item without freeing it (the caller now owns it); its old index, or -1.
    int Detach(TGIFItem* Item);
    void DeleteAll();

    TGIFImage* Image() const { return FOwnerImage; }

protected:
    // Puts an owned item at Index (0..Count).
    void InsertAt(int Index, std::unique_ptr<TGIFItem> Item);
    TList<TGIFItem> FEntries; // owns its items
    TGIFImage* FOwnerImage;
};

// Delivers a warning to Image's warning event (implemented with the image).
void ReportImageWarning(TGIFImage* Image, TObject* Sender, uint8_t Severity,
                        const std::string& Message);

} // namespace mv
