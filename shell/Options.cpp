#include "Options.h"

#include "platform/Clock.h"
#include "video/Codecs.h"
#include "Dialogs.h"
#include "texts/LangTexts.h"
#include "phone/PhoneLink.h"
#include "config/Settings.h"
#include "platform/UiThread.h"

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

#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orv {
namespace {

// The download buffer of the frame-rate test; the read may grow it.
constexpr size_t kTestBufferSize = 131072;

const char* const kPictureTypes[] = {"VGA", "QVGA", "SQVGA", "QQVGA", "QQQVGA", "CIF",
                                     "QCIF", "SQCIF", "4VGA", "SXGA", "UXGA"};
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

// Runs on a worker thread. Switches the camera on, takes one picture, reads
// and deletes it, switches the camera off, and returns the milliseconds from
// the shot to the switch-off; nothing when the camera is not there or does
// not start. show() puts a message in front of the user and waits for it.
std::optional<uint32_t> TimeOnePicture(phone::PhoneLink& link, int pictureType, const std::string& phoneFile,
                                       int language, const std::function<void(const QString&)>& show)
{
    std::vector<uint8_t> buffer;
    buffer.reserve(kTestBufferSize);
    if (!link.IsConnected()) {
        show(LangTextAt(language, txt::kStr8NoPhone));
        return std::nullopt;
    }
    // One capture: its commands never mix with those of a photo or of a
    // recording's frame on the phone's one camera and open file.
    std::lock_guard turn(link.CaptureTurn());
    if (link.CameraOn(static_cast<uint8_t>(pictureType)) != phone::kOk) {
        show(LangTextAt(language, txt::kStr9CameraInitFailed));
        return std::nullopt;
    }
    const uint32_t start = TheClock().TickCount();
    // The file is read without being opened first: the phone decides
    // whether that works, and a failed read is reported.
    if (link.TakePicture(phoneFile) == phone::kOk) {
        int32_t total = 0;
        if (link.ReadPhoneFile(buffer, total) != phone::kOk) {
            show(LangTextAt(language, txt::kStr10ShotFailed));
        } else {
            link.ClosePhoneFile();
            link.DeletePhoneFile(phoneFile);
        }
    }
    link.CameraOff();
    return TheClock().TickCount() - start;
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

    // The captions stay "OK" and "Cancel" in every language.
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
    CheckBox8Click();
    CheckBox9Click();
}

TOptionsDlg::~TOptionsDlg() = default;

void TOptionsDlg::BuildPhoneTab()
{
    Edit1 = Named(new QLineEdit, "Edit1");
    ComboBox1 = MakeList("ComboBox1");
    for (const char* type : kPictureTypes)
        ComboBox1->addItem(QLatin1String(type));
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
    Label3 = MakeLabel("Label3", "Таймаут после сьёмки:", Edit2);
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
    CheckBox6 = MakeCheckBox("CheckBox6", "Дублировать картинку на экран во время сьёмки");
    ComboBox2 = MakeList("ComboBox2");
    Label6 = MakeLabel("Label6", "Компрессор:", ComboBox2);
    Button3 = MakeButton("Button3", "Настроить");
    Button4 = MakeButton("Button4", "About");
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

    auto* grid = new QGridLayout(TabSheet4);
    grid->addWidget(CheckBox10, 0, 0, 1, 3);
    grid->addWidget(Label10, 1, 0);
    grid->addWidget(Edit7, 1, 1);
    grid->addWidget(CheckBox12, 2, 0, 1, 3);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(3, 1);
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
    ComboBox2->clear();
    const int codecCount = codecs_ ? codecs_->Count() : 0;
    for (int index = 0; index < codecCount; ++index)
        ComboBox2->addItem(codecs_->GetName(index));
    const int codec = settings_.GetCodecIndex();
    ComboBox2->setCurrentIndex(codec < codecCount ? codec : 0);
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
    // The spin controls keep a stored value inside 0 and the largest int.
    SpinEdit1->setValue(settings_.GetAviSplitMinutes());
    SpinEdit2->setValue(settings_.GetAviKeepMegabytes());

    // The language list: the built-in language, then the files in the order
    // of every lookup, so that a position is a language index.
    ComboBox5->clear();
    ComboBox5->addItem(QStringLiteral("Русский"));
    ComboBox5->addItems(LanguageFiles());
    ComboBox5->setCurrentIndex(settings_.GetLangIndex());
}

std::optional<TOptionsDlg::Numbers> TOptionsDlg::ReadNumbers(QString* error, QLineEdit** field) const
{
    const auto fail = [&](QLineEdit* edit, const char* message) -> std::optional<Numbers> {
        if (error)
            *error = QString::fromLatin1(message).arg(edit->text());
        if (field)
            *field = edit;
        return std::nullopt;
    };
    const auto toInt = [](const QLineEdit* edit, int* value) {
        bool ok = false;
        *value = edit->text().trimmed().toInt(&ok, 10);
        return ok;
    };

    // In the order in which the settings are written.
    Numbers numbers;
    if (!toInt(Edit2, &numbers.timeout))
        return fail(Edit2, "'%1' is not a valid integer value");
    bool ok = false;
    numbers.fps = UserNumberLocale().toDouble(Edit4->text().trimmed(), &ok);
    // Infinity and NaN are no frame rates.
    if (!ok || !std::isfinite(numbers.fps))
        return fail(Edit4, "'%1' is not a valid floating point value");
    if (!toInt(Edit5, &numbers.cameraInitTime))
        return fail(Edit5, "'%1' is not a valid integer value");
    return numbers;
}

bool TOptionsDlg::SaveSettings()
{
    const std::optional<Numbers> numbers = ReadNumbers(nullptr, nullptr);
    if (!numbers)
        return false;
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
    settings_.SetCodecIndex(ComboBox2->currentIndex());
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
    settings_.SetAviSplitMinutes(SpinEdit1->value());
    settings_.SetAviKeepMegabytes(SpinEdit2->value());
    return true;
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
    Label12->setText(text(txt::kOptSplitMinutes));
    Label13->setText(text(txt::kOptKeepMegabytes));

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
    request.filters = QStringList{QStringLiteral("Avi files(*.avi)")};
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

void TOptionsDlg::Button3Click()
{
    const int index = ComboBox2->currentIndex();
    if (codecs_ && index >= 0)
        codecs_->Configure(this, index);
}

void TOptionsDlg::Button4Click()
{
    const int index = ComboBox2->currentIndex();
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
    std::optional<uint32_t> elapsed;
    RunWithInputHeld([&] {
        elapsed = TimeOnePicture(phone::PhoneLink::Instance(), pictureType, phoneFile, language,
                                 [this](const QString& message) {
                                     RunOnUiThread([this, &message] {
                                         QGuiApplication::restoreOverrideCursor();
                                         ShowMessage(message);
                                         QGuiApplication::setOverrideCursor(Qt::BusyCursor);
                                     });
                                 });
    });
    if (elapsed)
        Edit4->setText(FormatRate(RateOf(*elapsed)));
}

void TOptionsDlg::RunWithInputHeld(const std::function<void()>& work)
{
    testRunning_ = true;
    qApp->installEventFilter(this);
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    QEventLoop loop;
    std::thread worker([&work, &loop] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    QGuiApplication::restoreOverrideCursor();
    qApp->removeEventFilter(this);
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
    QDialog::accept();
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
    if (testRunning_ && IsUserInput(event->type())) {
        if (auto* widget = qobject_cast<QWidget*>(watched); widget && widget->window() == this) {
            event->accept();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace orv
