// The window as laid out: components, their nesting, places, captions and settings.
#include "tests/app/WindowTestUtil.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace mv::testing {
namespace {

TEST_F(WindowTest, EveryComponentHasItsClassParentPlaceAndCaption) {
    struct TRow {
        QWidget* Widget;
        const char* Name;
        const char* Class;
        QWidget* Parent;
        QRect Bounds;
        const char* Caption;
    };
    TMorvellan_Frm1& F = *Form;
    const TRow Rows[] = {
        {F.Button1, "Button1", "QPushButton", &F, {93, 496, 107, 33}, "打开文件(&O)"},
        {F.Button2, "Button2", "QPushButton", &F, {205, 496, 107, 33}, "另存为(&S)"},
        {F.Panel1, "Panel1", "mv::TPanel", &F, {16, 16, 429, 457}, nullptr},
        {F.Image1, "Image1", "mv::TImage", F.Panel1, {9, 9, 413, 400}, nullptr},
        {F.Label1, "Label1", "QLabel", F.Panel1, {49, 426, 63, 14}, "印章编号:"},
        {F.Button3, "Button3", "QPushButton", &F, {317, 496, 107, 33}, "关闭(&E)"},
        {F.Edit1, "Edit1", "mv::TEdit", F.Panel1, {120, 423, 105, 22}, ""},
        {F.Bevel1, "Bevel1", "mv::TBevel", F.Panel1, {3, 414, 424, 5}, nullptr},
        {F.CheckBox1, "CheckBox1", "QCheckBox", F.Panel1, {288, 426, 105, 17}, "自动调整大小"},
    };
    for (const TRow& R : Rows) {
        SCOPED_TRACE(R.Name);
        ASSERT_NE(R.Widget, nullptr);
        EXPECT_EQ(R.Widget->objectName().toStdString(), R.Name);
        EXPECT_TRUE(R.Widget->inherits(R.Class));
        EXPECT_EQ(R.Widget->parentWidget(), R.Parent);
        EXPECT_EQ(R.Widget->geometry(), R.Bounds);
        if (!R.Caption) continue;
        QString Text;
        if (auto* B = qobject_cast<QAbstractButton*>(R.Widget)) Text = B->text();
        if (auto* L = qobject_cast<QLabel*>(R.Widget)) Text = L->text();
        if (auto* E = qobject_cast<QLineEdit*>(R.Widget)) Text = E->text();
        EXPECT_EQ(Text.toStdString(), R.Caption);
    }
    EXPECT_EQ(F.objectName().toStdString(), "Morvellan_Frm1");
    EXPECT_EQ(F.windowTitle().toStdString(), "印章图像处理工具");
    EXPECT_TRUE(F.Image1->Stretch());
    EXPECT_EQ(F.Panel1->BevelInner(), bvLowered);
    EXPECT_EQ(F.Panel1->BorderWidth(), 1);
    EXPECT_EQ(F.SavePictureDialog1->Filter, "All (*.gif)|*.gif");
    EXPECT_EQ(F.OpenPictureDialog1->Filter, "");
}

TEST_F(WindowTest, SettingsOfTheFieldsAndTheWindow) {
    TMorvellan_Frm1& F = *Form;
    EXPECT_EQ(F.Edit1->MaxLength(), 13);
    EXPECT_FALSE(F.Edit1->testAttribute(Qt::WA_InputMethodEnabled));
    EXPECT_TRUE(F.CheckBox1->isChecked());
    // No maximize box; minimize and close are there.
    EXPECT_FALSE(F.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(F.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(F.windowFlags() & Qt::WindowCloseButtonHint);
    // Keyboard order: the two buttons, the field, the box, the close button.
    std::vector<QWidget*> Order;
    QWidget* W = F.Button1;
    for (int i = 0; i < 5; ++i, W = W->nextInFocusChain()) {
        while (W->focusPolicy() == Qt::NoFocus) W = W->nextInFocusChain();
        Order.push_back(W);
    }
    EXPECT_EQ(Order,
              (std::vector<QWidget*>{F.Button1, F.Button2, F.Edit1, F.CheckBox1, F.Button3}));
}

TEST_F(WindowTest, FontsAreSongTypefaceFallingBackToAnInstalledChineseFace) {
    TMorvellan_Frm1& F = *Form;
    EXPECT_EQ(F.font().family().toStdString(), "宋体");
    EXPECT_EQ(F.font().pixelSize(), 13);
    EXPECT_EQ(F.Label1->font().pixelSize(), 14);
    EXPECT_EQ(F.Edit1->font().pixelSize(), 14);
    EXPECT_EQ(F.Button1->font().family().toStdString(), "宋体");
    const QStringList Chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    if (Chinese.isEmpty()) GTEST_SKIP() << "no Chinese face installed";
    QString Used = QFontInfo(F.Edit1->font()).family();
    EXPECT_TRUE(Chinese.contains(Used)) << Used.toStdString();
}

TEST_F(WindowTest, OpensCenteredAndTheCloseCommandClosesIt) {
    Form->show();
    QApplication::processEvents();
    QRect Screen = Form->screen()->availableGeometry();
    EXPECT_LE(std::abs(Form->frameGeometry().center().x() - Screen.center().x()), 1);
    EXPECT_LE(std::abs(Form->frameGeometry().center().y() - Screen.center().y()), 1);
    Form->Button3->click();
    EXPECT_FALSE(Form->isVisible());
}

TEST_F(WindowTest, TheFieldLimitsTypingOnlyToThirteenCharacters) {
    TEdit& E = *Form->Edit1;
    for (char C : std::string("ABCDEFGHIJKLMNOPQ")) E.insert(QString(QChar(C)));
    EXPECT_EQ(E.text().toStdString(), "ABCDEFGHIJKLM");
    // A name the program puts there stays whole, and typing can shorten it but not grow it.
    Form->SetEditText("seal_2024_0001_final.jpg");
    EXPECT_EQ(Form->EditText(), "seal_2024_0001_final.jpg");
    E.end(false);
    E.insert("x");
    EXPECT_EQ(Form->EditText(), "seal_2024_0001_final.jpg");
    E.backspace();
    EXPECT_EQ(Form->EditText(), "seal_2024_0001_final.jp");
}

} // namespace
} // namespace mv::testing
