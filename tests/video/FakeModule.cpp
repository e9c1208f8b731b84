// Stand-ins for a wrong FFmpeg module: built once without the module's
// symbols, once exporting another interface version and an entry point that
// must never be called.

#include "video/FfmpegModule.h"

#include <cstdlib>

#ifdef FAKE_ABI_VERSION
extern "C" {

[[gnu::visibility("default")]] extern const int orvello_ffmpeg_abi;
const int orvello_ffmpeg_abi = FAKE_ABI_VERSION;

[[gnu::visibility("default")]] orv::video::module::Module* orvello_ffmpeg_open(
    int, const orv::video::module::HostServices*)
{
    std::abort();
}

}  // extern "C"
#else
extern "C" [[gnu::visibility("default")]] int orvello_fake_module_without_entry()
{
    return 0;
}
#endif
