// The encoder's configuration dialog and about box of the catalogue
// (CodecCatalogue::Configure, CodecCatalogue::About). The video library describes each
// encoder's options as data; this one form draws any of them: named values
// as lists, flags as check boxes, numbers in spin boxes held to the option's
// limits. The form opens with one quality control (and the bit rate where
// the encoder works to one); the whole option table lies behind "Advanced".
// Both go through the dialog interface, so tests answer them.

#include "video/CodecCatalogue.h"
#include "Dialogs.h"
#include "WheelGuard.h"
#include "texts/LangTexts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>

namespace orv::video {
namespace {

// Reads an editor's value as the option takes it.
using ValueReader = std::function<QString()>;

constexpr double kRealLimit = 1e12;
// Integer options whose limits are the machine's (INT_MIN, INT64_MAX...)
// have no real bound: their fields take this range, which holds every value
// anybody sets, instead of showing "-2147483648".
constexpr double kHumanIntegerLimit = 1e9;

// The one control of quality: 0 (smallest file) to 100 (best picture),
// mapped onto the encoder's own option between its worst and best value.
struct QualityControl {
    const char* encoder;
    const char* option;
    double best;
    double worst;
    // What the encoder works to while the option is unset (negative or 0).
    double unset;
};
// Lambda of the MPEG-style quantiser: q 1 (best) to 31 at 118 a step.
constexpr double kLambdaPerQ = 118;
constexpr QualityControl kQualityControls[] = {
    {"mjpeg", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"mpeg4", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"libxvid", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"msmpeg4", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"msmpeg4v2", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"wmv1", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"wmv2", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"flv", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"h263p", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"mpeg2video", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"amv", "global_quality", 1 * kLambdaPerQ, 31 * kLambdaPerQ, 16 * kLambdaPerQ},
    {"libx264", "crf", 0, 51, 23},
    {"libx264rgb", "crf", 0, 51, 23},
};
// Encoders that work to a bit rate ("b", in bits a second).
constexpr const char* kBitRateEncoders[] = {"libvpx", "libvpx-vp9", "cinepak", "msvideo1"};
constexpr int kMaxKilobits = 100000;

const QualityControl* QualityOf(const QString& encoder)
{
    for (const QualityControl& control : kQualityControls)
        if (encoder == QLatin1String(control.encoder))
            return &control;
    return nullptr;
}

}  // namespace

// The percentage a value of the encoder's quality option stands for, and back.
int QualityPercent(const QString& encoder, double value)
{
    const QualityControl* control = QualityOf(encoder);
    if (!control)
        return -1;
    const double share = (value - control->worst) / (control->best - control->worst);
    return int(std::lround(std::clamp(share, 0.0, 1.0) * 100));
}

double QualityValue(const QString& encoder, int percent)
{
    const QualityControl* control = QualityOf(encoder);
    if (!control)
        return 0;
    const double value = control->worst + (control->best - control->worst) * std::clamp(percent, 0, 100) / 100.0;
    // The quantiser's lambda goes in whole steps of q.
    if (std::strcmp(control->option, "global_quality") == 0)
        return std::round(value / kLambdaPerQ) * kLambdaPerQ;
    return std::round(value);
}

namespace {

QWidget* IntegerEditor(const CodecOption& option, ValueReader& read)
{
    auto* box = new QSpinBox;
    box->setRange(int(std::max<double>(option.minimum, -kHumanIntegerLimit)),
                  int(std::min<double>(option.maximum, kHumanIntegerLimit)));
    box->setValue(int(std::clamp<qlonglong>(option.value.toLongLong(), box->minimum(), box->maximum())));
    read = [box] { return QString::number(box->value()); };
    return box;
}

QWidget* RealEditor(const CodecOption& option, ValueReader& read)
{
    auto* box = new QDoubleSpinBox;
    box->setDecimals(3);
    box->setRange(std::max(option.minimum, -kRealLimit), std::min(option.maximum, kRealLimit));
    box->setValue(option.value.toDouble());
    read = [box] { return QString::number(box->value(), 'g', 10); };
    return box;
}

QWidget* BooleanEditor(const CodecOption& option, ValueReader& read)
{
    auto* box = new QCheckBox;
    box->setTristate(option.allowsAuto);
    const int value = option.value.toInt();
    box->setCheckState(value < 0 ? Qt::PartiallyChecked : value ? Qt::Checked : Qt::Unchecked);
    if (option.allowsAuto)
        box->setToolTip(LangText(txt::kCodecAutoTip));
    read = [box] {
        switch (box->checkState()) {
        case Qt::PartiallyChecked: return QStringLiteral("-1");
        case Qt::Checked: return QStringLiteral("1");
        default: return QStringLiteral("0");
        }
    };
    return box;
}

QWidget* FlagsEditor(const CodecOption& option, ValueReader& read)
{
    auto* panel = new QWidget;
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 0, 0, 0);
    const qlonglong value = option.value.toLongLong();
    qlonglong known = 0;
    std::vector<std::pair<QCheckBox*, qlonglong>> boxes;
    int column = 0, row = 0;
    for (const CodecOption::Named& flag : option.named) {
        const qlonglong bits = flag.value.toLongLong();
        if (bits == 0)
            continue;
        known |= bits;
        auto* box = new QCheckBox(flag.name);
        box->setObjectName(option.name + QLatin1Char('.') + flag.name);
        box->setToolTip(flag.help);
        box->setChecked((value & bits) == bits);
        grid->addWidget(box, row, column);
        boxes.emplace_back(box, bits);
        if (++column == 3) {
            column = 0;
            ++row;
        }
    }
    // Bits without a name keep their value.
    read = [boxes, known, value] {
        qlonglong result = value & ~known;
        for (const auto& [box, bits] : boxes)
            if (box->isChecked())
                result |= bits;
        return QString::number(result);
    };
    return panel;
}

QWidget* ChoiceEditor(const CodecOption& option, ValueReader& read)
{
    auto* box = new QComboBox;
    for (const CodecOption::Named& choice : option.named) {
        box->addItem(choice.name, choice.value);
        box->setItemData(box->count() - 1, choice.help, Qt::ToolTipRole);
    }
    box->setCurrentIndex(std::max(0, box->findData(option.value)));
    read = [box] { return box->currentData().toString(); };
    return box;
}

QWidget* TextEditor(const CodecOption& option, ValueReader& read)
{
    if (option.named.empty()) {
        auto* line = new QLineEdit(option.value);
        read = [line] { return line->text(); };
        return line;
    }
    auto* box = new QComboBox;
    box->setEditable(true);
    for (const CodecOption::Named& suggestion : option.named)
        box->addItem(suggestion.name);
    box->setCurrentText(option.value);
    read = [box] { return box->currentText(); };
    return box;
}

QWidget* Editor(const CodecOption& option, ValueReader& read)
{
    switch (option.kind) {
    case CodecOption::Kind::Integer: return IntegerEditor(option, read);
    case CodecOption::Kind::Real: return RealEditor(option, read);
    case CodecOption::Kind::Boolean: return BooleanEditor(option, read);
    case CodecOption::Kind::Flags: return FlagsEditor(option, read);
    case CodecOption::Kind::Choice: return ChoiceEditor(option, read);
    case CodecOption::Kind::Text: return TextEditor(option, read);
    }
    return TextEditor(option, read);
}

QLabel* SectionTitle(const QString& text)
{
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

}  // namespace

void CodecCatalogue::Configure(QWidget* parent, int index)
{
    if (!Handle(index))
        return;
    const std::vector<CodecOption> options = Options(index);

    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("CodecConfigure"));
    dialog.setWindowTitle(GetName(index));
    auto* layout = new QVBoxLayout(&dialog);
    const QString encoder = EncoderName(index);
    const auto currentValue = [&options](const char* name) -> std::optional<QString> {
        for (const CodecOption& option : options)
            if (option.name == QLatin1String(name))
                return option.value;
        return std::nullopt;
    };

    // The simple part: quality, and the bit rate where the encoder uses one.
    auto* simple = new QFormLayout;
    QSlider* quality = nullptr;
    const QualityControl* qualityControl = QualityOf(encoder);
    int qualityBefore = -1;
    if (qualityControl) {
        if (const std::optional<QString> value = currentValue(qualityControl->option)) {
            const double number = value->toDouble();
            // An option left unset shows what the encoder then works to.
            const bool unset = number < 0 || (number == 0 && qualityControl->best > 0);
            qualityBefore = QualityPercent(encoder, unset ? qualityControl->unset : number);
            quality = new QSlider(Qt::Horizontal);
            quality->setObjectName(QStringLiteral("quality"));
            quality->setRange(0, 100);
            quality->setValue(qualityBefore);
            auto* shown = new QLabel(QStringLiteral("%1 %").arg(qualityBefore));
            shown->setMinimumWidth(shown->fontMetrics().horizontalAdvance(QStringLiteral("100 %")));
            QObject::connect(quality, &QSlider::valueChanged, shown,
                             [shown](int percent) { shown->setText(QStringLiteral("%1 %").arg(percent)); });
            auto* row = new QHBoxLayout;
            row->addWidget(quality, 1);
            row->addWidget(shown);
            simple->addRow(LangText(txt::kCodecQuality), row);
        }
    }
    QSpinBox* bitRate = nullptr;
    int bitRateBefore = -1;
    for (const char* name : kBitRateEncoders) {
        if (encoder != QLatin1String(name))
            continue;
        if (const std::optional<QString> value = currentValue("b")) {
            bitRateBefore = int(std::clamp<qlonglong>(value->toLongLong() / 1000, 0, kMaxKilobits));
            bitRate = new QSpinBox;
            bitRate->setObjectName(QStringLiteral("bitrate"));
            bitRate->setRange(0, kMaxKilobits);
            bitRate->setValue(bitRateBefore);
            simple->addRow(LangText(txt::kCodecBitRate), bitRate);
        }
    }
    layout->addLayout(simple);

    // The whole option table, behind "Advanced".
    auto* advanced = new QToolButton;
    advanced->setObjectName(QStringLiteral("advanced"));
    advanced->setText(LangText(txt::kCodecAdvanced));
    advanced->setCheckable(true);
    advanced->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    advanced->setArrowType(Qt::RightArrow);
    layout->addWidget(advanced);
    auto* scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("advancedOptions"));
    scroll->setWidgetResizable(true);
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    scroll->setWidget(page);
    layout->addWidget(scroll, 1);
    scroll->setVisible(false);
    QObject::connect(advanced, &QToolButton::toggled, &dialog, [&dialog, scroll, advanced](bool open) {
        scroll->setVisible(open);
        advanced->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        dialog.resize(dialog.width(), open ? 640 : dialog.minimumSizeHint().height());
    });

    struct Edited {
        QString name;
        QString before;  // as the editor shows it at first
        ValueReader read;
    };
    std::vector<Edited> editors;
    bool ownShown = false;
    form->addRow(SectionTitle(LangText(txt::kCodecCommon)));
    for (const CodecOption& option : options) {
        if (!option.common && !ownShown) {
            form->addRow(SectionTitle(QStringLiteral("%1 (%2)").arg(GetName(index), EncoderName(index))));
            ownShown = true;
        }
        ValueReader read;
        QWidget* editor = Editor(option, read);
        editor->setObjectName(option.name);
        if (!option.help.isEmpty() && editor->toolTip().isEmpty())
            editor->setToolTip(option.help);
        auto* label = new QLabel(option.name);
        label->setToolTip(option.help);
        form->addRow(label, editor);
        // An editor that clamps a value it cannot show does not count as
        // a change unless the user changes it.
        editors.push_back({option.name, read(), std::move(read)});
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(560, dialog.minimumSizeHint().height());

    GuardWheel(&dialog);
    if (TheDialogs().RunModal(&dialog) != QDialog::Accepted)
        return;
    std::vector<std::pair<QString, QString>> changes;
    // A moved quality or bit-rate control wins over the same option in the
    // table.
    QStringList simpleNames;
    if (quality && quality->value() != qualityBefore) {
        simpleNames << QLatin1String(qualityControl->option);
        changes.emplace_back(simpleNames.back(), QString::number(QualityValue(encoder, quality->value()), 'g', 10));
    }
    if (bitRate && bitRate->value() != bitRateBefore) {
        simpleNames << QStringLiteral("b");
        changes.emplace_back(simpleNames.back(), QString::number(qlonglong(bitRate->value()) * 1000));
    }
    for (const Edited& edited : editors) {
        const QString now = edited.read();
        if (now != edited.before && !simpleNames.contains(edited.name))
            changes.emplace_back(edited.name, now);
    }
    QString error;
    if (!changes.empty() && !SetOptions(index, changes, &error))
        TheDialogs().ShowMessage(parent, GetName(index), error, MessageKind::Error);
}

void CodecCatalogue::About(QWidget* parent, int index)
{
    if (!Handle(index))
        return;
    const CodecInfo info = Info(index);
    const QString text = QStringLiteral("%1\n%2\n\nFourCC: %3\n%4\n\n%5\n")
                             .arg(info.longName, info.name, info.fourcc, info.capabilities.join(QStringLiteral(", ")),
                                  info.libraries) +
                         LangText(txt::kCodecLicence).arg(info.licence);
    TheDialogs().ShowMessage(parent, info.longName, text, MessageKind::Information);
}

}  // namespace orv::video
