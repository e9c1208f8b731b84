#include "WheelGuard.h"

#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QPointer>
#include <QWidget>

namespace orv {
namespace {

bool IsValueControl(const QObject* object)
{
    return qobject_cast<const QAbstractSpinBox*>(object) || qobject_cast<const QComboBox*>(object) ||
           qobject_cast<const QAbstractSlider*>(object);
}

class WheelFilter final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (WheelHeldBack(watched, event)) {
            // Ignored, so that the application hands it to the parent: the
            // scroll area around the control scrolls.
            event->ignore();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

bool WheelHeldBack(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::Wheel || !IsValueControl(watched))
        return false;
    const auto* control = static_cast<QWidget*>(watched);
    return !control->hasFocus();
}

void GuardWheel(QWidget* root)
{
    static QPointer<QObject> installed;
    if (!installed && qApp) {
        installed = new WheelFilter(qApp);
        qApp->installEventFilter(installed);
    }
    if (!root)
        return;
    for (QWidget* child : root->findChildren<QWidget*>()) {
        if (IsValueControl(child) && child->focusPolicy() == Qt::WheelFocus)
            child->setFocusPolicy(Qt::StrongFocus);
    }
}

}  // namespace orv
