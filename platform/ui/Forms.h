// The application object and the message box of our Qt-backed window layer.
//
// Commands run through TApplication::Guard: an exception escaping a command is shown in a
// message box with its message and the program goes on. Message boxes can be answered by a
// script (tests run without anyone to click).
#pragma once

#include "platform/Classes.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

class QApplication;
class QWidget;

namespace mv {

// Message-box flags and answers, with the platform's values.
constexpr uint32_t MB_OK = 0x00;
constexpr uint32_t MB_OKCANCEL = 0x01;
constexpr uint32_t MB_YESNO = 0x04;
constexpr uint32_t MB_ICONHAND = 0x10; // also MB_ICONERROR, MB_ICONSTOP
constexpr uint32_t MB_ICONERROR = MB_ICONHAND;
constexpr uint32_t MB_ICONQUESTION = 0x20;
constexpr uint32_t MB_ICONEXCLAMATION = 0x30; // also MB_ICONWARNING
constexpr uint32_t MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr uint32_t MB_ICONASTERISK = 0x40; // also MB_ICONINFORMATION
constexpr uint32_t MB_TYPEMASK = 0x0F;
constexpr uint32_t MB_ICONMASK = 0xF0;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Shows a modal message box (texts in UTF-8) and answers the button pressed.
int MessageBox(const std::string& Text, const std::string& Caption, uint32_t Flags);

// A script that answers message boxes in place of a user: it gets the text, caption and flags
// and answers the button. Null restores the real box.
using TMessageBoxScript =
    std::function<int(const std::string& Text, const std::string& Caption, uint32_t Flags)>;
void SetMessageBoxScript(TMessageBoxScript Script);

// The application: owns the Qt application when it made it, knows the main window, runs the
// event loop and shows the exceptions that escape commands.
class TApplication : public TObject {
public:
    // Uses the Qt application that exists, or makes one from the program's arguments.
    TApplication(int& Argc, char** Argv);
    ~TApplication() override;
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;
    std::string ClassName() const override { return "TApplication"; }

    // Connects the platform's hand-over of steps to the main thread with the event loop, and
    // makes the fonts the window asks for fall back to an installed face that has them.
    void Initialize();
    // Makes a window of class Form; the first one made becomes the main window.
    template <class Form> void CreateForm(Form*& Reference) {
        Reference = new Form();
        Adopt(Reference);
    }
    // Shows the main window and runs the event loop until it is closed; answers the exit code.
    int Run();
    // Runs the steps that are waiting (events, synchronized steps) and returns.
    void ProcessMessages();
    // Closes the main window, which ends Run.
    void Terminate();

    // Runs Command; an exception escaping it is shown (EAbort silently) and swallowed.
    void Guard(const std::function<void()>& Command);
    // Shows the message of the exception in a message box with the application's title.
    void ShowException(const std::exception& E);
    void HandleException(std::exception_ptr E);
    int MessageBox(const std::string& Text, const std::string& Caption, uint32_t Flags) {
        return mv::MessageBox(Text, Caption, Flags);
    }

    QWidget* MainForm() const { return FMainForm; }
    // The caption of exception boxes.
    std::string Title = "Morvellan";

private:
    void Adopt(QWidget* Form);
    std::unique_ptr<QApplication> FOwnApp;
    QWidget* FMainForm = nullptr;
    bool FInitialized = false;
};

// The one application object (null until one is made).
extern TApplication* Application;

// Makes the generic family Family fall back to the installed faces that cover Chinese text
// (the window's fonts name a face that Linux systems rarely have).
void AddCJKFallback(const std::string& Family);

} // namespace mv
