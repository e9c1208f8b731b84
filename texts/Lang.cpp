#include "Lang.h"

#include "LangFile.h"
#include "LangTexts.h"
#include "config/Paths.h"
#include "config/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTranslator>

#include <algorithm>
#include <memory>
#include <optional>

namespace orv {

QStringList LanguageFiles()
{
    lang::CountFolderListing();
    // Every entry whose name matches counts, whatever it is (a folder with
    // such a name too), hidden ones included; the name filter ignores case.
    const QDir folder(LanguageFolder());
    QStringList names = folder.entryList({QStringLiteral("*.lng")},
                                         QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                         QDir::Unsorted);
    // One fixed order for the options dialog's list and every lookup: by name,
    // ignoring case, ties broken by the exact name.
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return names;
}

QStringList LanguageNames()
{
    QStringList names{QString::fromUtf8(txt::kLanguageName.builtIn)};
    const QString folder = LanguageFolder();
    const QString section = QString::fromLatin1(txt::kLanguageName.section);
    const QString key = QString::fromLatin1(txt::kLanguageName.key);
    for (const QString& file : LanguageFiles()) {
        const std::optional<QString> name = lang::ReadIniEntry(folder + QLatin1Char('/') + file, section, key);
        if (name && !name->isEmpty())
            names << *name;
        else
            names << (file.endsWith(QLatin1String(".lng"), Qt::CaseInsensitive) ? file.chopped(4) : file);
    }
    return names;
}

QString ExpandLineBreaks(const QString& text)
{
    QString expanded = text;
    return expanded.replace(QLatin1String("\\n"), QLatin1String("\n"));
}

QString LanguageEntryAt(int index, const LangEntry& entry, const QString& fallback)
{
    const QString builtIn = QString::fromUtf8(entry.builtIn);
    if (index <= 0)
        return builtIn;
    const QStringList files = LanguageFiles();
    if (index > files.size())
        return builtIn;
    return lang::ReadIniEntry(LanguageFolder() + QLatin1Char('/') + files.at(index - 1),
                              QString::fromLatin1(entry.section), QString::fromLatin1(entry.key))
        .value_or(fallback);
}

QString QtTranslationPath(const QString& name)
{
    if (name.contains(QLatin1Char('/')))
        return name;
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QLatin1Char('/') + name + QStringLiteral(".qm");
}

bool InstallQtTranslation(int index)
{
    // One translator for the process, replaced at each change of language.
    static QTranslator* installed = nullptr;
    auto* application = QCoreApplication::instance();
    if (!application)
        return false;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
    }
    // A file that names no translation leaves Qt in its own English.
    const QString name = LanguageEntryAt(index, txt::kQtTranslation, QString()).trimmed();
    if (name.isEmpty())
        return false;
    auto translator = std::make_unique<QTranslator>(application);
    if (!translator->load(QtTranslationPath(name)))
        return false;
    QCoreApplication::installTranslator(translator.get());
    installed = translator.release();
    return true;
}

QString LangTextAt(int index, const QString& section, const QString& key, const QString& builtIn)
{
    if (index <= 0)
        return builtIn;
    const QStringList files = LanguageFiles();
    if (index > files.size())
        return builtIn;
    const QString path = LanguageFolder() + QLatin1Char('/') + files.at(index - 1);
    return lang::ReadIniEntry(path, section, key).value_or(builtIn);
}

QString LangText(const QString& section, const QString& key, const QString& builtIn)
{
    return LangTextAt(Settings().GetLangIndex(), section, key, builtIn);
}

QString LangText(const LangEntry& entry)
{
    return LangText(QString::fromLatin1(entry.section), QString::fromLatin1(entry.key),
                    QString::fromUtf8(entry.builtIn));
}

QString LangTextAt(int index, const LangEntry& entry)
{
    return LangTextAt(index, QString::fromLatin1(entry.section), QString::fromLatin1(entry.key),
                      QString::fromUtf8(entry.builtIn));
}

QStringList LangTexts(std::span<const LangEntry> entries)
{
    std::optional<QString> text;
    if (const int index = Settings().GetLangIndex(); index > 0) {
        const QStringList files = LanguageFiles();
        if (index <= files.size())
            text = lang::ReadIniText(LanguageFolder() + QLatin1Char('/') + files.at(index - 1));
    }
    QStringList texts;
    texts.reserve(static_cast<qsizetype>(entries.size()));
    for (const LangEntry& entry : entries) {
        std::optional<QString> found;
        if (text)
            found = lang::FindIniEntry(*text, QString::fromLatin1(entry.section), QString::fromLatin1(entry.key));
        texts << found.value_or(QString::fromUtf8(entry.builtIn));
    }
    return texts;
}

}  // namespace orv
