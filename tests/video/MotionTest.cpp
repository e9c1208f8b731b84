// Recording only while something moves: the detector against short
// sequences of the simulated phone's pictures (still, noise, changes of
// exposure and light, small and large objects, the ball moving) with the
// events they must make; the events' timing and the frames kept from before
// a change; the plan read from the settings, brought into its ranges.

#include "capture/Jpeg.h"
#include "config/Settings.h"
#include "sim/SimPhone.h"
#include "tests/support/TestEnv.h"
#include "video/MotionDetector.h"
#include "video/MotionEvents.h"

#include <QPainter>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace orv::video {
namespace {

using Step = MotionEvents::Step;

constexpr std::time_t kSceneTime = 1796567400;

// The frames of a scene in front of the simulated phone's camera, decoded
// as the recorder decodes them. Each kind of frame is one letter:
//   s  the scene as it stands, the same picture as the one before
//   n  the scene as it stands, with fresh sensor grain
//   m  the scene moves: the ball, the frame counter and the clock go on
//   b  brighter, d  darker (the exposure one step up or down)
//   w  under a lamp (incandescent light, a warmer colour)
//   o  a small square (0.5 % of the picture) moving across the scene
//   p  a larger object (5 % of the picture) standing in the scene
// The grain takes eight forms in turn; frames are made once for all scenes.
class Scene {
public:
    explicit Scene(int resolution) : resolution_(resolution) {}

    QImage Frame(char kind, uint32_t index)
    {
        if (kind == 'm')
            ++drawn_;
        const uint32_t grain = kind == 's' ? drawn_ : 1000 + index % 8;
        const uint32_t place = kind == 'o' ? index : 0;
        const auto key = std::tuple(resolution_, drawn_, kind == 's' ? 'n' : kind, grain, place);
        auto found = Made().find(key);
        if (found == Made().end())
            found = Made().emplace(key, Make(kind, grain, place)).first;
        return found->second;
    }

private:
    using Key = std::tuple<int, uint32_t, char, uint32_t, uint32_t>;
    static std::map<Key, QImage>& Made()
    {
        static std::map<Key, QImage> made;
        return made;
    }

    QImage Make(char kind, uint32_t grain, uint32_t place)
    {
        const sim::PictureSize size = sim::ResolutionSize(resolution_);
        const int exposure = kind == 'b' ? 4 : kind == 'd' ? 2 : 3;
        const int lighting = kind == 'w' ? 4 : 1;
        const std::vector<uint8_t> jpeg =
            sim::ShootTestPicture(size.width, size.height, drawn_, kSceneTime + drawn_, lighting, exposure, grain);
        QImage frame;
        EXPECT_TRUE(DecodeJpeg(jpeg.data(), jpeg.size(), &frame));
        if (kind == 'o' || kind == 'p') {
            const int w = size.width, h = size.height;
            // 0.5 %: 1/14 of each side; 5 %: 2/9 of each side.
            const QRect object = kind == 'o' ? QRect(static_cast<int>(place) * w / 20, h * 3 / 5, w / 14, h / 14)
                                             : QRect(w / 2, h / 3, w * 2 / 9, h * 2 / 9);
            QPainter painter(&frame);
            painter.fillRect(object, QColor(60, 50, 40));
            painter.end();
            // The object goes through JPEG like the rest of the picture.
            const QByteArray again = EncodeJpeg(frame);
            EXPECT_TRUE(DecodeJpeg(reinterpret_cast<const uint8_t*>(again.constData()),
                                   static_cast<size_t>(again.size()), &frame));
        }
        return frame;
    }

    int resolution_;
    uint32_t drawn_ = 1;
};

// "5n 3m 20s": five frames n, three m, twenty s.
std::string Expand(const std::string& script)
{
    std::istringstream groups(script);
    std::string expanded, group;
    while (groups >> group)
        expanded.append(static_cast<size_t>(std::stoi(group)), group.back());
    return expanded;
}

struct Event {
    int start;      // the frame that starts it
    int end;        // the frame that ends it (not written), -1 while it goes on
    size_t frames;  // written into its file, those from before included

    bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Event& e)
{
    return out << "{" << e.start << ", " << e.end << ", " << e.frames << "}";
}

struct Sequence {
    const char* what;
    int resolution;  // the phone's code: 0 VGA, 4 80 x 60, 10 UXGA
    int thresholdTenths;
    uint32_t keepSeconds;
    const char* script;  // one frame a second
    std::vector<Event> events;
};

// Each sequence runs through the detector and the event tracker as the
// recorder runs its frames; the events must be exactly these.
TEST(MotionSequences, MakeTheirEvents)
{
    const Sequence sequences[] = {
        {"still", 0, 10, 3, "20s", {}},
        {"noise only", 0, 10, 3, "20n", {}},
        {"noise only, one pixel a block", 4, 10, 3, "30n", {}},
        {"noise only, UXGA", 10, 10, 3, "5n", {}},
        {"exposure a step up", 0, 10, 3, "5n 10b", {}},
        {"exposure a step down", 0, 10, 3, "5n 10d", {}},
        {"exposure up and down again", 0, 10, 3, "3n 3b 3n 3d 3n", {}},
        {"a lamp instead of daylight", 0, 10, 3, "5n 10w", {}},
        {"a small object below the threshold", 0, 10, 3, "5n 15o", {}},
        {"the same object above a lower threshold", 0, 5, 3, "5n 15o", {{5, -1, 18}}},
        // The ball that stands where it stopped, and the place it left, become
        // background after some dozens of frames.
        {"the ball moves, then stands", 0, 10, 3, "5n 4m 45n", {{5, 42, 40}}},
        {"the ball moves, one pixel a block", 4, 10, 3, "5n 4m 45n", {{5, 37, 35}}},
        {"the ball moves, UXGA", 10, 10, 2, "2n 3m", {{2, -1, 5}}},
        {"the ball moves while the exposure steps", 0, 10, 3, "3n 3m 1b 3m", {{3, -1, 10}}},
        {"an object enters and stays", 0, 10, 3, "5n 55p", {{5, 49, 47}}},
        {"an object leaves", 0, 10, 3, "5p 55n", {{5, 44, 42}}},
    };
    for (const Sequence& sequence : sequences) {
        SCOPED_TRACE(sequence.what);
        Scene scene(sequence.resolution);
        MotionDetector detector(sequence.thresholdTenths);
        MotionEvents events(sequence.keepSeconds * 1000);
        const std::string frames = Expand(sequence.script);
        std::vector<Event> seen;
        std::string shares;
        for (size_t i = 0; i < frames.size(); ++i) {
            const QImage frame = scene.Frame(frames[i], static_cast<uint32_t>(i));
            const MotionDetector::Result result = detector.Compare(frame);
            shares += " " + std::to_string(static_cast<int>(result.changedShare * 1000));
            switch (events.Feed(result.motion, 5000 + static_cast<uint32_t>(i) * 1000, frame)) {
            case Step::Start: seen.push_back({static_cast<int>(i), -1, 0}); break;
            case Step::End:
                seen.back().end = static_cast<int>(i);
                seen.back().frames = events.Frames();
                break;
            case Step::Wait:
            case Step::Record: break;
            }
        }
        if (events.InEvent())
            seen.back().frames = events.Frames();
        EXPECT_EQ(seen, sequence.events) << "changed share of each frame in tenths of a percent:" << shares;
    }
}

// A frame of one shade of red, to tell the kept frames apart; wide ones
// have another size.
QImage Shaded(int shade, bool wide = false)
{
    QImage frame(wide ? 8 : 4, wide ? 2 : 3, QImage::Format_RGB888);
    frame.fill(QColor(shade, 0, 0));
    return frame;
}

std::vector<int> Shades(const std::vector<QImage>& frames)
{
    std::vector<int> shades;
    for (const QImage& frame : frames)
        shades.push_back(frame.width() == 8 ? -qRed(frame.pixel(0, 0)) : qRed(frame.pixel(0, 0)));
    return shades;
}

struct Timing {
    const char* what;
    uint32_t keepMs, intervalMs, firstTick;
    const char* motion;  // M: a frame with motion, w: a wide frame, n: a null frame
    const char* steps;   // . wait, S start, + record, E end
    std::vector<std::vector<int>> before;  // the frames kept from before, at each start (wide ones negative)
    std::vector<size_t> frames;            // of each event that ended
};

// Frame i has shade i: the frames handed over at each start name themselves.
TEST(MotionEvents, StartGoOnAndEndAsTheirTimesSay)
{
    const Timing timings[] = {
        {"no motion", 3000, 1000, 0, "......", "......", {}, {}},
        {"motion at the first frame", 2000, 1000, 0, "M.....", "S++E..", {std::vector<int>{}}, {3}},
        {"kept on for 2 s after the last motion", 2000, 1000, 0, "...M.M....", "...S++++E.", {{0, 1, 2}}, {8}},
        {"at most three from before", 1000, 500, 0, "......MM...M", "......S+++ES", {{3, 4, 5}, {10}}, {7}},
        {"a change within the time to keep goes on", 1500, 500, 0, "..M...M.....", "..S+++++++E.", {{0, 1}}, {10}},
        {"the frame that ends one is kept for the next", 0, 1000, 0, "..M.M..M", "..SESE.S", {{0, 1}, {3}, {5, 6}},
         {3, 2}},
        {"nothing kept on", 0, 1000, 0, "MMM.MM.", "S++ES+E", {{}, {3}}, {3, 3}},
        {"slow frames end the event at once", 10000, 15000, 0, ".M.M", ".SES", {{0}, {2}}, {2}},
        {"across the tick count's wrap", 2000, 1000, 0xFFFFF000u, "..M....", "..S++E.", {{0, 1}}, {5}},
        {"frames of another size and none", 0, 1000, 0, ".wn.M", "....S", {{0, -1, 3}}, {}},
    };
    for (const Timing& t : timings) {
        SCOPED_TRACE(t.what);
        MotionEvents events(t.keepMs);
        std::string steps;
        std::vector<std::vector<int>> before;
        std::vector<size_t> frames;
        for (int i = 0; t.motion[i] != 0; ++i) {
            const char kind = t.motion[i];
            const QImage frame = kind == 'n' ? QImage() : Shaded(i, kind == 'w');
            const Step step = events.Feed(kind == 'M', t.firstTick + static_cast<uint32_t>(i) * t.intervalMs, frame);
            steps += ".S+E"[static_cast<int>(step)];
            if (step == Step::Start)
                before.push_back(Shades(events.Before()));
            if (step == Step::End)
                frames.push_back(events.Frames());
            EXPECT_EQ(events.InEvent(), step == Step::Start || step == Step::Record) << i;
        }
        EXPECT_EQ(steps, t.steps);
        EXPECT_EQ(before, t.before);
        EXPECT_EQ(frames, t.frames);
    }
}

TEST(MotionEvents, FramesHandedOverStayAsTheyWereAndResetForgets)
{
    MotionEvents events(0);
    for (int i = 0; i < 3; ++i)
        events.Feed(false, 1000 + static_cast<uint32_t>(i), Shaded(10 + i));
    ASSERT_EQ(events.Feed(true, 2000, Shaded(20)), Step::Start);
    const std::vector<QImage> handedOver = events.Before();
    // The event ends and three more frames are kept over the same ring.
    EXPECT_EQ(events.Feed(false, 3000, Shaded(30)), Step::End);
    EXPECT_EQ(events.StartTick(), 2000u);
    EXPECT_EQ(events.LastTick(), 2000u);
    events.Feed(false, 3001, Shaded(31));
    events.Feed(false, 3002, Shaded(32));
    ASSERT_EQ(events.Feed(true, 3003, Shaded(40)), Step::Start);
    EXPECT_EQ(Shades(handedOver), (std::vector<int>{10, 11, 12}));
    EXPECT_EQ(Shades(events.Before()), (std::vector<int>{30, 31, 32}));

    events.Reset();
    EXPECT_FALSE(events.InEvent());
    EXPECT_TRUE(events.Before().empty());
    EXPECT_EQ(events.Feed(false, 4000, Shaded(50)), Step::Wait) << "no event goes on";
    ASSERT_EQ(events.Feed(true, 5000, Shaded(51)), Step::Start);
    EXPECT_EQ(Shades(events.Before()), (std::vector<int>{50}));
}

// A grey frame; with dark set, its left quarter (whole pixels) is black.
QImage Grey(int width, int height, int grey, bool dark = false, QImage::Format format = QImage::Format_RGB888)
{
    QImage frame(width, height, format);
    frame.fill(QColor(grey, grey, grey));
    QPainter(&frame).fillRect(0, 0, dark ? width / 4 : 0, height, Qt::black);
    return frame;
}

TEST(MotionDetector, ChangedShareAndThresholdOnExactBlocks)
{
    const struct {
        int threshold;
        int blocks;  // of the 4800 blocks of 2 x 2 pixels, made black
        double share;
        bool motion;
    } cases[] = {
        {0, 0, 0.0, false}, {0, 1, 1.0 / 4800, true}, {1, 1, 1.0 / 4800, false}, {1, 5, 5.0 / 4800, true},
        {10, 47, 47.0 / 4800, false}, {10, 48, 48.0 / 4800, true}, {-3, 1, 1.0 / 4800, true},
        // Most of the picture black is more than the exposure could do: the
        // one block left grey is darker than expected too.
        {1000, 4799, 1.0, true}, {2000, 4800, 1.0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.threshold << " " << c.blocks);
        MotionDetector detector(c.threshold);
        QImage frame = Grey(160, 120, 128);
        EXPECT_FALSE(detector.Compare(frame).motion) << "the first frame is the background";
        for (int b = 0; b < c.blocks; ++b)
            QPainter(&frame).fillRect(2 * (b % 80), 2 * (b / 80), 2, 2, Qt::black);
        const MotionDetector::Result result = detector.Compare(frame);
        EXPECT_DOUBLE_EQ(result.changedShare, c.share);
        EXPECT_EQ(result.motion, c.motion);
    }
}

TEST(MotionDetector, NewSizesStartANewBackgroundAndOddFramesAreMeasured)
{
    const struct {
        const char* what;
        QImage first, second;
        double share;
    } cases[] = {
        {"another size", Grey(160, 120, 200), Grey(320, 240, 200, true), 0.0},
        {"a null frame", Grey(160, 120, 200), QImage(), 0.0},
        {"smaller than the grid: a block a pixel", Grey(7, 3, 200), Grey(7, 3, 200, true), 3.0 / 21},
        {"no whole number of pixels a block", Grey(83, 61, 200), Grey(83, 61, 200, true), 0.25},
        {"32-bit frames", Grey(160, 120, 200, false, QImage::Format_RGB32),
         Grey(160, 120, 200, true, QImage::Format_RGB32), 0.25},
        {"a brighter grey", Grey(160, 120, 100), Grey(160, 120, 140), 0.0},
        // One block cannot tell a change from the exposure's.
        {"one pixel", Grey(1, 1, 50), Grey(1, 1, 150), 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MotionDetector detector;
        EXPECT_EQ(detector.Compare(c.first).changedShare, 0.0);
        EXPECT_EQ(detector.Compare(c.second).changedShare, c.share);
    }
    // A null frame leaves the background as it was.
    MotionDetector detector;
    detector.Compare(Grey(160, 120, 200));
    detector.Compare(QImage());
    EXPECT_EQ(detector.Compare(Grey(160, 120, 200, true)).changedShare, 0.25);
}

TEST(MotionPlan, ComesFromTheSettingsWithinItsRanges)
{
    test::FreshSettingsFile();
    Settings settings;
    const MotionPlan defaults = MotionPlan::FromSettings(settings);
    EXPECT_EQ(std::tuple(defaults.enabled, defaults.thresholdTenths, defaults.keepSeconds), std::tuple(false, 10, 10u));
    const std::tuple<bool, int, int, int, uint32_t> cases[] = {
        {true, 1, 0, 1, 0}, {true, 1000, 3600, 1000, 3600}, {true, -5, -1, 0, 0}, {false, 1001, 3601, 1000, 3600},
    };
    for (const auto& [on, threshold, keep, planThreshold, planKeep] : cases) {
        settings.SetRecordOnMotion(on);
        settings.SetMotionThreshold(threshold);
        settings.SetMotionKeepSeconds(keep);
        const MotionPlan plan = MotionPlan::FromSettings(settings);
        EXPECT_EQ(std::tuple(plan.enabled, plan.thresholdTenths, plan.keepSeconds),
                  std::tuple(on, planThreshold, planKeep));
    }
}

}  // namespace
}  // namespace orv::video
