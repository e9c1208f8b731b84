#include "Main.h"

#include "video/Camavi.h"
#include "video/Codecs.h"
#include "config/Switches.h"
#include "phone/Devmov.h"
#include "Dialogs.h"
#include "platform/FileWrite.h"
#include "texts/LangTexts.h"
#include "Options.h"
#include "config/Paths.h"
#include "phone/PhoneLink.h"
#include "phone/PhoneWorker.h"
#include "capture/Photo.h"
#include "capture/PictureFile.h"
#include "ProgramIcon.h"
#include "platform/TThread.h"
#include "Tray.h"
#include "platform/UiThread.h"
#include "vcam/VirtualCamera.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QNetworkInterface>
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
constexpr int kPanelWidths[TForm1::kPanelCount] = {25, 150, 150, 220, 50};
// The download bar at the work panel's right end: at least this wide, wider
// when its label needs it, and this far from the end of the status text.
constexpr int kDownloadBarWidth = 62;
// How long the status bar says that the PipeWire camera cannot be offered.
constexpr int kVirtualCameraMessageMs = 10000;
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

QString BrowserAddress(int port)
{
    QString host = QStringLiteral("127.0.0.1");
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) {
            host = address.toString();
            break;
        }
    }
    return QStringLiteral("http://%1:%2/").arg(host).arg(port);
}

TForm1::TForm1(QWidget* parent) : QMainWindow(parent), life_(std::make_shared<Life>())
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

    ScrollBox1 = new QScrollArea(this);
    ScrollBox1->setFrameShape(QFrame::NoFrame);
    ScrollBox1->setWidgetResizable(false);
    Image1 = new QLabel;
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->resize(289, 241);
    ScrollBox1->setWidget(Image1);
    setCentralWidget(ScrollBox1);

    BuildStatusBar();

    ServerSocket1 = new web::TPictureServer(this);
    connect(ServerSocket1, &web::TPictureServer::ClientRead, this, &TForm1::ServerSocket1ClientRead);
    connect(ServerSocket1, &web::TPictureServer::ClientError, this, &TForm1::ServerSocket1ClientError);
    connect(this, &TForm1::CurrentFrameChanged, ServerSocket1, &web::TPictureServer::FrameChanged);

    Codecs = std::make_unique<video::TCodecs>();
    Tray = new TTray(this);
    Tray->SetTip(windowTitle());
    TrayMenu = new QMenu(this);
    TrayRestore = TrayMenu->addAction(QString(), Tray, &TTray::RestoreFromTray);
    TrayMenu->addSeparator();
    TrayPhoto = TrayMenu->addAction(QString(), this, &TForm1::N4Click);
    TrayStart = TrayMenu->addAction(QString(), this, [this] {
        if (N12->isEnabled() && Web1->isVisible())
            Web1Click();
    });
    TrayStop = TrayMenu->addAction(QString(), this, [this] {
        if (N12->isEnabled() && Web2->isVisible())
            Web2Click();
    });
    TrayMenu->addSeparator();
    TrayExit = TrayMenu->addAction(QString(), this, [this] {
        // A window hidden in the tray is no last window to close: the
        // program ends here when the close rules let it.
        if (close())
            QCoreApplication::quit();
    });
    connect(TrayMenu, &QMenu::aboutToShow, this, &TForm1::UpdateTrayMenu);
    Tray->SetContextMenu(TrayMenu);
    CamThread = nullptr;

    ApplyMenuTexts();

    // Client area 650 x 330 below the menu bar, centred on the screen.
    resize(kClientWidth, kClientHeight + MainMenu1->sizeHint().height());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    FormCreate();
}

TForm1::~TForm1()
{
    // A monitor that still runs must find no window any more.
    life_->form = nullptr;
}

void TForm1::BuildMenu()
{
    MainMenu1 = menuBar();
    MainMenu1->setFont(QApplication::font());
    auto* menuStyle = new MenuBarStyle;
    menuStyle->setParent(MainMenu1);
    MainMenu1->setStyle(menuStyle);

    QMenu* fileMenu = MainMenu1->addMenu(QString());
    N1 = fileMenu->menuAction();
    N15 = fileMenu->addAction(QString(), this, &TForm1::N15Click);
    N16 = fileMenu->addAction(QString(), this, &TForm1::N16Click);
    N16->setEnabled(false);
    N14 = fileMenu->addSeparator();
    N5 = fileMenu->addAction(QString(), this, &TForm1::N5Click);
    N5->setEnabled(false);  // until a picture is shown
    N5->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    OpenRecordings1 = fileMenu->addAction(QString(), this, &TForm1::OpenRecordingsClick);
    CopyAddress1 = fileMenu->addAction(QString(), this, &TForm1::CopyAddressClick);
    CopyAddress1->setEnabled(false);
    N2 = fileMenu->addSeparator();
    N3 = fileMenu->addAction(QString(), this, &TForm1::N3Click);
    N3->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* phoneMenu = MainMenu1->addMenu(QString());
    N12 = phoneMenu->menuAction();
    N12->setEnabled(false);
    N4 = phoneMenu->addAction(QString(), this, &TForm1::N4Click);
    N4->setShortcut(QKeySequence(Qt::Key_F4));
    // The shortcut works while the phone menu is closed, too.
    addAction(N4);
    N6 = phoneMenu->addAction(QString(), this, &TForm1::N6Click);
    Suspend1 = phoneMenu->addAction(QString(), this, &TForm1::Suspend1Click);
    // START and STOP count, from the menu and by their keys, only while the
    // phone menu could be opened.
    Web1 = phoneMenu->addAction(QString(), this, [this] {
        if (N12->isEnabled())
            Web1Click();
    });
    Web1->setShortcut(QKeySequence(Qt::Key_F5));
    Web2 = phoneMenu->addAction(QString(), this, [this] {
        if (N12->isEnabled())
            Web2Click();
    });
    Web2->setShortcut(QKeySequence(Qt::Key_F6));
    Web2->setVisible(false);

    N7 = MainMenu1->addAction(QString(), this, &TForm1::N7Click);

    MainMenu1->addSeparator();
    QMenu* helpMenu = MainMenu1->addMenu(QString());
    N8 = helpMenu->menuAction();
    Orvellohelp1 = helpMenu->addAction(QString(), this, &TForm1::Orvellohelp1Click);
    Orvellohelp1->setShortcut(QKeySequence(Qt::Key_F1));
    N13 = helpMenu->addAction(QString(), this, &TForm1::N13Click);
    N11 = helpMenu->addAction(QString(), this, &TForm1::N11Click);
    N10 = helpMenu->addSeparator();
    N9 = helpMenu->addAction(QString(), this, &TForm1::N9Click);
    // The keys work while every menu is closed.
    addActions({N5, N3, Web1, Web2, Orvellohelp1});
}

void TForm1::BuildStatusBar()
{
    StatusBar1 = new QStatusBar(this);
    StatusBar1->setFixedHeight(kStatusBarHeight);
    setStatusBar(StatusBar1);

    // The panels get their texts, in the chosen language, from FormCreate.
    for (int panel = 0; panel < kPanelCount; ++panel) {
        auto* label = new QLabel;
        // The last panel reaches to the window's right edge, so that the
        // recording time and its label have room.
        const bool last = panel == kPanelCount - 1;
        if (last)
            label->setMinimumWidth(kPanelWidths[panel]);
        else
            label->setFixedWidth(kPanelWidths[panel]);
        label->setMinimumHeight(0);
        label->setTextFormat(Qt::PlainText);
        if (panel != kLampPanel)
            label->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        StatusBar1->addWidget(label, last ? 1 : 0);
        panels_[panel] = label;
        if (last) {
            // The recording time always fits, whatever shares the bar.
            label->setText(QStringLiteral("00:00:00"));
            label->setMinimumWidth(std::max(kPanelWidths[panel], label->sizeHint().width()));
            label->clear();
        }
    }

    // The lamp lies over panel 0, at the status bar's left edge.
    Indicator = new QLabel(StatusBar1);
    Indicator->setGeometry(0, 0, kPanelWidths[kLampPanel], kStatusBarHeight);
    Indicator->setAttribute(Qt::WA_TranslucentBackground);
    Indicator->raise();
    DrawIndicator(false);

    // Picture downloads show their byte count at the right of the work panel.
    DownloadBar = new QProgressBar(panels_[kWorkPanel]);
    DownloadBar->setTextVisible(true);
    DownloadBar->setAlignment(Qt::AlignCenter);
    DownloadBar->hide();

    AddressPanel = new QLabel;
    AddressPanel->setObjectName(QStringLiteral("AddressPanel"));
    AddressPanel->setTextFormat(Qt::PlainText);
    AddressPanel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    AddressPanel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // It never widens the window by itself (a long file name would); it
    // takes the room beside the time panel, and its tip holds all of it.
    AddressPanel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    StatusBar1->addPermanentWidget(AddressPanel, 100);
    // Always in the bar (so that the window's narrowest width stays the
    // same), without room while it has nothing to say.
    AddressPanel->setMaximumWidth(0);
}

void TForm1::FormCreate()
{
    SetPanelText(kConnectionPanel, LangText(txt::kStr4NotConnected));
    SetPanelText(kModelPanel, LangText(txt::kStr2Model));
    SetPanelText(kWorkPanel, LangText(txt::kStr3Idle));
    if (GetAutoPhoneConnect())
        MakeDeviceMonitor();
    if (FindCmdLineSwitch(QLatin1Char('M')))
        setWindowState(windowState() | Qt::WindowMinimized);
}

void TForm1::ApplyMenuTexts()
{
    QAction* const items[] = {N1, N15, N16, N5, N3, N12, N4, N6, Suspend1, Web1, Web2, N7, N8, Orvellohelp1, N13, N11,
                              N9, OpenRecordings1, CopyAddress1};
    static_assert(std::size(items) == kMenuTexts.size());
    const QStringList texts = LangTexts(kMenuTexts);
    for (size_t i = 0; i < kMenuTexts.size(); ++i)
        items[i]->setText(texts.at(static_cast<qsizetype>(i)));
    FitWorkPanel();
    FitConnectionPanel();
    RelabelWindow();
}

void TForm1::RelabelWindow()
{
    InstallQtTranslation(GetLangIndex());
    UpdateTitle();
    // The tray's items are the menu's own texts.
    TrayRestore->setText(LangText(txt::kMenuRestore));
    TrayPhoto->setText(N4->text());
    TrayStart->setText(Web1->text());
    TrayStop->setText(Web2->text());
    TrayExit->setText(N3->text());

    // The panels say in the new language what they said in the old one.
    if (!panels_[kConnectionPanel]->text().isEmpty()) {
        const bool connected = indicatorConnected_;
        SetPanelText(kConnectionPanel, connected ? LangText(txt::kStr1Connected)
                                       : DevMon  ? LangText(txt::kSearching)
                                                 : LangText(txt::kStr4NotConnected));
        SetPanelText(kModelPanel, connected && !model_.isNull() ? LangText(txt::kStr2Model) + QLatin1Char(' ') + model_
                                                                : LangText(txt::kStr2Model));
        if (!CaptureRunning())
            SetPanelText(kWorkPanel, LangText(txt::kStr3Idle));
        if (CamThread && !recordingTime_.isEmpty())
            ShowRecordingTime(LangText(txt::kStr21RecordingTime), recordingTime_);
        ShowServerAddress();
    }
}

QString TForm1::BaseTitle() const
{
    const QString version = ReadFileVersion();
    if (version.isEmpty())
        return QStringLiteral("Orvello v1.0");
    return QStringLiteral("Orvello v") + version + QStringLiteral(" \u2014 ") + LangText(txt::kTitleCredit);
}

void TForm1::UpdateTitle()
{
    QString title = BaseTitle();
    if (CamThread && !recordingTime_.isEmpty())
        title = LangText(txt::kRecordingTitle).arg(recordingTime_.trimmed()) + QStringLiteral(" \u2014 ") + title;
    setWindowTitle(title);
    Tray->SetTip(title);
    Tray->SetRecording(CamThread != nullptr);
}

void TForm1::ShowServerAddress()
{
    CopyAddress1->setEnabled(!serverAddress_.isEmpty());
    QString text;
    if (!serverAddress_.isEmpty()) {
        text = LangText(txt::kServerAddress).arg(serverAddress_);
        // The stream lies on the same server: its path is enough here; the
        // copy command gives its whole address.
        if (!streamAddress_.isEmpty())
            text += QStringLiteral(" (") + LangText(txt::kStreamAddress).arg(QUrl(streamAddress_).path()) +
                    QLatin1Char(')');
    } else if (!CamThread && !recordingFile_.isEmpty()) {
        // No server: the panel names the file the last recording wrote.
        text = LangText(txt::kRecordingWritten).arg(QDir::toNativeSeparators(recordingFile_));
    }
    if (text.isEmpty()) {
        AddressPanel->clear();
        AddressPanel->setMinimumWidth(0);
        AddressPanel->setMaximumWidth(0);
        return;
    }
    AddressPanel->setMaximumWidth(QWIDGETSIZE_MAX);
    AddressPanel->setText(text);
    // The server's address always shows whole: the other panels' stretch
    // must not take its room. A file's name may be cut instead.
    AddressPanel->setMinimumWidth(serverAddress_.isEmpty() ? 0 : AddressPanel->sizeHint().width());
    AddressPanel->setToolTip(serverAddress_.isEmpty() ? text : serverAddress_ + QLatin1Char('\n') + streamAddress_);
    // The window widens for the server's address, which is short.
    if (!serverAddress_.isEmpty()) {
        const int needed = StatusBar1->sizeHint().width() + AddressPanel->sizeHint().width() + kAddressGap +
                           panels_[kTimePanel]->fontMetrics().horizontalAdvance(QStringLiteral("00:00:00"));
        if (width() < needed)
            resize(needed, height());
    }
}

void TForm1::UpdateTrayMenu()
{
    const bool phoneMenu = N12->isEnabled();
    TrayRestore->setEnabled(true);
    TrayPhoto->setEnabled(phoneMenu && N4->isEnabled());
    TrayStart->setVisible(Web1->isVisible());
    TrayStart->setEnabled(phoneMenu);
    TrayStop->setVisible(Web2->isVisible());
    TrayStop->setEnabled(phoneMenu);
    TrayExit->setEnabled(N3->isEnabled());
}

QString TForm1::RecordingsFolder() const
{
    if (GetAutoAviFileName())
        return GetAviFolder();
    return QFileInfo(GetAviTempName()).absolutePath();
}

void TForm1::OpenRecordingsClick()
{
    const QString folder = RecordingsFolder();
    QDir().mkpath(folder);
    if (!OpenUrl(QUrl::fromLocalFile(folder)))
        TheDialogs().ShowMessage(this, windowTitle(),
                                 LangText(txt::kFolderNotOpened).arg(QDir::toNativeSeparators(folder)),
                                 MessageKind::Information);
}

void TForm1::CopyAddressClick()
{
    if (serverAddress_.isEmpty())
        return;
    QString text = serverAddress_;
    if (!streamAddress_.isEmpty())
        text += QLatin1Char('\n') + streamAddress_;
    QGuiApplication::clipboard()->setText(text);
}

void TForm1::FitWorkPanel()
{
    // The work panel's texts and then the bar's two labels, in one reading
    // of the language file.
    std::vector<LangEntry> entries(kWorkPanelTexts.begin(), kWorkPanelTexts.end());
    entries.push_back(txt::kDownloadBytes);
    entries.push_back(txt::kDownloadKilobytes);
    const QStringList texts = LangTexts(entries);
    downloadBytesLabel_ = texts.at(texts.size() - 2);
    downloadKilobytesLabel_ = texts.at(texts.size() - 1);
    const QFontMetrics barMetrics(DownloadBar->font());
    downloadBarWidth_ = std::max(kDownloadBarWidth,
        barMetrics.horizontalAdvance(downloadKilobytesLabel_.arg(kDownloadLabelMaxKilobytes)) + barMetrics.height());

    // The label's own size hint for each text counts its frame and indent
    // (and, as long as the label has one, its minimum width). The
    // downloading text has the bar beside it.
    QLabel* panel = panels_[kWorkPanel];
    const QString shown = panel->text();
    panel->setMinimumWidth(0);
    int needed = 0;
    for (size_t i = 0; i < kWorkPanelTexts.size(); ++i) {
        panel->setText(texts.at(static_cast<qsizetype>(i)));
        const bool downloading = std::string_view(kWorkPanelTexts[i].key) == txt::kStr13Downloading.key;
        needed = std::max(needed, panel->sizeHint().width() +
                                      (downloading ? kDownloadBarGap + downloadBarWidth_ + 2 : 0));
    }
    panel->setText(shown);
    panel->setFixedWidth(std::clamp(needed, kPanelWidths[kWorkPanel], kMaxWorkPanelWidth));
}

void TForm1::FitConnectionPanel()
{
    // As wide as the longest of its texts in the language in force.
    QLabel* panel = panels_[kConnectionPanel];
    const QString shown = panel->text();
    panel->setMinimumWidth(0);
    int needed = 0;
    for (const QString& text : LangTexts(std::array{txt::kStr1Connected, txt::kStr4NotConnected, txt::kSearching})) {
        panel->setText(text);
        needed = std::max(needed, panel->sizeHint().width());
    }
    panel->setText(shown);
    panel->setFixedWidth(std::clamp(needed, kPanelWidths[kConnectionPanel], kMaxWorkPanelWidth));
}

void TForm1::DrawIndicator(bool connected)
{
    indicatorConnected_ = connected;
    const int width = Indicator->width();
    const int height = Indicator->height();
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
    Indicator->setPixmap(QPixmap::fromImage(lamp));
}

void TForm1::MakeDeviceMonitor()
{
    DevMon = new phone::TDevMon([life = life_](int state) { HandlePhoneState(life, state); });
    // The monitor looks for the phone from now on.
    if (!indicatorConnected_)
        SetPanelText(kConnectionPanel, LangText(txt::kSearching));
}

void TForm1::PhoneStateChanged(int state) { HandlePhoneState(life_, state); }

void TForm1::HandlePhoneState(const std::shared_ptr<Life>& life, int state)
{
    // Runs the window's share of the work on the user-interface thread, if
    // the window is still there; the calling thread waits.
    const auto onWindow = [&life](const std::function<void(TForm1&)>& work) {
        RunOnUiThread([&] {
            if (TForm1* form = life->form)
                work(*form);
        });
    };

    if (state == 0) {
        onWindow([](TForm1& form) { form.ShowNoPhone(); });
        return;
    }

    onWindow([](TForm1& form) {
        form.N15->setEnabled(false);
        form.N16->setEnabled(true);
        form.DrawIndicator(true);
        form.SetPanelText(kConnectionPanel, LangText(txt::kStr1Connected));
    });
    const QString model = ReadPhoneModel(life);
    onWindow([&model](TForm1& form) {
        form.model_ = model;
        form.SetPanelText(kModelPanel, LangText(txt::kStr2Model) + QLatin1Char(' ') + model);
        form.SetPanelText(kWorkPanel, LangText(txt::kStr3Idle));
    });
    if (Settings().GetAutoSuspendMode())
        phone::PhoneLink::Instance().SuspendPhone();
    // The phone menu comes last: no capture starts while the model query or
    // the suspend command is still on the wire.
    onWindow([](TForm1& form) {
        form.N12->setEnabled(!form.photoRunning_);
        if (FindCmdLineSwitch(QLatin1Char('S')) && !form.CamThread)
            form.StartWebCamera(true);
    });
}

QString TForm1::GetPhoneModel() { return ReadPhoneModel(life_); }

QString TForm1::ReadPhoneModel(const std::shared_ptr<Life>& life)
{
    std::string model;
    if (phone::ReadModelName(phone::PhoneLink::Instance(), &model))
        return QString::fromLatin1(model.data(), static_cast<qsizetype>(model.size()));
    RunOnUiThread([&life] {
        TForm1* form = life->form;
        TheDialogs().ShowMessage(form, form ? form->windowTitle() : QStringLiteral("Orvello"),
                                 LangText(txt::kStr5NoModel), MessageKind::Error);
    });
    return QString::fromLatin1(kUnknownModel);
}

void TForm1::ShowNoPhone()
{
    N15->setEnabled(true);
    N16->setEnabled(false);
    DrawIndicator(false);
    model_.clear();
    // A monitor that is held looks for the phone (again).
    SetPanelText(kConnectionPanel, LangText(DevMon ? txt::kSearching : txt::kStr4NotConnected));
    SetPanelText(kModelPanel, LangText(txt::kStr2Model));
    SetPanelText(kWorkPanel, LangText(txt::kStr3Idle));
    N12->setEnabled(false);
}

void TForm1::N15Click()
{
    if (!DevMon)
        MakeDeviceMonitor();
}

void TForm1::N16Click()
{
    if (!DevMon)
        return;
    DevMon->Disconnect();
    DevMon = nullptr;
}

void TForm1::N4Click()
{
    // F4 reaches the command even while the phone menu is disabled (no phone,
    // or a photo under way); it counts only when the menu could be opened.
    if (!N12->isEnabled())
        return;
    N12->setEnabled(false);
    photoRunning_ = true;
    // Kept until PhotoFinished: the thread frees itself only after that has
    // run on this thread.
    photoThread_ = new MakePhoto(*this, *this, phone::PhoneLink::Instance(), [life = life_] {
        if (TForm1* form = life->form)
            form->PhotoFinished();
    });
}

void TForm1::PhotoFinished()
{
    photoRunning_ = false;
    photoThread_ = nullptr;
    // The phone menu follows the connection: a phone that went during the
    // photo leaves it disabled.
    N12->setEnabled(indicatorConnected_);
    if (GetAutoFormResize() && Image1->width() > kAutoResizeMinWidth)
        FitToPicture();
}

void TForm1::FitToPicture()
{
    ScrollBox1->horizontalScrollBar()->setValue(0);
    ScrollBox1->verticalScrollBar()->setValue(0);
    Image1->move(0, 0);
    // The outer size includes the frame that the window system draws. The
    // window never grows past the screen's free area: a larger picture
    // scrolls in it, at its own size, and the window is moved so that all
    // of it is on the screen.
    const QSize frame = frameGeometry().size() - geometry().size();
    QSize outer(Image1->width() + kFrameExtraWidth, Image1->height() + kFrameExtraHeight);
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
void TForm1::N6Click()
{
    phone::PhoneWorker::Instance().Post([] { phone::PhoneLink::Instance().RestartPhone(); });
}

void TForm1::Suspend1Click()
{
    phone::PhoneWorker::Instance().Post([] { phone::PhoneLink::Instance().SuspendPhone(); });
}

TThread* TForm1::MakeCamThread(std::function<void()> finished)
{
    try {
        auto* recorder = new video::TCamAvi(*this, *this, phone::PhoneLink::Instance(), *Codecs, std::move(finished),
                                            QString(), video::TCamAvi::Recording::FromSettings, camAutomatic_);
        SetRecordingFile(recorder->FileName());
        return recorder;
    } catch (const std::system_error& error) {
        // No thread could be made: START is offered again.
        ShowMessageText(QString::fromLocal8Bit(error.what()));
        return nullptr;
    }
}

void TForm1::Web1Click() { StartWebCamera(false); }

void TForm1::StartWebCamera(bool automatic)
{
    if (CamThread)
        return;
    // The last recording still completes its file: a new one waits for it.
    if (!video::TCamAvi::WaitUntilNoneAlive(std::chrono::milliseconds(0))) {
        autoStartPending_ = autoStartPending_ || automatic;
        WatchFileCompletion();
        return;
    }
    camAutomatic_ = automatic;
    Web1->setVisible(false);
    Web2->setVisible(true);
    if (GetServerEnabled()) {
        ServerSocket1->SetStreamEnabled(GetServerStream());
        ServerSocket1->SetCredentials(GetServerUser(), GetServerPasswordHash());
        QString error;
        if (!ServerSocket1->Open(GetServerPort(), &error, GetServerLocalOnly())) {
            // No web camera without its server: START is offered again.
            TheDialogs().ShowMessage(this, windowTitle(), error, MessageKind::Error);
            Web1->setVisible(true);
            Web2->setVisible(false);
            return;
        }
        serverAddress_ = BrowserAddress(GetServerPort());
        streamAddress_ = GetServerStream() ? serverAddress_ + QStringLiteral("stream.mjpg") : QString();
        ShowServerAddress();
    }
    startedFile_.clear();
    recordingTime_.clear();
    CamThread = MakeCamThread([life = life_] {
        if (TForm1* form = life->form)
            form->CamFinished();
    });
    if (!CamThread) {
        // No recorder was started: START stays available, STOP has nothing to stop.
        Web1->setVisible(true);
        Web2->setVisible(false);
        StopServer();
        return;
    }
    N4->setEnabled(false);
    N6->setEnabled(false);
    Suspend1->setEnabled(false);
    recordingTime_ = QStringLiteral(" 00:00:00");
    UpdateTitle();
    StartVirtualCamera();
}

void TForm1::StartVirtualCamera()
{
    if (!GetVirtualCamera())
        return;
    QString error;
    QString warning;
    VirtualCam = vcam::VirtualCamera::Start(model_, &error, &warning);
    const QString reason = VirtualCam ? warning : error;
    if (!reason.isEmpty())
        StatusBar1->showMessage(LangText(txt::kVirtualCameraUnavailable).arg(reason), kVirtualCameraMessageMs);
}

void TForm1::Web2Click()
{
    if (CamThread)
        CamThread->Terminate();
}

void TForm1::CamFinished()
{
    N4->setEnabled(true);
    N6->setEnabled(true);
    Suspend1->setEnabled(true);
    Web1->setVisible(true);
    Web2->setVisible(false);
    // The recorder's file is the one its last frame went to (an automatic
    // start numbers its name, a restart after a fault takes a new one).
    const auto* recorder = dynamic_cast<const video::TCamAvi*>(CamThread);
    const QString written = recorder ? recorder->FileName() : startedFile_;
    CamThread = nullptr;
    VirtualCam.reset();  // the node goes, its consumers see the stream end
    // Where the recording went, once there is a file: the status bar's
    // last panel names it in place of the server's address.
    if (!written.isEmpty() && QFileInfo(written).isFile())
        recordingFile_ = written;
    StopServer();
    recordingTime_.clear();
    UpdateTitle();
    // The recorder completes its file after this handler: START waits.
    if (!video::TCamAvi::WaitUntilNoneAlive(std::chrono::milliseconds(0)))
        WatchFileCompletion();
    if (ending_)
        QMetaObject::invokeMethod(this, &TForm1::FinishEnding, Qt::QueuedConnection);
}

void TForm1::WatchFileCompletion()
{
    Web1->setEnabled(false);
    if (!fileCompletion_) {
        constexpr int kCompletionPollMs = 20;
        fileCompletion_ = new QTimer(this);
        fileCompletion_->setInterval(kCompletionPollMs);
        connect(fileCompletion_, &QTimer::timeout, this, [this] {
            if (!video::TCamAvi::WaitUntilNoneAlive(std::chrono::milliseconds(0)))
                return;
            fileCompletion_->stop();
            Web1->setEnabled(true);
            const bool start = autoStartPending_ && !ending_ && N12->isEnabled();
            autoStartPending_ = false;
            if (start)
                StartWebCamera(true);
        });
    }
    fileCompletion_->start();
}

void TForm1::EndRequested()
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
        if (auto* options = qobject_cast<TOptionsDlg*>(modal))
            options->EndTest();  // a frame-rate test under way gives way
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
    if (CamThread)
        CamThread->Terminate();  // CamFinished carries on once the file is done with
    else
        QMetaObject::invokeMethod(this, &TForm1::FinishEnding, Qt::QueuedConnection);
}

void TForm1::FinishEnding()
{
    if (CamThread)
        return;
    close();  // the close rules, the restart included
    QCoreApplication::quit();
}

void TForm1::StopServer()
{
    ServerSocket1->Close();
    serverAddress_.clear();
    streamAddress_.clear();
    ShowServerAddress();
}

void TForm1::ServerSocket1ClientRead(web::ClientId Socket)
{
    if (!CamThread)
        return;
    ServerSocket1->AnswerRequest(Socket, CurrentFrame);
}

void TForm1::ServerSocket1ClientError(web::ClientId Socket, QAbstractSocket::SocketError)
{
    ServerSocket1->CloseClient(Socket);
}

void TForm1::N5Click()
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

bool TForm1::SavePicture(const QString& fileName, int filterIndex)
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

void TForm1::N7Click()
{
    TOptionsDlg dialog(this, *this, Codecs.get(), [this] { return CaptureRunning(); });
    dialog.LoadSettings();
    // OK has written the settings (the dialog stays open while they cannot be).
    if (TheDialogs().RunModal(&dialog) == QDialog::Accepted)
        ApplyMenuTexts();
}

void TForm1::N3Click() { close(); }

void TForm1::closeEvent(QCloseEvent* event)
{
    if (FormCloseQuery())
        event->accept();
    else
        event->ignore();
}

bool TForm1::FormCloseQuery()
{
    if (CamThread) {
        ShowMessageText(LangText(txt::kStr6StopCameraFirst));
        return false;
    }
    // A photo under way ends its exchange with the phone at once.
    if (photoThread_)
        photoThread_->Terminate();
    // The restart goes out once, however often the close is asked for. The
    // monitor and a running photo thread are not waited for, and the restart
    // itself only for ExitRestartWait: the window keeps painting meanwhile.
    if (!restartSent_ && GetAutoRestart()) {
        restartSent_ = true;
        phone::PhoneWorker::Instance().RunAndWait([] { phone::PhoneLink::Instance().RestartPhone(); },
                                                  ExitRestartWait);
    }
    return true;
}

void TForm1::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized))
        QMetaObject::invokeMethod(this, &TForm1::AppMinimize, Qt::QueuedConnection);
}

void TForm1::AppMinimize()
{
    if (!(windowState() & Qt::WindowMinimized))
        return;
    if (GetCloseToTray() && TTray::Available())
        Tray->MinimizeToTray();
    else if (!isVisible())
        showMinimized();  // started with the switch M: minimised on the taskbar
}

QString TForm1::AboutText() const
{
    return QStringLiteral("Orvello v") + ReadFileVersion() + QLatin1Char('\n') +
           ExpandLineBreaks(LangText(txt::kAboutText)).arg(QLatin1String(kAuthorMail), QLatin1String(kWebSite));
}

void TForm1::N9Click()
{
    TheDialogs().ShowMessage(this, LangText(txt::kAboutTitle), AboutText(), MessageKind::About);
}

void TForm1::Orvellohelp1Click()
{
    // Without a browser or a launcher, at least say where the manual is.
    // The manual of the language in use.
    const QString manual =
        ManualPath(LanguageEntryAt(GetLangIndex(), txt::kManualFile, QStringLiteral("manual.html")));
    if (!OpenUrl(QUrl::fromLocalFile(manual)))
        TheDialogs().ShowMessage(this, windowTitle(), LangText(txt::kManualNotOpened).arg(manual),
                                 MessageKind::Information);
}

void TForm1::N13Click() { OpenUrl(QUrl(QString::fromLatin1(kWebSite))); }

void TForm1::N11Click() { OpenUrl(QUrl(QStringLiteral("mailto:") + QLatin1String(kAuthorMail))); }

void TForm1::ShowWorkStatus(const QString& text) { SetPanelText(kWorkPanel, text); }

void TForm1::ShowMessageText(const QString& text)
{
    if (ending_) {
        // Nobody is there to answer a box while the program ends.
        qWarning().noquote() << text;
        return;
    }
    TheDialogs().ShowMessage(this, windowTitle(), text, MessageKind::Plain);
}

void TForm1::ShowPicture(const QImage& picture)
{
    picture_ = picture;
    Image1->setPixmap(QPixmap::fromImage(picture));
    Image1->adjustSize();
    N5->setEnabled(!picture_.isNull());
}

void TForm1::ShowRecordingTime(const QString& label, const QString& time)
{
    QLabel* panel = panels_[kTimePanel];
    const QString full = label + time;
    const bool fits = panel->fontMetrics().horizontalAdvance(full) <= panel->contentsRect().width();
    panel->setText(fits ? full : time.trimmed());
    panel->setToolTip(full);
    if (CamThread) {
        recordingTime_ = time;
        UpdateTitle();
    }
}

void TForm1::SetCurrentFrame(const QImage& frame)
{
    CurrentFrame = frame;
    emit CurrentFrameChanged(CurrentFrame);
}

void TForm1::ShowFrame(const QImage& frame, bool show, bool fit)
{
    SetCurrentFrame(frame);
    if (VirtualCam)
        VirtualCam->SetFrame(frame);
    if (!show)
        return;
    ShowPicture(frame);
    if (fit && frame.width() > kAutoResizeMinWidth)
        FitToPicture();
}

void TForm1::ShowDownloadProgress(long long bytes)
{
    if (bytes < 0) {
        DownloadBar->hide();
        return;
    }
    // The size of the file is not known: the bar fills towards a scale that
    // doubles whenever the bytes outgrow it, so it keeps moving.
    constexpr int kFirstScale = 64 * 1024;
    if (DownloadBar->isHidden() || downloadMaximum_ <= 0)
        downloadMaximum_ = kFirstScale;
    const long long shown = std::min<long long>(bytes, std::numeric_limits<int>::max());
    while (downloadMaximum_ < shown && downloadMaximum_ <= std::numeric_limits<int>::max() / 2)
        downloadMaximum_ *= 2;
    QLabel* panel = panels_[kWorkPanel];
    DownloadBar->setGeometry(panel->width() - downloadBarWidth_ - 2, 2, downloadBarWidth_, panel->height() - 4);
    DownloadBar->setRange(0, downloadMaximum_);
    DownloadBar->setValue(static_cast<int>(shown));
    DownloadBar->setFormat(bytes < 10 * 1024 ? downloadBytesLabel_.arg(bytes) : downloadKilobytesLabel_.arg(bytes / 1024));
    DownloadBar->show();
}

void TForm1::SetPanelText(int panel, const QString& text)
{
    if (panel >= 0 && panel < kPanelCount)
        panels_[panel]->setText(text);
}

QString TForm1::PanelText(int panel) const
{
    return panel >= 0 && panel < kPanelCount ? panels_[panel]->text() : QString();
}

}  // namespace orv
