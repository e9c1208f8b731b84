#pragma once
// What the benchmark drivers share: their count options and the process's
// resident memory.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace orv::bench {

// An option "--name N" of a driver and the count it sets.
struct CountOption {
    const char* name;
    int* count;
};

// Reads "--name N" pairs into their counts (each at least 1); an unknown
// name is passed over, so that a driver's run line may carry others' options.
inline void ParseCounts(int argc, char** argv, std::initializer_list<CountOption> options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const int value = std::max(1, std::atoi(argv[i + 1]));
        for (const CountOption& option : options)
            if (std::strcmp(argv[i], option.name) == 0)
                *option.count = value;
    }
}

// The process's resident memory in KiB (VmRSS); -1 when it cannot be read.
inline long ResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLong();
    return -1;
}

}  // namespace orv::bench
