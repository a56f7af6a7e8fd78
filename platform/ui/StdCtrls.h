// The edit field of our Qt-backed window layer.
#pragma once

#include <QLineEdit>

namespace mv {

// A one-line edit field whose MaxLength limits only what the user types: text put in by the
// program stays whole, and a longer text can still be shortened by typing (Qt's own maximum
// length would cut both).
class TEdit : public QLineEdit {
    Q_OBJECT
    Q_PROPERTY(int limitLength READ MaxLength WRITE setLimitLength)

public:
    explicit TEdit(QWidget* Parent = nullptr);
    // 0: no limit.
    int MaxLength() const { return FMaxLength; }
    void SetMaxLength(int Value);
    // Puts Text into the field whatever its length (the program's way; typing is limited).
    void SetText(const QString& Text);
    // The stored layout's name for it (Qt's own maxLength cuts what the program puts in).
    void setLimitLength(int Value) { SetMaxLength(Value); }

private:
    friend class TEditLimit;
    int FMaxLength = 0;
    int FAcceptedLength = 0; // length of the text before the change being checked
};

} // namespace mv
