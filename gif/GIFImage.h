// The GIF library's public header: the GIF document TGIFImage.
#pragma once

#include "gif/GIFBase.h"

#include <functional>

namespace mv {

// (Sender, Severity, Message) of a warning an item, list or color map reported.
using TGIFWarning =
    std::function<void(TObject* Sender, uint8_t Severity, const std::string& Message)>;

class TGIFImage : public TPersistent {
public:
    std::string ClassName() const override { return "TGIFImage"; }

    // Calls OnWarningReport when set; otherwise the warning is dropped.
    virtual void ReportWarning(TObject* Sender, uint8_t Severity, const std::string& Message);

    TGIFWarning OnWarningReport;
};

} // namespace mv
