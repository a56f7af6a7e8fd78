#include "gif/GIFImage.h"

namespace mv {

void ReportImageWarning(TGIFImage* Image, TObject* Sender, uint8_t Severity,
                        const std::string& Message) {
    Image->ReportWarning(Sender, Severity, Message);
}

void TGIFImage::ReportWarning(TObject* Sender, uint8_t Severity, const std::string& Message) {
    if (OnWarningReport) OnWarningReport(Sender, Severity, Message);
}

} // namespace mv
