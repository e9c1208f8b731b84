#pragma once
// The options dialog. For now a bare dialog with OK and Cancel: the main
// window already relabels its menu when it is closed with OK.

#include <QDialog>

class QDialogButtonBox;

namespace orv {

class TOptionsDlg : public QDialog {
    Q_OBJECT
public:
    explicit TOptionsDlg(QWidget* parent = nullptr);

    QDialogButtonBox* Buttons() const { return buttons_; }

private:
    QDialogButtonBox* buttons_;
};

}  // namespace orv
