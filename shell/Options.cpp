#include "Options.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace orv {

TOptionsDlg::TOptionsDlg(QWidget* parent) : QDialog(parent), buttons_(new QDialogButtonBox(this))
{
    setWindowTitle(QStringLiteral("Настройки"));
    // The captions stay "OK" and "Cancel" in every language.
    QPushButton* ok = buttons_->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons_->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addStretch(1);
    layout->addWidget(buttons_);
}

}  // namespace orv
