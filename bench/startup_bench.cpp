// Start-up time of the program (to its first turn of the event loop) against
// an empty Qt window, measured alternately in the same run.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double RunOnce(const QString& program, const QStringList& arguments, const QProcessEnvironment& env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);  // the platform plugin's warnings are not figures
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    process.waitForFinished(60000);
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("ORVELLO_LOCK_DIR"), dir.path());
    env.insert(QStringLiteral("ORVELLO_DIALOG_LOG"), dir.filePath(QStringLiteral("dialogs.log")));

    const int runs = argc > 1 ? std::max(3, atoi(argv[1])) : 15;
    for (const bool splash : {false, true}) {
        QProcessEnvironment programEnv = env;
        const QString settings = dir.filePath(splash ? QStringLiteral("splash.reg") : QStringLiteral("plain.reg"));
        QFile file(settings);
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n"
                              "\"AutoPhoneConnect\"=dword:00000000\n\"ShowSplash\"=dword:0000000") +
                   (splash ? "1" : "0") + "\n");
        file.close();
        programEnv.insert(QStringLiteral("ORVELLO_SETTINGS_FILE"), settings);

        std::vector<double> program, empty;
        RunOnce(QStringLiteral(ORVELLO_EXE), {QStringLiteral("--exit-when-idle")}, programEnv);  // warm caches
        RunOnce(QStringLiteral(EMPTY_WINDOW_EXE), {}, env);
        for (int i = 0; i < runs; ++i) {
            empty.push_back(RunOnce(QStringLiteral(EMPTY_WINDOW_EXE), {}, env));
            program.push_back(RunOnce(QStringLiteral(ORVELLO_EXE), {QStringLiteral("--exit-when-idle")}, programEnv));
        }
        const double p = Median(program), e = Median(empty);
        std::printf("start-up %-11s orvello %.1f ms, empty Qt window %.1f ms, ratio %.2f (target <= 1.50)\n",
                    splash ? "with splash" : "no splash", p, e, p / e);
    }
    return 0;
}
