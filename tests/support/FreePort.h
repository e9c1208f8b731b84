#pragma once
// A TCP port that nothing listens on at the moment, probed on the loopback
// address that the tests connect to. It is taken below the range that the
// system hands out to outgoing connections (32768 and up), so that no
// client's port, of this test or another, lands on it before the program
// listens; where in that range is left to chance, for tests that run side
// by side.

#include <QHostAddress>
#include <QTcpServer>

#include <random>

namespace orv::test {

inline int FreePort()
{
    constexpr int kFirst = 20000;
    constexpr int kCount = 12000;
    std::random_device random;
    const int start = static_cast<int>(random() % kCount);
    for (int i = 0; i < kCount; ++i) {
        const int port = kFirst + (start + i) % kCount;
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, static_cast<quint16>(port)))
            return port;
    }
    return 0;
}

}  // namespace orv::test
