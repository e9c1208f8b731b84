#pragma once
// A TCP port that nothing listens on at the moment, found on the loopback
// address that the tests connect to.

#include <QHostAddress>
#include <QTcpServer>

namespace orv::test {

inline int FreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

}  // namespace orv::test
