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

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QProxyStyle>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QUrl>

#include <algorithm>
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

TForm1::TForm1(QWidget* parent) : QMainWindow(parent), life_(std::make_shared<Life>())
{
    life_->form = this;
    // One icon for the window, the tray and the about box.
    const QIcon icon = ProgramIcon();
    setWindowIcon(icon);
    QApplication::setWindowIcon(icon);
    setWindowTitle(QStringLiteral("Orvello v1.0"));
    if (const QString version = ReadFileVersion(); !version.isEmpty()) {
        const QString caption = QStringLiteral("Orvello v") + version + QStringLiteral(" \u2014 by the Orvello authors");
        setWindowTitle(caption);
        // Qt would append the display name to every window title.
        QGuiApplication::setApplicationDisplayName(QString());
    }
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
    N2 = fileMenu->addSeparator();
    N3 = fileMenu->addAction(QString(), this, &TForm1::N3Click);

    QMenu* phoneMenu = MainMenu1->addMenu(QString());
    N12 = phoneMenu->menuAction();
    N12->setEnabled(false);
    N4 = phoneMenu->addAction(QString(), this, &TForm1::N4Click);
    N4->setShortcut(QKeySequence(Qt::Key_F4));
    // The shortcut works while the phone menu is closed, too.
    addAction(N4);
    N6 = phoneMenu->addAction(QString(), this, &TForm1::N6Click);
    Suspend1 = phoneMenu->addAction(QString(), this, &TForm1::Suspend1Click);
    Web1 = phoneMenu->addAction(QString(), this, &TForm1::Web1Click);
    Web2 = phoneMenu->addAction(QString(), this, &TForm1::Web2Click);
    Web2->setVisible(false);

    N7 = MainMenu1->addAction(QString(), this, &TForm1::N7Click);

    MainMenu1->addSeparator();
    QMenu* helpMenu = MainMenu1->addMenu(QString());
    N8 = helpMenu->menuAction();
    Orvellohelp1 = helpMenu->addAction(QString(), this, &TForm1::Orvellohelp1Click);
    N13 = helpMenu->addAction(QString(), this, &TForm1::N13Click);
    N11 = helpMenu->addAction(QString(), this, &TForm1::N11Click);
    N10 = helpMenu->addSeparator();
    N9 = helpMenu->addAction(QString(), this, &TForm1::N9Click);
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
                              N9};
    static_assert(std::size(items) == kMenuTexts.size());
    const QStringList texts = LangTexts(kMenuTexts);
    for (size_t i = 0; i < kMenuTexts.size(); ++i)
        items[i]->setText(texts.at(static_cast<qsizetype>(i)));
    FitWorkPanel();
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
        form.SetPanelText(kModelPanel, LangText(txt::kStr2Model) + QLatin1Char(' ') + model);
        form.SetPanelText(kWorkPanel, LangText(txt::kStr3Idle));
    });
    if (Settings().GetAutoSuspendMode())
        phone::PhoneLink::Instance().SuspendPhone();
    // The phone menu comes last: no capture starts while the model query or
    // the suspend command is still on the wire.
    onWindow([](TForm1& form) {
        form.N12->setEnabled(true);
        if (FindCmdLineSwitch(QLatin1Char('S')) && !form.CamThread)
            form.Web1Click();
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
    SetPanelText(kConnectionPanel, LangText(txt::kStr4NotConnected));
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
    new MakePhoto(*this, *this, phone::PhoneLink::Instance(), [life = life_] {
        if (TForm1* form = life->form)
            form->PhotoFinished();
    });
}

void TForm1::PhotoFinished()
{
    photoRunning_ = false;
    N12->setEnabled(true);
    if (GetAutoFormResize() && Image1->width() > kAutoResizeMinWidth)
        FitToPicture();
}

void TForm1::FitToPicture()
{
    ScrollBox1->horizontalScrollBar()->setValue(0);
    ScrollBox1->verticalScrollBar()->setValue(0);
    Image1->move(0, 0);
    // The outer size includes the frame that the window system draws.
    const QSize frame = frameGeometry().size() - geometry().size();
    resize(Image1->width() + kFrameExtraWidth - frame.width(), Image1->height() + kFrameExtraHeight - frame.height());
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
        return new video::TCamAvi(*this, *this, phone::PhoneLink::Instance(), *Codecs, std::move(finished));
    } catch (const std::system_error& error) {
        // No thread could be made: START is offered again.
        ShowMessageText(QString::fromLocal8Bit(error.what()));
        return nullptr;
    }
}

void TForm1::Web1Click()
{
    if (CamThread)
        return;
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
    }
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
    CamThread = nullptr;
    StopServer();
    if (ending_)
        QMetaObject::invokeMethod(this, &TForm1::FinishEnding, Qt::QueuedConnection);
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

void TForm1::StopServer() { ServerSocket1->Close(); }

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
    SaveRequest request;
    request.filters = QStringList{QStringLiteral("Bitmaps(*.bmp)"), QStringLiteral("Jpeg(*.jpg)")};
    request.filterIndex = 1;
    const std::optional<SaveAnswer> answer = TheDialogs().SaveFile(this, request);
    if (answer && !answer->fileName.isEmpty())
        SavePicture(answer->fileName, answer->filterIndex);
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
    if (TheDialogs().RunModal(&dialog) == QDialog::Accepted && dialog.SaveSettings())
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
    return QStringLiteral("Orvello v") + ReadFileVersion() +
           QStringLiteral("\n"
                          "Фотоаппарат и веб-камера из телефона Motorola с камерой,\n"
                          "подключённого к компьютеру USB-кабелем.\n"
                          "\n"
                          "Авторы: команда Orvello\n"
                          "Почта: ") +
           QLatin1String(kAuthorMail) + QStringLiteral("\nСайт: ") + QLatin1String(kWebSite) +
           QStringLiteral("\n"
                          "\n"
                          "Спасибо нашему первому тестеру за опыты с тестовыми командами телефона\n"
                          "и нашему переводчику за терпеливую проверку и английский перевод.");
}

void TForm1::N9Click()
{
    TheDialogs().ShowMessage(this, QStringLiteral("О программе"), AboutText(), MessageKind::About);
}

void TForm1::Orvellohelp1Click()
{
    // Without a browser or a launcher, at least say where the manual is.
    const QString manual = ManualPath();
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
}

void TForm1::ShowRecordingTime(const QString& label, const QString& time)
{
    QLabel* panel = panels_[kTimePanel];
    const QString full = label + time;
    const bool fits = panel->fontMetrics().horizontalAdvance(full) <= panel->contentsRect().width();
    panel->setText(fits ? full : time.trimmed());
    panel->setToolTip(full);
}

void TForm1::SetCurrentFrame(const QImage& frame)
{
    CurrentFrame = frame;
    emit CurrentFrameChanged(CurrentFrame);
}

void TForm1::ShowFrame(const QImage& frame, bool show, bool fit)
{
    SetCurrentFrame(frame);
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
