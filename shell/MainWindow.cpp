#include "MainWindow.h"

#include "video/Recorder.h"
#include "video/CodecCatalogue.h"
#include "config/Switches.h"
#include "phone/DeviceMonitor.h"
#include "Dialogs.h"
#include "platform/FileWrite.h"
#include "texts/LangTexts.h"
#include "OptionsDialog.h"
#include "config/Paths.h"
#include "phone/PhoneLink.h"
#include "phone/PhoneWorker.h"
#include "capture/PhotoThread.h"
#include "capture/PictureFile.h"
#include "ProgramIcon.h"
#include "StatusPanel.h"
#include "platform/Clock.h"
#include "platform/ControlPipe.h"
#include "platform/LibusbBus.h"
#include "platform/WorkerThread.h"
#include "TrayIcon.h"
#include "platform/UiThread.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QProxyStyle>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace orv {
namespace {

constexpr int kClientWidth = 650;
constexpr int kClientHeight = 330;
constexpr int kStatusBarHeight = 22;
constexpr int kPanelWidths[MainWindow::kPanelCount] = {25, 150, 150, 220, 50};
// The download bar at the work panel's right end: at least this wide, wider
// when its label needs it, and this far from the end of the status text.
constexpr int kDownloadBarWidth = 62;
// How often the picture area's advice is looked at while no phone is there.
constexpr int kPhoneHintPollMs = 250;
// The advice's widest line, and its room from the picture area's edges.
constexpr int kPhoneHintWidth = 560;
constexpr int kPhoneHintMargin = 16;
constexpr int kDownloadBarGap = 6;
// The largest count the bar's label shows, in kilobytes (a picture of more
// than 16 MiB is not read).
constexpr int kDownloadLabelMaxKilobytes = 99999;
// The work panel grows for long status texts, up to this width.
constexpr int kMaxWorkPanelWidth = 400;
// Where the picture's size makes the window follow it, and by how much the
// window's outer size exceeds the picture's.
constexpr int kAutoResizeMinWidth = 300;
constexpr int kFrameExtraWidth = 25;
constexpr int kFrameExtraHeight = 80;
constexpr const char* kUnknownModel = "Unnoun";
// Room between the time panel and the address panel.
constexpr int kAddressGap = 8;

// Lays the menu bar's items after a separator out at its right end, which is
// where the Help menu belongs.
class MenuBarStyle final : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == QStyle::SH_DrawMenuBarSeparator)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// The user's pictures folder (XDG_PICTURES_DIR), or the home folder while
// that does not exist.
QString PicturesFolder()
{
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return !pictures.isEmpty() && QFileInfo(pictures).isDir() ? pictures : QDir::homePath();
}

UrlOpener& Opener()
{
    static UrlOpener opener;
    return opener;
}

}  // namespace

void SetUrlOpener(UrlOpener opener) { Opener() = std::move(opener); }

bool OpenUrl(const QUrl& url)
{
    if (const UrlOpener& opener = Opener())
        return opener(url);
    return QDesktopServices::openUrl(url);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), life_(std::make_shared<Life>())
{
    life_->form = this;
    // One icon for the window, the tray and the about box.
    const QIcon icon = ProgramIcon();
    setWindowIcon(icon);
    QApplication::setWindowIcon(icon);
    setWindowTitle(BaseTitle());
    // Qt would append the display name to every window title.
    if (!ReadFileVersion().isEmpty())
        QGuiApplication::setApplicationDisplayName(QString());
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    font.setBold(true);
    setFont(font);

    BuildMenu();

    pictureArea = new QScrollArea(this);
    pictureArea->setFrameShape(QFrame::NoFrame);
    pictureArea->setWidgetResizable(false);
    pictureLabel = new QLabel;
    pictureLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pictureLabel->resize(289, 241);
    pictureArea->setWidget(pictureLabel);
    setCentralWidget(pictureArea);
    // The advice lies over the picture area's view, above the picture.
    phoneHint = new QLabel(pictureArea->viewport());
    phoneHint->setObjectName(QStringLiteral("phoneHint"));
    phoneHint->setTextFormat(Qt::PlainText);
    phoneHint->setWordWrap(true);
    phoneHint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    phoneHint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    phoneHint->hide();
    pictureArea->viewport()->installEventFilter(this);
    phoneHintTimer_ = new QTimer(this);
    phoneHintTimer_->setInterval(kPhoneHintPollMs);
    connect(phoneHintTimer_, &QTimer::timeout, this, &MainWindow::UpdatePhoneHint);

    BuildStatusBar();

    codecs = std::make_unique<video::CodecCatalogue>();
    session = new webcam::Session(settings_, phone::PhoneLink::Instance(), *codecs, *this, this);
    tray = new TrayIcon(this);
    tray->SetTip(windowTitle());
    trayMenu = new QMenu(this);
    trayRestoreAction = trayMenu->addAction(QString(), tray, &TrayIcon::RestoreFromTray);
    trayMenu->addSeparator();
    trayPhotoAction = trayMenu->addAction(QString(), this, &MainWindow::TakePhoto);
    trayStartAction = trayMenu->addAction(QString(), this, [this] {
        if (startCameraAction->isEnabled() && startCameraAction->isVisible())
            StartWebCamera();
    });
    // STOP acts whenever the web camera runs, with or without a phone.
    trayStopAction = trayMenu->addAction(QString(), this, &MainWindow::StopWebCamera);
    trayMenu->addSeparator();
    trayExitAction = trayMenu->addAction(QString(), this, [this] {
        // A window hidden in the tray is no last window to close: the
        // program ends here when the close rules let it.
        if (close())
            QCoreApplication::quit();
    });
    connect(trayMenu, &QMenu::aboutToShow, this, &MainWindow::UpdateTrayMenu);
    tray->SetContextMenu(trayMenu);

    ApplyMenuTexts();

    // Client area 650 x 330 below the menu bar, centred on the screen.
    resize(kClientWidth, kClientHeight + mainMenu->sizeHint().height());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    ShowInitialState();
}

MainWindow::~MainWindow()
{
    // A monitor that still runs must find no window any more.
    life_->form = nullptr;
}

void MainWindow::BuildMenu()
{
    mainMenu = menuBar();
    mainMenu->setFont(QApplication::font());
    auto* menuStyle = new MenuBarStyle;
    menuStyle->setParent(mainMenu);
    mainMenu->setStyle(menuStyle);

    QMenu* fileMenu = mainMenu->addMenu(QString());
    fileMenuAction = fileMenu->menuAction();
    connectAction = fileMenu->addAction(QString(), this, &MainWindow::ConnectPhone);
    disconnectAction = fileMenu->addAction(QString(), this, &MainWindow::DisconnectPhone);
    disconnectAction->setEnabled(false);
    connectSeparator = fileMenu->addSeparator();
    savePictureAction = fileMenu->addAction(QString(), this, &MainWindow::SavePictureAs);
    savePictureAction->setEnabled(false);  // until a picture is shown
    savePictureAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    openRecordingsAction = fileMenu->addAction(QString(), this, &MainWindow::OpenRecordingsFolder);
    copyAddressAction = fileMenu->addAction(QString(), this, &MainWindow::CopyServerAddress);
    copyAddressAction->setEnabled(false);
    exitSeparator = fileMenu->addSeparator();
    exitAction = fileMenu->addAction(QString(), this, &MainWindow::Exit);
    exitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* phoneMenu = mainMenu->addMenu(QString());
    phoneMenuAction = phoneMenu->menuAction();
    phoneMenuAction->setEnabled(false);
    takePhotoAction = phoneMenu->addAction(QString(), this, &MainWindow::TakePhoto);
    takePhotoAction->setShortcut(QKeySequence(Qt::Key_F4));
    // The shortcut works while the phone menu is closed, too.
    addAction(takePhotoAction);
    restartPhoneAction = phoneMenu->addAction(QString(), this, &MainWindow::RestartPhone);
    suspendPhoneAction = phoneMenu->addAction(QString(), this, &MainWindow::SuspendPhone);
    // START counts, from the menu and by its key, only while the phone menu
    // could be opened; STOP whenever the web camera runs, even while the
    // phone is away.
    startCameraAction = phoneMenu->addAction(QString(), this, [this] {
        if (phoneMenuAction->isEnabled())
            StartWebCamera();
    });
    startCameraAction->setShortcut(QKeySequence(Qt::Key_F5));
    stopCameraAction = phoneMenu->addAction(QString(), this, &MainWindow::StopWebCamera);
    stopCameraAction->setShortcut(QKeySequence(Qt::Key_F6));
    stopCameraAction->setVisible(false);

    optionsAction = mainMenu->addAction(QString(), this, &MainWindow::ShowOptions);

    mainMenu->addSeparator();
    QMenu* helpMenu = mainMenu->addMenu(QString());
    helpMenuAction = helpMenu->menuAction();
    manualAction = helpMenu->addAction(QString(), this, &MainWindow::OpenManual);
    manualAction->setShortcut(QKeySequence(Qt::Key_F1));
    webSiteAction = helpMenu->addAction(QString(), this, &MainWindow::OpenWebSite);
    mailAuthorAction = helpMenu->addAction(QString(), this, &MainWindow::MailAuthor);
    aboutSeparator = helpMenu->addSeparator();
    aboutAction = helpMenu->addAction(QString(), this, &MainWindow::ShowAbout);
    // The keys work while every menu is closed.
    addActions({savePictureAction, exitAction, startCameraAction, stopCameraAction, manualAction});
}

void MainWindow::BuildStatusBar()
{
    statusPanels = new QStatusBar(this);
    statusPanels->setFixedHeight(kStatusBarHeight);
    setStatusBar(statusPanels);

    // The panels get their texts, in the chosen language, from
    // ShowInitialState. Each asks for the room of its longest text and gives
    // way, its text cut and whole in its tip, when the window is narrower
    // (a window fitted to a small picture).
    for (int panel = 0; panel < kPanelCount; ++panel) {
        auto* label = new StatusPanel;
        label->SetPreferredWidth(kPanelWidths[panel]);
        if (panel == kLampPanel) {
            label->setFrameStyle(QFrame::NoFrame);
            label->setFixedWidth(kPanelWidths[panel]);
        }
        // The last panel reaches to the window's right edge, so that the
        // recording time and its label have room; the time always fits,
        // whatever shares the bar.
        const bool last = panel == kPanelCount - 1;
        statusPanels->addWidget(label, last ? 1 : 0);
        if (last) {
            // It takes what the others leave and asks for no more than the
            // time; the time's label shows when there is room for it.
            // Measured in the window's font, which the bar passes on.
            label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
            label->setMinimumWidth(std::max(kPanelWidths[panel], label->WidthFor(QStringLiteral("00:00:00"))));
        }
        panels_[panel] = label;
    }

    // The lamp lies over panel 0, at the status bar's left edge.
    connectionLamp = new QLabel(statusPanels);
    connectionLamp->setGeometry(0, 0, kPanelWidths[kLampPanel], kStatusBarHeight);
    connectionLamp->setAttribute(Qt::WA_TranslucentBackground);
    connectionLamp->raise();
    DrawIndicator(false);

    statusPanels->installEventFilter(this);

    // Picture downloads show their byte count at the right of the work panel.
    downloadBar = new QProgressBar(panels_[kWorkPanel]);
    downloadBar->setTextVisible(true);
    downloadBar->setAlignment(Qt::AlignCenter);
    downloadBar->hide();
    // The text leaves the bar its room, and the bar stays at the panel's end.
    downloadBar->installEventFilter(this);
    panels_[kWorkPanel]->installEventFilter(this);
    panels_[kTimePanel]->installEventFilter(this);

    virtualCameraPanel = new StatusPanel;
    virtualCameraPanel->setObjectName(QStringLiteral("virtualCameraPanel"));
    statusPanels->addPermanentWidget(virtualCameraPanel);
    virtualCameraPanel->hide();

    motionPanel = new StatusPanel;
    motionPanel->setObjectName(QStringLiteral("motionPanel"));
    statusPanels->addPermanentWidget(motionPanel);
    motionPanel->hide();

    addressPanel = new QLabel;
    addressPanel->setObjectName(QStringLiteral("addressPanel"));
    addressPanel->setTextFormat(Qt::PlainText);
    addressPanel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    addressPanel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // It takes the room beside the time panel, and its tip holds the
    // server's and the stream's whole addresses.
    addressPanel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusPanels->addPermanentWidget(addressPanel, 100);
    // Always in the bar (so that the window's narrowest width stays the
    // same), without room while it has nothing to say.
    addressPanel->setMaximumWidth(0);
}

void MainWindow::ShowInitialState()
{
    SetPanelText(kConnectionPanel, LangText(txt::kStr4NotConnected));
    SetPanelText(kModelPanel, LangText(txt::kStr2Model));
    SetPanelText(kWorkPanel, LangText(txt::kStr3Idle));
    if (settings_.GetAutoPhoneConnect())
        MakeDeviceMonitor();
    if (FindCmdLineSwitch(QLatin1Char('M')))
        setWindowState(windowState() | Qt::WindowMinimized);
}

void MainWindow::ApplyMenuTexts()
{
    QAction* const items[] = {fileMenuAction, connectAction, disconnectAction, savePictureAction, exitAction, phoneMenuAction, takePhotoAction, restartPhoneAction, suspendPhoneAction, startCameraAction, stopCameraAction, optionsAction, helpMenuAction, manualAction, webSiteAction, mailAuthorAction,
                              aboutAction, openRecordingsAction, copyAddressAction};
    static_assert(std::size(items) == kMenuTexts.size());
    const QStringList texts = LangTexts(kMenuTexts);
    for (size_t i = 0; i < kMenuTexts.size(); ++i)
        items[i]->setText(texts.at(static_cast<qsizetype>(i)));
    FitWorkPanel();
    FitConnectionPanel();
    RelabelWindow();
}

void MainWindow::RelabelWindow()
{
    InstallQtTranslation(settings_.GetLangIndex());
    UpdateTitle();
    // The tray's items are the menu's own texts.
    trayRestoreAction->setText(LangText(txt::kMenuRestore));
    trayPhotoAction->setText(takePhotoAction->text());
    trayStartAction->setText(startCameraAction->text());
    trayStopAction->setText(stopCameraAction->text());
    trayExitAction->setText(exitAction->text());

    // The panels say in the new language what they said in the old one.
    if (!panels_[kConnectionPanel]->text().isEmpty()) {
        const bool connected = indicatorConnected_;
        SetPanelText(kConnectionPanel, connected ? LangText(txt::kStr1Connected)
                                       : deviceMonitor  ? LangText(txt::kSearching)
                                                 : LangText(txt::kStr4NotConnected));
        SetPanelText(kModelPanel, connected && !model_.isNull() ? LangText(txt::kStr2Model) + QLatin1Char(' ') + model_
                                                                : LangText(txt::kStr2Model));
        if (workShowsSaved_)
            ShowSavedFiles();
        else if (!CaptureRunning())
            SetPanelText(kWorkPanel, LangText(txt::kStr3Idle));
        if (session->Running() && !recordingTime_.isEmpty())
            ShowRecordingTime(LangText(txt::kStr21RecordingTime), recordingTime_);
        ShowServerAddress();
        ShowVirtualCameraPanel();
        ShowMotionPanel();
        UpdatePhoneHint();
    }
}

QString MainWindow::BaseTitle() const
{
    const QString version = ReadFileVersion();
    if (version.isEmpty())
        return QStringLiteral("Orvello v1.0");
    return QStringLiteral("Orvello v") + version + QStringLiteral(" \u2014 ") + LangText(txt::kTitleCredit);
}

void MainWindow::UpdateTitle()
{
    QString title = BaseTitle();
    // A web camera that writes no file is live, not recording.
    if (session->Running() && !recordingTime_.isEmpty()) {
        const LangEntry& mark = session->Live()      ? txt::kLiveTitle
                                : waitingForMotion_ ? txt::kMotionTitle
                                                    : txt::kRecordingTitle;
        title = LangText(mark).arg(recordingTime_.trimmed()) + QStringLiteral(" \u2014 ") + title;
    }
    setWindowTitle(title);
    tray->SetTip(title);
    tray->SetRecording(session->Running());
}

void MainWindow::ShowServerAddress()
{
    const QString serverAddress = session->ServerAddress();
    const QString streamAddress = session->StreamAddress();
    copyAddressAction->setEnabled(!serverAddress.isEmpty());
    QString text;
    if (!serverAddress.isEmpty()) {
        text = LangText(txt::kServerAddress).arg(serverAddress);
        // The stream lies on the same server: its path is enough here; the
        // copy command gives its whole address.
        if (!streamAddress.isEmpty())
            text += QStringLiteral(" (") + LangText(txt::kStreamAddress).arg(QUrl(streamAddress).path()) +
                    QLatin1Char(')');
    }
    if (text.isEmpty()) {
        addressPanel->clear();
        addressPanel->setMinimumWidth(0);
        addressPanel->setMaximumWidth(0);
        return;
    }
    // Shown already (the session's state changed, not its address): the
    // window keeps its size, which may have been fitted to the picture
    // since; widening it again would leave a grey strip once the address
    // goes.
    const bool shown = addressPanel->maximumWidth() == QWIDGETSIZE_MAX && addressPanel->text() == text;
    addressPanel->setMaximumWidth(QWIDGETSIZE_MAX);
    addressPanel->setText(text);
    // The server's address always shows whole: the other panels give way.
    addressPanel->setMinimumWidth(addressPanel->sizeHint().width());
    addressPanel->setToolTip(serverAddress + QLatin1Char('\n') + streamAddress);
    // The window widens for the server's address, which is short, with the
    // other panels at their full widths and the time's least width, each
    // with some room around it.
    int needed = addressPanel->minimumWidth() + panels_[kTimePanel]->minimumWidth() + kPanelWidths[kLampPanel];
    for (const int panel : {kConnectionPanel, kModelPanel, kWorkPanel})
        needed += panels_[panel]->FullWidth();
    for (StatusPanel* panel : {virtualCameraPanel, motionPanel})
        if (panel->isVisibleTo(statusPanels))
            needed += panel->FullWidth();
    needed += kPanelCount * kAddressGap + 2 * kStatusBarHeight;  // the gaps and the size grip
    if (!shown && width() < needed)
        resize(needed, height());
}

void MainWindow::UpdateTrayMenu()
{
    const bool phoneMenu = phoneMenuAction->isEnabled();
    trayRestoreAction->setEnabled(true);
    trayPhotoAction->setEnabled(phoneMenu && takePhotoAction->isEnabled());
    trayStartAction->setVisible(startCameraAction->isVisible());
    trayStartAction->setEnabled(phoneMenu && startCameraAction->isEnabled());
    trayStopAction->setVisible(stopCameraAction->isVisible());
    trayStopAction->setEnabled(session->Running());
    trayExitAction->setEnabled(exitAction->isEnabled());
}

QString MainWindow::RecordingsFolder() const
{
    if (settings_.GetAutoAviFileName())
        return settings_.GetAviFolder();
    return QFileInfo(settings_.GetAviTempName()).absolutePath();
}

void MainWindow::OpenRecordingsFolder()
{
    const QString folder = RecordingsFolder();
    QDir().mkpath(folder);
    if (!OpenUrl(QUrl::fromLocalFile(folder)))
        TheDialogs().ShowMessage(this, windowTitle(),
                                 LangText(txt::kFolderNotOpened).arg(QDir::toNativeSeparators(folder)),
                                 MessageKind::Information);
}

void MainWindow::CopyServerAddress()
{
    if (ServerAddress().isEmpty())
        return;
    QString text = ServerAddress();
    if (!StreamAddress().isEmpty())
        text += QLatin1Char('\n') + StreamAddress();
    QGuiApplication::clipboard()->setText(text);
}

void MainWindow::FitWorkPanel()
{
    // The work panel's texts and then the bar's two labels, in one reading
    // of the language file.
    std::vector<LangEntry> entries(kWorkPanelTexts.begin(), kWorkPanelTexts.end());
    entries.push_back(txt::kDownloadBytes);
    entries.push_back(txt::kDownloadKilobytes);
    const QStringList texts = LangTexts(entries);
    downloadBytesLabel_ = texts.at(texts.size() - 2);
    downloadKilobytesLabel_ = texts.at(texts.size() - 1);
    const QFontMetrics barMetrics(downloadBar->font());
    downloadBarWidth_ = std::max(kDownloadBarWidth,
        barMetrics.horizontalAdvance(downloadKilobytesLabel_.arg(kDownloadLabelMaxKilobytes)) + barMetrics.height());

    // The width of each text counts the panel's frame and indent. The
    // downloading text has the bar beside it.
    StatusPanel* panel = panels_[kWorkPanel];
    int needed = 0;
    for (size_t i = 0; i < kWorkPanelTexts.size(); ++i) {
        const bool downloading = std::string_view(kWorkPanelTexts[i].key) == txt::kStr13Downloading.key;
        needed = std::max(needed, panel->WidthFor(texts.at(static_cast<qsizetype>(i))) +
                                      (downloading ? kDownloadBarGap + downloadBarWidth_ + 2 : 0));
    }
    panel->SetPreferredWidth(std::clamp(needed, kPanelWidths[kWorkPanel], kMaxWorkPanelWidth));
}

void MainWindow::FitStatusPanels()
{
    // Measured on the bar as laid out: what the panels lack of the width of
    // their longest texts, and what the time panel and the address panel
    // have beyond their least.
    fitPanelsPending_ = false;
    const int panels[] = {kConnectionPanel, kModelPanel, kWorkPanel};
    int lacking = 0;
    for (const int panel : panels)
        lacking += std::max(0, panels_[panel]->FullWidth() - panels_[panel]->width());
    int spare = panels_[kTimePanel]->width() - panels_[kTimePanel]->minimumWidth();
    if (addressPanel->isVisible())
        spare += addressPanel->width() - addressPanel->minimumWidth();
    const bool compact = lacking > spare;
    for (const int panel : panels)
        panels_[panel]->SetCompact(compact);
}

void MainWindow::FitConnectionPanel()
{
    // As wide as the longest of its texts in the language in force.
    StatusPanel* panel = panels_[kConnectionPanel];
    int needed = 0;
    for (const QString& text : LangTexts(std::array{txt::kStr1Connected, txt::kStr4NotConnected, txt::kSearching}))
        needed = std::max(needed, panel->WidthFor(text));
    panel->SetPreferredWidth(std::clamp(needed, kPanelWidths[kConnectionPanel], kMaxWorkPanelWidth));
}

void MainWindow::DrawIndicator(bool connected)
{
    indicatorConnected_ = connected;
    const int width = connectionLamp->width();
    const int height = connectionLamp->height();
    QImage lamp(width, height, QImage::Format_ARGB32_Premultiplied);
    lamp.fill(Qt::transparent);
    {
        QPainter painter(&lamp);
        painter.setPen(QPen(Qt::black, 1));
        painter.setBrush(connected ? QColor(255, 0, 0) : QColor(0, 128, 0));
        // The rounded rectangle (5, 4)-(W - 5, H - 4), right and bottom edges
        // exclusive, with a W/2 x H/2 corner ellipse.
        // A stroked rectangle covers its size plus the pen's pixel.
        const QRectF outline(5, 4, width - 5 - 5 - 1, height - 4 - 4 - 1);
        painter.drawRoundedRect(outline, (width / 2) / 2.0, (height / 2) / 2.0, Qt::AbsoluteSize);
    }
    connectionLamp->setPixmap(QPixmap::fromImage(lamp));
}

void MainWindow::MakeDeviceMonitor()
{
    deviceMonitor = new phone::DeviceMonitor([life = life_](int state) { HandlePhoneState(life, state); });
    // The monitor looks for the phone from now on.
    if (!indicatorConnected_) {
        SetPanelText(kConnectionPanel, LangText(txt::kSearching));
        phoneAwaySince_ = TheClock().TickCount();
        UpdatePhoneHint();
    }
}

void MainWindow::PhoneStateChanged(int state) { HandlePhoneState(life_, state); }

void MainWindow::HandlePhoneState(const std::shared_ptr<Life>& life, int state)
{
    // Runs the window's share of the work on the user-interface thread, if
    // the window is still there; the calling thread waits.
    const auto onWindow = [&life](const std::function<void(MainWindow&)>& work) {
        RunOnUiThread([&] {
            if (MainWindow* form = life->form)
                work(*form);
        });
    };

    if (state == 0) {
        onWindow([](MainWindow& form) { form.ShowNoPhone(); });
        return;
    }

    onWindow([](MainWindow& form) {
        form.connectAction->setEnabled(false);
        form.DrawIndicator(true);
        form.EnableDisconnect();
        form.SetPanelText(kConnectionPanel, LangText(txt::kStr1Connected));
        form.UpdatePhoneHint();
    });
    const QString model = ReadPhoneModel(life);
    onWindow([&model](MainWindow& form) {
        form.model_ = model;
        form.session->SetPhoneModel(model);
        form.SetPanelText(kModelPanel, LangText(txt::kStr2Model) + QLatin1Char(' ') + model);
        form.SetPanelText(kWorkPanel, LangText(txt::kStr3Idle));
    });
    if (Settings().GetAutoSuspendMode())
        phone::PhoneLink::Instance().SuspendPhone();
    // The phone menu comes last: no capture starts while the model query or
    // the suspend command is still on the wire.
    onWindow([](MainWindow& form) {
        form.phoneMenuAction->setEnabled(!form.photoRunning_);
        if (FindCmdLineSwitch(QLatin1Char('S')) && !form.session->Running())
            form.LaunchWebCamera(true);
    });
}

QString MainWindow::GetPhoneModel() { return ReadPhoneModel(life_); }

QString MainWindow::ReadPhoneModel(const std::shared_ptr<Life>& life)
{
    std::string model;
    if (phone::ReadModelName(phone::PhoneLink::Instance(), &model))
        return QString::fromLatin1(model.data(), static_cast<qsizetype>(model.size()));
    RunOnUiThread([&life] {
        MainWindow* form = life->form;
        TheDialogs().ShowMessage(form, form ? form->windowTitle() : QStringLiteral("Orvello"),
                                 LangText(txt::kStr5NoModel), MessageKind::Error);
    });
    return QString::fromLatin1(kUnknownModel);
}

void MainWindow::ShowNoPhone()
{
    connectAction->setEnabled(true);
    disconnectAction->setEnabled(false);
    DrawIndicator(false);
    model_.clear();
    // A monitor that is held looks for the phone (again).
    SetPanelText(kConnectionPanel, LangText(deviceMonitor ? txt::kSearching : txt::kStr4NotConnected));
    SetPanelText(kModelPanel, LangText(txt::kStr2Model));
    SetPanelText(kWorkPanel, LangText(txt::kStr3Idle));
    // A web camera that waits for its phone can still be stopped.
    phoneMenuAction->setEnabled(session->Running());
    phoneAwaySince_ = TheClock().TickCount();
    UpdatePhoneHint();
}

void MainWindow::EnableDisconnect()
{
    // Disconnecting under the web camera would take its phone away: STOP
    // comes first.
    disconnectAction->setEnabled(indicatorConnected_ && session->CurrentState() == webcam::State::Idle);
}

QString MainWindow::PhoneHintText() const
{
    // "Help → Orvello help", as the menu names them.
    QString manual = helpMenuAction->text() + QStringLiteral(" \u2192 ") + manualAction->text();
    manual.remove(QLatin1Char('&'));
    const std::string denied = TheBus() ? TheBus()->DeniedDevice() : std::string();
    const QString first = denied.empty()
                              ? LangText(txt::kNoPhoneHint)
                              : LangText(txt::kNoPhoneAccess).arg(QString::fromStdString(denied),
                                                                  QString::fromStdString(UdevRulesFile()));
    return first + QStringLiteral("\n\n") + ExpandLineBreaks(LangText(txt::kNoPhoneMore)).arg(manual);
}

void MainWindow::UpdatePhoneHint()
{
    // Only while the phone is looked for and the picture area is empty.
    const bool searching = deviceMonitor && !indicatorConnected_;
    if (searching != phoneHintTimer_->isActive()) {
        if (searching)
            phoneHintTimer_->start();
        else
            phoneHintTimer_->stop();
    }
    const bool due = searching && picture_.isNull() &&
                     TheClock().TickCount() - phoneAwaySince_ >= kPhoneHintDelayMs;
    if (!due) {
        phoneHint->hide();
        return;
    }
    const QString text = PhoneHintText();
    if (phoneHint->text() != text)
        phoneHint->setText(text);
    const QRect view = pictureArea->viewport()->rect();
    const int width = std::min(kPhoneHintWidth, view.width() - 2 * kPhoneHintMargin);
    phoneHint->setGeometry(kPhoneHintMargin, kPhoneHintMargin, std::max(width, 0), phoneHint->heightForWidth(width));
    phoneHint->show();
    phoneHint->raise();
}

void MainWindow::ConnectPhone()
{
    if (!deviceMonitor)
        MakeDeviceMonitor();
}

void MainWindow::DisconnectPhone()
{
    // Not under a running web camera (the command is disabled meanwhile).
    if (!deviceMonitor || session->CurrentState() != webcam::State::Idle)
        return;
    deviceMonitor->Disconnect();
    deviceMonitor = nullptr;
    UpdatePhoneHint();
}

void MainWindow::TakePhoto()
{
    // F4 reaches the command even while the phone menu is disabled (no phone,
    // or a photo under way); it counts only when the menu could be opened.
    if (!phoneMenuAction->isEnabled())
        return;
    phoneMenuAction->setEnabled(false);
    photoRunning_ = true;
    // Kept until PhotoFinished: the thread frees itself only after that has
    // run on this thread.
    photoThread_ = new PhotoThread(*this, settings_, phone::PhoneLink::Instance(), [life = life_] {
        if (MainWindow* form = life->form)
            form->PhotoFinished();
    });
}

void MainWindow::PhotoFinished()
{
    photoRunning_ = false;
    photoThread_ = nullptr;
    // The phone menu follows the connection: a phone that went during the
    // photo leaves it disabled.
    phoneMenuAction->setEnabled(indicatorConnected_);
    if (settings_.GetAutoFormResize() && pictureLabel->width() > kAutoResizeMinWidth)
        FitToPicture();
}

void MainWindow::FitToPicture()
{
    pictureArea->horizontalScrollBar()->setValue(0);
    pictureArea->verticalScrollBar()->setValue(0);
    pictureLabel->move(0, 0);
    // The outer size includes the frame that the window system draws. The
    // window never grows past the screen's free area: a larger picture
    // scrolls in it, at its own size, and the window is moved so that all
    // of it is on the screen.
    const QSize frame = frameGeometry().size() - geometry().size();
    QSize outer(pictureLabel->width() + kFrameExtraWidth, pictureLabel->height() + kFrameExtraHeight);
    const QScreen* screen = this->screen();
    const QRect area = screen ? screen->availableGeometry() : QRect();
    if (area.isValid())
        outer = outer.boundedTo(area.size());
    // The window keeps the room its status bar's panels need.
    const QSize inner = (outer - frame).expandedTo(minimumSize());
    outer = inner + frame;
    resize(inner);
    if (area.isValid()) {
        const QRect placed(frameGeometry().topLeft(), outer);
        if (!area.contains(placed)) {
            const int left = std::clamp(placed.left(), area.left(), area.right() + 1 - outer.width());
            const int top = std::clamp(placed.top(), area.top(), area.bottom() + 1 - outer.height());
            move(left, top);
        }
    }
}

// The phone commands of the menu go out on the phone worker: the window never
// waits for a phone that does not answer.
void MainWindow::RestartPhone()
{
    phone::PhoneWorker::Instance().Post([] { phone::PhoneLink::Instance().RestartPhone(); });
}

void MainWindow::SuspendPhone()
{
    phone::PhoneWorker::Instance().Post([] { phone::PhoneLink::Instance().SuspendPhone(); });
}

void MainWindow::StartWebCamera() { LaunchWebCamera(false); }

void MainWindow::LaunchWebCamera(bool automatic)
{
    if (session->Running())
        return;
    webcam::Session::Request request;
    request.automatic = automatic;
    request.model = model_;
    QString error;
    switch (session->Start(request, &error)) {
    case webcam::Session::StartResult::Started:
    case webcam::Session::StartResult::Deferred:
    case webcam::Session::StartResult::Busy: break;
    case webcam::Session::StartResult::ServerFailed:
        // No web camera without its server: START is offered again.
        TheDialogs().ShowMessage(this, windowTitle(), error, MessageKind::Error);
        break;
    case webcam::Session::StartResult::NoThread: ShowMessageText(error); break;
    }
    ShowCameraState();
}

void MainWindow::StopWebCamera() { session->Stop(); }

void MainWindow::ShowCameraState()
{
    const webcam::State state = session->CurrentState();
    const bool running = session->Running();
    const bool idle = state == webcam::State::Idle;
    startCameraAction->setVisible(!running);
    stopCameraAction->setVisible(running);
    // START comes back once the last recording's file is complete.
    startCameraAction->setEnabled(idle);
    takePhotoAction->setEnabled(idle);
    restartPhoneAction->setEnabled(idle);
    suspendPhoneAction->setEnabled(idle);
    // STOP stays in reach while the web camera runs without a phone.
    phoneMenuAction->setEnabled((indicatorConnected_ && !photoRunning_) || running);
    EnableDisconnect();
    if (!running)
        recordingTime_.clear();
    ShowServerAddress();
    UpdateTitle();
}

void MainWindow::SessionStateChanged(webcam::State state)
{
    if (state == webcam::State::Starting) {
        pausedFor_.reset();
        waitingForMotion_ = false;
        recordingTime_ = QStringLiteral(" 00:00:00");
    }
    ShowCameraState();
}

void MainWindow::SessionStatus(video::RecorderStep step, std::chrono::seconds elapsed)
{
    using video::RecorderStep;
    const LangEntry* entry = nullptr;
    switch (step) {
    case RecorderStep::CameraStarting: entry = &txt::kStr11CameraInit; break;
    case RecorderStep::Shooting: entry = &txt::kStr12Shooting; break;
    case RecorderStep::Deleting: entry = &txt::kStr20Deleting; break;
    case RecorderStep::FrameTaken: entry = &txt::kStr15CameraDeinit; break;
    case RecorderStep::CameraStopped: entry = &txt::kStr3CameraStopped; break;
    case RecorderStep::PhoneLate: entry = &txt::kPhoneLate; break;
    case RecorderStep::WaitingForMotion: entry = &txt::kMotionWaiting; break;
    case RecorderStep::MotionRecording: entry = &txt::kMotionRecording; break;
    case RecorderStep::RestartPause:
    case RecorderStep::WaitingForPhone: break;
    }
    if (step == RecorderStep::WaitingForMotion || step == RecorderStep::MotionRecording)
        waitingForMotion_ = step == RecorderStep::WaitingForMotion;
    // In a pause after a fault, the fault in one line.
    SetPanelText(kWorkPanel, entry ? LangText(*entry) : pausedFor_ ? RecorderProblemText(*pausedFor_).simplified() : QString());
    // A late phone changes the work panel only.
    if (step != RecorderStep::PhoneLate)
        ShowRecordingTime(LangText(txt::kStr21RecordingTime), video::RecordingTimeText(elapsed.count()));
}

void MainWindow::SessionFault(const video::RecorderProblem& problem, bool restarting)
{
    if (restarting)
        pausedFor_ = problem;
    else
        ShowMessageText(RecorderProblemText(problem));
}

void MainWindow::SessionFrame(const QImage& frame, bool show, bool fit)
{
    if (!show)
        return;
    ShowPicture(frame);
    if (fit && frame.width() > kAutoResizeMinWidth)
        FitToPicture();
}

void MainWindow::SessionVirtualCamera(bool running, const QString& reason)
{
    // Said once for this start, in a panel of its own, until the end.
    virtualCameraRunning_ = running;
    virtualCameraReason_ = reason;
    ShowVirtualCameraPanel();
}

void MainWindow::ShowVirtualCameraPanel()
{
    if (virtualCameraReason_.isEmpty()) {
        virtualCameraPanel->hide();
        return;
    }
    // The system's reason, in its own words, in the tip.
    const QString text =
        LangText(virtualCameraRunning_ ? txt::kVirtualCameraWaiting : txt::kVirtualCameraUnavailable);
    virtualCameraPanel->SetPanelText(text, virtualCameraReason_);
    // Short, and shown whole: the other panels give way.
    virtualCameraPanel->setMinimumWidth(virtualCameraPanel->WidthFor(text));
    virtualCameraPanel->show();
}

void MainWindow::SessionMotion(const video::MotionEvent& event)
{
    // The time of the last event stays in the status bar for the run.
    lastMotion_ = event.start;
    ShowMotionPanel();
}

void MainWindow::ShowMotionPanel()
{
    if (!lastMotion_) {
        motionPanel->hide();
        return;
    }
    const QDateTime start = QDateTime::fromSecsSinceEpoch(*lastMotion_);
    const QString text = LangText(txt::kMotionLast).arg(start.toString(QStringLiteral("HH:mm:ss")));
    motionPanel->SetPanelText(text, QLocale().toString(start, QLocale::LongFormat));
    motionPanel->setMinimumWidth(motionPanel->WidthFor(text));
    motionPanel->show();
}

void MainWindow::SessionEnded(const webcam::Summary& summary)
{
    // Where the recording went: the files that are there, the last one in
    // the work panel.
    savedFiles_.clear();
    for (const video::RecordedFile& file : summary.files)
        if (QFileInfo(file.path).isFile())
            savedFiles_ << file.path;
    if (!savedFiles_.isEmpty())
        recordingFile_ = savedFiles_.back();
    virtualCameraReason_.clear();
    ShowVirtualCameraPanel();
    ShowCameraState();
    // A file the restarts could not write again (a full disk) stays said.
    if (summary.unresolved && (summary.unresolved->fault == video::RecorderFault::DiskFull ||
                               summary.unresolved->fault == video::RecorderFault::FileFailed))
        SetPanelText(kWorkPanel, RecorderProblemText(*summary.unresolved).simplified());
    else if (!savedFiles_.isEmpty())
        ShowSavedFiles();
    if (ending_)
        QMetaObject::invokeMethod(this, &MainWindow::FinishEnding, Qt::QueuedConnection);
}

void MainWindow::ShowSavedFiles()
{
    if (savedFiles_.isEmpty())
        return;
    // The name is what tells recordings apart: a cut keeps its end.
    StatusPanel* panel = panels_[kWorkPanel];
    QStringList paths;
    for (const QString& file : savedFiles_)
        paths << QDir::toNativeSeparators(file);
    panel->SetElideMode(Qt::ElideMiddle);
    panel->SetPanelText(LangText(txt::kRecordingWritten).arg(QFileInfo(savedFiles_.back()).fileName()),
                        paths.join(QLatin1Char('\n')));
    workShowsSaved_ = true;
}

QString RecorderProblemText(const video::RecorderProblem& problem)
{
    using video::RecorderFault;
    switch (problem.fault) {
    case RecorderFault::NoPhone: return LangText(txt::kStr8NoPhone);
    case RecorderFault::CameraStartFailed: return LangText(txt::kStr9CameraInitFailed);
    case RecorderFault::CameraError: return LangText(txt::kStr18CameraError);
    case RecorderFault::FileFailed:
        return LangText(txt::kStr17VideoFileFailed) + QLatin1Char('\n') + problem.file + QStringLiteral(": ") +
               problem.reason;
    case RecorderFault::DiskFull: return LangText(txt::kDiskFull).arg(problem.file, problem.reason);
    case RecorderFault::EncoderRefused: return LangText(txt::kStr19FormatRejected);
    }
    return {};
}

void MainWindow::EndRequested()
{
    if (ending_)
        return;
    ending_ = true;
    // A message box or dialog that is open would hold the recorder (or the
    // close) up: it is answered as if cancelled.
    for (int open = 0; open < 16; ++open) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            break;
        if (auto* options = qobject_cast<OptionsDialog*>(modal))
            options->EndTest();  // a frame-rate test under way gives way
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
    // SessionEnded carries on once the file is complete.
    session->Stop();
    if (session->CurrentState() == webcam::State::Idle)
        QMetaObject::invokeMethod(this, &MainWindow::FinishEnding, Qt::QueuedConnection);
}

void MainWindow::FinishEnding()
{
    if (session->CurrentState() != webcam::State::Idle)
        return;
    close();  // the close rules, the restart included
    QCoreApplication::quit();
}

void MainWindow::SavePictureAs()
{
    // Only a picture that is shown can be saved (the command is disabled
    // until there is one).
    if (picture_.isNull())
        return;
    SaveRequest request;
    // The folder last saved to in this run, else the user's pictures folder.
    request.fileName = saveFolder_.isEmpty() ? PicturesFolder() : saveFolder_;
    request.filters = QStringList{LangText(txt::kBitmapFiles), LangText(txt::kJpegFiles)};
    request.suffixes = QStringList{QStringLiteral("bmp"), QStringLiteral("jpg")};
    request.filterIndex = 1;
    const std::optional<SaveAnswer> answer = TheDialogs().SaveFile(this, request);
    if (!answer || answer->fileName.isEmpty())
        return;
    // A name typed without an extension gets the one of the chosen type.
    const PictureFormat format = answer->filterIndex == 2 ? PictureFormat::Jpeg : PictureFormat::Bitmap;
    const QString fileName = WithPictureSuffix(answer->fileName, format);
    saveFolder_ = QFileInfo(fileName).absolutePath();
    SavePicture(fileName, answer->filterIndex);
}

bool MainWindow::SavePicture(const QString& fileName, int filterIndex)
{
    if (picture_.isNull())
        return false;
    // The picture is encoded completely before the file is touched.
    const QByteArray bytes =
        EncodePictureFile(picture_, filterIndex == 2 ? PictureFormat::Jpeg : PictureFormat::Bitmap);
    QString reason = QStringLiteral("the picture could not be encoded");
    if (!bytes.isEmpty() && WriteFileReplacing(fileName, bytes, &reason))
        return true;
    ShowMessageText(LangText(txt::kSaveFailed).arg(fileName, reason));
    return false;
}

void MainWindow::ShowOptions()
{
    OptionsDialog dialog(this, settings_, codecs.get(), [this] { return CaptureRunning(); });
    dialog.LoadSettings();
    // OK has written the settings (the dialog stays open while they cannot be).
    if (TheDialogs().RunModal(&dialog) == QDialog::Accepted)
        ApplyMenuTexts();
}

void MainWindow::Exit() { close(); }

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (MayClose())
        event->accept();
    else
        event->ignore();
}

bool MainWindow::MayClose()
{
    if (session->Running()) {
        // Asked to end already: the window closes once the file is complete.
        if (ending_)
            return false;
        if (!TheDialogs().Ask(this, windowTitle(), LangText(txt::kStopAndExit)))
            return false;
        // The answer may come after the web camera has ended by itself.
        EndRequested();
        return false;
    }
    // A photo under way ends its exchange with the phone at once.
    if (photoThread_)
        photoThread_->Terminate();
    // The restart goes out once, however often the close is asked for. The
    // monitor and a running photo thread are not waited for, and the restart
    // itself only for exitRestartWait: the window keeps painting meanwhile.
    if (!restartSent_ && settings_.GetAutoRestart()) {
        restartSent_ = true;
        phone::PhoneWorker::Instance().RunAndWait([] { phone::PhoneLink::Instance().RestartPhone(); },
                                                  exitRestartWait);
    }
    return true;
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized))
        QMetaObject::invokeMethod(this, &MainWindow::HandleMinimised, Qt::QueuedConnection);
}

void MainWindow::BringToFront()
{
    if (tray->Visible()) {
        tray->RestoreFromTray();
        return;
    }
    if (isMinimized() || !isVisible())
        showNormal();
    raise();
    activateWindow();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // The advice takes the width of the picture area's view.
    if (watched == pictureArea->viewport() && event->type() == QEvent::Resize && phoneHint->isVisible())
        UpdatePhoneHint();
    // Once the bar is laid out anew.
    if (watched == statusPanels && (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest) &&
        !fitPanelsPending_) {
        fitPanelsPending_ = true;
        QMetaObject::invokeMethod(this, &MainWindow::FitStatusPanels, Qt::QueuedConnection);
    }
    if (watched == downloadBar && (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent))
        panels_[kWorkPanel]->SetReservedRight(
            event->type() == QEvent::ShowToParent ? kDownloadBarGap + downloadBarWidth_ + 2 : 0);
    // The time's label comes and goes with the room.
    if (watched == panels_[kTimePanel] && event->type() == QEvent::Resize && session && session->Running() &&
        !recordingTime_.isEmpty())
        ShowRecordingTime(LangText(txt::kStr21RecordingTime), recordingTime_);
    if (watched == panels_[kWorkPanel] && event->type() == QEvent::Resize && !downloadBar->isHidden())
        downloadBar->move(panels_[kWorkPanel]->width() - downloadBar->width() - 2, downloadBar->y());
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::HandleMinimised()
{
    if (!(windowState() & Qt::WindowMinimized))
        return;
    if (settings_.GetCloseToTray() && TrayIcon::Available())
        tray->MinimizeToTray();
    else if (!isVisible())
        showMinimized();  // started with the switch M: minimised on the taskbar
}

QString MainWindow::AboutText() const
{
    return QStringLiteral("Orvello v") + ReadFileVersion() + QLatin1Char('\n') +
           ExpandLineBreaks(LangText(txt::kAboutText)).arg(QLatin1String(kAuthorMail), QLatin1String(kWebSite));
}

void MainWindow::ShowAbout()
{
    TheDialogs().ShowMessage(this, LangText(txt::kAboutTitle), AboutText(), MessageKind::About);
}

void MainWindow::OpenManual()
{
    // Without a browser or a launcher, at least say where the manual is.
    // The manual of the language in use.
    const QString manual =
        ManualPath(LanguageEntryAt(settings_.GetLangIndex(), txt::kManualFile, QStringLiteral("manual.html")));
    if (!OpenUrl(QUrl::fromLocalFile(manual)))
        TheDialogs().ShowMessage(this, windowTitle(), LangText(txt::kManualNotOpened).arg(manual),
                                 MessageKind::Information);
}

void MainWindow::OpenWebSite() { OpenUrl(QUrl(QString::fromLatin1(kWebSite))); }

void MainWindow::MailAuthor() { OpenUrl(QUrl(QStringLiteral("mailto:") + QLatin1String(kAuthorMail))); }

void MainWindow::ShowPhotoStep(PhotoStep step)
{
    const LangEntry* entry = &txt::kPhoneLate;
    switch (step) {
    case PhotoStep::StartingCamera: entry = &txt::kStr11PhotoCameraInit; break;
    case PhotoStep::Shooting: entry = &txt::kStr12Shooting; break;
    case PhotoStep::Downloading: entry = &txt::kStr13Downloading; break;
    case PhotoStep::StoppingCamera: entry = &txt::kStr15PhotoCameraDeinit; break;
    case PhotoStep::Done: entry = &txt::kStr3Idle; break;
    case PhotoStep::PhoneLate: entry = &txt::kPhoneLate; break;
    }
    ShowWorkStatus(LangText(*entry));
}

void MainWindow::ShowPhotoFailure(PhotoFailure failure)
{
    const LangEntry* entry = &txt::kStr9PhotoCameraInitFailed;
    switch (failure) {
    case PhotoFailure::CameraNotStarted: entry = &txt::kStr9PhotoCameraInitFailed; break;
    case PhotoFailure::ShotNotTaken: entry = &txt::kStr10ShotFailed; break;
    case PhotoFailure::FileNotOpened: entry = &txt::kStr14ReadFailed; break;
    case PhotoFailure::CameraNotStopped: entry = &txt::kStr16DeinitFailed; break;
    }
    ShowMessageText(LangText(*entry));
}

void MainWindow::ShowWorkStatus(const QString& text) { SetPanelText(kWorkPanel, text); }

void MainWindow::ShowMessageText(const QString& text)
{
    if (ending_) {
        // Nobody is there to answer a box while the program ends.
        qWarning().noquote() << text;
        return;
    }
    TheDialogs().ShowMessage(this, windowTitle(), text, MessageKind::Plain);
}

void MainWindow::ShowPicture(const QImage& picture)
{
    picture_ = picture;
    pictureLabel->setPixmap(QPixmap::fromImage(picture));
    pictureLabel->adjustSize();
    savePictureAction->setEnabled(!picture_.isNull());
}

void MainWindow::ShowRecordingTime(const QString& label, const QString& time)
{
    StatusPanel* panel = panels_[kTimePanel];
    const QString full = label + time;
    const bool fits = panel->WidthFor(full) <= panel->width();
    panel->SetPanelText(fits ? full : time.trimmed(), full);
    if (session->Running()) {
        recordingTime_ = time;
        UpdateTitle();
    }
}

void MainWindow::ShowDownloadProgress(long long bytes)
{
    if (bytes < 0) {
        downloadBar->hide();
        return;
    }
    // The size of the file is not known: the bar fills towards a scale that
    // doubles whenever the bytes outgrow it, so it keeps moving.
    constexpr int kFirstScale = 64 * 1024;
    if (downloadBar->isHidden() || downloadMaximum_ <= 0)
        downloadMaximum_ = kFirstScale;
    const long long shown = std::min<long long>(bytes, std::numeric_limits<int>::max());
    while (downloadMaximum_ < shown && downloadMaximum_ <= std::numeric_limits<int>::max() / 2)
        downloadMaximum_ *= 2;
    QLabel* panel = panels_[kWorkPanel];
    downloadBar->setGeometry(panel->width() - downloadBarWidth_ - 2, 2, downloadBarWidth_, panel->height() - 4);
    downloadBar->setRange(0, downloadMaximum_);
    downloadBar->setValue(static_cast<int>(shown));
    downloadBar->setFormat(bytes < 10 * 1024 ? downloadBytesLabel_.arg(bytes) : downloadKilobytesLabel_.arg(bytes / 1024));
    downloadBar->show();
}

void MainWindow::SetPanelText(int panel, const QString& text)
{
    if (panel < 0 || panel >= kPanelCount)
        return;
    if (panel == kWorkPanel) {
        workShowsSaved_ = false;
        panels_[panel]->SetElideMode(Qt::ElideRight);
    }
    panels_[panel]->SetPanelText(text);
}

QString MainWindow::PanelText(int panel) const
{
    return panel >= 0 && panel < kPanelCount ? panels_[panel]->text() : QString();
}

QString MainWindow::ShownPanelText(int panel) const
{
    return panel >= 0 && panel < kPanelCount ? panels_[panel]->ShownText() : QString();
}

QString MainWindow::PanelTip(int panel) const
{
    return panel >= 0 && panel < kPanelCount ? panels_[panel]->toolTip() : QString();
}

}  // namespace orv
