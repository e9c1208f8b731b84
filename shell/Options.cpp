#include "Options.h"

#include "platform/Clock.h"
#include "video/Codecs.h"
#include "Dialogs.h"
#include "texts/LangTexts.h"
#include "phone/PhoneLink.h"
#include "config/Settings.h"
#include "platform/SettingsStore.h"
#include "platform/TThread.h"
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
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace orv {
namespace {

// The download buffer of the frame-rate test; the read may grow it.
constexpr size_t kTestBufferSize = 131072;

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

// Runs on a worker thread. Switches the camera on, takes one picture, reads
// and deletes it, switches the camera off, and gives the milliseconds from
// the shot to the switch-off. Nothing is shown from here: the dialog tells
// the user how it went once the camera is off again, so no message box ever
// stands between the shot and the end of the measurement.
RateOutcome TimeOnePicture(phone::PhoneLink& link, int pictureType, const std::string& phoneFile,
                           const std::atomic<bool>& givenUp, uint32_t* elapsedMs)
{
    std::vector<uint8_t> buffer;
    buffer.reserve(kTestBufferSize);
    if (!link.IsConnected())
        return RateOutcome::NoPhone;
    // One capture: its commands never mix with those of a photo or of a
    // recording's frame on the phone's one camera and open file.
    std::lock_guard turn(link.CaptureTurn());
    if (link.CameraOn(static_cast<uint8_t>(pictureType)) != phone::kOk)
        return RateOutcome::CameraFailed;
    const uint32_t start = TheClock().TickCount();
    RateOutcome outcome = RateOutcome::ShotFailed;
    // The file is read without being opened first: the phone decides
    // whether that works, and a failed read is reported. Once the test is
    // given up, no further file command goes out.
    if (!givenUp && link.TakePicture(phoneFile) == phone::kOk && !givenUp) {
        int32_t total = 0;
        outcome = RateOutcome::ReadFailed;
        if (link.ReadPhoneFile(buffer, total) == phone::kOk && !givenUp) {
            link.ClosePhoneFile();
            link.DeletePhoneFile(phoneFile);
            outcome = RateOutcome::Measured;
        }
    }
    link.CameraOff();
    *elapsedMs = TheClock().TickCount() - start;
    return outcome;
}

// The worker of one frame-rate test: a thread of the program's own, so that
// the program's end knows it is there and never waits for it.
class RateTestThread final : public TThread {
public:
    explicit RateTestThread(std::function<void()> body) : body_(std::move(body)) {}

protected:
    void Run() override { body_(); }

private:
    std::function<void()> body_;
};
// An encoder's line in the list, in the language at index.
QString CodecCaption(const video::TCodecs::Listed& listed, int language)
{
    switch (listed.kind) {
    case video::TCodecs::Listed::Kind::Lossless: return LangTextAt(language, txt::kCodecLossless).arg(listed.name);
    case video::TCodecs::Listed::Kind::Uncompressed: return LangTextAt(language, txt::kCodecUncompressed);
    case video::TCodecs::Listed::Kind::Plain: break;
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
struct TOptionsDlg::RateRun {
    std::atomic<bool> givenUp{false};
    // Written by the worker before it hands the run back.
    RateOutcome outcome = RateOutcome::NoPhone;
    uint32_t elapsedMs = 0;
    // User-interface thread only.
    bool finished = false;
    QEventLoop* loop = nullptr;
};

TOptionsDlg::TOptionsDlg(QWidget* parent, Settings& settings, video::TCodecs* codecs,
                         std::function<bool()> captureRunning)
    : QDialog(parent), settings_(settings), codecs_(codecs), captureRunning_(std::move(captureRunning))
{
    setObjectName(QStringLiteral("OptionsDlg"));
    setWindowTitle(QStringLiteral("Настройки"));

    PageControl1 = Named(new QTabWidget, "PageControl1");
    TabSheet1 = Named(new QWidget, "TabSheet1");
    TabSheet2 = Named(new QWidget, "TabSheet2");
    TabSheet3 = Named(new QWidget, "TabSheet3");
    TabSheet4 = Named(new QWidget, "TabSheet4");
    PageControl1->addTab(TabSheet1, QStringLiteral("Телефон"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Программа"));
    PageControl1->addTab(TabSheet3, QStringLiteral("Видео"));
    PageControl1->addTab(TabSheet4, QStringLiteral("Сервер"));
    BuildPhoneTab();
    BuildProgramTab();
    BuildVideoTab();
    BuildServerTab();

    // FormShow gives the title, these and the other captions their language.
    OKBtn = Named(new QPushButton(QStringLiteral("OK")), "OKBtn");
    CancelBtn = Named(new QPushButton(QStringLiteral("Cancel")), "CancelBtn");
    OKBtn->setDefault(true);
    connect(OKBtn, &QPushButton::clicked, this, &TOptionsDlg::accept);
    // Escape and the close box reject the dialog as Cancel does.
    connect(CancelBtn, &QPushButton::clicked, this, &TOptionsDlg::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl1);
    layout->addLayout(buttons);
    // A fixed-size box that takes the size its texts need in any language.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(CheckBox8, &QCheckBox::toggled, this, &TOptionsDlg::CheckBox8Click);
    connect(CheckBox9, &QCheckBox::toggled, this, &TOptionsDlg::CheckBox9Click);
    connect(Button1, &QPushButton::clicked, this, &TOptionsDlg::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TOptionsDlg::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TOptionsDlg::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &TOptionsDlg::Button4Click);
    connect(Button6, &QPushButton::clicked, this, &TOptionsDlg::Button6Click);
    connect(Button7, &QPushButton::clicked, this, &TOptionsDlg::Button7Click);
    CheckBox8Click();
    CheckBox9Click();
    GuardWheel(this);
}

TOptionsDlg::~TOptionsDlg() = default;

void TOptionsDlg::BuildPhoneTab()
{
    Edit1 = Named(new QLineEdit, "Edit1");
    ComboBox1 = MakeList("ComboBox1");
    for (const PictureType& type : kPictureTypes)
        ComboBox1->addItem(QStringLiteral("%1 (%2\u00d7%3)").arg(QLatin1String(type.name)).arg(type.width).arg(type.height));
    Edit2 = Named(new QLineEdit, "Edit2");
    Edit5 = Named(new QLineEdit, "Edit5");
    ComboBox4 = MakeList("ComboBox4");
    for (const LangEntry* lighting : kLightings)
        ComboBox4->addItem(QString::fromUtf8(lighting->builtIn));
    ComboBox3 = MakeList("ComboBox3");
    for (const char* exposure : kExposures)
        ComboBox3->addItem(QLatin1String(exposure));
    Label1 = MakeLabel("Label1", "Временно сохранять в:", Edit1);
    Label2 = MakeLabel("Label2", "Тип картинки:", ComboBox1);
    Label3 = MakeLabel("Label3", "Таймаут после съёмки:", Edit2);
    Label7 = MakeLabel("Label7", "Таймаут инициализации:", Edit5);
    Label8 = MakeLabel("Label8", "Состояния освещения:", ComboBox4);
    Label9 = MakeLabel("Label9", "Экспозиция:", ComboBox3);
    CheckBox1 = MakeCheckBox("CheckBox1", "Auto Suspend mode");

    auto* grid = new QGridLayout(TabSheet1);
    const std::pair<QLabel*, QWidget*> rows[] = {{Label1, Edit1}, {Label2, ComboBox1}, {Label3, Edit2},
                                                 {Label7, Edit5}, {Label8, ComboBox4}, {Label9, ComboBox3}};
    int row = 0;
    for (const auto& [label, field] : rows) {
        grid->addWidget(label, row, 0);
        grid->addWidget(field, row, 1);
        ++row;
    }
    grid->addWidget(CheckBox1, row++, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
}

void TOptionsDlg::BuildProgramTab()
{
    CheckBox2 = MakeCheckBox("CheckBox2", "Сворачивать в трей");
    CheckBox3 = MakeCheckBox("CheckBox3", "Авто перезагрузка телефона при выходе из программы ");
    CheckBox4 = MakeCheckBox("CheckBox4", "Авто размер формы");
    CheckBox5 = MakeCheckBox("CheckBox5", "Показывать заставку при старте");
    CheckBox7 = MakeCheckBox("CheckBox7", "Подписывать снимки");
    CheckBox11 = MakeCheckBox("CheckBox11", "Авто подключение телефона");
    ComboBox5 = MakeList("ComboBox5");
    Label11 = MakeLabel("Label11", "Язык: ", ComboBox5);

    auto* grid = new QGridLayout(TabSheet2);
    int row = 0;
    for (QCheckBox* box : {CheckBox2, CheckBox3, CheckBox4, CheckBox5, CheckBox7, CheckBox11})
        grid->addWidget(box, row++, 0, 1, 2);
    grid->addWidget(Label11, row, 0);
    grid->addWidget(ComboBox5, row++, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
}

void TOptionsDlg::BuildVideoTab()
{
    CheckBox9 = MakeCheckBox("CheckBox9", "Auto file name:");
    Edit6 = Named(new QLineEdit, "Edit6");
    Button6 = MakeButton("Button6", ">>");
    Edit3 = Named(new QLineEdit, "Edit3");
    Label4 = MakeLabel("Label4", "Записывать в файл:", Edit3);
    Button1 = MakeButton("Button1", ">>");
    CheckBox8 = MakeCheckBox("CheckBox8", "Auto fps");
    Edit4 = Named(new QLineEdit, "Edit4");
    Label5 = MakeLabel("Label5", "fps:", Edit4);
    Button2 = MakeButton("Button2", ">>TEST<<");
    CheckBox6 = MakeCheckBox("CheckBox6", "Дублировать картинку на экран во время съёмки");
    ComboBox2 = MakeList("ComboBox2");
    Label6 = MakeLabel("Label6", "Компрессор:", ComboBox2);
    Button3 = MakeButton("Button3", "Настроить");
    Button4 = MakeButton("Button4", "About");
    CheckBox13 = MakeCheckBox("CheckBox13", txt::kOptRecordToFile.builtIn);
    CheckBox14 = MakeCheckBox("CheckBox14", txt::kOptVirtualCamera.builtIn);
    SpinEdit1 = Named(new QSpinBox, "SpinEdit1");
    SpinEdit1->setRange(0, std::numeric_limits<int>::max());
    Label12 = MakeLabel("Label12", txt::kOptSplitMinutes.builtIn, SpinEdit1);
    SpinEdit2 = Named(new QSpinBox, "SpinEdit2");
    SpinEdit2->setRange(0, std::numeric_limits<int>::max());
    Label13 = MakeLabel("Label13", txt::kOptKeepMegabytes.builtIn, SpinEdit2);

    // Paths are long: the fields get room for a typical one.
    const int pathWidth = fontMetrics().horizontalAdvance(QStringLiteral("/home/someone/Videos/recording.avi"));
    Edit6->setMinimumWidth(pathWidth);
    Edit3->setMinimumWidth(pathWidth);

    auto* grid = new QGridLayout(TabSheet3);
    int row = 0;
    grid->addWidget(CheckBox9, row, 0);
    grid->addWidget(Edit6, row, 1);
    grid->addWidget(Button6, row++, 2);
    grid->addWidget(Label4, row, 0);
    grid->addWidget(Edit3, row, 1);
    grid->addWidget(Button1, row++, 2);
    grid->addWidget(CheckBox8, row++, 0, 1, 3);
    auto* rate = new QHBoxLayout;
    Edit4->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000.00000000000")));
    rate->addWidget(Edit4);
    rate->addWidget(Button2);
    rate->addStretch(1);
    grid->addWidget(Label5, row, 0);
    grid->addLayout(rate, row++, 1, 1, 2);
    grid->addWidget(CheckBox6, row++, 0, 1, 3);
    grid->addWidget(Label6, row, 0);
    grid->addWidget(ComboBox2, row++, 1, 1, 2);
    auto* compressor = new QHBoxLayout;
    compressor->addStretch(1);
    compressor->addWidget(Button3);
    compressor->addWidget(Button4);
    grid->addLayout(compressor, row++, 1, 1, 2);
    grid->addWidget(CheckBox13, row++, 0, 1, 3);
    grid->addWidget(CheckBox14, row++, 0, 1, 3);
    grid->addWidget(Label12, row, 0);
    grid->addWidget(SpinEdit1, row++, 1);
    grid->addWidget(Label13, row, 0);
    grid->addWidget(SpinEdit2, row++, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
}

void TOptionsDlg::BuildServerTab()
{
    CheckBox10 = MakeCheckBox("CheckBox10", "Запускать сервер");
    Edit7 = Named(new QSpinBox, "Edit7");
    Edit7->setRange(kMinPort, kMaxPort);
    Edit7->setWrapping(false);
    Label10 = MakeLabel("Label10", "Порт: ", Edit7);
    CheckBox12 = MakeCheckBox("CheckBox12", txt::kOptServerStream.builtIn);
    CheckBox15 = MakeCheckBox("CheckBox15", txt::kOptLocalOnly.builtIn);
    Edit8 = Named(new QLineEdit, "Edit8");
    Label14 = MakeLabel("Label14", txt::kOptServerUser.builtIn, Edit8);
    Edit9 = Named(new QLineEdit, "Edit9");
    // Never shown, and kept out of the clipboard and of input history.
    Edit9->setEchoMode(QLineEdit::Password);
    Edit9->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    Label15 = MakeLabel("Label15", txt::kOptServerPassword.builtIn, Edit9);
    Button7 = MakeButton("Button7", txt::kOptClearPassword.builtIn);

    auto* grid = new QGridLayout(TabSheet4);
    grid->addWidget(CheckBox10, 0, 0, 1, 3);
    grid->addWidget(Label10, 1, 0);
    grid->addWidget(Edit7, 1, 1);
    grid->addWidget(CheckBox12, 2, 0, 1, 3);
    grid->addWidget(CheckBox15, 3, 0, 1, 3);
    grid->addWidget(Label14, 4, 0);
    grid->addWidget(Edit8, 4, 1, 1, 2);
    grid->addWidget(Label15, 5, 0);
    grid->addWidget(Edit9, 5, 1, 1, 2);
    grid->addWidget(Button7, 6, 1);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(7, 1);
}

void TOptionsDlg::LoadSettings()
{
    // A tab position outside 0 to 3 leaves the first tab selected.
    PageControl1->setCurrentIndex(settings_.GetOptionsTabIndex());

    // A stored list position outside a list leaves it without a selection,
    // and OK then writes -1.
    Edit1->setText(settings_.GetTempJpgName());
    CheckBox1->setChecked(settings_.GetAutoSuspendMode());
    ComboBox1->setCurrentIndex(settings_.GetJpgType());
    // The encoders in the order a newcomer chooses from, each item holding
    // its catalogue position: the stored value keeps naming its encoder.
    ComboBox2->clear();
    const int codecCount = codecs_ ? codecs_->Count() : 0;
    const int codec = settings_.GetCodecIndex();
    if (codecs_) {
        for (const video::TCodecs::Listed& listed : codecs_->Listing(codec < codecCount ? codec : 0))
            ComboBox2->addItem(CodecCaption(listed, settings_.GetLangIndex()), listed.index);
    }
    ComboBox2->setCurrentIndex(std::max(0, ComboBox2->findData(codec < codecCount ? codec : 0)));
    Edit2->setText(QString::number(settings_.GetTimeout()));
    CheckBox2->setChecked(settings_.GetCloseToTray());
    CheckBox3->setChecked(settings_.GetAutoRestart());
    CheckBox4->setChecked(settings_.GetAutoFormResize());
    CheckBox5->setChecked(settings_.GetShowSplash());
    Edit3->setText(settings_.GetAviTempName());
    Edit4->setText(FormatRate(settings_.GetFps()));
    CheckBox6->setChecked(settings_.GetDuplicatePicture());
    CheckBox7->setChecked(settings_.GetPrintDateOnImage());
    Edit5->setText(QString::number(settings_.GetCameraInitTime()));
    ComboBox4->setCurrentIndex(settings_.GetAmbientLight());
    ComboBox3->setCurrentIndex(settings_.GetExpose());
    CheckBox8->setChecked(settings_.GetAutoFps());
    CheckBox9->setChecked(settings_.GetAutoAviFileName());
    Edit6->setText(settings_.GetAviFolder());
    CheckBox10->setChecked(settings_.GetServerEnabled());
    // The spin control keeps a stored port inside its range.
    Edit7->setValue(settings_.GetServerPort());
    CheckBox11->setChecked(settings_.GetAutoPhoneConnect());
    CheckBox12->setChecked(settings_.GetServerStream());
    CheckBox13->setChecked(settings_.GetRecordToFile());
    CheckBox14->setChecked(settings_.GetVirtualCamera());
    // The spin controls keep a stored value inside 0 and the largest int.
    SpinEdit1->setValue(settings_.GetAviSplitMinutes());
    SpinEdit2->setValue(settings_.GetAviKeepMegabytes());
    CheckBox15->setChecked(settings_.GetServerLocalOnly());
    Edit8->setText(settings_.GetServerUser());
    Edit9->clear();
    loadedHash_ = settings_.GetServerPasswordHash();
    clearProtection_ = false;

    // The language list: the built-in language, then the files in the order
    // of every lookup, so that a position is a language index.
    ComboBox5->clear();
    ComboBox5->addItems(LanguageNames());
    ComboBox5->setCurrentIndex(settings_.GetLangIndex());
}

std::optional<TOptionsDlg::Numbers> TOptionsDlg::ReadNumbers(QString* error, QLineEdit** field) const
{
    const int language = ComboBox5->currentIndex();
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
    if (!toWait(Edit2, Label3, &numbers.timeout))
        return std::nullopt;
    bool ok = false;
    numbers.fps = UserNumberLocale().toDouble(Edit4->text().trimmed(), &ok);
    // Infinity and NaN are no frame rates, and neither is 0 or less.
    if (!ok || !std::isfinite(numbers.fps) || numbers.fps <= 0)
        return fail(Edit4, LangTextAt(language, txt::kNumberAboveZero).arg(nameOf(Label5), Edit4->text()));
    if (!toWait(Edit5, Label7, &numbers.cameraInitTime))
        return std::nullopt;
    return numbers;
}

bool TOptionsDlg::SaveSettings(QString* failure)
{
    const std::optional<Numbers> numbers = ReadNumbers(nullptr, nullptr);
    if (!numbers)
        return false;
    reg::TakeWriteFailure();
    settings_.SetTempJpgName(Edit1->text());
    settings_.SetAutoSuspendMode(CheckBox1->isChecked());
    settings_.SetJpgType(ComboBox1->currentIndex());
    settings_.SetTimeout(numbers->timeout);
    settings_.SetCloseToTray(CheckBox2->isChecked());
    settings_.SetAutoRestart(CheckBox3->isChecked());
    settings_.SetAutoFormResize(CheckBox4->isChecked());
    settings_.SetShowSplash(CheckBox5->isChecked());
    settings_.SetAviTempName(Edit3->text());
    settings_.SetFps(numbers->fps);
    settings_.SetDuplicatePicture(CheckBox6->isChecked());
    settings_.SetCodecIndex(SelectedCodec());
    settings_.SetOptionsTabIndex(PageControl1->currentIndex());
    settings_.SetPrintDateOnImage(CheckBox7->isChecked());
    settings_.SetCameraInitTime(numbers->cameraInitTime);
    settings_.SetAmbientLight(ComboBox4->currentIndex());
    settings_.SetExpose(ComboBox3->currentIndex());
    settings_.SetAutoFps(CheckBox8->isChecked());
    settings_.SetAutoAviFileName(CheckBox9->isChecked());
    settings_.SetAviFolder(Edit6->text());
    settings_.SetServerEnabled(CheckBox10->isChecked());
    settings_.SetServerPort(Edit7->value());
    settings_.SetAutoPhoneConnect(CheckBox11->isChecked());
    settings_.SetLangIndex(ComboBox5->currentIndex());
    settings_.SetServerStream(CheckBox12->isChecked());
    settings_.SetRecordToFile(CheckBox13->isChecked());
    settings_.SetVirtualCamera(CheckBox14->isChecked());
    settings_.SetAviSplitMinutes(SpinEdit1->value());
    settings_.SetAviKeepMegabytes(SpinEdit2->value());
    settings_.SetServerLocalOnly(CheckBox15->isChecked());
    settings_.SetServerUser(Edit8->text().trimmed());
    settings_.SetServerPasswordHash(NewPasswordHash());
    const std::string refused = reg::TakeWriteFailure();
    if (refused.empty())
        return true;
    if (failure)
        *failure = LangTextAt(ComboBox5->currentIndex(), txt::kSettingsNotSaved)
                       .arg(QString::fromStdString(reg::SettingsFilePath()), QString::fromStdString(refused));
    return false;
}

void TOptionsDlg::FormShow()
{
    const int language = ComboBox5->currentIndex();
    const auto text = [language](const LangEntry& entry) { return LangTextAt(language, entry); };
    PageControl1->setTabText(PageControl1->indexOf(TabSheet1), text(txt::kOptPhoneTab));
    PageControl1->setTabText(PageControl1->indexOf(TabSheet2), text(txt::kOptProgramTab));
    PageControl1->setTabText(PageControl1->indexOf(TabSheet3), text(txt::kOptVideoTab));
    PageControl1->setTabText(PageControl1->indexOf(TabSheet4), text(txt::kOptServerTab));
    Label1->setText(text(txt::kOptTempFile));
    Label2->setText(text(txt::kOptPictureType));
    Label3->setText(text(txt::kOptShotTimeout));
    Label7->setText(text(txt::kOptInitTimeout));
    Label8->setText(text(txt::kOptLighting));
    Label9->setText(text(txt::kOptExposure));
    CheckBox2->setText(text(txt::kOptCloseToTray));
    CheckBox3->setText(text(txt::kOptAutoRestart));
    CheckBox4->setText(text(txt::kOptAutoFormResize));
    CheckBox5->setText(text(txt::kOptShowSplash));
    CheckBox7->setText(text(txt::kOptDateStamp));
    CheckBox11->setText(text(txt::kOptAutoConnect));
    Label11->setText(text(txt::kOptLanguage));
    Label4->setText(text(txt::kOptRecordFile));
    CheckBox6->setText(text(txt::kOptDuplicatePicture));
    Label6->setText(text(txt::kOptCompressor));
    Button3->setText(text(txt::kOptConfigure));
    CheckBox10->setText(text(txt::kOptServerEnabled));
    Label10->setText(text(txt::kOptPort));
    CheckBox12->setText(text(txt::kOptServerStream));
    CheckBox13->setText(text(txt::kOptRecordToFile));
    CheckBox14->setText(text(txt::kOptVirtualCamera));
    setWindowTitle(text(txt::kOptTitle));
    OKBtn->setText(text(txt::kOptOk));
    CancelBtn->setText(text(txt::kOptCancel));
    CheckBox1->setText(text(txt::kOptAutoSuspend));
    CheckBox9->setText(text(txt::kOptAutoFileName));
    CheckBox8->setText(text(txt::kOptAutoFps));
    Label5->setText(text(txt::kOptFps));
    Button2->setText(text(txt::kOptFpsTest));
    Button4->setText(text(txt::kOptCodecAbout));
    Label12->setText(text(txt::kOptSplitMinutes));
    Label13->setText(text(txt::kOptKeepMegabytes));
    CheckBox15->setText(text(txt::kOptLocalOnly));
    Label14->setText(text(txt::kOptServerUser));
    Label15->setText(text(txt::kOptServerPassword));
    Button7->setText(text(txt::kOptClearPassword));

    const int lighting = ComboBox4->currentIndex();
    ComboBox4->clear();
    for (const LangEntry* entry : kLightings)
        ComboBox4->addItem(text(*entry));
    ComboBox4->setCurrentIndex(lighting);
}

void TOptionsDlg::CheckBox8Click()
{
    const bool manual = !CheckBox8->isChecked();
    Edit4->setEnabled(manual);
    Button2->setEnabled(manual);
}

void TOptionsDlg::CheckBox9Click()
{
    const bool dated = CheckBox9->isChecked();
    Edit3->setEnabled(!dated);
    Button1->setEnabled(!dated);
    Edit6->setEnabled(dated);
    Button6->setEnabled(dated);
}

void TOptionsDlg::Button1Click()
{
    SaveRequest request;
    request.fileName = Edit3->text();
    request.filters = QStringList{LangTextAt(ComboBox5->currentIndex(), txt::kOptAviFiles)};
    request.filterIndex = 1;
    request.defaultSuffix = QStringLiteral("avi");
    const std::optional<SaveAnswer> answer = TheDialogs().SaveFile(this, request);
    if (answer && !answer->fileName.isEmpty())
        Edit3->setText(answer->fileName);
}

void TOptionsDlg::Button6Click()
{
    const QString folder = Edit6->text();
    const QString preselected = !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
    if (const std::optional<QString> chosen = TheDialogs().BrowseFolder(this, preselected))
        Edit6->setText(*chosen);
}

int TOptionsDlg::SelectedCodec() const
{
    // Nothing selected (no encoder at all) is written as -1.
    return ComboBox2->currentIndex() < 0 ? -1 : ComboBox2->currentData().toInt();
}

void TOptionsDlg::Button3Click()
{
    const int index = SelectedCodec();
    if (codecs_ && index >= 0)
        codecs_->Configure(this, index);
}

void TOptionsDlg::Button4Click()
{
    const int index = SelectedCodec();
    if (codecs_ && index >= 0)
        codecs_->About(this, index);
}

void TOptionsDlg::Button2Click()
{
    if (testRunning_)
        return;
    // The messages speak the language chosen in the list, even before OK.
    const int language = ComboBox5->currentIndex();
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
    case RateOutcome::Measured: Edit4->setText(FormatRate(RateOf(run->elapsedMs))); break;
    }
}

bool TOptionsDlg::RunWithInputHeld(const std::shared_ptr<RateRun>& run, std::function<void(RateRun&)> work)
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

void TOptionsDlg::EndTest()
{
    if (!rateRun_)
        return;
    rateRun_->givenUp = true;
    if (rateRun_->loop)
        rateRun_->loop->quit();
    // The dialog may close from now on, before the loop has come back.
    testRunning_ = false;
}

QString TOptionsDlg::FormatRate(double framesPerSecond)
{
    return UserNumberLocale().toString(framesPerSecond, 'g', 15);
}

void TOptionsDlg::ShowMessage(const QString& text)
{
    const QString caption = parentWidget() ? parentWidget()->window()->windowTitle() : windowTitle();
    TheDialogs().ShowMessage(this, caption, text, MessageKind::Plain);
}

void TOptionsDlg::accept()
{
    if (testRunning_)
        return;
    QString error;
    QLineEdit* field = nullptr;
    if (!ReadNumbers(&error, &field)) {
        // Nothing is written and nothing the user typed is lost: the dialog
        // stays open with the field to correct in front.
        ShowMessage(error);
        PageControl1->setCurrentWidget(field->parentWidget());
        field->setFocus(Qt::OtherFocusReason);
        field->selectAll();
        return;
    }
    // A user name with no password to check would let nobody watch.
    if (!Edit8->text().trimmed().isEmpty() && Edit9->text().isEmpty() && NewPasswordHash().isEmpty()) {
        ShowMessage(LangTextAt(ComboBox5->currentIndex(), txt::kOptPasswordNeeded).arg(Edit8->text().trimmed()));
        PageControl1->setCurrentWidget(TabSheet4);
        Edit9->setFocus(Qt::OtherFocusReason);
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

void TOptionsDlg::Button7Click()
{
    Edit8->clear();
    Edit9->clear();
    clearProtection_ = true;
}

QString TOptionsDlg::NewPasswordHash() const
{
    if (!Edit9->text().isEmpty())
        return web::MakePasswordHash(Edit9->text());
    return clearProtection_ ? QString() : loadedHash_;
}

void TOptionsDlg::done(int result)
{
    // While the phone works the dialog stays; the test ends on its own.
    if (testRunning_)
        return;
    QDialog::done(result);
}

void TOptionsDlg::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        FormShow();
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

void TOptionsDlg::closeEvent(QCloseEvent* event)
{
    if (testRunning_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

bool TOptionsDlg::eventFilter(QObject* watched, QEvent* event)
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
