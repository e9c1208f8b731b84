#pragma once
// One run of the whole program in a folder of its own: its settings file
// (the registry header and the values given), its lock, its dialog log and
// its phone trace, in the environment of a test without a display. The
// program is killed if it still runs when the object goes.

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

namespace orv::test {

class ProgramRun {
public:
    ProgramRun();
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // Writes the settings file: the program's key with these value lines.
    void WriteSettings(const QByteArray& values) const;
    // The environment the program starts in; the test may change it before
    // Start. The simulated phone comes up switched unless fullDiscovery.
    QProcessEnvironment environment;
    void SetFullDiscovery() { environment.remove(QStringLiteral("ORVELLO_SIM_SWITCHED")); }

    // Starts the program with the arguments ("%D" stands for the folder).
    bool Start(const QStringList& arguments);
    // Waits until the condition holds; false at once when the program has
    // ended without it.
    bool WaitFor(const std::function<bool()>& condition, int milliseconds = 60000);
    // Waits for the end: true when the program exited by itself.
    bool Finish(int milliseconds = 60000);
    void Signal(int number) const;
    // The program holds its single-instance lock (its signal handlers are in
    // place by then).
    bool LockHeld() const;

    QString Path(const QString& name) const { return dir.filePath(name); }
    QString Folder() const { return dir.path(); }
    // The dialogs the program showed (one line each), and its phone trace.
    QString Messages() const;
    QString Trace() const;

    QTemporaryDir dir;
    QProcess process;
    QString settingsFile;
};

QString ReadText(const QString& path);
// A "name"=dword:... line of a settings file.
QByteArray Dword(const char* name, int value);

}  // namespace orv::test
