#pragma once
// Another program run by a test while this one's event loop turns (a server
// under test may be in this process).

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>

namespace orv::test {

// Runs program with arguments, with input on its standard input; its
// standard output, or nothing with *failure saying why when it did not start,
// did not finish within 30 s or failed.
inline QByteArray RunTool(const QString& program, const QStringList& arguments, QString* failure,
                          const QByteArray& input = {})
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(5000)) {
        *failure = program + QStringLiteral(" did not start");
        return {};
    }
    process.write(input);
    process.closeWriteChannel();
    const bool finished = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000);
    if (!finished) {
        process.kill();
        process.waitForFinished(2000);
        *failure = program + QStringLiteral(" did not finish");
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *failure = program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAllStandardError());
        return {};
    }
    return process.readAllStandardOutput();
}

}  // namespace orv::test
