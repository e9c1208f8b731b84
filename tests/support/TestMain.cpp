// Test programs run with a QApplication (offscreen) whose thread is the
// user-interface thread, a private settings file and a private lock folder.
// A program whose tests leave a worker thread running fails: the exit's
// static destructors must never meet a thread that is still alive.

#include "platform/WorkerThread.h"
#include "TestEnv.h"
#include "platform/UiThread.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#ifdef ORV_TEST_GUARDED_APPLICATION
#include "shell/Startup.h"
using TestApplication = orv::Application;
#else
using TestApplication = QApplication;
#endif

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TestApplication app(argc, argv);
    orv::InstallUiThread();
    qputenv("ORVELLO_LOCK_DIR", orv::test::TempFolder().toUtf8());
    orv::test::FreshSettingsFile();
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (!orv::test::WaitForWorkersToEnd()) {
        std::fprintf(stderr, "FAILED: %zu worker thread(s) still alive after the last test\n",
                     orv::WorkerThread::LiveCount());
        std::fflush(nullptr);
        ::_exit(1);
    }
    return result;
}
