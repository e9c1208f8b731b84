#include "TestEnv.h"

#include "platform/WorkerThread.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace orv::test {

QString TempFolder()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/orvello-test-XXXXXX"));
    return dir.path();
}

QString FreshSettingsFile()
{
    static std::atomic<int> counter{0};
    const QString path = TempFolder() + QStringLiteral("/settings-%1.reg").arg(++counter);
    QFile::remove(path);
    qputenv("ORVELLO_SETTINGS_FILE", path.toUtf8());
    return path;
}

bool WaitForWorkersToEnd(int milliseconds)
{
    return QTest::qWaitFor([] { return WorkerThread::LiveCount() == 0; }, milliseconds);
}

QString SourceDir() { return qEnvironmentVariable("ORVELLO_TEST_SOURCE_DIR", QStringLiteral(".")); }
QString BinaryDir() { return qEnvironmentVariable("ORVELLO_BINARY_DIR", QStringLiteral(".")); }

bool InstanceLockHeld(const QString& folder)
{
    const QByteArray path = QDir(folder).filePath(QStringLiteral("OrvelloIsAlreadyRunning.lock")).toUtf8();
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

}  // namespace orv::test
