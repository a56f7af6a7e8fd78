// TMetafile: the platform's vector picture, ".emf" (enhanced) and ".wmf" (Windows,
// placeable or plain) files. It keeps the bytes it was loaded from, reports its size in
// pixels at 96 pixels per inch and plays its records onto any canvas rectangle through our
// own rasterizer (aliased, like the platform).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/Graphics.h"
#include "platform/MetafilePlayer.h"

namespace mv {

class TMetafile : public TGraphic {
public:
    TMetafile() = default;
    MV_GRAPHIC_CLASS(TMetafile)

    // From another metafile (a copy of its bytes) or null (empties); anything else raises
    // EConvertError. Assigning a metafile to a bitmap raises EConvertError
    // "Cannot assign a TMetafile to a TBitmap" (the default AssignTo).
    void Assign(TPersistent* Source) override;

    // Plays the picture stretched into Rect (a reversed rectangle mirrors). Nothing outside
    // Rect is touched; pixels the picture does not paint keep their color.
    void Draw(TCanvas& ACanvas, const TRect& Rect) override;
    bool GetEmpty() const override { return FData.empty(); }
    int32_t GetWidth() const override { return FWidth; }
    int32_t GetHeight() const override { return FHeight; }
    // The size reported (and used by Canvas.Draw); the picture still fills any rectangle.
    void SetWidth(int32_t Value) override;
    void SetHeight(int32_t Value) override;

    // Reads the rest of the stream as one metafile. A damaged file raises EInvalidGraphic
    // and leaves the metafile as it was.
    void LoadFromStream(TStream& Stream) override;
    // Writes the bytes exactly as they were read.
    void SaveToStream(TStream& Stream) override;
    // CF_ENHMETAFILE: global memory holding the file's bytes.
    void LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE APalette) override;
    void SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) override;

    void Clear();
    // True for an enhanced metafile, false for a Windows metafile (or none).
    bool Enhanced() const { return FInfo.Kind == metafile::mkEnhanced; }
    // The picture's size in 0.01 mm.
    int32_t MMWidth() const;
    int32_t MMHeight() const;
    const metafile::TMetafileInfo& Info() const { return FInfo; }
    const std::vector<uint8_t>& Data() const { return FData; }

    // Loads from bytes in memory (what LoadFromStream does after reading).
    void LoadFromBytes(std::vector<uint8_t> Bytes);

private:
    std::vector<uint8_t> FData;
    metafile::TMetafileInfo FInfo;
    int32_t FWidth = 0;
    int32_t FHeight = 0;
};

} // namespace mv
