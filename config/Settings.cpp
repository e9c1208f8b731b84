#include "Settings.h"

#include "platform/SettingsStore.h"

#include <QDir>
#include <QStandardPaths>

namespace orv {
namespace {

QString VideosFolder()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    return folder;
}

SettingText ReadText(const char* name, const QString& defaultValue)
{
    return QString::fromUtf8(reg::ReadRegString(name, defaultValue.toUtf8().toStdString()));
}
void WriteText(const char* name, const QString& value) { reg::WriteRegString(name, value.toUtf8().toStdString()); }
SettingInt ReadInt(const char* name, SettingInt defaultValue) { return reg::ReadRegInt(name, defaultValue); }
void WriteInt(const char* name, SettingInt value) { reg::WriteRegInt(name, value); }
SettingBool ReadBool(const char* name, SettingBool defaultValue) { return reg::ReadRegBool(name, defaultValue); }
void WriteBool(const char* name, SettingBool value) { reg::WriteRegBool(name, value); }
SettingFloat ReadFloat(const char* name, SettingFloat defaultValue) { return reg::ReadRegFloat(name, defaultValue); }
void WriteFloat(const char* name, SettingFloat value) { reg::WriteRegFloat(name, value); }

}  // namespace

QString DefaultAviTempName() { return VideosFolder() + QStringLiteral("/temp.avi"); }

QString DefaultAviFolder()
{
    QString folder = VideosFolder();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

#define ORV_DEFINE_ACCESSORS(name, form, defaultValue)                                      \
    Setting##form Settings::Get##name() const { return Read##form(#name, defaultValue); }   \
    void Settings::Set##name(const Setting##form& value) { Write##form(#name, value); }
ORV_SETTINGS(ORV_DEFINE_ACCESSORS)
#undef ORV_DEFINE_ACCESSORS

}  // namespace orv
