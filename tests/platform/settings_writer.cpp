// Test helper: writes settings from another process.
//   settings_writer FILE PREFIX COUNT   writes PREFIX0..PREFIX<COUNT-1> = index
//   settings_writer FILE big            rewrites one large text for ever (to be killed)
//   settings_writer FILE poke AT TEXT   writes TEXT over the file's bytes from AT on, in place
#include "platform/SettingsStore.h"

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    setenv("ORVELLO_SETTINGS_FILE", argv[1], 1);
    const std::string mode = argv[2];
    if (mode == "big") {
        for (unsigned n = 0;; ++n)
            orv::reg::WriteRegString("Big", std::string(200000 + n % 1000, static_cast<char>('a' + n % 26)));
    }
    if (argc < 4)
        return 2;
    if (mode == "poke") {
        if (argc < 5)
            return 2;
        const int fd = ::open(argv[1], O_WRONLY | O_CLOEXEC);
        const std::string text = argv[4];
        const ssize_t put = fd < 0 ? -1 : ::pwrite(fd, text.data(), text.size(), std::atoll(argv[3]));
        return fd >= 0 && ::close(fd) == 0 && put == static_cast<ssize_t>(text.size()) ? 0 : 1;
    }
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i)
        orv::reg::WriteRegInt(mode + std::to_string(i), i);
    return 0;
}
