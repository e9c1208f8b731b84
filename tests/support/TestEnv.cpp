#include "TestEnv.h"

#include "TThread.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>

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
    return QTest::qWaitFor([] { return TThread::LiveCount() == 0; }, milliseconds);
}

QString SourceDir() { return qEnvironmentVariable("ORVELLO_TEST_SOURCE_DIR", QStringLiteral(".")); }
QString BinaryDir() { return qEnvironmentVariable("ORVELLO_BINARY_DIR", QStringLiteral(".")); }

}  // namespace orv::test
