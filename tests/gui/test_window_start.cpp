// The window as it opens, and the rules of the target-form controls.
#include "WindowFixture.h"

#include <QApplication>
#include <QFontInfo>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QScreen>

#include "shell/UiFont.h"

TEST_F(WindowTest, OpensWithNoFormChosenAndConvertDisabled) {
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Osmark Vellary Converter v1.0"));
    for (const char* name : {"OptEML", "OptEMLX", "OptPST", "OptMSG"}) EXPECT_FALSE(option(name)->isChecked()) << name;
    EXPECT_FALSE(singleStore()->isEnabled());
    EXPECT_TRUE(singleStore()->isChecked());
    EXPECT_FALSE(button("CmdConvert")->isEnabled());
    for (const char* name : {"cmdAdd", "CmdAddFolder", "cmdClear1", "CmdHelp", "cmdEnd"})
        EXPECT_TRUE(button(name)->isEnabled()) << name;
    EXPECT_EQ(countLabel(), QStringLiteral("0 files"));
    EXPECT_EQ(caption("LblProgessCurrent"), QStringLiteral("Mailbox  0 (of 0)"));
    EXPECT_EQ(caption("Label1"), QStringLiteral("Reading          :"));
    EXPECT_EQ(caption("LblIMMFile"), QString());
    EXPECT_EQ(caption("LblProgress"), QStringLiteral("Saving :"));
    // The empty list: one row with an empty cell, one column, no headers.
    EXPECT_EQ(gridRows(), 1);
    EXPECT_EQ(grid()->model()->columnCount(), 1);
    EXPECT_EQ(cell(0), QString());
    EXPECT_FALSE(grid()->horizontalHeader()->isVisible());
    EXPECT_FALSE(grid()->verticalHeader()->isVisible());
    EXPECT_EQ(window.sourceRows(), std::vector<std::string>{""});
    EXPECT_EQ(window.chosenForm(), conversion::TargetForm::None);
}

TEST_F(WindowTest, LaysOutTheControlsInTwips) {
    // 8985 x 8055 twips of client area, fixed.
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_EQ(window.width(), window.px(8985));
    EXPECT_EQ(window.height(), window.px(8055));
    if (QGuiApplication::primaryScreen()->logicalDotsPerInchX() == 96) {
        EXPECT_EQ(window.size(), QSize(599, 537));
        EXPECT_EQ(grid()->geometry(), QRect(16, 112, 569, 105));
        EXPECT_EQ(button("CmdConvert")->geometry(), QRect(208, 448, 185, 37));
        EXPECT_EQ(button("cmdEnd")->geometry(), QRect(480, 0, 89, 25));  // inside Picture3
        EXPECT_EQ(option("OptMSG")->geometry(), QRect(0, 72, 537, 17));  // inside Picture1
        EXPECT_EQ(grid()->columnWidth(0), 1000);
    }
    EXPECT_EQ(button("cmdEnd")->parentWidget()->objectName(), QStringLiteral("Picture3"));
    EXPECT_EQ(option("OptEML")->parentWidget()->objectName(), QStringLiteral("Picture1"));
    EXPECT_EQ(option("OptEML")->parentWidget()->parentWidget()->objectName(), QStringLiteral("Frame1"));
}

TEST_F(WindowTest, TextUsesATahomaFaceThatReallyResolves) {
    const QString family = shell::UiFontFamily();
    ASSERT_FALSE(family.isEmpty());
    // Wine's replacement is registered when the system has no Tahoma.
    if (QFileInfo::exists(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf"))) {
        EXPECT_EQ(family, QStringLiteral("Tahoma"));
    }
    for (const char* name : {"cmdAdd", "CmdConvert"}) {
        QFontInfo used(button(name)->font());
        EXPECT_EQ(used.family(), family) << name;
    }
    QFontInfo title(control<QLabel>("lblTitle")->font());
    EXPECT_EQ(title.family(), family);
    EXPECT_TRUE(title.bold());
    EXPECT_EQ(title.pixelSize(), qRound(14.25 * QGuiApplication::primaryScreen()->logicalDotsPerInchY() / 72));
}

TEST_F(WindowTest, TabMovesThroughTheControlsInTheirOrder) {
    window.show();
    const char* const order[] = {"cmdAdd",  "cmdClear1", "CmdAddFolder", "grdFiles1", "CmdConvert", "cmdEnd",
                                 "CmdHelp", "OptMSG",    "OptPST",       "OptEML",    "OptEMLX",    "ChkAllinOnePST"};
    QWidget* w = control<QWidget>(order[0]);
    for (size_t i = 1; i < std::size(order); ++i) {
        w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus) w = w->nextInFocusChain();
        EXPECT_EQ(w->objectName(), QString::fromLatin1(order[i])) << "after " << order[i - 1];
    }
    window.hide();
}

TEST_F(WindowTest, OnlyThePstFormEnablesTheSingleStoreBox) {
    option("OptPST")->click();
    EXPECT_TRUE(singleStore()->isEnabled());
    EXPECT_TRUE(singleStore()->isChecked());
    EXPECT_EQ(window.chosenForm(), conversion::TargetForm::Pst);
    option("OptEML")->click();
    EXPECT_FALSE(singleStore()->isEnabled());
    EXPECT_TRUE(singleStore()->isChecked());
    EXPECT_FALSE(option("OptPST")->isChecked());
    EXPECT_EQ(window.chosenForm(), conversion::TargetForm::Eml);
    option("OptEMLX")->click();
    EXPECT_FALSE(singleStore()->isEnabled());
    EXPECT_EQ(window.chosenForm(), conversion::TargetForm::Emlx);
}

TEST_F(WindowTest, SingleStoreBoxKeepsItsMarkAcrossFormChanges) {
    option("OptPST")->click();
    singleStore()->click();
    EXPECT_FALSE(singleStore()->isChecked());
    option("OptMSG")->click();
    EXPECT_FALSE(singleStore()->isEnabled());
    option("OptPST")->click();
    EXPECT_TRUE(singleStore()->isEnabled());
    EXPECT_FALSE(singleStore()->isChecked());
}

TEST_F(WindowTest, ClearingTheTargetFormUnselectsEveryOption) {
    option("OptPST")->click();
    window.clearTargetForm();
    for (const char* name : {"OptEML", "OptEMLX", "OptPST", "OptMSG"}) EXPECT_FALSE(option(name)->isChecked()) << name;
    // The box keeps its state; a click on an option still works afterwards.
    EXPECT_TRUE(singleStore()->isEnabled());
    option("OptMSG")->click();
    EXPECT_TRUE(option("OptMSG")->isChecked());
    EXPECT_FALSE(singleStore()->isEnabled());
}

TEST_F(WindowTest, HelpOpensTheShippedManual) {
    button("CmdHelp")->click();
    ASSERT_EQ(dialogs.openedDocuments.size(), 1u);
    const std::string& manual = dialogs.openedDocuments[0];
    EXPECT_NE(manual.find("manual.html"), std::string::npos) << manual;
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(manual))) << manual;
}

TEST_F(WindowTest, ExitAnsweredNoKeepsTheWindow) {
    window.show();
    dialogs.messageAnswers = {AnswerNo};
    button("cmdEnd")->click();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "Are you sure you want to exit now?");
    EXPECT_EQ(dialogs.messages[0].title, "Osmark Vellary Converter");
    EXPECT_EQ(dialogs.messages[0].style, 36);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.stopRequested());
    window.hide();
}

TEST_F(WindowTest, ExitAnsweredYesClosesWithoutFurtherQuestion) {
    window.show();
    dialogs.messageAnswers = {AnswerYes};
    button("cmdEnd")->click();
    EXPECT_EQ(dialogs.messages.size(), 1u);
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(window.stopRequested());
}

TEST_F(WindowTest, CloseRequestNeverAsks) {
    window.show();
    dialogs.fileAnswers = {"/m/a.mbox"};
    button("cmdAdd")->click();
    EXPECT_TRUE(window.close());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_TRUE(window.stopRequested());
}

// The picture box holding the options lies within the frame's contents, so
// the frame's four borders show whole and no option touches them.
TEST_F(WindowTest, TargetFormOptionsLieInsideTheWholeFrame) {
    window.show();
    auto* frame = control<QGroupBox>("Frame1");
    const QRect contents = frame->contentsRect();
    const QRect clear = contents.adjusted(1, 1, -1, -1);
    QWidget* picture = control<QWidget>("Picture1");
    EXPECT_TRUE(contents.contains(picture->geometry()))
        << "contents " << contents.y() << ", picture " << picture->geometry().y();
    for (const char* name : {"OptEML", "OptEMLX", "OptPST", "OptMSG"}) {
        QRadioButton* o = option(name);
        const QRect inFrame(o->mapTo(frame, QPoint(0, 0)), o->size());
        EXPECT_TRUE(clear.contains(inFrame)) << name << " at " << inFrame.x() << "," << inFrame.y();
        EXPECT_TRUE(picture->rect().contains(o->geometry())) << name;  // not cut by the picture box
    }
}
