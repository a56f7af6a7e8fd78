// The converter window and its three commands.
#include "app/Morvellan_Unit1.h"

#include "gif/GIFImage.h"
#include "platform/SysUtils.h"
#include "platform/ui/Forms.h"

#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>


namespace mv {

TMorvellan_Frm1* Morvellan_Frm1 = nullptr;

namespace {

QString FromUtf8(const std::string& S) {
    return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

// The window's typeface at a character height of Pixels pixels. The face is rarely installed
// on Linux; the application makes its name fall back to an installed Chinese face.
QFont SongFont(int Pixels) {
    QFont F(QStringLiteral("宋体"));
    F.setPixelSize(Pixels);
    F.setStyleHint(QFont::Serif);
    return F;
}

} // namespace

TMorvellan_Frm1::TMorvellan_Frm1(QWidget* Parent) : QWidget(Parent) {
    setupUi(this);
    // The system menu, minimize and close; no maximize box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(SongFont(13));
    Label1->setFont(SongFont(14));
    Edit1->setFont(SongFont(14));
    // Seal numbers are typed in plain characters: no input method while the field has focus.
    Edit1->setAttribute(Qt::WA_InputMethodEnabled, false);
    Edit1->setInputMethodHints(Qt::ImhPreferLatin | Qt::ImhNoPredictiveText);
    Label1->setBuddy(Edit1);

    OpenPictureDialog1 = std::make_unique<TOpenPictureDialog>(this);
    SavePictureDialog1 = std::make_unique<TSavePictureDialog>(this);
    SavePictureDialog1->Filter = frmtext::SaveFilter;

    auto Command = [this](void (TMorvellan_Frm1::*Method)(TObject*)) {
        return [this, Method] {
            if (Application)
                Application->Guard([this, Method] { (this->*Method)(nullptr); });
            else
                (this->*Method)(nullptr);
        };
    };
    connect(Button1, &QPushButton::clicked, this, Command(&TMorvellan_Frm1::Button1Click));
    connect(Button2, &QPushButton::clicked, this, Command(&TMorvellan_Frm1::Button2Click));
    connect(Button3, &QPushButton::clicked, this, Command(&TMorvellan_Frm1::Button3Click));
}

TMorvellan_Frm1::~TMorvellan_Frm1() {
    if (Morvellan_Frm1 == this) Morvellan_Frm1 = nullptr;
}

void TMorvellan_Frm1::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    if (FCentered) return;
    FCentered = true;
    // Centered on the screen, whatever the stored position.
    QScreen* S = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!S) return;
    QRect Frame = frameGeometry();
    Frame.moveCenter(S->availableGeometry().center());
    move(Frame.topLeft());
}

std::string TMorvellan_Frm1::EditText() const {
    QByteArray B = Edit1->text().toUtf8();
    return std::string(B.constData(), static_cast<size_t>(B.size()));
}

void TMorvellan_Frm1::SetEditText(const std::string& Text) {
    Edit1->SetText(FromUtf8(Text));
}

void TMorvellan_Frm1::Button1Click(TObject*) {
    if (!OpenPictureDialog1->Execute()) return;
    OpenFile(OpenPictureDialog1->FileName);
}

void TMorvellan_Frm1::OpenFile(const std::string& FileName) {
    // The field takes the new name only once the picture has opened: a picture that fails
    // keeps the old name beside the old picture, so a save cannot file one under the other.
    Image1->Picture().LoadFromFile(FileName);
    SetEditText(ExtractFileName(FileName));
    Image1->Update();
}

void TMorvellan_Frm1::Button2Click(TObject*) {
    const std::string Text = EditText();
    if (Trim(Text).empty()) return;
    TGraphic* Graphic = Image1->Picture().Graphic();
    if (!Graphic || Graphic->Empty()) {
        MessageBox(frmtext::NoPicture, frmtext::Warning, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    SavePictureDialog1->FileName = ChangeFileExt(Text, ".gif");
    if (!SavePictureDialog1->Execute()) return;
    // Whatever the user chose or typed, the file is a ".gif".
    const std::string OutName = ChangeFileExt(SavePictureDialog1->FileName, ".gif");
    if (FileExists(OutName) && MessageBox(Format(frmtext::ReplaceFile, OutName.c_str()),
                                          frmtext::Warning, MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
        return;

    // Large pictures become a 640-pixel-wide 8-bit bitmap, which the preview then shows.
    if (std::unique_ptr<TBitmap> Small = DownscaleForSave(Graphic, CheckBox1->isChecked())) {
        Image1->Picture().Bitmap()->Assign(Small.get());
        Image1->Update();
    }

    {
        TGIFImage GIF;
        AssignForSave(GIF, Image1->Picture().Graphic());
        // Written beside the target and renamed over it once complete: a failure leaves no
        // partial file and keeps the one that was there.
        TAtomicFileStream File(OutName);
        GIF.SaveToStream(File);
        File.Commit();
    }
    MessageBox(frmtext::Saved, frmtext::Warning, MB_OK | MB_ICONEXCLAMATION);
}

void TMorvellan_Frm1::Button3Click(TObject*) {
    close();
}

} // namespace mv
