#include "Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace orv::test {

bool WaitFor(const std::function<bool()>& condition, int milliseconds)
{
    QCoreApplication* const application = QCoreApplication::instance();
    const bool handleEvents = application != nullptr && application->thread() == QThread::currentThread();
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (handleEvents)
            QCoreApplication::processEvents();
        if (condition())
            return true;
        if (timer.elapsed() >= milliseconds)
            return false;
        QThread::msleep(1);
    }
}

}  // namespace orv::test
