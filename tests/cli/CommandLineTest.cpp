// The long options of the program without a window, parsed: what each run
// is asked to do, and the message for each kind of mistake.

#include "cli/CommandLine.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

using Action = LongOptions::Action;

TEST(CommandLine, PhotoAndRecordOptions)
{
    struct Case {
        QStringList arguments;
        Action action;
        const char* fileOrError;
        int wait = 30;
        int frames = 0;
        int seconds = 0;
        std::optional<uint32_t> split = std::nullopt;
        std::optional<uint32_t> keep = std::nullopt;
        bool onMotion = false;
        std::optional<int> threshold = std::nullopt;
    };
    const auto args = [](std::initializer_list<const char*> words) {
        QStringList list;
        for (const char* word : words)
            list << QString::fromUtf8(word);
        return list;
    };
    const Case cases[] = {
        {args({"--photo", "shot.jpg"}), Action::Photo, "shot.jpg"},
        {args({"--simulate-phone", "--photo=/tmp/a b.JPEG", "--wait=5"}), Action::Photo, "/tmp/a b.JPEG", 5},
        {args({"--photo", "x.bmp", "--wait", "2000000"}), Action::Photo, "x.bmp", 2000000},
        {args({"--record", "cam.avi", "--frames", "10", "--seconds=60", "--wait", "1"}), Action::Record, "cam.avi", 1,
         10, 60},
        {args({"--record", "videos/"}), Action::Record, "videos/"},
        {args({"--record", "videos/", "--split-minutes", "60", "--keep-megabytes=10240"}), Action::Record, "videos/",
         30, 0, 0, 60, 10240},
        {args({"--record", "a.avi", "--split-minutes=0", "--keep-megabytes", "4294967295"}), Action::Record, "a.avi",
         30, 0, 0, 0, 4294967295u},
        {args({"--split-minutes", "5"}), Action::Error, "option '--split-minutes' goes with --photo, --record or --serve"},
        {args({"--serve", "--keep-megabytes", "5"}), Action::Error,
         "option '--keep-megabytes' goes with --record, not with --serve"},
        {args({"--photo", "a.jpg", "--keep-megabytes", "5"}), Action::Error,
         "option '--keep-megabytes' goes with --record, not with --photo"},
        {args({"--record", "a.avi", "--split-minutes", "-1"}), Action::Error,
         "option '--split-minutes' needs a whole number from 0 to 4294967295, not '-1'"},
        {args({"--record", "a.avi", "--keep-megabytes", "4294967296"}), Action::Error,
         "option '--keep-megabytes' needs a whole number from 0 to 4294967295, not '4294967296'"},
        {args({"--record", "a.avi", "--split-minutes", "+5"}), Action::Error,
         "option '--split-minutes' needs a whole number from 0 to 4294967295, not '+5'"},
        {args({"--record", "a.avi", "--keep-megabytes"}), Action::Error, "option '--keep-megabytes' needs a value"},
        {args({"--photo", "shot.jpg", "--help"}), Action::Help, ""},
        {args({"-s", "--simulate-phone"}), Action::Run, ""},
        {args({"--photo"}), Action::Error, "option '--photo' needs a value"},
        {args({"--photo="}), Action::Error, "option '--photo' needs a file name"},
        {args({"--photo", "a.jpg", "--record", "b.avi"}), Action::Error,
         "--photo and --record cannot be given together or twice"},
        {args({"--wait", "3"}), Action::Error, "option '--wait' goes with --photo, --record or --serve"},
        {args({"--photo", "a.jpg", "--seconds", "3"}), Action::Error,
         "option '--seconds' goes with --record, not with --photo"},
        {args({"--photo", "a.jpg", "--wait", "0"}), Action::Error,
         "option '--wait' needs a whole number of seconds from 1 to 2000000, not '0'"},
        {args({"--record", "a.avi", "--seconds", "2000001"}), Action::Error,
         "option '--seconds' needs a whole number of seconds from 1 to 2000000, not '2000001'"},
        {args({"--record", "a.avi", "--frames", "1e3"}), Action::Error,
         "option '--frames' needs a whole number of frames from 1 up, not '1e3'"},
        {args({"--photo", "a.gif"}), Action::Error,
         "cannot tell the picture's format from 'a.gif': name the file .jpg, .jpeg or .bmp"},
        {args({"--photo", "a.jpg", "-d"}), Action::Error, "unexpected argument '-d' with --photo"},
        {args({"--record", "a.avi", "b.avi"}), Action::Error, "unexpected argument 'b.avi' with --record"},
        {args({"--help=1"}), Action::Error, "unknown option '--help=1'"},
        {args({"--record", "door/", "--on-motion"}), Action::Record, "door/", 30, 0, 0, {}, {}, true},
        {args({"--record", "door/", "--motion-threshold=0", "--on-motion", "--split-minutes", "5"}), Action::Record,
         "door/", 30, 0, 0, 5, {}, true, 0},
        {args({"--on-motion", "--motion-threshold", "1000", "--record", "a.avi"}), Action::Record, "a.avi", 30, 0, 0, {},
         {}, true, 1000},
        {args({"--record", "a.avi", "--motion-threshold", "15"}), Action::Error,
         "option '--motion-threshold' goes with --on-motion"},
        {args({"--record", "a.avi", "--on-motion", "--motion-threshold", "1001"}), Action::Error,
         "option '--motion-threshold' needs a whole number of tenths of a percent from 0 to 1000, not '1001'"},
        {args({"--record", "a.avi", "--on-motion", "--motion-threshold", "-1"}), Action::Error,
         "option '--motion-threshold' needs a whole number of tenths of a percent from 0 to 1000, not '-1'"},
        {args({"--record", "a.avi", "--on-motion", "--motion-threshold", "1.5"}), Action::Error,
         "option '--motion-threshold' needs a whole number of tenths of a percent from 0 to 1000, not '1.5'"},
        {args({"--record", "a.avi", "--on-motion", "--motion-threshold"}), Action::Error,
         "option '--motion-threshold' needs a value"},
        {args({"--serve", "--on-motion"}), Action::Error, "option '--on-motion' goes with --record, not with --serve"},
        {args({"--photo", "a.jpg", "--on-motion"}), Action::Error,
         "option '--on-motion' goes with --record, not with --photo"},
        {args({"--on-motion"}), Action::Error, "option '--on-motion' goes with --photo, --record or --serve"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        const LongOptions options = ParseLongOptions(c.arguments);
        EXPECT_EQ(options.action, c.action);
        if (c.action == Action::Error) {
            EXPECT_EQ(options.error.toStdString(), c.fileOrError);
            continue;
        }
        if (c.action == Action::Photo || c.action == Action::Record) {
            EXPECT_EQ(options.file.toStdString(), c.fileOrError);
            EXPECT_EQ(options.waitSeconds, c.wait);
            EXPECT_EQ(options.frames, c.frames);
            EXPECT_EQ(options.seconds, c.seconds);
            EXPECT_EQ(options.splitMinutes, c.split);
            EXPECT_EQ(options.keepMegabytes, c.keep);
            EXPECT_EQ(options.onMotion, c.onMotion);
            EXPECT_EQ(options.motionThreshold, c.threshold);
        }
    }
}

}  // namespace
}  // namespace orv
