// Every settings accessor, one case each: the getter alone, on a
// fresh file, gives the default in its own type and creates the empty key;
// the setter stores the value under its name, in its form, byte for byte,
// and the getter reads it back.

#include "platform/RegFile.h"
#include "config/Settings.h"
#include "tests/support/TestEnv.h"

#include <QFile>
#include <QVariant>

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <optional>

namespace orv {
namespace {

using Bytes = std::vector<uint8_t>;

// The values of the settings key as the file holds them; nothing without the key.
std::optional<std::vector<reg::Value>> StoredValues(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto parsed = reg::RegFile::Parse(file.readAll().toStdString());
    const reg::Key* key = parsed ? parsed->FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello") : nullptr;
    if (!key)
        return std::nullopt;
    return key->values;
}

struct Accessor {
    const char* name;  // the value's name, spelt as stored
    QVariant defaultValue;
    std::function<QVariant(const Settings&)> get;
    std::function<void(Settings&)> set;  // stores `written`
    QVariant written;
    uint32_t type;
    Bytes stored;
};

#define ROW(accessor, name, defaultValue, value, type, ...)                                                     \
    Accessor{name, QVariant(defaultValue), [](const Settings& s) { return QVariant(s.Get##accessor()); },      \
             [](Settings& s) { s.Set##accessor(value); }, QVariant(value), reg::type, Bytes{__VA_ARGS__}}

class SettingsAccessorTest : public ::testing::TestWithParam<Accessor> {};

TEST_P(SettingsAccessorTest, DefaultCreatesTheKeyAndTheValueIsStoredInItsForm)
{
    const Accessor& a = GetParam();
    const QString home = test::TempFolder() + QStringLiteral("/home");
    qputenv("HOME", home.toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
    const QString path = test::FreshSettingsFile();
    const Settings settings;

    const QVariant value = a.get(settings);
    EXPECT_EQ(value.metaType(), a.defaultValue.metaType());
    EXPECT_EQ(value, a.defaultValue);
    const auto created = StoredValues(path);
    ASSERT_TRUE(created) << "the getter creates the key";
    EXPECT_TRUE(created->empty());

    Settings writer;
    a.set(writer);
    const auto values = StoredValues(path);
    ASSERT_TRUE(values);
    ASSERT_EQ(values->size(), 1u);
    EXPECT_EQ(values->front().name, a.name);
    EXPECT_EQ(values->front().type, a.type);
    EXPECT_EQ(values->front().data, a.stored);
    EXPECT_EQ(a.get(settings), a.written);
}

// One row per setting, in the order of ORV_SETTINGS, with its shipped
// default as a literal.
const Accessor kRows[] = {
        ROW(TempJpgName, "TempJpgName", QStringLiteral("/a/temp.jpg"), QStringLiteral("/b/x.jpg"), kRegSz, '/',
            'b', '/', 'x', '.', 'j', 'p', 'g', 0),
        ROW(AutoSuspendMode, "AutoSuspendMode", true, false, kRegDword, 0, 0, 0, 0),
        ROW(JpgType, "JpgType", 0, 10, kRegDword, 10, 0, 0, 0),
        ROW(Timeout, "Timeout", 1000, -1, kRegDword, 0xFF, 0xFF, 0xFF, 0xFF),
        ROW(CloseToTray, "CloseToTray", false, true, kRegDword, 1, 0, 0, 0),
        ROW(AutoRestart, "AutoRestart", true, false, kRegDword, 0, 0, 0, 0),
        ROW(AutoFormResize, "AutoFormResize", true, false, kRegDword, 0, 0, 0, 0),
        ROW(ShowSplash, "ShowSplash", true, false, kRegDword, 0, 0, 0, 0),
        ROW(AviTempName, "AviTempName", test::TempFolder() + QStringLiteral("/home/Videos/temp.avi"),
            QStringLiteral("/v/a.avi"), kRegSz, '/', 'v', '/', 'a', '.', 'a', 'v', 'i', 0),
        // 0.4 has no exact single-precision twin: stored narrowed, it would be 0.4000000059604645.
        ROW(Fps, "Fps", 1.0, 0.4, kRegBinary, 0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xD9, 0x3F),
        ROW(DuplicatePicture, "DuplicatePicture", true, false, kRegDword, 0, 0, 0, 0),
        ROW(CodecIndex, "CodecIndex", 0, 3, kRegDword, 3, 0, 0, 0),
        ROW(OptionsTabIndex, "OptionsTabIndex", 0, 2, kRegDword, 2, 0, 0, 0),
        ROW(PrintDateOnImage, "PrintDateOnImage", true, false, kRegDword, 0, 0, 0, 0),
        ROW(CameraInitTime, "CameraInitTime", 1500, 2500, kRegDword, 0xC4, 0x09, 0, 0),
        ROW(AmbientLight, "AmbientLight", 1, 5, kRegDword, 5, 0, 0, 0),
        ROW(Expose, "Expose", 2, 4, kRegDword, 4, 0, 0, 0),
        ROW(AutoFps, "AutoFps", true, false, kRegDword, 0, 0, 0, 0),
        ROW(AutoAviFileName, "AutoAviFileName", false, true, kRegDword, 1, 0, 0, 0),
        ROW(AviFolder, "AviFolder", test::TempFolder() + QStringLiteral("/home/Videos/"), QStringLiteral("/v/"),
            kRegSz, '/', 'v', '/', 0),
        ROW(ServerEnabled, "ServerEnabled", false, true, kRegDword, 1, 0, 0, 0),
        ROW(ServerPort, "ServerPort", 8080, 80, kRegDword, 0x50, 0, 0, 0),
        ROW(AutoPhoneConnect, "AutoPhoneConnect", true, false, kRegDword, 0, 0, 0, 0),
        ROW(LangIndex, "LangIndex", 0, -1, kRegDword, 0xFF, 0xFF, 0xFF, 0xFF),
        ROW(ServerStream, "ServerStream", false, true, kRegDword, 1, 0, 0, 0),
        ROW(RecordToFile, "RecordToFile", true, false, kRegDword, 0, 0, 0, 0),
        ROW(VirtualCamera, "VirtualCamera", false, true, kRegDword, 1, 0, 0, 0),
        ROW(AviSplitMinutes, "AviSplitMinutes", 0, 60, kRegDword, 60, 0, 0, 0),
        ROW(AviKeepMegabytes, "AviKeepMegabytes", 0, 10240, kRegDword, 0x00, 0x28, 0, 0),
        ROW(ServerLocalOnly, "ServerLocalOnly", false, true, kRegDword, 1, 0, 0, 0),
        ROW(ServerUser, "ServerUser", QString(), QStringLiteral("cam"), kRegSz, 'c', 'a', 'm', 0),
        ROW(ServerPasswordHash, "ServerPasswordHash", QString(), QStringLiteral("p$1"), kRegSz, 'p', '$', '1', 0),
        ROW(RecordOnMotion, "RecordOnMotion", false, true, kRegDword, 1, 0, 0, 0),
        ROW(MotionThreshold, "MotionThreshold", 10, 250, kRegDword, 0xFA, 0, 0, 0),
        ROW(MotionKeepSeconds, "MotionKeepSeconds", 10, 300, kRegDword, 0x2C, 0x01, 0, 0),
};

INSTANTIATE_TEST_SUITE_P(All, SettingsAccessorTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Accessor>& row) { return std::string(row.param.name); });

TEST(SettingsTable, HasARowForEverySettingInItsOrder)
{
    ASSERT_EQ(std::size(kRows), std::size(kSettingNames));
    for (size_t i = 0; i < std::size(kRows); ++i)
        EXPECT_STREQ(kRows[i].name, kSettingNames[i]);
}

}  // namespace
}  // namespace orv
