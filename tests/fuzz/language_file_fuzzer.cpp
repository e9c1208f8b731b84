// Any bytes read as a language file: decoding and the entry lookup never
// fail unsafely, and an entry's text keeps to its length limit.
#include "texts/LangFile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString text = orv::lang::DecodeLanguageBytes(bytes);
    for (const char* key : {"FILE", "STR3", "s1", ""}) {
        for (const char* section : {"MENU", "strs", ""}) {
            const auto entry = orv::lang::FindIniEntry(text, QString::fromLatin1(section), QString::fromLatin1(key));
            if (entry && entry->size() > orv::lang::kMaxEntryLength)
                std::abort();
        }
    }
    return 0;
}
