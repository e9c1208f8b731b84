#include "Startup.h"

#include "Dialogs.h"

#include <QString>

#include <exception>

namespace orv {

namespace {
void ShowException(const QString& text)
{
    TheDialogs().ShowMessage(nullptr, QStringLiteral("Orvello"), text, MessageKind::Error);
}
}  // namespace

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(QString::fromUtf8(error.what()));
    } catch (...) {
        ShowException(QString());
    }
    return false;
}

int RunGuarded(const std::function<void()>& body)
{
    try {
        body();
    } catch (const std::exception& error) {
        ShowException(QString::fromUtf8(error.what()));
    } catch (...) {
        ShowException(QString());
    }
    return 0;
}

}  // namespace orv
