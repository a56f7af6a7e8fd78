// Small helpers shared by the GIF model tests: byte streams and a warning recorder.
#pragma once

#include "gif/GIFImage.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mv::test {

using Bytes = std::vector<uint8_t>;

inline Bytes BytesOf(const TMemoryStream& Stream) {
    return Stream.Bytes();
}

inline void Fill(TMemoryStream& Stream, const Bytes& Data) {
    Stream.Clear();
    if (!Data.empty()) Stream.Write(Data.data(), static_cast<int64_t>(Data.size()));
    Stream.SetPosition(0);
}

inline Bytes Concat(std::initializer_list<Bytes> Parts) {
    Bytes Out;
    for (const Bytes& P : Parts) Out.insert(Out.end(), P.begin(), P.end());
    return Out;
}

struct TWarningRecord {
    TObject* Sender;
    std::string SenderClass;
    uint8_t Severity;
    std::string Message;
};

// Records every warning of an image.
struct TWarningLog {
    std::vector<TWarningRecord> Items;
    void Attach(TGIFImage& Image) {
        Image.OnWarningReport = [this](TObject* Sender, uint8_t Severity, const std::string& M) {
            Items.push_back({Sender, Sender ? Sender->ClassName() : "", Severity, M});
        };
    }
    std::vector<std::string> Messages() const {
        std::vector<std::string> Out;
        for (const auto& W : Items) Out.push_back(W.Message);
        return Out;
    }
};

// Header and screen descriptor of a W x H GIF87a without a global table.
inline Bytes PlainHeader(uint16_t W, uint16_t H, uint8_t Flags = 0) {
    return {'G',
            'I',
            'F',
            '8',
            '9',
            'a',
            static_cast<uint8_t>(W),
            static_cast<uint8_t>(W >> 8),
            static_cast<uint8_t>(H),
            static_cast<uint8_t>(H >> 8),
            Flags,
            0,
            0};
}

// An image descriptor at (0, 0) of W x H with Flags.
inline Bytes Descriptor(uint16_t W, uint16_t H, uint8_t Flags = 0) {
    return {0x2C,
            0,
            0,
            0,
            0,
            static_cast<uint8_t>(W),
            static_cast<uint8_t>(W >> 8),
            static_cast<uint8_t>(H),
            static_cast<uint8_t>(H >> 8),
            Flags};
}

// Image data of code size 2 holding only a clear code and an end code.
inline Bytes EmptyData() {
    return {0x02, 0x01, 0x2C, 0x00};
}

} // namespace mv::test
