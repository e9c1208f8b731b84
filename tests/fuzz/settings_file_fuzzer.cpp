// Any text read as a settings file: parsing never fails unsafely, and what
// parses writes back as a file that parses to the same keys, value names,
// types and bytes, and writes back to the same text.
#include "platform/RegFile.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto file = orv::reg::RegFile::Parse(text);
    if (!file)
        return 0;
    const std::string written = file->Serialize();
    const auto again = orv::reg::RegFile::Parse(written);
    if (!again || again->Keys().size() != file->Keys().size())
        std::abort();
    for (size_t k = 0; k < file->Keys().size(); ++k) {
        const auto& a = file->Keys()[k];
        const auto& b = again->Keys()[k];
        if (a.path != b.path || a.values.size() != b.values.size())
            std::abort();
        for (size_t v = 0; v < a.values.size(); ++v)
            if (a.values[v].name != b.values[v].name || a.values[v].data != b.values[v].data ||
                a.values[v].type != b.values[v].type)
                std::abort();
    }
    if (again->Serialize() != written)
        std::abort();
    return 0;
}
