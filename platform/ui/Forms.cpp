// The application object and message boxes over Qt Widgets.
#include "platform/ui/Forms.h"

#include "platform/Threads.h"
#include "platform/ui/ExtCtrls.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QWidget>

#include <mutex>

namespace mv {

TApplication* Application = nullptr;

namespace {

std::mutex ScriptLock;
TMessageBoxScript& Script() {
    static TMessageBoxScript S;
    return S;
}

QString FromUtf8(const std::string& S) {
    return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

} // namespace

void SetMessageBoxScript(TMessageBoxScript Value) {
    std::lock_guard<std::mutex> G(ScriptLock);
    Script() = std::move(Value);
}

int MessageBox(const std::string& Text, const std::string& Caption, uint32_t Flags) {
    TMessageBoxScript Answer;
    {
        std::lock_guard<std::mutex> G(ScriptLock);
        Answer = Script();
    }
    if (Answer) return Answer(Text, Caption, Flags);

    QMessageBox Box(Application ? Application->MainForm() : nullptr);
    Box.setWindowTitle(FromUtf8(Caption));
    Box.setText(FromUtf8(Text));
    switch (Flags & MB_ICONMASK) {
    case MB_ICONHAND:
        Box.setIcon(QMessageBox::Critical);
        break;
    case MB_ICONQUESTION:
        Box.setIcon(QMessageBox::Question);
        break;
    case MB_ICONEXCLAMATION:
        Box.setIcon(QMessageBox::Warning);
        break;
    case MB_ICONASTERISK:
        Box.setIcon(QMessageBox::Information);
        break;
    default:
        Box.setIcon(QMessageBox::NoIcon);
        break;
    }
    // The buttons carry the platform's answers; Escape gives the last (No / Cancel).
    struct TButton {
        QMessageBox::StandardButton Button;
        int Answer;
    };
    std::vector<TButton> Buttons;
    switch (Flags & MB_TYPEMASK) {
    case MB_OKCANCEL:
        Buttons = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
        break;
    case MB_YESNO:
        Buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
        break;
    default:
        Buttons = {{QMessageBox::Ok, IDOK}};
        break;
    }
    QMessageBox::StandardButtons Set;
    for (const TButton& B : Buttons) Set |= B.Button;
    Box.setStandardButtons(Set);
    Box.setDefaultButton(Buttons.front().Button);
    Box.setEscapeButton(Buttons.back().Button);
    Box.exec();
    QAbstractButton* Clicked = Box.clickedButton();
    for (const TButton& B : Buttons)
        if (Clicked == Box.button(B.Button)) return B.Answer;
    return Buttons.back().Answer;
}

void AddCJKFallback(const std::string& Family) {
    const QStringList Preferred = {"SimSun",
                                   "NSimSun",
                                   "Noto Serif CJK SC",
                                   "Noto Sans CJK SC",
                                   "Source Han Serif SC",
                                   "WenQuanYi Micro Hei",
                                   "WenQuanYi Zen Hei",
                                   "AR PL UMing CN",
                                   "AR PL SungtiL GB"};
    const QStringList Installed = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    QStringList Faces;
    for (const QString& F : Preferred)
        if (Installed.contains(F, Qt::CaseInsensitive)) Faces << F;
    for (const QString& F : Installed)
        if (!Faces.contains(F, Qt::CaseInsensitive)) Faces << F;
    if (!Faces.isEmpty()) QFont::insertSubstitutions(FromUtf8(Family), Faces);
}

TApplication::TApplication(int& Argc, char** Argv) {
    if (!QApplication::instance()) FOwnApp = std::make_unique<QApplication>(Argc, Argv);
    Application = this;
}

TApplication::~TApplication() {
    if (FInitialized) SetWakeMainThread(nullptr);
    delete FMainForm;
    FMainForm = nullptr;
    if (Application == this) Application = nullptr;
}

void TApplication::Initialize() {
    if (FInitialized) return;
    FInitialized = true;
    SetMainThreadID(std::this_thread::get_id());
    // A thread that hands a step to the main thread wakes the event loop, which runs the
    // waiting steps and then lets the picture controls show what the steps drew.
    QObject* Context = QApplication::instance();
    SetWakeMainThread([Context] {
        QMetaObject::invokeMethod(
            Context,
            [] {
                if (CheckSynchronize()) RefreshImageControls();
            },
            Qt::QueuedConnection);
    });
    AddCJKFallback("宋体");
}

void TApplication::Adopt(QWidget* Form) {
    if (!FMainForm) {
        FMainForm = Form;
        Form->setAttribute(Qt::WA_QuitOnClose, true);
    }
}

int TApplication::Run() {
    if (!FMainForm) return 0;
    FMainForm->show();
    return QApplication::exec();
}

void TApplication::ProcessMessages() {
    QApplication::processEvents();
    if (IsMainThread() && CheckSynchronize()) RefreshImageControls();
}

void TApplication::Terminate() {
    if (FMainForm) FMainForm->close();
}

void TApplication::Guard(const std::function<void()>& Command) {
    try {
        Command();
    } catch (...) {
        HandleException(std::current_exception());
    }
}

void TApplication::HandleException(std::exception_ptr E) {
    try {
        std::rethrow_exception(E);
    } catch (const EAbort&) {
        // The silent exception: the command has ended, nothing to say.
    } catch (const std::exception& Ex) {
        ShowException(Ex);
    } catch (...) {
        mv::MessageBox("An unknown error ended the command", Title, MB_OK | MB_ICONHAND);
    }
}

void TApplication::ShowException(const std::exception& E) {
    std::string Text = E.what();
    // As the platform does: a message whose last character sorts after '.' gets a full stop
    // (so "...(.png)" stays as it is and "... failed" becomes "... failed.").
    if (!Text.empty() && static_cast<unsigned char>(Text.back()) > '.') Text.push_back('.');
    mv::MessageBox(Text, Title, MB_OK | MB_ICONHAND);
}

} // namespace mv
