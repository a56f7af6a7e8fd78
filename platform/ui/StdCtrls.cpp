// The edit field over QLineEdit.
#include "platform/ui/StdCtrls.h"

#include <QValidator>

#include <algorithm>

namespace mv {

// Refuses a change by typing that makes the text longer than the limit and longer than it was.
class TEditLimit : public QValidator {
public:
    explicit TEditLimit(TEdit* Edit) : QValidator(Edit), FEdit(Edit) {}
    State validate(QString& Input, int&) const override {
        const int Limit = FEdit->FMaxLength;
        if (Limit > 0 && Input.size() > Limit && Input.size() > FEdit->FAcceptedLength)
            return Invalid;
        return Acceptable;
    }

private:
    TEdit* FEdit;
};

TEdit::TEdit(QWidget* Parent) : QLineEdit(Parent) {
    setValidator(new TEditLimit(this));
    connect(this, &QLineEdit::textChanged, this,
            [this](const QString& Text) { FAcceptedLength = static_cast<int>(Text.size()); });
}

void TEdit::SetText(const QString& Text) {
    // Accepted before it is checked, so the field counts it as valid and later typing is
    // measured against it.
    FAcceptedLength = std::max(FAcceptedLength, static_cast<int>(Text.size()));
    setText(Text);
    FAcceptedLength = static_cast<int>(text().size());
}

void TEdit::SetMaxLength(int Value) {
    FMaxLength = Value < 0 ? 0 : Value;
}

} // namespace mv
