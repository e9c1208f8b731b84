#pragma once
// What every test program shares: a private folder for settings, locks and
// files, and the paths of the build.

#include <QString>

namespace orv::test {

// A folder of this test process, removed at exit.
QString TempFolder();
// A fresh settings file for the calling test (sets ORVELLO_SETTINGS_FILE).
QString FreshSettingsFile();
QString SourceDir();
// Handles events until every worker thread (WorkerThread) has ended entirely, for
// at most the given real time; false when one is still alive then.
bool WaitForWorkersToEnd(int milliseconds = 10000);
QString BinaryDir();
// Whether another process holds the single-instance lock that the program
// keeps in folder.
bool InstanceLockHeld(const QString& folder);

}  // namespace orv::test
