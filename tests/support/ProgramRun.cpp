#include "ProgramRun.h"

#include "TestEnv.h"
#include "Wait.h"

#include <QDir>
#include <QFile>

#include <csignal>

namespace orv::test {

ProgramRun::ProgramRun() : settingsFile(dir.filePath(QStringLiteral("settings.reg")))
{
    environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("ORVELLO_SETTINGS_FILE"), settingsFile);
    environment.insert(QStringLiteral("ORVELLO_LOCK_DIR"), dir.path());
    environment.insert(QStringLiteral("ORVELLO_DIALOG_LOG"), Path(QStringLiteral("dialogs.log")));
    environment.insert(QStringLiteral("ORVELLO_PHONE_TRACE"), Path(QStringLiteral("phone.trace")));
    environment.insert(QStringLiteral("ORVELLO_SIM_SWITCHED"), QStringLiteral("1"));
    environment.remove(QStringLiteral("ORVELLO_SIM_EVENTS"));
}

ProgramRun::~ProgramRun()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(10000);
    }
}

void ProgramRun::WriteSettings(const QByteArray& values) const
{
    QFile file(settingsFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n" + values);
}

bool ProgramRun::Start(const QStringList& arguments)
{
    QStringList expanded;
    for (const QString& argument : arguments)
        expanded << QString(argument).replace(QStringLiteral("%D"), dir.path());
    process.setProcessEnvironment(environment);
    process.start(QDir(BinaryDir()).absoluteFilePath(QStringLiteral("orvello")), expanded);
    return process.waitForStarted();
}

bool ProgramRun::WaitFor(const std::function<bool()>& condition, int milliseconds)
{
    bool ended = false;
    const bool held = test::WaitFor(
        [&] {
            ended = process.state() == QProcess::NotRunning;
            return condition() || ended;
        },
        milliseconds);
    return held && (condition() || !ended);
}

bool ProgramRun::Finish(int milliseconds)
{
    // The end may have been seen already while events were handled.
    const bool ended = process.state() == QProcess::NotRunning || process.waitForFinished(milliseconds);
    return ended && process.exitStatus() == QProcess::NormalExit;
}

void ProgramRun::Signal(int number) const { ::kill(static_cast<pid_t>(process.processId()), number); }

bool ProgramRun::LockHeld() const { return InstanceLockHeld(dir.path()); }

QString ProgramRun::Messages() const { return ReadText(Path(QStringLiteral("dialogs.log"))); }
QString ProgramRun::Trace() const { return ReadText(Path(QStringLiteral("phone.trace"))); }

QString ReadText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QByteArray Dword(const char* name, int value)
{
    return QStringLiteral("\"%1\"=dword:%2\n").arg(QLatin1String(name)).arg(value, 8, 16, QLatin1Char('0')).toUtf8();
}

}  // namespace orv::test
