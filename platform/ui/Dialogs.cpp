// The picture file dialogs over QFileDialog.
#include "platform/ui/Dialogs.h"

#include "platform/Graphics.h"
#include "platform/SysUtils.h"

#include <QFileDialog>
#include <QStringList>

#include <mutex>

namespace mv {

namespace {

std::mutex ScriptLock;
TFileDialogScript& Script() {
    static TFileDialogScript S;
    return S;
}

QString FromUtf8(const std::string& S) {
    return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

std::string ToUtf8(const QString& S) {
    QByteArray B = S.toUtf8();
    return std::string(B.constData(), static_cast<size_t>(B.size()));
}

} // namespace

void SetFileDialogScript(TFileDialogScript Value) {
    std::lock_guard<std::mutex> G(ScriptLock);
    Script() = std::move(Value);
}

std::vector<std::pair<std::string, std::string>> SplitFilter(const std::string& Filter) {
    std::vector<std::string> Parts;
    if (Filter.empty()) return {};
    size_t Start = 0;
    for (;;) {
        size_t Bar = Filter.find('|', Start);
        Parts.push_back(Filter.substr(Start, Bar == std::string::npos ? Bar : Bar - Start));
        if (Bar == std::string::npos) break;
        Start = Bar + 1;
    }
    std::vector<std::pair<std::string, std::string>> Entries;
    for (size_t i = 0; i < Parts.size(); i += 2)
        Entries.emplace_back(Parts[i], i + 1 < Parts.size() ? Parts[i + 1] : std::string());
    return Entries;
}

std::vector<std::string> QtNameFilters(const std::string& Filter) {
    std::vector<std::string> Lines;
    for (const auto& [Label, Pattern] : SplitFilter(Filter)) {
        // Qt takes the patterns from the parentheses of the line, so the label's own
        // parenthesised list (which need not match the pattern) is replaced by the pattern.
        std::string Name = Label;
        size_t Open = Name.rfind('(');
        if (Open != std::string::npos && Name.back() == ')') Name = Trim(Name.substr(0, Open));
        std::string Patterns = Pattern;
        for (char& C : Patterns)
            if (C == ';') C = ' ';
        Lines.push_back(Name + " (" + Trim(Patterns) + ")");
    }
    return Lines;
}

bool TOpenDialog::Execute() {
    TFileDialogScript Answer;
    {
        std::lock_guard<std::mutex> G(ScriptLock);
        Answer = Script();
    }
    if (Answer) return Answer(*this);

    QFileDialog Dialog(FOwner, FromUtf8(Title));
    Dialog.setAcceptMode(FKind == TFileDialogKind::Save ? QFileDialog::AcceptSave
                                                        : QFileDialog::AcceptOpen);
    Dialog.setFileMode(FKind == TFileDialogKind::Save ? QFileDialog::AnyFile
                                                      : QFileDialog::ExistingFile);
    // The command asks about replacing a file itself (with the name it will really write).
    Dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    QStringList Filters;
    for (const std::string& Line : QtNameFilters(EffectiveFilter())) Filters << FromUtf8(Line);
    if (!Filters.isEmpty()) Dialog.setNameFilters(Filters);
    std::string Dir = InitialDir;
    if (Dir.empty() && !FileName.empty()) Dir = ExtractFilePath(FileName);
    if (!Dir.empty()) Dialog.setDirectory(FromUtf8(Dir));
    if (!FileName.empty()) Dialog.selectFile(FromUtf8(ExtractFileName(FileName)));
    if (Dialog.exec() != QDialog::Accepted) return false;
    const QStringList Chosen = Dialog.selectedFiles();
    if (Chosen.isEmpty()) return false;
    FileName = ToUtf8(Chosen.front());
    return true;
}

std::string TOpenPictureDialog::EffectiveFilter() const {
    if (!Filter.empty()) return Filter;
    return GraphicFilter(TGraphic::ClassInfo());
}

} // namespace mv
