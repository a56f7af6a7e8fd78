// Shared pieces of the window tests: a window with scripted dialogs and message boxes, a
// scratch directory, and picture files made on the spot.
#pragma once

#include "app/Morvellan_Unit1.h"
#include "gif/GIFImage.h"
#include "platform/Graphics.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Forms.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace mv::testing {

namespace fs = std::filesystem;

struct TShownBox {
    std::string Text;
    std::string Caption;
    uint32_t Flags;
};

struct TShownDialog {
    TFileDialogKind Kind;
    std::string FileName; // as proposed when the dialog opened
    std::string Filter;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("morvellan_app_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        SetFileDialogScript([this](TOpenDialog& D) {
            Dialogs.push_back({D.Kind(), D.FileName, D.EffectiveFilter()});
            if (DialogAnswers.empty()) return false;
            std::optional<std::string> A = DialogAnswers.front();
            DialogAnswers.pop_front();
            if (!A) return false;
            D.FileName = *A;
            return true;
        });
        SetMessageBoxScript([this](const std::string& T, const std::string& C, uint32_t F) {
            Boxes.push_back({T, C, F});
            if (BoxAnswers.empty()) return (F & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
            int A = BoxAnswers.front();
            BoxAnswers.pop_front();
            return A;
        });
        Form = std::make_unique<TMorvellan_Frm1>();
    }

    void TearDown() override {
        Form.reset();
        SetFileDialogScript(nullptr);
        SetMessageBoxScript(nullptr);
        fs::remove_all(Dir);
    }

    std::string Path(const std::string& Name) const { return (Dir / Name).string(); }

    // Runs the open command as a click would, choosing File (or cancelling with nullopt).
    void Open(std::optional<std::string> File) {
        DialogAnswers.push_back(std::move(File));
        Form->Button1->click();
    }
    // Runs the save command as a click would, answering the dialog with File.
    void Save(std::optional<std::string> File) {
        DialogAnswers.push_back(std::move(File));
        Form->Button2->click();
    }

    std::vector<std::string> FilesInDir() const {
        std::vector<std::string> Names;
        for (const auto& E : fs::directory_iterator(Dir)) Names.push_back(E.path().filename());
        std::sort(Names.begin(), Names.end());
        return Names;
    }

    fs::path Dir;
    std::unique_ptr<TMorvellan_Frm1> Form;
    std::deque<std::optional<std::string>> DialogAnswers;
    std::deque<int> BoxAnswers;
    std::vector<TShownDialog> Dialogs;
    std::vector<TShownBox> Boxes;
};

// A 24-bit bitmap file of W x H pixels whose colors follow Color(x, y) (0x00RRGGBB).
template <class F> void WriteBitmapFile(const std::string& Name, int W, int H, F Color) {
    TBitmap B;
    B.SetPixelFormat(pf24bit);
    B.SetSize(W, H);
    for (int Y = 0; Y < H; ++Y) {
        auto* Row = static_cast<uint8_t*>(B.ScanLine(Y));
        for (int X = 0; X < W; ++X) {
            uint32_t C = Color(X, Y);
            Row[3 * X] = static_cast<uint8_t>(C);
            Row[3 * X + 1] = static_cast<uint8_t>(C >> 8);
            Row[3 * X + 2] = static_cast<uint8_t>(C >> 16);
        }
    }
    B.SaveToFile(Name);
}

inline void WritePlainBitmap(const std::string& Name, int W, int H) {
    WriteBitmapFile(Name, W, H,
                    [](int X, int Y) { return uint32_t((X * 7) ^ (Y * 13)) * 0x10101u; });
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& Name) {
    TMemoryStream S;
    S.LoadFromFile(Name);
    return S.Bytes();
}

inline std::string GIFFixture(const std::string& Name) {
    return std::string(MORVELLAN_TEST_DATA) + "/giflib/" + Name;
}

} // namespace mv::testing
