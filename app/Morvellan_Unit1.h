// The converter window: open a picture, preview it, save it as a GIF named after the seal.
#pragma once

#include "gif/color/SaveConversion.h"
#include "platform/Classes.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/ExtCtrls.h"
#include "ui_Morvellan_Unit1.h"

#include <QWidget>

#include <memory>

namespace mv {

// Texts of the window and its commands.
namespace frmtext {
inline constexpr const char* Warning = "警告";
inline constexpr const char* Saved = "已成功将印章图像保存！";
inline constexpr const char* NoPicture = "请先打开印章图像。";
inline constexpr const char* ReplaceFile = "%s 已存在。\n要替换它吗？";
inline constexpr const char* SaveFilter = "All (*.gif)|*.gif";
} // namespace frmtext

// The window. Its widgets (Button1, Button2, Panel1, Image1, Label1, Button3, Edit1, Bevel1,
// CheckBox1) come from the stored layout; the two dialogs are made here.
class TMorvellan_Frm1 : public QWidget, public Ui::TMorvellan_Frm1 {
    Q_OBJECT

public:
    explicit TMorvellan_Frm1(QWidget* Parent = nullptr);
    ~TMorvellan_Frm1() override;

    std::unique_ptr<TOpenPictureDialog> OpenPictureDialog1;
    std::unique_ptr<TSavePictureDialog> SavePictureDialog1;

    // Open: choose a picture, show it, put its file name into the seal-number field.
    void Button1Click(TObject* Sender);
    // What the open command does with the file chosen.
    void OpenFile(const std::string& FileName);
    // Save as GIF: name from the seal-number field, optional scaling, conversion, writing.
    void Button2Click(TObject* Sender);
    // Close the window (and so the program).
    void Button3Click(TObject* Sender);

    // The seal-number field's text (UTF-8).
    std::string EditText() const;
    void SetEditText(const std::string& Text);

protected:
    void showEvent(QShowEvent* Event) override;

private:
    bool FCentered = false;
};

// The one window of the program (made by the application's CreateForm).
extern TMorvellan_Frm1* Morvellan_Frm1;

} // namespace mv
