// Test programs run with a QApplication (offscreen) whose thread is the
// user-interface thread, a private settings file and a private lock folder.

#include "TestEnv.h"
#include "UiThread.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    orv::InstallUiThread();
    qputenv("ORVELLO_LOCK_DIR", orv::test::TempFolder().toUtf8());
    orv::test::FreshSettingsFile();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
