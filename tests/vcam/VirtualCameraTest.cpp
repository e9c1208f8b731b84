#include "vcam/VirtualCamera.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace orv::vcam {
namespace {

TEST(VirtualCamera, DescriptionNamesThePhone)
{
    struct Row {
        const char* model;
        const char* description;
    };
    const Row rows[] = {
        {"Motorola V3x", "Orvello: Motorola V3x"},
        {"  Motorola E398 ", "Orvello: Motorola E398"},
        {"", "Orvello"},
        {"   ", "Orvello"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(NodeDescription(QString::fromUtf8(row.model)), QString::fromUtf8(row.description)) << row.model;
}

TEST(VirtualCamera, ShippedRateRepeatsFramesOftenEnoughForEveryConsumer)
{
    // Consumers built for 30 fps give up after about a second without a
    // frame; a rate above 30 only costs copies.
    EXPECT_EQ(kFramesPerSecond, 10);
}

// Without its module (a machine without libpipewire) the camera is refused
// with the reason, and asking again does not try again.
TEST(VirtualCamera, WithoutItsModuleTheCameraIsRefusedWithTheReason)
{
    QTemporaryDir dir;
    const QString missing = QDir(dir.path()).filePath(QStringLiteral("orvello-pipewire.so"));
    SetModulePathForTests(missing);
    EXPECT_EQ(ModuleCandidates(), QStringList{missing});
    for (int attempt = 0; attempt < 2; ++attempt) {
        QString error;
        QString warning = QStringLiteral("untouched");
        EXPECT_EQ(VirtualCamera::Start(QStringLiteral("Motorola V3x"), &error, &warning), nullptr);
        EXPECT_TRUE(error.startsWith(QStringLiteral("cannot load the PipeWire module ") + missing)) << error.toStdString();
        EXPECT_EQ(warning, QStringLiteral("untouched"));
        EXPECT_FALSE(ModuleLoaded());
    }
}

}  // namespace
}  // namespace orv::vcam
