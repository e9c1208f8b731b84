#include "Startup.h"

#include "Dialogs.h"
#include "TThread.h"
#include "UiThread.h"

#include <QString>

#include <cstdio>
#include <exception>
#include <unistd.h>

namespace orv {

namespace {
void ShowException(const QString& text)
{
    const auto* application = dynamic_cast<TApplication*>(QCoreApplication::instance());
    QWidget* parent = application ? application->MainForm() : nullptr;
    TheDialogs().ShowMessage(parent, QStringLiteral("Orvello"), text, MessageKind::Error);
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

void EndUserInterface(int code)
{
    ShutdownUiThread();
    if (TThread::LiveCount() == 0)
        return;
    std::fflush(nullptr);
    ::_exit(code);
}

}  // namespace orv
