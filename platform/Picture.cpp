// The graphic framework: TGraphic's common behaviour, graphic classes, TPicture with its file
// and clipboard format registries, and the open-dialog filter. The platform's icon and bitmap
// formats are registered here at start-up, so they are there whenever TPicture is linked in.
#include "platform/Graphics.h"

#include "platform/Icon.h"
#include "platform/Metafile.h"
#include "platform/SysUtils.h"

#include <algorithm>
#include <mutex>

namespace mv {

// ---------------------------------------------------------------------------
// Graphic classes

std::unique_ptr<TGraphic> TGraphicClassInfo::Create() const {
    if (!Factory)
        throw EInvalidGraphicOperation(Format("Cannot create an instance of %s", Name.c_str()));
    return Factory();
}

bool TGraphicClassInfo::InheritsFrom(const TGraphicClassInfo* Other) const {
    if (!Other) return false;
    if (Other == this) return true;
    if (!Factory) return false;
    // An instance tells which classes it belongs to.
    std::unique_ptr<TGraphic> G = Factory();
    return Other->IsInstance(G.get());
}

// ---------------------------------------------------------------------------
// TGraphic

void TGraphic::SetTransparent(bool Value) {
    if (Value == FTransparent) return;
    FTransparent = Value;
    Changed(this);
}

void TGraphic::LoadFromFile(const std::string& FileName) {
    TFileStream Stream(FileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(Stream);
}

void TGraphic::SaveToFile(const std::string& FileName) {
    TAtomicFileStream Stream(FileName);
    SaveToStream(Stream);
    Stream.Commit();
}

bool TGraphic::Equals(TGraphic* Graphic) {
    if (Graphic == this) return true;
    if (!Graphic || Graphic->ClassType() != ClassType()) return false;
    if (Empty() || Graphic->Empty()) return Empty() && Graphic->Empty();
    TMemoryStream A, B;
    SaveToStream(A);
    Graphic->SaveToStream(B);
    return A.Bytes() == B.Bytes();
}

void TGraphic::Changed(TObject*) {
    FModified = true;
    if (OnChange) OnChange(this);
}

void TGraphic::Progress(TObject* Sender, TProgressStage Stage, uint8_t PercentDone, bool RedrawNow,
                        const TRect& R, const std::string& Msg) {
    if (OnProgress) OnProgress(Sender, Stage, PercentDone, RedrawNow, R, Msg);
}

void TGraphic::SetModified(bool Value) {
    if (Value)
        Changed(this);
    else
        FModified = false;
}

// ---------------------------------------------------------------------------
// Registries

namespace {

struct TFormatEntry {
    TPicture::TFileFormat Format;
    int Slot; // platform slot, or -1 for formats the application registers
};

struct TRegistry {
    std::mutex Lock;
    std::vector<TFormatEntry> Files; // in registration order
    std::vector<std::pair<uint32_t, TGraphicClass>> Clipboard;
};

TRegistry& Registry() {
    static TRegistry R;
    return R;
}

void AddFileFormat(const std::string& Ext, const std::string& Desc, TGraphicClass Class, int Slot) {
    if (!Class) throw EInvalidGraphicOperation("No graphic class given for the file format");
    TRegistry& R = Registry();
    std::lock_guard<std::mutex> G(R.Lock);
    TFormatEntry E{{LowerCase(Ext), Desc, Class}, Slot};
    if (Slot < 0) {
        R.Files.push_back(std::move(E));
        return;
    }
    // Platform formats come first, in slot order, whenever their units start.
    auto It = R.Files.begin();
    while (It != R.Files.end() && It->Slot >= 0 && It->Slot <= Slot) ++It;
    R.Files.insert(It, std::move(E));
}

} // namespace

void TPicture::RegisterFileFormat(const std::string& AExtension, const std::string& ADescription,
                                  TGraphicClass AGraphicClass) {
    AddFileFormat(AExtension, ADescription, AGraphicClass, -1);
}

void TPicture::RegisterPlatformFileFormat(TPlatformFormatSlot Slot, const std::string& AExtension,
                                          const std::string& ADescription,
                                          TGraphicClass AGraphicClass) {
    AddFileFormat(AExtension, ADescription, AGraphicClass, static_cast<int>(Slot));
}

void TPicture::RegisterClipboardFormat(uint32_t AFormat, TGraphicClass AGraphicClass) {
    TRegistry& R = Registry();
    std::lock_guard<std::mutex> G(R.Lock);
    R.Clipboard.insert(R.Clipboard.begin(), {AFormat, AGraphicClass});
}

void TPicture::UnregisterGraphicClass(TGraphicClass AClass) {
    TRegistry& R = Registry();
    std::lock_guard<std::mutex> G(R.Lock);
    std::erase_if(R.Files, [&](const TFormatEntry& E) { return E.Format.GraphicClass == AClass; });
    std::erase_if(R.Clipboard, [&](const auto& E) { return E.second == AClass; });
}

std::vector<TPicture::TFileFormat> TPicture::FileFormats() {
    TRegistry& R = Registry();
    std::lock_guard<std::mutex> G(R.Lock);
    std::vector<TFileFormat> Out;
    for (auto It = R.Files.rbegin(); It != R.Files.rend(); ++It) Out.push_back(It->Format);
    return Out;
}

TGraphicClass TPicture::FindExtension(const std::string& AExtension) {
    std::string Ext = LowerCase(AExtension);
    for (const TFileFormat& F : FileFormats())
        if (F.Extension == Ext) return F.GraphicClass;
    return nullptr;
}

TGraphicClass TPicture::FindClipboardFormat(uint32_t AFormat) {
    TRegistry& R = Registry();
    std::lock_guard<std::mutex> G(R.Lock);
    for (const auto& E : R.Clipboard)
        if (E.first == AFormat) return E.second;
    return nullptr;
}

bool TPicture::SupportsClipboardFormat(uint32_t AFormat) {
    return FindClipboardFormat(AFormat) != nullptr;
}

std::string GraphicFilter(TGraphicClass GraphicClass) {
    std::string All, Entries;
    for (const TPicture::TFileFormat& F : TPicture::FileFormats()) {
        if (GraphicClass && GraphicClass != TGraphic::ClassInfo() &&
            !F.GraphicClass->InheritsFrom(GraphicClass))
            continue;
        std::string Pattern = "*." + F.Extension;
        if (!All.empty()) All += ";";
        All += Pattern;
        Entries += "|" + F.Description + " (" + Pattern + ")|" + Pattern;
    }
    return "All (" + All + ")|" + All + Entries;
}

std::string GraphicExtension(TGraphicClass GraphicClass) {
    for (const TPicture::TFileFormat& F : TPicture::FileFormats())
        if (F.GraphicClass == GraphicClass) return F.Extension;
    return "";
}

// ---------------------------------------------------------------------------
// TPicture

TPicture::TPicture() = default;
TPicture::~TPicture() = default;

void TPicture::Attach(std::unique_ptr<TGraphic> Value) {
    FGraphic = std::move(Value);
    if (FGraphic) {
        FGraphic->OnChange = [this](TObject* Sender) { Changed(Sender); };
        FGraphic->OnProgress = [this](TObject* Sender, TProgressStage Stage, uint8_t Percent,
                                      bool Redraw, const TRect& R, const std::string& Msg) {
            Progress(Sender, Stage, Percent, Redraw, R, Msg);
        };
    }
}

void TPicture::SetGraphic(TGraphic* Value) {
    if (Value == FGraphic.get()) return;
    std::unique_ptr<TGraphic> NewGraphic;
    if (Value) {
        NewGraphic = Value->ClassType()->Create();
        NewGraphic->Assign(Value);
    }
    Attach(std::move(NewGraphic));
    Changed(this);
}

void TPicture::TakeGraphic(std::unique_ptr<TGraphic> Value) {
    Attach(std::move(Value));
    Changed(this);
}

TBitmap* TPicture::Bitmap() {
    if (!dynamic_cast<TBitmap*>(FGraphic.get())) {
        Attach(std::make_unique<TBitmap>());
        Changed(this);
    }
    return static_cast<TBitmap*>(FGraphic.get());
}

int32_t TPicture::Width() const {
    return FGraphic ? FGraphic->Width() : 0;
}
int32_t TPicture::Height() const {
    return FGraphic ? FGraphic->Height() : 0;
}

void TPicture::LoadFromFile(const std::string& FileName) {
    std::string Ext = ExtractFileExt(FileName);
    if (!Ext.empty() && Ext[0] == '.') Ext.erase(0, 1);
    TGraphicClass Class = FindExtension(Ext);
    if (!Class) throw EInvalidGraphic(Format("Unknown picture file extension (.%s)", Ext.c_str()));
    std::unique_ptr<TGraphic> NewGraphic = Class->Create();
    NewGraphic->OnProgress = [this](TObject* Sender, TProgressStage Stage, uint8_t Percent,
                                    bool Redraw, const TRect& R, const std::string& Msg) {
        Progress(Sender, Stage, Percent, Redraw, R, Msg);
    };
    NewGraphic->LoadFromFile(FileName);
    Attach(std::move(NewGraphic));
    Changed(this);
}

void TPicture::SaveToFile(const std::string& FileName) {
    if (FGraphic) FGraphic->SaveToFile(FileName);
}

void TPicture::LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE APalette) {
    TGraphicClass Class = FindClipboardFormat(AFormat);
    if (!Class) throw EInvalidGraphic("Unsupported clipboard format");
    std::unique_ptr<TGraphic> NewGraphic = Class->Create();
    NewGraphic->LoadFromClipboardFormat(AFormat, std::move(AData), std::move(APalette));
    Attach(std::move(NewGraphic));
    Changed(this);
}

void TPicture::SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) {
    if (FGraphic) FGraphic->SaveToClipboardFormat(AFormat, AData, APalette);
}

void TPicture::Assign(TPersistent* Source) {
    if (Source == nullptr) {
        SetGraphic(nullptr);
    } else if (auto* P = dynamic_cast<TPicture*>(Source)) {
        SetGraphic(P->Graphic());
    } else if (auto* G = dynamic_cast<TGraphic*>(Source)) {
        SetGraphic(G);
    } else {
        TPersistent::Assign(Source);
    }
}

void TPicture::AssignTo(TPersistent* Dest) {
    if (auto* G = dynamic_cast<TGraphic*>(Dest); G && FGraphic) {
        G->Assign(FGraphic.get());
        return;
    }
    TPersistent::AssignTo(Dest);
}

void TPicture::Changed(TObject*) {
    if (OnChange) OnChange(this);
}

void TPicture::Progress(TObject* Sender, TProgressStage Stage, uint8_t PercentDone, bool RedrawNow,
                        const TRect& R, const std::string& Msg) {
    if (OnProgress) OnProgress(Sender, Stage, PercentDone, RedrawNow, R, Msg);
}

// ---------------------------------------------------------------------------
// Start-up: the platform's picture formats, in their slots wmf, emf, ico, bmp. They are all
// registered here, in the picture unit, so that any program that uses TPicture links every
// format (a static library drops a unit nobody refers to, and its start-up code with it).

namespace {
struct TBitmapRegistration {
    TBitmapRegistration() {
        TPicture::RegisterPlatformFileFormat(fsMetafile, "wmf", "Metafiles",
                                             TMetafile::ClassInfo());
        TPicture::RegisterPlatformFileFormat(fsEnhMetafile, "emf", "Enhanced Metafiles",
                                             TMetafile::ClassInfo());
        TPicture::RegisterClipboardFormat(CF_ENHMETAFILE, TMetafile::ClassInfo());
        TPicture::RegisterPlatformFileFormat(fsIcon, "ico", "Icons", TIcon::ClassInfo());
        TPicture::RegisterPlatformFileFormat(fsBitmap, "bmp", "Bitmaps", TBitmap::ClassInfo());
        TPicture::RegisterClipboardFormat(CF_BITMAP, TBitmap::ClassInfo());
    }
} BitmapRegistration;
} // namespace

} // namespace mv
