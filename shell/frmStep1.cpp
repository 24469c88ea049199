#include "shell/frmStep1.h"

#include <exception>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>

#include "conversion/ConversionRun.h"
#include "shell/ShellDialogs.h"
#include "shell/SourceListModel.h"
#include "shell/UiFont.h"
#include "shell/registry_gui.h"
#include "sources/AddFiles.h"
#include "sources/pathLogger.h"

// The icons are compiled into this static library; a program linking it must
// register them, or the linker may leave them out.
static void initShellResources() { Q_INIT_RESOURCE(resources); }

namespace shell {
namespace {

constexpr const char* kCaption = "Osmark Vellary Converter v1.0";
constexpr int kClientWidthTwips = 8985;
constexpr int kClientHeightTwips = 8055;
constexpr int kColumnWidthTwips = 15000;
constexpr int kRowHeightTwips = 240;
// How often a run's yield really lets the window handle its events.
constexpr std::chrono::milliseconds kPumpInterval(20);

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

const QColor kSilver(192, 192, 192);

// A white strip with a silver border (the shapes at the head and foot).
QFrame* makeStrip(QWidget* parent, const char* name) {
    auto* strip = new QFrame(parent);
    strip->setObjectName(QString::fromLatin1(name));
    strip->setStyleSheet(QStringLiteral("QFrame { background-color: white; border: 1px solid rgb(192, 192, 192); }"));
    return strip;
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

// The grid, scrolling by whole rows. Qt's table scrolls by rows too, but at
// the end of its scroll bar it lays the last row flush with the bottom edge,
// so unless the viewport is a whole number of rows high the top row shows
// cut (by 7 px of 16 at 96 dpi). Here the top row is the scroll bar's row
// there as everywhere else; the spare pixels go below the last row.
class WholeRowGrid : public QTableView {
public:
    using QTableView::QTableView;

protected:
    void scrollContentsBy(int dx, int dy) override {
        QTableView::scrollContentsBy(dx, dy);
        topRowFlush();
    }
    void updateGeometries() override {
        QTableView::updateGeometries();
        topRowFlush();
    }

private:
    void topRowFlush() {
        if (verticalScrollMode() != ScrollPerItem) return;
        QHeaderView* rows = verticalHeader();
        const int value = verticalScrollBar()->value();
        if (value <= 0 || value >= rows->count()) return;
        const int top = rows->sectionPosition(rows->logicalIndex(value));
        if (rows->offset() == top) return;
        rows->setOffset(top);
        viewport()->update();
    }
};

// `wanted` moved (and, if it must, cut) so it lies inside `area` with two
// pixels of air on every side.
QRect insideWithGap(QRect wanted, QRect area) {
    constexpr int kGap = 2;
    const QRect room = area.adjusted(kGap, kGap, -kGap, -kGap);
    if (wanted.left() < room.left()) wanted.moveLeft(room.left());
    if (wanted.top() < room.top()) wanted.moveTop(room.top());
    return wanted.intersected(room);
}

void setOpaqueBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

}  // namespace

FrmStep1::FrmStep1(ShellDialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      dialogs_(dialogs) {
    setObjectName(QStringLiteral("frmStep1"));
    if (QScreen* screen = QGuiApplication::primaryScreen()) dotsPerInch_ = screen->logicalDotsPerInchX();
    if (dotsPerInch_ <= 0) dotsPerInch_ = 96.0;

    setWindowTitle(QString::fromLatin1(kCaption));
    setWindowIcon(AppIcon());
    setFont(UiFont(8.25));
    // Button face behind everything.
    setOpaqueBackground(this, palette().color(QPalette::Button));
    setFixedSize(px(kClientWidthTwips), px(kClientHeightTwips));

    buildControls();
    setTabOrder();
    cmdAdd_->setFocus();
}

FrmStep1::~FrmStep1() = default;

int FrmStep1::px(int twips) const { return qRound(twips * dotsPerInch_ / 1440.0); }

QRect FrmStep1::rect(int left, int top, int width, int height) const {
    return QRect(px(left), px(top), px(width), px(height));
}

QLabel* FrmStep1::makeLabel(QWidget* container, const char* name, const QString& text, QRect twips) {
    auto* label = new QLabel(text, container);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(rect(twips.x(), twips.y(), twips.width(), twips.height()));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    return label;
}

void FrmStep1::buildControls() {
    auto button = [this](QWidget* container, const char* name, const char* text, QRect twips) {
        auto* b = new QPushButton(QString::fromLatin1(text), container);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(rect(twips.x(), twips.y(), twips.width(), twips.height()));
        b->setAutoDefault(false);
        return b;
    };
    auto option = [this](QWidget* container, const char* name, const char* text, QRect twips) {
        auto* o = new QRadioButton(QString::fromLatin1(text), container);
        o->setObjectName(QString::fromLatin1(name));
        o->setGeometry(rect(twips.x(), twips.y(), twips.width(), twips.height()));
        return o;
    };

    // The head: a white strip with the title and copyright.
    makeStrip(this, "Shape2")->setGeometry(rect(0, 0, 11415, 855));
    lblTitle_ = makeLabel(this, "lblTitle", QStringLiteral("Osmark Vellary Converter"), QRect(360, 120, 7695, 375));
    lblTitle_->setFont(UiFont(14.25, true));
    setTextColour(lblTitle_, Qt::black);
    setOpaqueBackground(lblTitle_, Qt::white);
    lblCopyright_ =
        makeLabel(this, "lblCopyright", QStringLiteral("Copyright \u00A9 2026 Osmark. All rights reserved."),
                  QRect(360, 480, 6135, 255));
    setTextColour(lblCopyright_, Qt::black);
    setOpaqueBackground(lblCopyright_, Qt::white);

    // The source list and its buttons.
    cmdAdd_ = button(this, "cmdAdd", "Select Vellary file(s)...", QRect(240, 960, 2535, 375));
    CmdAddFolder_ =
        button(this, "CmdAddFolder", "Select folder having vellary file(s)...", QRect(3000, 960, 3375, 375));
    cmdClear1_ = button(this, "cmdClear1", "Clear file(s)...", QRect(7440, 960, 1335, 375));
    lblCount1_ =
        makeLabel(this, "lblCount1", QString::fromLatin1(sources::kEmptyCountCaption), QRect(270, 1440, 8535, 255));

    model_ = new SourceListModel(this);
    grdFiles1_ = new WholeRowGrid(this);
    grdFiles1_->setObjectName(QStringLiteral("grdFiles1"));
    grdFiles1_->setModel(model_);
    grdFiles1_->setGeometry(rect(240, 1680, 8535, 1575));
    grdFiles1_->horizontalHeader()->hide();
    grdFiles1_->verticalHeader()->hide();
    grdFiles1_->verticalHeader()->setMinimumSectionSize(1);
    grdFiles1_->verticalHeader()->setDefaultSectionSize(px(kRowHeightTwips));
    grdFiles1_->horizontalHeader()->setStretchLastSection(false);
    grdFiles1_->setColumnWidth(0, px(kColumnWidthTwips));  // load: wider than the grid, so it scrolls sideways
    grdFiles1_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    grdFiles1_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    grdFiles1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    grdFiles1_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdFiles1_->setSelectionMode(QAbstractItemView::SingleSelection);
    grdFiles1_->setSelectionBehavior(QAbstractItemView::SelectItems);
    grdFiles1_->setWordWrap(false);
    grdFiles1_->setTextElideMode(Qt::ElideNone);
    grdFiles1_->setFont(UiFont(8.25));
    {
        QPalette palette = grdFiles1_->palette();
        palette.setColor(QPalette::Base, Qt::white);               // beyond the last row
        palette.setColor(QPalette::Highlight, QColor(0, 0, 192));  // selected cells
        palette.setColor(QPalette::Inactive, QPalette::Highlight, QColor(0, 0, 192));
        grdFiles1_->setPalette(palette);
        grdFiles1_->setStyleSheet(QStringLiteral("QTableView { gridline-color: rgb(192, 192, 192); }"));
    }
    moveCurrentCell(0);

    // The target form.
    Frame1_ = new QGroupBox(QStringLiteral(" I want to convert vellary messages to..."), this);
    Frame1_->setObjectName(QStringLiteral("Frame1"));
    Frame1_->setGeometry(rect(240, 3360, 8535, 1695));
    auto* picture1 = new QWidget(Frame1_);
    picture1->setObjectName(QStringLiteral("Picture1"));
    // The twips put the picture box just below a frame border drawn through
    // the middle of the caption. Styles that draw the caption above the
    // border (Fusion: the border at 16 px, the contents from 17 px) would
    // have the box paint over the top border, leaving stubs at the corners;
    // it is moved down into the frame's contents, clear of the border.
    Frame1_->ensurePolished();
    picture1->setGeometry(insideWithGap(rect(120, 240, 8295, 1335), Frame1_->contentsRect()));
    setOpaqueBackground(picture1, palette().color(QPalette::Button));
    OptEML_ = option(picture1, "OptEML",
                     "(.eml) files          -     (Supported by Outlook Express, Windows Mail, Windows Live Mail)",
                     QRect(0, 0, 8055, 255));
    OptEMLX_ = option(picture1, "OptEMLX", "(.emlx) files        -     (Supported by Mac OS X Tiger Mail)",
                      QRect(0, 360, 8295, 255));
    OptPST_ = option(picture1, "OptPST", "(.pst) files          -     (Supported by MS Outlook, Outlook 2011 for Mac)",
                     QRect(0, 720, 8055, 255));
    OptMSG_ =
        option(picture1, "OptMSG",
               "(.msg) files         -     (Supported by MS Outlook, Document Management Software, Forensic Tools)",
               QRect(0, 1080, 8055, 255));

    ChkAllinOnePST_ = new QCheckBox(QStringLiteral("Create Single Outlook PST file for All files"), this);
    ChkAllinOnePST_->setObjectName(QStringLiteral("ChkAllinOnePST"));
    ChkAllinOnePST_->setGeometry(rect(240, 5160, 8535, 255));
    ChkAllinOnePST_->setToolTip(
        QStringLiteral("Selecting this option will allow you to create a single PST file for all MBOX files"));
    ChkAllinOnePST_->setChecked(true);
    ChkAllinOnePST_->setEnabled(false);

    // Only the PST form has a choice of one store for all mailboxes.
    connect(OptPST_, &QRadioButton::toggled, this, [this](bool on) {
        if (on) ChkAllinOnePST_->setEnabled(true);
    });
    for (QRadioButton* other : {OptEML_, OptEMLX_, OptMSG_})
        connect(other, &QRadioButton::toggled, this, [this](bool on) {
            if (on) ChkAllinOnePST_->setEnabled(false);
        });

    // Progress.
    makeLabel(this, "Label4", QStringLiteral("Converting Messages..."), QRect(240, 5475, 1815, 255));
    LblProgessCurrent_ =
        makeLabel(this, "LblProgessCurrent", QStringLiteral("Mailbox  0 (of 0)"), QRect(600, 5760, 8175, 255));
    setTextColour(LblProgessCurrent_, Qt::black);
    QLabel* label1 = makeLabel(this, "Label1", QStringLiteral("Reading          :"), QRect(600, 6000, 1335, 255));
    label1->setFont(UiFont(8.25, true));
    setTextColour(label1, QColor(0, 64, 64));
    LblIMMFile_ = makeLabel(this, "LblIMMFile", QString(), QRect(1920, 6000, 6855, 255));
    setTextColour(LblIMMFile_, Qt::black);
    QLabel* image3 = makeLabel(this, "Image3", QString(), QRect(600, 6255, 240, 240));
    image3->setPixmap(AppIcon().pixmap(px(240), px(240)));
    LblProgress_ = makeLabel(this, "LblProgress", QStringLiteral("Saving :"), QRect(960, 6255, 7815, 255));
    setTextColour(LblProgress_, Qt::black);

    CmdConvert_ = button(this, "CmdConvert", "Convert", QRect(3120, 6720, 2775, 555));
    CmdConvert_->setFont(UiFont(14.25));
    CmdConvert_->setEnabled(false);

    // The foot: a white strip with Help and Exit.
    makeStrip(this, "Shape1")->setGeometry(rect(0, 7440, 9015, 855));
    auto* picture3 = new QWidget(this);
    picture3->setObjectName(QStringLiteral("Picture3"));
    picture3->setGeometry(rect(240, 7560, 8655, 495));
    setOpaqueBackground(picture3, Qt::white);
    CmdHelp_ = button(picture3, "CmdHelp", "&Help Manual", QRect(0, 0, 1695, 375));
    cmdEnd_ = button(picture3, "cmdEnd", "E&xit", QRect(7200, 0, 1335, 375));

    connect(cmdAdd_, &QPushButton::clicked, this, &FrmStep1::cmdAdd_Click);
    connect(CmdAddFolder_, &QPushButton::clicked, this, &FrmStep1::CmdAddFolder_Click);
    connect(cmdClear1_, &QPushButton::clicked, this, &FrmStep1::cmdClear1_Click);
    connect(CmdConvert_, &QPushButton::clicked, this, &FrmStep1::CmdConvert_Click);
    connect(CmdHelp_, &QPushButton::clicked, this, &FrmStep1::CmdHelp_Click);
    connect(cmdEnd_, &QPushButton::clicked, this, &FrmStep1::cmdEnd_Click);
}

void FrmStep1::setTabOrder() {
    const QList<QWidget*> order = {cmdAdd_,  cmdClear1_, CmdAddFolder_, grdFiles1_, CmdConvert_, cmdEnd_,
                                   CmdHelp_, OptMSG_,    OptPST_,       OptEML_,    OptEMLX_,    ChkAllinOnePST_};
    for (int i = 0; i + 1 < order.size(); ++i) QWidget::setTabOrder(order[i], order[i + 1]);
}

void FrmStep1::showCentred() {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    show();
    // A window manager gives a new window the focus; without one, ask for it.
    activateWindow();
}

const std::vector<std::string>& FrmStep1::sourceRows() const { return model_->list().rows(); }

conversion::TargetForm FrmStep1::chosenForm() const {
    using conversion::TargetForm;
    if (OptEML_->isChecked()) return TargetForm::Eml;
    if (OptPST_->isChecked()) return TargetForm::Pst;
    if (OptEMLX_->isChecked()) return TargetForm::Emlx;
    if (OptMSG_->isChecked()) return TargetForm::Msg;
    return TargetForm::None;
}

// ---- The source list -------------------------------------------------------

void FrmStep1::AddFileToList(const std::string& path) {
    int row = model_->addFile(path);
    moveCurrentCell(row);
    lblCount1_->setText(QString::fromStdString(sources::CountCaption(model_->list().rowCount())));
}

void FrmStep1::ClearFileList() {
    model_->clear();
    grdFiles1_->setColumnWidth(0, px(kColumnWidthTwips));
    moveCurrentCell(0);
    lblCount1_->setText(QString::fromLatin1(sources::kEmptyCountCaption));
}

void FrmStep1::cmdClear1_Click() {
    moveCurrentCell(0);
    if (model_->list().text(0).empty()) return;
    int answer = dialogs_.message(this, "Do you want to clear all the files in the list\r\n Proceed?",
                                  conversion::kAppTitle, conversion::StyleQuestion);
    if (answer == AnswerYes) ClearFileList();
}

void FrmStep1::cmdAdd_Click() {
    try {
        std::string answer = dialogs_.openFiles(this, sources::kSourceFileFilter);
        if (answer.empty()) return;
        CmdConvert_->setEnabled(true);
        for (const std::string& path : sources::PickedFilePaths(answer, kSeparator)) AddFileToList(path);
    } catch (const DialogError& error) {
        std::string text = error.number == kTooManyFilesError
                               ? "Please select only " + std::to_string(sources::kMaxFilesAtATime) + " files at a time"
                               : std::to_string(error.number) + ":" + error.what();
        dialogs_.message(this, text, conversion::kAppTitle, conversion::StyleExclamation);
    } catch (const std::exception& error) {
        // Not the dialog's: an internal failure while adding the rows.
        dialogs_.message(this, std::string("51:") + error.what(), conversion::kAppTitle, conversion::StyleExclamation);
    }
}

void FrmStep1::CmdAddFolder_Click() {
    std::string folder = dialogs_.browseForFolder(this, "Choose Source Folder...");
    if (folder.empty()) return;
    if (folder.back() != kSeparator) folder.push_back(kSeparator);

    QApplication::setOverrideCursor(Qt::WaitCursor);
    const std::vector<std::string> found = sources::FilesBelowFolder(folder);
    int added = 0;
    for (const std::string& path : found) {
        // Let the window repaint and answer clicks between two rows.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        if (closing_) break;
        AddFileToList(path);
        ++added;
    }
    QApplication::restoreOverrideCursor();
    if (closing_) return;

    CmdConvert_->setEnabled(added > 0);
    dialogs_.message(this, std::to_string(added) + " Files Added to List.", conversion::kAppTitle,
                     conversion::StylePlain);
}

// ---- Conversion ------------------------------------------------------------

void FrmStep1::CmdConvert_Click() {
    if (running_) return;
    conversion::RunRequest request;
    request.form = chosenForm();
    request.singleStore = ChkAllinOnePST_->isEnabled() && ChkAllinOnePST_->isChecked();
    request.rows = sourceRows();

    running_ = true;
    lastPump_ = std::chrono::steady_clock::now();
    try {
        conversion::ConversionRun run(*this, std::move(request));
        run.execute();
    } catch (const std::exception& error) {
        if (!closing_) {
            showMessage(error.what(), conversion::kAppTitle, conversion::StyleExclamation);
            setConvertEnabled(true);
        }
    }
    running_ = false;
    // The window was closed during the run: the run has stopped, end now.
    if (closing_) QCoreApplication::exit(0);
}

std::string FrmStep1::browseForFolder(const std::string& title) {
    if (closing_) return std::string();
    return dialogs_.browseForFolder(this, title);
}

void FrmStep1::setConvertEnabled(bool enabled) { CmdConvert_->setEnabled(enabled); }

void FrmStep1::clearTargetForm() {
    // An auto-exclusive option refuses to be unchecked while it is the
    // group's checked one; lift the rule for the moment.
    for (QRadioButton* option : {OptEML_, OptEMLX_, OptPST_, OptMSG_}) {
        option->setAutoExclusive(false);
        option->setChecked(false);
        option->setAutoExclusive(true);
    }
}

void FrmStep1::setCurrentRow(int row) {
    // The mailbox in hand is marked, so the user sees the run move down the list.
    QModelIndex index = model_->index(row, 0);
    grdFiles1_->setCurrentIndex(index);
    grdFiles1_->scrollTo(index);
}

void FrmStep1::moveCurrentCell(int row) {
    // The current cell moves without marking it, as a list being filled shows no selection.
    QModelIndex index = model_->index(row, 0);
    grdFiles1_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::Clear);
    grdFiles1_->scrollTo(index);
}

void FrmStep1::setMailboxCaption(const std::string& text) { LblProgessCurrent_->setText(QString::fromStdString(text)); }

void FrmStep1::setSourceFileCaption(const std::string& text) { LblIMMFile_->setText(QString::fromStdString(text)); }

void FrmStep1::setProgressCaption(const std::string& text) { LblProgress_->setText(QString::fromStdString(text)); }

void FrmStep1::showMessage(const std::string& text, const std::string& title, int style) {
    if (closing_) return;
    dialogs_.message(this, text, title, style);
}

void FrmStep1::yield() {
    auto now = std::chrono::steady_clock::now();
    if (now - lastPump_ < kPumpInterval) return;
    QCoreApplication::processEvents();
    lastPump_ = std::chrono::steady_clock::now();
}

// ---- Help, Exit and closing ------------------------------------------------

void FrmStep1::CmdHelp_Click() { dialogs_.openDocument(HelpManualPath()); }

void FrmStep1::cmdEnd_Click() {
    int answer =
        dialogs_.message(this, "Are you sure you want to exit now?", conversion::kAppTitle, conversion::StyleQuestion);
    if (answer == AnswerYes) close();
}

void FrmStep1::closeEvent(QCloseEvent* event) {
    // Never asks: the program ends, a run in progress stops at its next yield.
    closing_ = true;
    event->accept();
    if (!running_) QCoreApplication::exit(0);
}

// ---- Resources -------------------------------------------------------------

std::string HelpManualPath() {
    const QString appDir = QCoreApplication::applicationDirPath();
    QStringList candidates = {
        appDir + QStringLiteral("/../share/vellary-converter/help/manual.html"),
        appDir + QStringLiteral("/help/manual.html"),
    };
#ifdef VELLARY_HELP_BUILD_DIR
    candidates << QStringLiteral(VELLARY_HELP_BUILD_DIR "/manual.html");
#endif
    for (const QString& candidate : candidates) {
        QFileInfo info(candidate);
        if (info.isFile()) return QDir::toNativeSeparators(info.canonicalFilePath()).toStdString();
    }
    return std::string();
}

QIcon AppIcon() {
    static const bool registered = (initShellResources(), true);
    (void)registered;
    QIcon icon;
    for (int size : {16, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/vellary-%1.png").arg(size), QSize(size, size));
    return icon;
}

}  // namespace shell
