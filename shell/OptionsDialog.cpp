#include "OptionsDialog.h"

#include "capture/PhoneCapture.h"
#include "platform/Clock.h"
#include "video/CodecCatalogue.h"
#include "Dialogs.h"
#include "texts/LangTexts.h"
#include "phone/PhoneLink.h"
#include "phone/Protocol.h"
#include "config/Settings.h"
#include "platform/SettingsStore.h"
#include "platform/WorkerThread.h"
#include "platform/UiThread.h"
#include "WheelGuard.h"
#include "web/Credentials.h"
#include "video/MotionDetector.h"

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
#include <initializer_list>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>
#include <vector>

namespace orv {
namespace {

// The picture sizes in the order of the phone's codes, each with its pixels
// where its name fixes them. SQVGA ("sub-QVGA") names no one size: it is
// listed by its name alone.
struct PictureType {
    const char* name;
    int width;  // 0: not fixed by the name
    int height;
};
constexpr PictureType kPictureTypes[] = {{"VGA", 640, 480},   {"QVGA", 320, 240},  {"SQVGA", 0, 0},
                                         {"QQVGA", 160, 120}, {"QQQVGA", 80, 60},  {"CIF", 352, 288},
                                         {"QCIF", 176, 144},  {"SQCIF", 128, 96},  {"4VGA", 1280, 960},
                                         {"SXGA", 1280, 1024}, {"UXGA", 1600, 1200}};
static_assert(std::size(kPictureTypes) == phone::proto::kResolutionCount);
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

QLocale UserNumberLocale();

// A setting shown by one control of the dialog: the setting's accessors, the
// control's member and, for the few that need more than the control's plain
// value, the dialog's own code that shows and reads it.
template <typename ControlType, typename ValueType>
struct Binding {
    using Control = ControlType;
    using Value = ValueType;
    // A field for a number, checked at OK while it is enabled.
    static constexpr bool kNumberField = std::is_same_v<Control, QLineEdit> && !std::is_same_v<Value, QString>;

    Value (Settings::*get)() const;
    void (Settings::*set)(const Value&);
    Control* OptionsDialog::*control;
    void (OptionsDialog::*show)(const Value&) = nullptr;
    Value (OptionsDialog::*read)() const = nullptr;
};
using AnyBinding = std::variant<Binding<QCheckBox, bool>, Binding<QLineEdit, QString>, Binding<QLineEdit, int32_t>,
                                Binding<QLineEdit, double>, Binding<QComboBox, int32_t>, Binding<QSpinBox, int32_t>,
                                Binding<QTabWidget, int32_t>>;

// A value in its control. A list position outside the list leaves it
// without a selection; a spin box keeps a value inside its range; a tab
// outside the tabs leaves the first.
void Show(QCheckBox* box, bool on) { box->setChecked(on); }
void Show(QLineEdit* field, const QString& text) { field->setText(text); }
void Show(QLineEdit* field, int32_t milliseconds) { field->setText(QString::number(milliseconds)); }
void Show(QLineEdit* field, double rate) { field->setText(OptionsDialog::FormatRate(rate)); }
void Show(QComboBox* list, int32_t position) { list->setCurrentIndex(position); }
void Show(QSpinBox* spin, int32_t value) { spin->setValue(value); }
void Show(QTabWidget* tabs, int32_t index) { tabs->setCurrentIndex(index); }

// The value a control holds; false when a number field holds no number of
// its range. A list without a selection holds -1.
bool Read(const QCheckBox* box, bool* on) { *on = box->isChecked(); return true; }
bool Read(const QLineEdit* field, QString* text) { *text = field->text(); return true; }
bool Read(const QComboBox* list, int32_t* position) { *position = list->currentIndex(); return true; }
bool Read(const QSpinBox* spin, int32_t* value) { *value = spin->value(); return true; }
bool Read(const QTabWidget* tabs, int32_t* index) { *index = tabs->currentIndex(); return true; }
// A waiting time: a whole number of milliseconds, 0 or more.
bool Read(const QLineEdit* field, int32_t* milliseconds)
{
    bool ok = false;
    *milliseconds = field->text().trimmed().toInt(&ok, 10);
    return ok && *milliseconds >= 0;
}
// A frame rate in the user's locale: infinity and NaN are none, and neither
// is 0 or less.
bool Read(const QLineEdit* field, double* rate)
{
    bool ok = false;
    *rate = UserNumberLocale().toDouble(field->text().trimmed(), &ok);
    return ok && std::isfinite(*rate) && *rate > 0;
}

// Whether a whole number lies within a field's largest value; a rate has
// none.
bool WithinMost(int32_t value, int32_t most) { return value <= most; }
bool WithinMost(double, int32_t) { return true; }

// Why a number field's text is refused, in the language at index; name is
// the field's label, most its largest value.
QString NotANumber(int language, const QString& name, const QString& text, int32_t, int32_t most)
{
    return LangTextAt(language, txt::kNumberRange).arg(name, text, QStringLiteral("0"), QString::number(most));
}
QString NotANumber(int language, const QString& name, const QString& text, double, int32_t)
{
    return LangTextAt(language, txt::kNumberAboveZero).arg(name, text);
}

// A member of the dialog and its object name.
#define ORV_MEMBER(member) &OptionsDialog::member, #member
// A setting and its control: the setting's accessors and the control's member.
#define ORV_SHOWN(setting, control) \
    #setting, Binding{&Settings::Get##setting, &Settings::Set##setting, &OptionsDialog::control}, #control
// The same, with the dialog's own code that shows and reads the value.
#define ORV_SHOWN_BY(setting, control, show, read)                                                        \
    #setting,                                                                                               \
        Binding{&Settings::Get##setting, &Settings::Set##setting, &OptionsDialog::control, &OptionsDialog::show, \
                &OptionsDialog::read},                                                                      \
        #control

// Whether the rows name settings in the order of ORV_SETTINGS, each once
// (settings the dialog does not show are passed over).
template <typename Rows>
constexpr bool InOrderOfSettings(const Rows& rows)
{
    size_t next = 0;
    for (const auto& row : rows) {
        while (next < std::size(kSettingNames) && std::string_view(row.setting) != kSettingNames[next])
            ++next;
        if (next == std::size(kSettingNames))
            return false;
        ++next;
    }
    return true;
}

// The tab pages and the buttons beside the settings, with their captions
// (none: ">>" in every language).
struct TabRow {
    QWidget* OptionsDialog::*page;
    const char* name;
    const LangEntry* caption;
};
constexpr TabRow kTabs[] = {{ORV_MEMBER(phoneTab), &txt::kOptPhoneTab},
                            {ORV_MEMBER(programTab), &txt::kOptProgramTab},
                            {ORV_MEMBER(videoTab), &txt::kOptVideoTab},
                            {ORV_MEMBER(serverTab), &txt::kOptServerTab}};
struct ButtonRow {
    QPushButton* OptionsDialog::*button;
    const char* name;
    const LangEntry* caption;
};
constexpr ButtonRow kButtons[] = {
    {ORV_MEMBER(chooseFolderButton), nullptr},         {ORV_MEMBER(chooseFileButton), nullptr},
    {ORV_MEMBER(fpsTestButton), &txt::kOptFpsTest},     {ORV_MEMBER(configureEncoderButton), &txt::kOptConfigure},
    {ORV_MEMBER(aboutEncoderButton), &txt::kOptCodecAbout}, {ORV_MEMBER(clearPasswordButton), &txt::kOptClearPassword},
};

// A row's caption on its label, or on its check box when it has no label.
void SetCaption(QWidget* control, QLabel* label, const QString& caption)
{
    if (label)
        label->setText(caption);
    else if (auto* box = qobject_cast<QCheckBox*>(control))
        box->setText(caption);
}

// A number field named by its label as the dialog shows it.
QString FieldName(const QLabel* label)
{
    QString name = label->text().trimmed();
    while (name.endsWith(QLatin1Char(':')))
        name.chop(1);
    return name.trimmed();
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
    // Relabel gives the title and every caption its language.
    setWindowTitle(QString::fromUtf8(txt::kOptTitle.builtIn));
    MakeControls();
    for (const TabRow& tab : kTabs)
        tabs->addTab(this->*tab.page = Named(new QWidget, tab.name), QString::fromUtf8(tab.caption->builtIn));
    BuildPhoneTab();
    BuildProgramTab();
    BuildVideoTab();
    BuildServerTab();

    okButton = Named(new QPushButton(QString::fromUtf8(txt::kOptOk.builtIn)), "okButton");
    cancelButton = Named(new QPushButton(QString::fromUtf8(txt::kOptCancel.builtIn)), "cancelButton");
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
    connect(recordOnMotionCheck, &QCheckBox::toggled, this, &OptionsDialog::RecordOnMotionToggled);
    connect(chooseFileButton, &QPushButton::clicked, this, &OptionsDialog::ChooseAviFile);
    connect(fpsTestButton, &QPushButton::clicked, this, &OptionsDialog::MeasureFrameRate);
    connect(configureEncoderButton, &QPushButton::clicked, this, &OptionsDialog::ConfigureEncoder);
    connect(aboutEncoderButton, &QPushButton::clicked, this, &OptionsDialog::AboutEncoder);
    connect(chooseFolderButton, &QPushButton::clicked, this, &OptionsDialog::ChooseAviFolder);
    connect(clearPasswordButton, &QPushButton::clicked, this, &OptionsDialog::RemoveProtection);
    AutoFpsToggled();
    DatedNamesToggled();
    RecordOnMotionToggled();
    GuardWheel(this);
}

OptionsDialog::~OptionsDialog() = default;

// One setting of the dialog: how its value goes between the setting and its
// control, the control's object name (that of its member), and the text that
// names it: a check box's own text, or that of the label before the control.
struct OptionsDialog::Row {
    const char* setting;  // as ORV_SETTINGS names it
    AnyBinding binding;
    const char* controlName;
    const LangEntry* caption = nullptr;
    QLabel* OptionsDialog::*label = nullptr;
    const char* labelName = nullptr;
    // A field of a whole number: its largest value (the least is 0).
    int32_t most = std::numeric_limits<int32_t>::max();
};

std::span<const OptionsDialog::Row> OptionsDialog::Rows()
{
    static constexpr Row kRows[] = {
        {ORV_SHOWN(TempJpgName, phoneFileEdit), &txt::kOptTempFile, ORV_MEMBER(phoneFileLabel)},
        {ORV_SHOWN(AutoSuspendMode, autoSuspendCheck), &txt::kOptAutoSuspend},
        {ORV_SHOWN(JpgType, pictureSizeList), &txt::kOptPictureType, ORV_MEMBER(pictureSizeLabel)},
        {ORV_SHOWN(Timeout, shotTimeoutEdit), &txt::kOptShotTimeout, ORV_MEMBER(shotTimeoutLabel)},
        {ORV_SHOWN(CloseToTray, closeToTrayCheck), &txt::kOptCloseToTray},
        {ORV_SHOWN(AutoRestart, autoRestartCheck), &txt::kOptAutoRestart},
        {ORV_SHOWN(AutoFormResize, autoResizeCheck), &txt::kOptAutoFormResize},
        {ORV_SHOWN(ShowSplash, showSplashCheck), &txt::kOptShowSplash},
        {ORV_SHOWN(AviTempName, aviFileEdit), &txt::kOptRecordFile, ORV_MEMBER(aviFileLabel)},
        {ORV_SHOWN(Fps, fpsEdit), &txt::kOptFps, ORV_MEMBER(fpsLabel)},
        {ORV_SHOWN(DuplicatePicture, duplicatePictureCheck), &txt::kOptDuplicatePicture},
        {ORV_SHOWN_BY(CodecIndex, encoderList, ShowEncoders, SelectedCodec), &txt::kOptCompressor,
         ORV_MEMBER(encoderLabel)},
        {ORV_SHOWN(OptionsTabIndex, tabs)},
        {ORV_SHOWN(PrintDateOnImage, dateStampCheck), &txt::kOptDateStamp},
        {ORV_SHOWN(CameraInitTime, cameraInitEdit), &txt::kOptInitTimeout, ORV_MEMBER(cameraInitLabel)},
        {ORV_SHOWN(AmbientLight, lightingList), &txt::kOptLighting, ORV_MEMBER(lightingLabel)},
        {ORV_SHOWN(Expose, exposureList), &txt::kOptExposure, ORV_MEMBER(exposureLabel)},
        {ORV_SHOWN(AutoFps, autoFpsCheck), &txt::kOptAutoFps},
        {ORV_SHOWN(AutoAviFileName, datedNamesCheck), &txt::kOptAutoFileName},
        {ORV_SHOWN(AviFolder, aviFolderEdit)},  // datedNamesCheck stands before it
        {ORV_SHOWN(ServerEnabled, serverEnabledCheck), &txt::kOptServerEnabled},
        {ORV_SHOWN(ServerPort, portSpin), &txt::kOptPort, ORV_MEMBER(portLabel)},
        {ORV_SHOWN(AutoPhoneConnect, autoConnectCheck), &txt::kOptAutoConnect},
        {ORV_SHOWN(LangIndex, languageList), &txt::kOptLanguage, ORV_MEMBER(languageLabel)},
        {ORV_SHOWN(ServerStream, streamCheck), &txt::kOptServerStream},
        {ORV_SHOWN(RecordToFile, recordToFileCheck), &txt::kOptRecordToFile},
        {ORV_SHOWN(VirtualCamera, virtualCameraCheck), &txt::kOptVirtualCamera},
        {ORV_SHOWN(AviSplitMinutes, splitMinutesSpin), &txt::kOptSplitMinutes, ORV_MEMBER(splitMinutesLabel)},
        {ORV_SHOWN(AviKeepMegabytes, keepMegabytesSpin), &txt::kOptKeepMegabytes, ORV_MEMBER(keepMegabytesLabel)},
        {ORV_SHOWN(ServerLocalOnly, localOnlyCheck), &txt::kOptLocalOnly},
        {ORV_SHOWN_BY(ServerUser, userEdit, ShowUserName, UserName), &txt::kOptServerUser, ORV_MEMBER(userLabel)},
        {ORV_SHOWN_BY(ServerPasswordHash, passwordEdit, KeepStoredHash, NewPasswordHash), &txt::kOptServerPassword,
         ORV_MEMBER(passwordLabel)},
        {ORV_SHOWN(RecordOnMotion, recordOnMotionCheck), &txt::kOptRecordOnMotion},
        {ORV_SHOWN(MotionThreshold, motionThresholdEdit), &txt::kOptMotionThreshold, ORV_MEMBER(motionThresholdLabel),
         video::MotionPlan::kMaxThreshold},
        {ORV_SHOWN(MotionKeepSeconds, motionKeepEdit), &txt::kOptMotionKeep, ORV_MEMBER(motionKeepLabel),
         static_cast<int32_t>(video::MotionPlan::kMaxKeepSeconds)},
    };
    // OK writes the settings in the order of the rows.
    static_assert(InOrderOfSettings(kRows), "the rows follow ORV_SETTINGS");
    return kRows;
}

#undef ORV_SHOWN_BY
#undef ORV_SHOWN
#undef ORV_MEMBER

QWidget* OptionsDialog::ControlOf(const Row& row) const
{
    return std::visit([this](const auto& binding) -> QWidget* { return this->*binding.control; }, row.binding);
}

void OptionsDialog::MakeControls()
{
    for (const Row& row : Rows()) {
        QWidget* control = std::visit(
            [this](const auto& binding) -> QWidget* {
                using Control = typename std::decay_t<decltype(binding)>::Control;
                return this->*binding.control = new Control;
            },
            row.binding);
        control->setObjectName(QLatin1String(row.controlName));
        QLabel* label = nullptr;
        if (row.label) {
            label = this->*row.label = Named(new QLabel, row.labelName);
            // Language files supply these texts: never read them as markup.
            label->setTextFormat(Qt::PlainText);
            label->setBuddy(control);
        }
        if (row.caption)
            SetCaption(control, label, QString::fromUtf8(row.caption->builtIn));
    }
    for (const ButtonRow& row : kButtons) {
        auto* button = this->*row.button = Named(new QPushButton, row.name);
        button->setText(row.caption ? QString::fromUtf8(row.caption->builtIn) : QStringLiteral(">>"));
        button->setAutoDefault(false);
    }
}

void OptionsDialog::BuildPhoneTab()
{
    for (const PictureType& type : kPictureTypes) {
        const QString name = QLatin1String(type.name);
        pictureSizeList->addItem(type.width ? QStringLiteral("%1 (%2\u00d7%3)").arg(name).arg(type.width).arg(type.height)
                                            : name);
    }
    for (const LangEntry* lighting : kLightings)
        lightingList->addItem(QString::fromUtf8(lighting->builtIn));
    for (const char* exposure : kExposures)
        exposureList->addItem(QLatin1String(exposure));

    auto* grid = new QGridLayout(phoneTab);
    const std::pair<QLabel*, QWidget*> lines[] = {{phoneFileLabel, phoneFileEdit}, {pictureSizeLabel, pictureSizeList}, {shotTimeoutLabel, shotTimeoutEdit},
                                                  {cameraInitLabel, cameraInitEdit}, {lightingLabel, lightingList}, {exposureLabel, exposureList}};
    int row = 0;
    for (const auto& [label, field] : lines) {
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
    splitMinutesSpin->setRange(0, std::numeric_limits<int>::max());
    keepMegabytesSpin->setRange(0, std::numeric_limits<int>::max());
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
    grid->addWidget(recordOnMotionCheck, row++, 0, 1, 3);
    grid->addWidget(motionThresholdLabel, row, 0);
    grid->addWidget(motionThresholdEdit, row++, 1);
    grid->addWidget(motionKeepLabel, row, 0);
    grid->addWidget(motionKeepEdit, row++, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
}

void OptionsDialog::BuildServerTab()
{
    portSpin->setRange(kMinPort, kMaxPort);
    portSpin->setWrapping(false);
    // Never shown, and kept out of the clipboard and of input history.
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);

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
    // The language list: the built-in language, then the files in the order
    // of every lookup, so that a position is a language index.
    languageList->clear();
    languageList->addItems(LanguageNames());
    for (const Row& row : Rows()) {
        std::visit(
            [this](const auto& binding) {
                const auto value = (settings_.*binding.get)();
                if (binding.show)
                    (this->*binding.show)(value);
                else
                    Show(this->*binding.control, value);
            },
            row.binding);
    }
}

void OptionsDialog::ShowEncoders(const int& codec)
{
    // The encoders in the order a newcomer chooses from, each item holding
    // its catalogue position: the stored value keeps naming its encoder. A
    // value past the catalogue selects its first encoder.
    encoderList->clear();
    const int known = codec < (codecs_ ? codecs_->Count() : 0) ? codec : 0;
    if (codecs_) {
        for (const video::CodecCatalogue::Listed& listed : codecs_->Listing(known))
            encoderList->addItem(CodecCaption(listed, settings_.GetLangIndex()), listed.index);
    }
    encoderList->setCurrentIndex(std::max(0, encoderList->findData(known)));
}

void OptionsDialog::ShowUserName(const QString& user) { userEdit->setText(user); }

QString OptionsDialog::UserName() const { return userEdit->text().trimmed(); }

void OptionsDialog::KeepStoredHash(const QString& hash)
{
    passwordEdit->clear();
    loadedHash_ = hash;
    clearProtection_ = false;
}

QLineEdit* OptionsDialog::InvalidNumberField(QString* message) const
{
    const int language = languageList->currentIndex();
    // In the order in which the settings are written.
    for (const Row& row : Rows()) {
        QLineEdit* invalid = std::visit(
            [&](const auto& binding) -> QLineEdit* {
                using Bound = std::decay_t<decltype(binding)>;
                if constexpr (Bound::kNumberField) {
                    QLineEdit* field = this->*binding.control;
                    typename Bound::Value value{};
                    // A disabled field is not in use (fps under Auto fps).
                    if (!field->isEnabled() || (Read(field, &value) && WithinMost(value, row.most)))
                        return nullptr;
                    if (message)
                        *message = NotANumber(language, FieldName(this->*row.label), field->text(), value, row.most);
                    return field;
                }
                return nullptr;
            },
            row.binding);
        if (invalid)
            return invalid;
    }
    return nullptr;
}

bool OptionsDialog::SaveSettings(QString* failure)
{
    if (InvalidNumberField(nullptr))
        return false;
    reg::TakeWriteFailure();
    for (const Row& row : Rows()) {
        std::visit(
            [this, &row](const auto& binding) {
                using Bound = std::decay_t<decltype(binding)>;
                typename Bound::Value value{};
                bool taken = true;
                if (binding.read) {
                    value = (this->*binding.read)();
                } else {
                    taken = Read(this->*binding.control, &value);
                    if constexpr (Bound::kNumberField)
                        taken = taken && WithinMost(value, row.most);
                }
                if (!taken)
                    value = (settings_.*binding.get)();  // a disabled field without a number in range
                (settings_.*binding.set)(value);
            },
            row.binding);
    }
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
    setWindowTitle(text(txt::kOptTitle));
    for (const TabRow& tab : kTabs)
        tabs->setTabText(tabs->indexOf(this->*tab.page), text(*tab.caption));
    for (const Row& row : Rows()) {
        if (row.caption)
            SetCaption(ControlOf(row), row.label ? this->*row.label : nullptr, text(*row.caption));
    }
    for (const ButtonRow& row : kButtons) {
        if (row.caption)
            (this->*row.button)->setText(text(*row.caption));
    }
    okButton->setText(text(txt::kOptOk));
    cancelButton->setText(text(txt::kOptCancel));

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

void OptionsDialog::RecordOnMotionToggled()
{
    const bool onMotion = recordOnMotionCheck->isChecked();
    for (QWidget* control : std::initializer_list<QWidget*>{motionThresholdLabel, motionThresholdEdit, motionKeepLabel,
                                                           motionKeepEdit})
        control->setEnabled(onMotion);
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
    const int language = languageList->currentIndex();
    QString error;
    if (QLineEdit* field = InvalidNumberField(&error)) {
        // Nothing is written and nothing the user typed is lost: the dialog
        // stays open with the field to correct in front.
        ShowMessage(error);
        tabs->setCurrentWidget(field->parentWidget());
        field->setFocus(Qt::OtherFocusReason);
        field->selectAll();
        return;
    }
    // A name the server could never match, refused as --set-password
    // refuses it.
    if (web::CheckUserName(UserName()) != web::UserNameFault::None) {
        ShowMessage(LangTextAt(language, txt::kUserNameUnusable));
        tabs->setCurrentWidget(serverTab);
        userEdit->setFocus(Qt::OtherFocusReason);
        return;
    }
    // A user name with no password to check would let nobody watch.
    if (!UserName().isEmpty() && passwordEdit->text().isEmpty() && NewPasswordHash().isEmpty()) {
        ShowMessage(LangTextAt(language, txt::kOptPasswordNeeded).arg(UserName()));
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
