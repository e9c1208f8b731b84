// Test helper: records into an AVI file from another process, to be killed
// or to run into a file size limit.
//   avi_recorder_child ENCODER FILE FRAMES full          records until a frame
//   finds no room on the disk, then completes the file
//   avi_recorder_child ENCODER FILE FRAMES kill          records FRAMES frames,
//   then dies by SIGKILL avi_recorder_child ENCODER FILE FRAMES limit BYTES
//   records until a write fails under a file
//                                                        size limit of BYTES,
//                                                        then completes the
//                                                        file
// Prints "written N" (frames accepted) and, when a frame was refused,
// "error REASON" and "file-failed 1|0".
#include "video/AviFile.h"
#include "video/CodecCatalogue.h"
#include "VideoTestKit.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/resource.h>

int main(int argc, char** argv)
{
    if (argc < 5)
        return 2;
    const QString encoder = QString::fromUtf8(argv[1]);
    const QString path = QString::fromUtf8(argv[2]);
    const int frames = std::atoi(argv[3]);
    const std::string mode = argv[4];
    // "full": records until FRAMES frames or until a frame finds no room.
    if (mode == "limit") {
        if (argc < 6)
            return 2;
        // Writing past the limit fails with EFBIG instead of ending the process.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{rlim_t(std::atoll(argv[5])), rlim_t(std::atoll(argv[5]))};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 3;
    }

    orv::video::CodecCatalogue codecs;
    const int index = codecs.IndexOf(encoder);
    if (index < 0)
        return 4;
    QString error;
    std::unique_ptr<orv::video::AviFile> file = orv::video::AviFile::Open(path, &error);
    if (!file) {
        std::printf("error %s\n", error.toUtf8().constData());
        return 5;
    }
    auto compressor = std::make_unique<orv::video::FrameEncoder>(codecs.Handle(index));
    int written = 0;
    for (int i = 0; i < frames; ++i) {
        const QImage picture = orv::test::MovingPicture(320, 240, i);
        if (!compressor->StartStream(*file, picture, 2.0) || !compressor->CompressFrame(picture)) {
            std::printf("error %s\nfile-failed %d\n", compressor->LastError().toUtf8().constData(),
                        compressor->FileFailed() ? 1 : 0);
            break;
        }
        ++written;
    }
    std::printf("written %d\n", written);
    std::fflush(stdout);
    if (mode == "kill")
        std::raise(SIGKILL);
    file.reset();
    compressor.reset();
    return 0;
}
