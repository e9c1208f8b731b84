// The encoder's configuration dialog and about box of the catalogue
// (TCodecs::Configure, TCodecs::About). The video library describes each
// encoder's options as data; this one form draws any of them: named values
// as lists, flags as check boxes, numbers in spin boxes held to the option's
// limits. Both go through the dialog interface, so tests answer them.

#include "video/Codecs.h"
#include "Dialogs.h"
#include "WheelGuard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>

#include <climits>
#include <functional>
#include <limits>

namespace orv::video {
namespace {

// Reads an editor's value as the option takes it.
using ValueReader = std::function<QString()>;

constexpr double kRealLimit = 1e12;

QWidget* IntegerEditor(const CodecOption& option, ValueReader& read)
{
    auto* box = new QSpinBox;
    box->setRange(int(std::max<double>(option.minimum, INT_MIN)), int(std::min<double>(option.maximum, INT_MAX)));
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
        box->setToolTip(QStringLiteral("Half checked: the encoder chooses"));
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

void TCodecs::Configure(QWidget* parent, int index)
{
    if (!Handle(index))
        return;
    const std::vector<CodecOption> options = Options(index);

    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("CodecConfigure"));
    dialog.setWindowTitle(GetName(index));
    auto* layout = new QVBoxLayout(&dialog);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    scroll->setWidget(page);
    layout->addWidget(scroll);

    struct Edited {
        QString name;
        QString before;  // as the editor shows it at first
        ValueReader read;
    };
    std::vector<Edited> editors;
    bool ownShown = false;
    form->addRow(SectionTitle(QStringLiteral("Common")));
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
    dialog.resize(560, 640);

    GuardWheel(&dialog);
    if (TheDialogs().RunModal(&dialog) != QDialog::Accepted)
        return;
    std::vector<std::pair<QString, QString>> changes;
    for (const Edited& edited : editors) {
        const QString now = edited.read();
        if (now != edited.before)
            changes.emplace_back(edited.name, now);
    }
    QString error;
    if (!changes.empty() && !SetOptions(index, changes, &error))
        TheDialogs().ShowMessage(parent, GetName(index), error, MessageKind::Error);
}

void TCodecs::About(QWidget* parent, int index)
{
    if (!Handle(index))
        return;
    const CodecInfo info = Info(index);
    const QString text = QStringLiteral("%1\n%2\n\nFourCC: %3\n%4\n\n%5\nLicence: %6")
                             .arg(info.longName, info.name, info.fourcc, info.capabilities.join(QStringLiteral(", ")),
                                  info.libraries, info.licence);
    TheDialogs().ShowMessage(parent, info.longName, text, MessageKind::Information);
}

}  // namespace orv::video
