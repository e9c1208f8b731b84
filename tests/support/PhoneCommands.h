#pragma once
// The simulated phone's commands in words, for tables that list what a
// capture sent: "camera on 0", "lighting 2", "exposure 3", "shoot /a/x.jpg",
// "open /a/x.jpg", "read" (a run of block reads is one), "close",
// "delete /a/x.jpg", "camera off"; anything else "other" and its code.

#include "sim/SimPhone.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace orv::test {

inline QStringList PhoneCommandNames(const std::vector<sim::SimPhone::Command>& commands, size_t from = 0)
{
    QStringList names;
    for (size_t i = from; i < commands.size(); ++i) {
        const std::vector<uint8_t>& data = commands[i].data;
        const auto text = [&data](size_t at) {
            return data.size() < at ? QString()
                                    : QString::fromLatin1(reinterpret_cast<const char*>(data.data()) + at,
                                                          qsizetype(data.size() - at));
        };
        const int camera = commands[i].code == 0x61 && data.size() >= 2 ? data[0] * 256 + data[1] : -1;
        const int file = commands[i].code == 0x4A && data.size() >= 4 ? data[3] : -1;
        QString name = QStringLiteral("other %1").arg(commands[i].code, 0, 16);
        if (camera == 0x0001 && data.size() >= 3)
            name = QStringLiteral("camera on %1").arg(data[2]);
        else if (camera == 0x0000)
            name = QStringLiteral("camera off");
        else if (camera == 0x0100)
            name = QStringLiteral("shoot ") + text(2);
        else if (camera >> 8 == 0x20)
            name = QStringLiteral("lighting %1").arg(data[1]);
        else if (camera >> 8 == 0x21)
            name = QStringLiteral("exposure %1").arg(data[1]);
        else if (file == 0)
            name = QStringLiteral("open ") + text(8);
        else if (file == 1)
            name = QStringLiteral("read");
        else if (file == 4)
            name = QStringLiteral("close");
        else if (file == 5)
            name = QStringLiteral("delete ") + text(4);
        if (name != QLatin1String("read") || names.isEmpty() || names.last() != name)
            names << name;
    }
    return names;
}

}  // namespace orv::test
