// The picture file dialogs of our Qt-backed window layer.
//
// Filters are in the platform's form "Label|Pattern|Label|Pattern", patterns separated by ';'.
// Execute runs the system's file dialog, or, when a script is set, asks the script (tests).
#pragma once

#include "platform/Classes.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

class QWidget;

namespace mv {

enum class TFileDialogKind { Open, Save };

class TOpenDialog : public TObject {
public:
    explicit TOpenDialog(QWidget* Owner = nullptr, TFileDialogKind Kind = TFileDialogKind::Open)
        : FOwner(Owner), FKind(Kind) {}
    std::string ClassName() const override { return "TOpenDialog"; }

    // Runs the dialog; true with FileName set when the user chose a file, false when cancelled.
    bool Execute();

    std::string FileName;
    std::string Filter; // "" means the dialog's default filter
    std::string Title;
    std::string InitialDir;

    TFileDialogKind Kind() const { return FKind; }
    // The filter the dialog shows: Filter, or the dialog's default when none is stored.
    virtual std::string EffectiveFilter() const { return Filter; }

private:
    QWidget* FOwner;
    TFileDialogKind FKind;
};

// Open dialog for pictures: without a stored filter it lists every registered picture format.
class TOpenPictureDialog : public TOpenDialog {
public:
    explicit TOpenPictureDialog(QWidget* Owner = nullptr)
        : TOpenDialog(Owner, TFileDialogKind::Open) {}
    std::string ClassName() const override { return "TOpenPictureDialog"; }
    std::string EffectiveFilter() const override;

protected:
    TOpenPictureDialog(QWidget* Owner, TFileDialogKind Kind) : TOpenDialog(Owner, Kind) {}
};

// Save dialog for pictures. It does not ask before replacing a file: the command that saves
// knows the name it will really write and asks itself.
class TSavePictureDialog : public TOpenPictureDialog {
public:
    explicit TSavePictureDialog(QWidget* Owner = nullptr)
        : TOpenPictureDialog(Owner, TFileDialogKind::Save) {}
    std::string ClassName() const override { return "TSavePictureDialog"; }
};

// The (label, pattern) pairs of a filter; an odd last label gets an empty pattern.
std::vector<std::pair<std::string, std::string>> SplitFilter(const std::string& Filter);
// The same filter in Qt's form: one "Label (*.a *.b)" line per entry, a label's own
// parenthesised part replaced by the entry's real patterns.
std::vector<std::string> QtNameFilters(const std::string& Filter);

// A script that answers file dialogs in place of a user: it sees the dialog (its kind,
// FileName and effective filter), may set FileName, and answers whether the user chose a file.
// Null restores the system's dialogs.
using TFileDialogScript = std::function<bool(TOpenDialog& Dialog)>;
void SetFileDialogScript(TFileDialogScript Script);

} // namespace mv
