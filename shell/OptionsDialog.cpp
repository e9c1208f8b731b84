#include "OptionsDialog.h"

#include "capture/PhoneCapture.h"
#include "platform/Clock.h"
#include "video/CodecCatalogue.h"
#include "Dialogs.h"
#include "texts/LangTexts.h"
#include "phone/PhoneLink.h"
#include "config/Settings.h"
#include "platform/SettingsStore.h"
#include "platform/WorkerThread.h"
#include "platform/UiThread.h"
#include "WheelGuard.h"
#include "web/Credentials.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

namespace orv {
namespace {

// The picture sizes in the order of their codes, each with its pixels.
struct PictureType {
    const char* name;
    int width;
    int height;
};
constexpr PictureType kPictureTypes[] = {{"VGA", 640, 480},   {"QVGA", 320, 240},  {"SQVGA", 160, 120},
                                         {"QQVGA", 160, 120}, {"QQQVGA", 80, 60},  {"CIF", 352, 288},
                                         {"QCIF", 176, 144},  {"SQCIF", 128, 96},  {"4VGA", 1280, 960},
                                         {"SXGA", 1280, 1024}, {"UXGA", 1600, 1200}};
const char* const kExposures[] = {"-2", "-1", "0", "+1", "+2"};
constexpr const LangEntry* kLightings[] = {&txt::kOptLightAuto,         &txt::kOptLightSunny,
                                           &txt::kOptLightCloudy,       &txt::kOptLightIncandescent,
                                           &txt::kOptLightFluorescent,  &txt::kOptLightNight};

template <typename Widget>
Widget* Named(Widget* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLabel* MakeLabel(const char* name, const char* caption, QWidget* buddy)
{
    auto* label = Named(new QLabel(QString::fromUtf8(caption)), name);
    // Language files supply these texts: never read them as markup.
    label->setTextFormat(Qt::PlainText);
    label->setBuddy(buddy);
    return label;
}

QCheckBox* MakeCheckBox(const char* name, const char* caption)
{
    return Named(new QCheckBox(QString::fromUtf8(caption)), name);
}

QPushButton* MakeButton(const char* name, const char* caption)
{
    auto* button = Named(new QPushButton(QString::fromUtf8(caption)), name);
    button->setAutoDefault(false);
    return button;
}

QComboBox* MakeList(const char* name)
{
    auto* list = Named(new QComboBox, name);
    list->setEditable(false);
    return list;
}

bool IsUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: return true;
    default: return false;
    }
}

// How one frame-rate test ended.
enum class RateOutcome { NoPhone, CameraFailed, ShotFailed, ReadFailed, Measured };

// Runs on a worker thread. Switches the camera on, takes one picture, opens,
// reads and deletes its file, switches the camera off, and gives the
// milliseconds from the camera on to the switch-off. Nothing is shown from
// here: the dialog tells the user how it went once the camera is off again,
// so no message box ever stands between the shot and the end of the
// measurement. Once the test is given up no more picture is taken or read;
// what tidies up on the phone gets the stop's grace.
RateOutcome TimeOnePicture(phone::PhoneLink& link, int pictureType, const std::string& phoneFile,
                           const std::atomic<bool>& givenUp, uint32_t* elapsedMs)
{
    if (!link.IsConnected())
        return RateOutcome::NoPhone;
    // Neither lighting, exposure nor any wait: the phone's own time is
    // measured. The file is read, not decoded.
    CapturePlan plan;
    plan.phoneFile = phoneFile;
    plan.pictureType = static_cast<uint8_t>(pictureType);
    plan.decode = false;
    plan.stopGraceMs = kCaptureStopGraceMs;
    // One capture: its commands never mix with those of a photo or of a
    // recording's frame on the phone's one camera and open file.
    PhoneCapture capture(link, std::move(plan), [&givenUp] { return givenUp.load(); });
    if (!capture.SwitchOn())
        return RateOutcome::CameraFailed;
    // The camera's start is not part of a frame's time.
    const uint32_t start = TheClock().TickCount();
    const CapturedPicture shot = capture.TakePicture();
    if (shot.ShotTaken())
        capture.DeletePhoneFile();
    capture.SwitchOff();
    *elapsedMs = TheClock().TickCount() - start;
    if (!shot.ShotTaken())
        return RateOutcome::ShotFailed;
    return shot.outcome == CapturedPicture::Outcome::Downloaded ? RateOutcome::Measured : RateOutcome::ReadFailed;
}

// The worker of one frame-rate test: a thread of the program's own, so that
// the program's end knows it is there and never waits for it.
class RateTestThread final : public WorkerThread {
public:
    explicit RateTestThread(std::function<void()> body) : body_(std::move(body)) {}

protected:
    void Run() override { body_(); }

private:
    std::function<void()> body_;
};
// An encoder's line in the list, in the language at index.
QString CodecCaption(const video::CodecCatalogue::Listed& listed, int language)
{
    switch (listed.kind) {
    case video::CodecCatalogue::Listed::Kind::Lossless: return LangTextAt(language, txt::kCodecLossless).arg(listed.name);
    case video::CodecCatalogue::Listed::Kind::Uncompressed: return LangTextAt(language, txt::kCodecUncompressed);
    case video::CodecCatalogue::Listed::Kind::Plain: break;
    }
    return listed.name;
}

double RateOf(uint32_t elapsedMs)
{
    // The tick count moves in coarse steps: an interval too short to see
    // counts as one millisecond, as the recorder counts it.
    const long double milliseconds = elapsedMs == 0 ? 1.0L : static_cast<long double>(elapsedMs);
    return static_cast<double>(1.0L / (milliseconds * 0.001L));
}

QLocale UserNumberLocale()
{
    QLocale locale = QLocale::system();
    locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
    return locale;
}

}  // namespace

// One frame-rate test, shared by the dialog and its worker: the worker may
// outlive the dialog when the program ends during the test.
struct OptionsDialog::RateRun {
    std::atomic<bool> givenUp{false};
    // Written by the worker before it hands the run back.
    RateOutcome outcome = RateOutcome::NoPhone;
    uint32_t elapsedMs = 0;
    // User-interface thread only.
    bool finished = false;
    QEventLoop* loop = nullptr;
};

OptionsDialog::OptionsDialog(QWidget* parent, Settings& settings, video::CodecCatalogue* codecs,
                         std::function<bool()> captureRunning)
    : QDialog(parent), settings_(settings), codecs_(codecs), captureRunning_(std::move(captureRunning))
{
    setObjectName(QStringLiteral("OptionsDlg"));
    setWindowTitle(QStringLiteral("Настройки"));

    tabs = Named(new QTabWidget, "tabs");
    phoneTab = Named(new QWidget, "phoneTab");
    programTab = Named(new QWidget, "programTab");
    videoTab = Named(new QWidget, "videoTab");
    serverTab = Named(new QWidget, "serverTab");
    tabs->addTab(phoneTab, QStringLiteral("Телефон"));
    tabs->addTab(programTab, QStringLiteral("Программа"));
    tabs->addTab(videoTab, QStringLiteral("Видео"));
    tabs->addTab(serverTab, QStringLiteral("Сервер"));
    BuildPhoneTab();
    BuildProgramTab();
    BuildVideoTab();
    BuildServerTab();

    // Relabel gives the title, these and the other captions their language.
    okButton = Named(new QPushButton(QStringLiteral("OK")), "okButton");
    cancelButton = Named(new QPushButton(QStringLiteral("Cancel")), "cancelButton");
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &OptionsDialog::accept);
    // Escape and the close box reject the dialog as Cancel does.
    connect(cancelButton, &QPushButton::clicked, this, &OptionsDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(okButton);
    buttons->addWidget(cancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs);
    layout->addLayout(buttons);
    // A fixed-size box that takes the size its texts need in any language.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(autoFpsCheck, &QCheckBox::toggled, this, &OptionsDialog::AutoFpsToggled);
    connect(datedNamesCheck, &QCheckBox::toggled, this, &OptionsDialog::DatedNamesToggled);
    connect(chooseFileButton, &QPushButton::clicked, this, &OptionsDialog::ChooseAviFile);
    connect(fpsTestButton, &QPushButton::clicked, this, &OptionsDialog::MeasureFrameRate);
    connect(configureEncoderButton, &QPushButton::clicked, this, &OptionsDialog::ConfigureEncoder);
    connect(aboutEncoderButton, &QPushButton::clicked, this, &OptionsDialog::AboutEncoder);
    connect(chooseFolderButton, &QPushButton::clicked, this, &OptionsDialog::ChooseAviFolder);
    connect(clearPasswordButton, &QPushButton::clicked, this, &OptionsDialog::RemoveProtection);
    AutoFpsToggled();
    DatedNamesToggled();
    GuardWheel(this);
}

OptionsDialog::~OptionsDialog() = default;

void OptionsDialog::BuildPhoneTab()
{
    phoneFileEdit = Named(new QLineEdit, "phoneFileEdit");
    pictureSizeList = MakeList("pictureSizeList");
    for (const PictureType& type : kPictureTypes)
        pictureSizeList->addItem(QStringLiteral("%1 (%2\u00d7%3)").arg(QLatin1String(type.name)).arg(type.width).arg(type.height));
    shotTimeoutEdit = Named(new QLineEdit, "shotTimeoutEdit");
    cameraInitEdit = Named(new QLineEdit, "cameraInitEdit");
    lightingList = MakeList("lightingList");
    for (const LangEntry* lighting : kLightings)
        lightingList->addItem(QString::fromUtf8(lighting->builtIn));
    exposureList = MakeList("exposureList");
    for (const char* exposure : kExposures)
        exposureList->addItem(QLatin1String(exposure));
    phoneFileLabel = MakeLabel("phoneFileLabel", "Временно сохранять в:", phoneFileEdit);
    pictureSizeLabel = MakeLabel("pictureSizeLabel", "Тип картинки:", pictureSizeList);
    shotTimeoutLabel = MakeLabel("shotTimeoutLabel", "Таймаут после съёмки:", shotTimeoutEdit);
    cameraInitLabel = MakeLabel("cameraInitLabel", "Таймаут инициализации:", cameraInitEdit);
    lightingLabel = MakeLabel("lightingLabel", "Состояния освещения:", lightingList);
    exposureLabel = MakeLabel("exposureLabel", "Экспозиция:", exposureList);
    autoSuspendCheck = MakeCheckBox("autoSuspendCheck", "Auto Suspend mode");

    auto* grid = new QGridLayout(phoneTab);
    const std::pair<QLabel*, QWidget*> rows[] = {{phoneFileLabel, phoneFileEdit}, {pictureSizeLabel, pictureSizeList}, {shotTimeoutLabel, shotTimeoutEdit},
                                                 {cameraInitLabel, cameraInitEdit}, {lightingLabel, lightingList}, {exposureLabel, exposureList}};
    int row = 0;
    for (const auto& [label, field] : rows) {
        grid->addWidget(label, row, 0);
        grid->addWidget(field, row, 1);
        ++row;
    }
    grid->addWidget(autoSuspendCheck, row++, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
}

void OptionsDialog::BuildProgramTab()
{
    closeToTrayCheck = MakeCheckBox("closeToTrayCheck", "Сворачивать в трей");
    autoRestartCheck = MakeCheckBox("autoRestartCheck", "Авто перезагрузка телефона при выходе из программы ");
    autoResizeCheck = MakeCheckBox("autoResizeCheck", "Авто размер формы");
    showSplashCheck = MakeCheckBox("showSplashCheck", "Показывать заставку при старте");
    dateStampCheck = MakeCheckBox("dateStampCheck", "Подписывать снимки");
    autoConnectCheck = MakeCheckBox("autoConnectCheck", "Авто подключение телефона");
    languageList = MakeList("languageList");
    languageLabel = MakeLabel("languageLabel", "Язык: ", languageList);

    auto* grid = new QGridLayout(programTab);
    int row = 0;
    for (QCheckBox* box : {closeToTrayCheck, autoRestartCheck, autoResizeCheck, showSplashCheck, dateStampCheck, autoConnectCheck})
        grid->addWidget(box, row++, 0, 1, 2);
    grid->addWidget(languageLabel, row, 0);
    grid->addWidget(languageList, row++, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
}

void OptionsDialog::BuildVideoTab()
{
    datedNamesCheck = MakeCheckBox("datedNamesCheck", "Auto file name:");
    aviFolderEdit = Named(new QLineEdit, "aviFolderEdit");
    chooseFolderButton = MakeButton("chooseFolderButton", ">>");
    aviFileEdit = Named(new QLineEdit, "aviFileEdit");
    aviFileLabel = MakeLabel("aviFileLabel", "Записывать в файл:", aviFileEdit);
    chooseFileButton = MakeButton("chooseFileButton", ">>");
    autoFpsCheck = MakeCheckBox("autoFpsCheck", "Auto fps");
    fpsEdit = Named(new QLineEdit, "fpsEdit");
    fpsLabel = MakeLabel("fpsLabel", "fps:", fpsEdit);
    fpsTestButton = MakeButton("fpsTestButton", ">>TEST<<");
    duplicatePictureCheck = MakeCheckBox("duplicatePictureCheck", "Дублировать картинку на экран во время съёмки");
    encoderList = MakeList("encoderList");
    encoderLabel = MakeLabel("encoderLabel", "Компрессор:", encoderList);
    configureEncoderButton = MakeButton("configureEncoderButton", "Настроить");
    aboutEncoderButton = MakeButton("aboutEncoderButton", "About");
    recordToFileCheck = MakeCheckBox("recordToFileCheck", txt::kOptRecordToFile.builtIn);
    virtualCameraCheck = MakeCheckBox("virtualCameraCheck", txt::kOptVirtualCamera.builtIn);
    splitMinutesSpin = Named(new QSpinBox, "splitMinutesSpin");
    splitMinutesSpin->setRange(0, std::numeric_limits<int>::max());
    splitMinutesLabel = MakeLabel("splitMinutesLabel", txt::kOptSplitMinutes.builtIn, splitMinutesSpin);
    keepMegabytesSpin = Named(new QSpinBox, "keepMegabytesSpin");
    keepMegabytesSpin->setRange(0, std::numeric_limits<int>::max());
    keepMegabytesLabel = MakeLabel("keepMegabytesLabel", txt::kOptKeepMegabytes.builtIn, keepMegabytesSpin);

    // Paths are long: the fields get room for a typical one.
    const int pathWidth = fontMetrics().horizontalAdvance(QStringLiteral("/home/someone/Videos/recording.avi"));
    aviFolderEdit->setMinimumWidth(pathWidth);
    aviFileEdit->setMinimumWidth(pathWidth);

    auto* grid = new QGridLayout(videoTab);
    int row = 0;
    grid->addWidget(datedNamesCheck, row, 0);
    grid->addWidget(aviFolderEdit, row, 1);
    grid->addWidget(chooseFolderButton, row++, 2);
    grid->addWidget(aviFileLabel, row, 0);
    grid->addWidget(aviFileEdit, row, 1);
    grid->addWidget(chooseFileButton, row++, 2);
    grid->addWidget(autoFpsCheck, row++, 0, 1, 3);
    auto* rate = new QHBoxLayout;
    fpsEdit->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000.00000000000")));
    rate->addWidget(fpsEdit);
    rate->addWidget(fpsTestButton);
    rate->addStretch(1);
    grid->addWidget(fpsLabel, row, 0);
    grid->addLayout(rate, row++, 1, 1, 2);
    grid->addWidget(duplicatePictureCheck, row++, 0, 1, 3);
    grid->addWidget(encoderLabel, row, 0);
    grid->addWidget(encoderList, row++, 1, 1, 2);
    auto* compressor = new QHBoxLayout;
    compressor->addStretch(1);
    compressor->addWidget(configureEncoderButton);
    compressor->addWidget(aboutEncoderButton);
    grid->addLayout(compressor, row++, 1, 1, 2);
    grid->addWidget(recordToFileCheck, row++, 0, 1, 3);
    grid->addWidget(virtualCameraCheck, row++, 0, 1, 3);
    grid->addWidget(splitMinutesLabel, row, 0);
    grid->addWidget(splitMinutesSpin, row++, 1);
    grid->addWidget(keepMegabytesLabel, row, 0);
    grid->addWidget(keepMegabytesSpin, row++, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
}

void OptionsDialog::BuildServerTab()
{
    serverEnabledCheck = MakeCheckBox("serverEnabledCheck", "Запускать сервер");
    portSpin = Named(new QSpinBox, "portSpin");
    portSpin->setRange(kMinPort, kMaxPort);
    portSpin->setWrapping(false);
    portLabel = MakeLabel("portLabel", "Порт: ", portSpin);
    streamCheck = MakeCheckBox("streamCheck", txt::kOptServerStream.builtIn);
    localOnlyCheck = MakeCheckBox("localOnlyCheck", txt::kOptLocalOnly.builtIn);
    userEdit = Named(new QLineEdit, "userEdit");
    userLabel = MakeLabel("userLabel", txt::kOptServerUser.builtIn, userEdit);
    passwordEdit = Named(new QLineEdit, "passwordEdit");
    // Never shown, and kept out of the clipboard and of input history.
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    passwordLabel = MakeLabel("passwordLabel", txt::kOptServerPassword.builtIn, passwordEdit);
    clearPasswordButton = MakeButton("clearPasswordButton", txt::kOptClearPassword.builtIn);

    auto* grid = new QGridLayout(serverTab);
    grid->addWidget(serverEnabledCheck, 0, 0, 1, 3);
    grid->addWidget(portLabel, 1, 0);
    grid->addWidget(portSpin, 1, 1);
    grid->addWidget(streamCheck, 2, 0, 1, 3);
    grid->addWidget(localOnlyCheck, 3, 0, 1, 3);
    grid->addWidget(userLabel, 4, 0);
    grid->addWidget(userEdit, 4, 1, 1, 2);
    grid->addWidget(passwordLabel, 5, 0);
    grid->addWidget(passwordEdit, 5, 1, 1, 2);
    grid->addWidget(clearPasswordButton, 6, 1);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(7, 1);
}

void OptionsDialog::LoadSettings()
{
    // A tab position outside 0 to 3 leaves the first tab selected.
    tabs->setCurrentIndex(settings_.GetOptionsTabIndex());

    // A stored list position outside a list leaves it without a selection,
    // and OK then writes -1.
    phoneFileEdit->setText(settings_.GetTempJpgName());
    autoSuspendCheck->setChecked(settings_.GetAutoSuspendMode());
    pictureSizeList->setCurrentIndex(settings_.GetJpgType());
    // The encoders in the order a newcomer chooses from, each item holding
    // its catalogue position: the stored value keeps naming its encoder.
    encoderList->clear();
    const int codecCount = codecs_ ? codecs_->Count() : 0;
    const int codec = settings_.GetCodecIndex();
    if (codecs_) {
        for (const video::CodecCatalogue::Listed& listed : codecs_->Listing(codec < codecCount ? codec : 0))
            encoderList->addItem(CodecCaption(listed, settings_.GetLangIndex()), listed.index);
    }
    encoderList->setCurrentIndex(std::max(0, encoderList->findData(codec < codecCount ? codec : 0)));
    shotTimeoutEdit->setText(QString::number(settings_.GetTimeout()));
    closeToTrayCheck->setChecked(settings_.GetCloseToTray());
    autoRestartCheck->setChecked(settings_.GetAutoRestart());
    autoResizeCheck->setChecked(settings_.GetAutoFormResize());
    showSplashCheck->setChecked(settings_.GetShowSplash());
    aviFileEdit->setText(settings_.GetAviTempName());
    fpsEdit->setText(FormatRate(settings_.GetFps()));
    duplicatePictureCheck->setChecked(settings_.GetDuplicatePicture());
    dateStampCheck->setChecked(settings_.GetPrintDateOnImage());
    cameraInitEdit->setText(QString::number(settings_.GetCameraInitTime()));
    lightingList->setCurrentIndex(settings_.GetAmbientLight());
    exposureList->setCurrentIndex(settings_.GetExpose());
    autoFpsCheck->setChecked(settings_.GetAutoFps());
    datedNamesCheck->setChecked(settings_.GetAutoAviFileName());
    aviFolderEdit->setText(settings_.GetAviFolder());
    serverEnabledCheck->setChecked(settings_.GetServerEnabled());
    // The spin control keeps a stored port inside its range.
    portSpin->setValue(settings_.GetServerPort());
    autoConnectCheck->setChecked(settings_.GetAutoPhoneConnect());
    streamCheck->setChecked(settings_.GetServerStream());
    recordToFileCheck->setChecked(settings_.GetRecordToFile());
    virtualCameraCheck->setChecked(settings_.GetVirtualCamera());
    // The spin controls keep a stored value inside 0 and the largest int.
    splitMinutesSpin->setValue(settings_.GetAviSplitMinutes());
    keepMegabytesSpin->setValue(settings_.GetAviKeepMegabytes());
    localOnlyCheck->setChecked(settings_.GetServerLocalOnly());
    userEdit->setText(settings_.GetServerUser());
    passwordEdit->clear();
    loadedHash_ = settings_.GetServerPasswordHash();
    clearProtection_ = false;

    // The language list: the built-in language, then the files in the order
    // of every lookup, so that a position is a language index.
    languageList->clear();
    languageList->addItems(LanguageNames());
    languageList->setCurrentIndex(settings_.GetLangIndex());
}

std::optional<OptionsDialog::Numbers> OptionsDialog::ReadNumbers(QString* error, QLineEdit** field) const
{
    const int language = languageList->currentIndex();
    // The field is named by its label as the dialog shows it.
    const auto nameOf = [](const QLabel* label) {
        QString name = label->text().trimmed();
        while (name.endsWith(QLatin1Char(':')))
            name.chop(1);
        return name.trimmed();
    };
    const auto fail = [&](QLineEdit* edit, const QString& message) -> std::optional<Numbers> {
        if (error)
            *error = message;
        if (field)
            *field = edit;
        return std::nullopt;
    };
    // A waiting time: a whole number of milliseconds, 0 or more.
    const auto toWait = [&](QLineEdit* edit, const QLabel* label, int* value) {
        bool ok = false;
        *value = edit->text().trimmed().toInt(&ok, 10);
        if (ok && *value >= 0)
            return true;
        fail(edit, LangTextAt(language, txt::kNumberRange)
                       .arg(nameOf(label), edit->text(), QStringLiteral("0"),
                            QString::number(std::numeric_limits<int32_t>::max())));
        return false;
    };

    // In the order in which the settings are written.
    Numbers numbers;
    if (!toWait(shotTimeoutEdit, shotTimeoutLabel, &numbers.timeout))
        return std::nullopt;
    bool ok = false;
    numbers.fps = UserNumberLocale().toDouble(fpsEdit->text().trimmed(), &ok);
    // Infinity and NaN are no frame rates, and neither is 0 or less.
    if (!ok || !std::isfinite(numbers.fps) || numbers.fps <= 0)
        return fail(fpsEdit, LangTextAt(language, txt::kNumberAboveZero).arg(nameOf(fpsLabel), fpsEdit->text()));
    if (!toWait(cameraInitEdit, cameraInitLabel, &numbers.cameraInitTime))
        return std::nullopt;
    return numbers;
}

bool OptionsDialog::SaveSettings(QString* failure)
{
    const std::optional<Numbers> numbers = ReadNumbers(nullptr, nullptr);
    if (!numbers)
        return false;
    reg::TakeWriteFailure();
    settings_.SetTempJpgName(phoneFileEdit->text());
    settings_.SetAutoSuspendMode(autoSuspendCheck->isChecked());
    settings_.SetJpgType(pictureSizeList->currentIndex());
    settings_.SetTimeout(numbers->timeout);
    settings_.SetCloseToTray(closeToTrayCheck->isChecked());
    settings_.SetAutoRestart(autoRestartCheck->isChecked());
    settings_.SetAutoFormResize(autoResizeCheck->isChecked());
    settings_.SetShowSplash(showSplashCheck->isChecked());
    settings_.SetAviTempName(aviFileEdit->text());
    settings_.SetFps(numbers->fps);
    settings_.SetDuplicatePicture(duplicatePictureCheck->isChecked());
    settings_.SetCodecIndex(SelectedCodec());
    settings_.SetOptionsTabIndex(tabs->currentIndex());
    settings_.SetPrintDateOnImage(dateStampCheck->isChecked());
    settings_.SetCameraInitTime(numbers->cameraInitTime);
    settings_.SetAmbientLight(lightingList->currentIndex());
    settings_.SetExpose(exposureList->currentIndex());
    settings_.SetAutoFps(autoFpsCheck->isChecked());
    settings_.SetAutoAviFileName(datedNamesCheck->isChecked());
    settings_.SetAviFolder(aviFolderEdit->text());
    settings_.SetServerEnabled(serverEnabledCheck->isChecked());
    settings_.SetServerPort(portSpin->value());
    settings_.SetAutoPhoneConnect(autoConnectCheck->isChecked());
    settings_.SetLangIndex(languageList->currentIndex());
    settings_.SetServerStream(streamCheck->isChecked());
    settings_.SetRecordToFile(recordToFileCheck->isChecked());
    settings_.SetVirtualCamera(virtualCameraCheck->isChecked());
    settings_.SetAviSplitMinutes(splitMinutesSpin->value());
    settings_.SetAviKeepMegabytes(keepMegabytesSpin->value());
    settings_.SetServerLocalOnly(localOnlyCheck->isChecked());
    settings_.SetServerUser(userEdit->text().trimmed());
    settings_.SetServerPasswordHash(NewPasswordHash());
    const std::string refused = reg::TakeWriteFailure();
    if (refused.empty())
        return true;
    if (failure)
        *failure = LangTextAt(languageList->currentIndex(), txt::kSettingsNotSaved)
                       .arg(QString::fromStdString(reg::SettingsFilePath()), QString::fromStdString(refused));
    return false;
}

void OptionsDialog::Relabel()
{
    const int language = languageList->currentIndex();
    const auto text = [language](const LangEntry& entry) { return LangTextAt(language, entry); };
    tabs->setTabText(tabs->indexOf(phoneTab), text(txt::kOptPhoneTab));
    tabs->setTabText(tabs->indexOf(programTab), text(txt::kOptProgramTab));
    tabs->setTabText(tabs->indexOf(videoTab), text(txt::kOptVideoTab));
    tabs->setTabText(tabs->indexOf(serverTab), text(txt::kOptServerTab));
    phoneFileLabel->setText(text(txt::kOptTempFile));
    pictureSizeLabel->setText(text(txt::kOptPictureType));
    shotTimeoutLabel->setText(text(txt::kOptShotTimeout));
    cameraInitLabel->setText(text(txt::kOptInitTimeout));
    lightingLabel->setText(text(txt::kOptLighting));
    exposureLabel->setText(text(txt::kOptExposure));
    closeToTrayCheck->setText(text(txt::kOptCloseToTray));
    autoRestartCheck->setText(text(txt::kOptAutoRestart));
    autoResizeCheck->setText(text(txt::kOptAutoFormResize));
    showSplashCheck->setText(text(txt::kOptShowSplash));
    dateStampCheck->setText(text(txt::kOptDateStamp));
    autoConnectCheck->setText(text(txt::kOptAutoConnect));
    languageLabel->setText(text(txt::kOptLanguage));
    aviFileLabel->setText(text(txt::kOptRecordFile));
    duplicatePictureCheck->setText(text(txt::kOptDuplicatePicture));
    encoderLabel->setText(text(txt::kOptCompressor));
    configureEncoderButton->setText(text(txt::kOptConfigure));
    serverEnabledCheck->setText(text(txt::kOptServerEnabled));
    portLabel->setText(text(txt::kOptPort));
    streamCheck->setText(text(txt::kOptServerStream));
    recordToFileCheck->setText(text(txt::kOptRecordToFile));
    virtualCameraCheck->setText(text(txt::kOptVirtualCamera));
    setWindowTitle(text(txt::kOptTitle));
    okButton->setText(text(txt::kOptOk));
    cancelButton->setText(text(txt::kOptCancel));
    autoSuspendCheck->setText(text(txt::kOptAutoSuspend));
    datedNamesCheck->setText(text(txt::kOptAutoFileName));
    autoFpsCheck->setText(text(txt::kOptAutoFps));
    fpsLabel->setText(text(txt::kOptFps));
    fpsTestButton->setText(text(txt::kOptFpsTest));
    aboutEncoderButton->setText(text(txt::kOptCodecAbout));
    splitMinutesLabel->setText(text(txt::kOptSplitMinutes));
    keepMegabytesLabel->setText(text(txt::kOptKeepMegabytes));
    localOnlyCheck->setText(text(txt::kOptLocalOnly));
    userLabel->setText(text(txt::kOptServerUser));
    passwordLabel->setText(text(txt::kOptServerPassword));
    clearPasswordButton->setText(text(txt::kOptClearPassword));

    const int lighting = lightingList->currentIndex();
    lightingList->clear();
    for (const LangEntry* entry : kLightings)
        lightingList->addItem(text(*entry));
    lightingList->setCurrentIndex(lighting);
}

void OptionsDialog::AutoFpsToggled()
{
    const bool manual = !autoFpsCheck->isChecked();
    fpsEdit->setEnabled(manual);
    fpsTestButton->setEnabled(manual);
}

void OptionsDialog::DatedNamesToggled()
{
    const bool dated = datedNamesCheck->isChecked();
    aviFileEdit->setEnabled(!dated);
    chooseFileButton->setEnabled(!dated);
    aviFolderEdit->setEnabled(dated);
    chooseFolderButton->setEnabled(dated);
}

void OptionsDialog::ChooseAviFile()
{
    SaveRequest request;
    request.fileName = aviFileEdit->text();
    request.filters = QStringList{LangTextAt(languageList->currentIndex(), txt::kOptAviFiles)};
    request.filterIndex = 1;
    request.defaultSuffix = QStringLiteral("avi");
    const std::optional<SaveAnswer> answer = TheDialogs().SaveFile(this, request);
    if (answer && !answer->fileName.isEmpty())
        aviFileEdit->setText(answer->fileName);
}

void OptionsDialog::ChooseAviFolder()
{
    const QString folder = aviFolderEdit->text();
    const QString preselected = !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
    if (const std::optional<QString> chosen = TheDialogs().BrowseFolder(this, preselected))
        aviFolderEdit->setText(*chosen);
}

int OptionsDialog::SelectedCodec() const
{
    // Nothing selected (no encoder at all) is written as -1.
    return encoderList->currentIndex() < 0 ? -1 : encoderList->currentData().toInt();
}

void OptionsDialog::ConfigureEncoder()
{
    const int index = SelectedCodec();
    if (codecs_ && index >= 0)
        codecs_->Configure(this, index);
}

void OptionsDialog::AboutEncoder()
{
    const int index = SelectedCodec();
    if (codecs_ && index >= 0)
        codecs_->About(this, index);
}

void OptionsDialog::MeasureFrameRate()
{
    if (testRunning_)
        return;
    // The messages speak the language chosen in the list, even before OK.
    const int language = languageList->currentIndex();
    // The test switches the camera off at its end: never under a photo or a
    // recording. A recording can start while the dialog is open (the window
    // starts one on connect when asked to), so this is asked again once the
    // user has placed the phone.
    const auto captureRunning = [this, language] {
        if (!captureRunning_ || !captureRunning_())
            return false;
        ShowMessage(LangTextAt(language, txt::kFpsTestBusy));
        return true;
    };
    if (captureRunning())
        return;
    ShowMessage(LangTextAt(language, txt::kStr7PositionPhone));
    if (captureRunning())
        return;

    const int pictureType = settings_.GetJpgType();
    const std::string phoneFile = settings_.GetTempJpgName().toStdString();
    auto run = std::make_shared<RateRun>();
    const bool ended = RunWithInputHeld(run, [pictureType, phoneFile](RateRun& test) {
        test.outcome = TimeOnePicture(phone::PhoneLink::Instance(), pictureType, phoneFile, test.givenUp,
                                      &test.elapsedMs);
    });
    if (!ended)
        return;
    // After any failure the field keeps what it held.
    switch (run->outcome) {
    case RateOutcome::NoPhone: ShowMessage(LangTextAt(language, txt::kStr8NoPhone)); break;
    case RateOutcome::CameraFailed: ShowMessage(LangTextAt(language, txt::kStr9CameraInitFailed)); break;
    case RateOutcome::ShotFailed:
    case RateOutcome::ReadFailed: ShowMessage(LangTextAt(language, txt::kStr10ShotFailed)); break;
    case RateOutcome::Measured: fpsEdit->setText(FormatRate(RateOf(run->elapsedMs))); break;
    }
}

bool OptionsDialog::RunWithInputHeld(const std::shared_ptr<RateRun>& run, std::function<void(RateRun&)> work)
{
    auto* thread = new RateTestThread([run, work = std::move(work)] {
        work(*run);
        if (run->givenUp)
            return;  // nobody waits for it any more
        PostToUiThread([run] {
            run->finished = true;
            if (run->loop)
                run->loop->quit();
        });
    });
    thread->SetFreeOnTerminate(true);
    try {
        thread->Start();
    } catch (const std::system_error& error) {
        delete thread;
        ShowMessage(QString::fromLocal8Bit(error.what()));
        return false;
    }
    testRunning_ = true;
    rateRun_ = run;
    qApp->installEventFilter(this);
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    QEventLoop loop;
    run->loop = &loop;
    if (!run->finished && !run->givenUp)
        loop.exec();
    run->loop = nullptr;
    // The loop also ends when the application leaves its event loops: the
    // test is given up then.
    if (!run->finished)
        run->givenUp = true;
    QGuiApplication::restoreOverrideCursor();
    qApp->removeEventFilter(this);
    rateRun_.reset();
    testRunning_ = false;
    return !run->givenUp;
}

void OptionsDialog::EndTest()
{
    if (!rateRun_)
        return;
    rateRun_->givenUp = true;
    if (rateRun_->loop)
        rateRun_->loop->quit();
    // The dialog may close from now on, before the loop has come back.
    testRunning_ = false;
}

QString OptionsDialog::FormatRate(double framesPerSecond)
{
    return UserNumberLocale().toString(framesPerSecond, 'g', 15);
}

void OptionsDialog::ShowMessage(const QString& text)
{
    const QString caption = parentWidget() ? parentWidget()->window()->windowTitle() : windowTitle();
    TheDialogs().ShowMessage(this, caption, text, MessageKind::Plain);
}

void OptionsDialog::accept()
{
    if (testRunning_)
        return;
    QString error;
    QLineEdit* field = nullptr;
    if (!ReadNumbers(&error, &field)) {
        // Nothing is written and nothing the user typed is lost: the dialog
        // stays open with the field to correct in front.
        ShowMessage(error);
        tabs->setCurrentWidget(field->parentWidget());
        field->setFocus(Qt::OtherFocusReason);
        field->selectAll();
        return;
    }
    // A user name with no password to check would let nobody watch.
    if (!userEdit->text().trimmed().isEmpty() && passwordEdit->text().isEmpty() && NewPasswordHash().isEmpty()) {
        ShowMessage(LangTextAt(languageList->currentIndex(), txt::kOptPasswordNeeded).arg(userEdit->text().trimmed()));
        tabs->setCurrentWidget(serverTab);
        passwordEdit->setFocus(Qt::OtherFocusReason);
        return;
    }
    // A file that takes no settings (read-only, a folder or a pipe at its
    // name, a full disk) is said at once; the dialog stays with every change.
    QString failure;
    if (!SaveSettings(&failure)) {
        ShowMessage(failure);
        return;
    }
    QDialog::accept();
}

void OptionsDialog::RemoveProtection()
{
    userEdit->clear();
    passwordEdit->clear();
    clearProtection_ = true;
}

QString OptionsDialog::NewPasswordHash() const
{
    if (!passwordEdit->text().isEmpty())
        return web::MakePasswordHash(passwordEdit->text());
    return clearProtection_ ? QString() : loadedHash_;
}

void OptionsDialog::done(int result)
{
    // While the phone works the dialog stays; the test ends on its own.
    if (testRunning_)
        return;
    QDialog::done(result);
}

void OptionsDialog::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        Relabel();
        // The box takes its size from the new texts before it is placed.
        layout()->activate();
    }
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        const QWidget* anchor = parentWidget() ? parentWidget() : this;
        if (const QScreen* screen = anchor->screen())
            move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    }
}

void OptionsDialog::closeEvent(QCloseEvent* event)
{
    if (testRunning_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

bool OptionsDialog::eventFilter(QObject* watched, QEvent* event)
{
    // The session ends (or the program is told to quit): the test gives way
    // at once, so that the windows can close.
    if (testRunning_ && event->type() == QEvent::Quit && watched == qApp)
        EndTest();
    if (testRunning_ && IsUserInput(event->type())) {
        if (auto* widget = qobject_cast<QWidget*>(watched); widget && widget->window() == this) {
            event->accept();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace orv
