// The main window with a stand-in web camera and its picture server on a free
// loopback port, for the server's tests over real connections.

#pragma once

#include "tests/support/FreePort.h"
#include "tests/shell/WindowFixture.h"

#include <QHostAddress>
#include <QTcpServer>

namespace orv::test {

class CameraServerTest : public WindowTest {
protected:
    // The window with the web camera started and the server set to a free
    // port, listening when serverEnabled, with the live stream when stream;
    // the stand-in recorder says it records into fileToRecord.
    CamForm& StartCamera(bool serverEnabled = true, bool stream = false, const QString& fileToRecord = QString())
    {
        Settings().SetAutoPhoneConnect(false);
        Settings().SetServerEnabled(serverEnabled);
        Settings().SetServerStream(stream);
        port_ = FreePort();
        Settings().SetServerPort(port_);
        CamForm& form = MakeForm<CamForm>();
        form.fileToRecord = fileToRecord;
        form.StartWebCamera();
        EXPECT_TRUE(form.session->Running());
        return form;
    }

    bool StopCamera(MainWindow& form)
    {
        form.StopWebCamera();
        return WaitFor([&] { return CameraIdle(form); });
    }

    int port_ = 0;
};

}  // namespace orv::test
