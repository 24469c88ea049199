// The main window frmStep1: the source list, the choice of target form, and
// the buttons that fill the list, run the conversion, open the help page and
// end the program. Shell layer: it builds the controls, answers their clicks
// and is the conversion run's view; the work itself is in sources/ and
// conversion/. Every dialog and message box goes through ShellDialogs.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <QIcon>
#include <QWidget>

#include "conversion/RunView.h"
#include "conversion/StoreSteps.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QTableView;

namespace shell {

class ShellDialogs;
class SourceListModel;

class FrmStep1 : public QWidget, public conversion::RunView {
    Q_OBJECT
public:
    explicit FrmStep1(ShellDialogs& dialogs, QWidget* parent = nullptr);
    ~FrmStep1() override;

    // Shows the window in the centre of its screen.
    void showCentred();

    // The rows of the source list, as a run would be given them.
    const std::vector<std::string>& sourceRows() const;
    // The target form chosen by the option buttons (None when no option is selected).
    conversion::TargetForm chosenForm() const;
    // Twips to pixels at the screen's resolution.
    int px(int twips) const;

    // conversion::RunView
    std::string browseForFolder(const std::string& title) override;
    void setConvertEnabled(bool enabled) override;
    void clearTargetForm() override;
    void setCurrentRow(int row) override;
    void setMailboxCaption(const std::string& text) override;
    void setSourceFileCaption(const std::string& text) override;
    void setProgressCaption(const std::string& text) override;
    void showMessage(const std::string& text, const std::string& title, int style) override;
    void yield() override;
    bool stopRequested() const override { return closing_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void cmdAdd_Click();
    void CmdAddFolder_Click();
    void cmdClear1_Click();
    void CmdConvert_Click();
    void CmdHelp_Click();
    void cmdEnd_Click();

private:
    void buildControls();
    void setTabOrder();
    void AddFileToList(const std::string& path);
    void ClearFileList();
    void moveCurrentCell(int row);
    QLabel* makeLabel(QWidget* container, const char* name, const QString& text, QRect twips);
    QRect rect(int left, int top, int width, int height) const;

    ShellDialogs& dialogs_;
    double dotsPerInch_ = 96.0;
    bool closing_ = false;
    bool running_ = false;
    std::chrono::steady_clock::time_point lastPump_;

    SourceListModel* model_ = nullptr;
    QLabel* lblTitle_ = nullptr;
    QLabel* lblCopyright_ = nullptr;
    QPushButton* cmdAdd_ = nullptr;
    QPushButton* CmdAddFolder_ = nullptr;
    QPushButton* cmdClear1_ = nullptr;
    QLabel* lblCount1_ = nullptr;
    QTableView* grdFiles1_ = nullptr;
    QGroupBox* Frame1_ = nullptr;
    QRadioButton* OptEML_ = nullptr;
    QRadioButton* OptEMLX_ = nullptr;
    QRadioButton* OptPST_ = nullptr;
    QRadioButton* OptMSG_ = nullptr;
    QCheckBox* ChkAllinOnePST_ = nullptr;
    QLabel* LblProgessCurrent_ = nullptr;
    QLabel* LblIMMFile_ = nullptr;
    QLabel* LblProgress_ = nullptr;
    QPushButton* CmdConvert_ = nullptr;
    QPushButton* CmdHelp_ = nullptr;
    QPushButton* cmdEnd_ = nullptr;
};

// The user manual shipped with the program: the installed copy, else the
// one in the build tree; "" when neither is there.
std::string HelpManualPath();

// The application icon, all sizes.
QIcon AppIcon();

}  // namespace shell
