// The encoder's configuration dialog and about box, answered offscreen
// through the dialog interface: what the user changes reaches the next
// recording, limits hold, Cancel changes nothing.

#include "video/AviFile.h"
#include "video/CodecCatalogue.h"
#include "shell/Dialogs.h"
#include "tests/support/TestEnv.h"
#include "VideoTestKit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

namespace orv::video {
namespace {

class CodecDialogs : public ::testing::Test {
protected:
    void SetUp() override { SetDialogs(&dialogs_); }
    void TearDown() override { SetDialogs(nullptr); }

    QString Value(int index, const char* name) const
    {
        for (const CodecOption& option : codecs_.Options(index)) {
            if (option.name == QLatin1String(name))
                return option.value;
        }
        return QStringLiteral("(absent)");
    }

    std::vector<bool> RecordedKeyFrames(int index, int frames)
    {
        const QString path = test::TempFolder() + QStringLiteral("/dialog-%1.avi").arg(++recordings_);
        auto file = AviFile::Open(path);
        EXPECT_TRUE(file);
        FrameEncoder compressor(codecs_.Handle(index));
        for (int i = 0; i < frames; ++i) {
            const QImage picture = test::MovingPicture(160, 120, i);
            EXPECT_TRUE(compressor.StartStream(*file, picture, 1.0));
            EXPECT_TRUE(compressor.CompressFrame(picture));
        }
        file.reset();
        return test::Demux(path).keyFrames;
    }

    CodecCatalogue codecs_;
    RecordingDialogs dialogs_;
    int recordings_ = 0;
};

TEST_F(CodecDialogs, OkAppliesTheChangedOptionsToTheNextRecording)
{
    const int mpeg4 = codecs_.IndexOf(QStringLiteral("mpeg4"));
    ASSERT_GE(mpeg4, 0);
    QString title;
    dialogs_.onModal = [&](QDialog* dialog) {
        title = dialog->windowTitle();
        auto* keyInterval = dialog->findChild<QSpinBox*>(QStringLiteral("g"));
        if (!keyInterval)
            return int(QDialog::Rejected);
        keyInterval->setValue(3);
        return int(QDialog::Accepted);
    };
    codecs_.Configure(nullptr, mpeg4);
    EXPECT_EQ(title, QStringLiteral("MPEG-4 part 2"));
    EXPECT_EQ(Value(mpeg4, "g"), "3");
    // Nothing else changed: constant quality 3 stays.
    EXPECT_EQ(Value(mpeg4, "global_quality"), "354");
    EXPECT_EQ(RecordedKeyFrames(mpeg4, 7), (std::vector<bool>{true, false, false, true, false, false, true}));
    EXPECT_TRUE(dialogs_.Messages().empty());
}

TEST_F(CodecDialogs, CancelChangesNothing)
{
    const int mpeg4 = codecs_.IndexOf(QStringLiteral("mpeg4"));
    dialogs_.onModal = [](QDialog* dialog) {
        if (auto* keyInterval = dialog->findChild<QSpinBox*>(QStringLiteral("g")))
            keyInterval->setValue(3);
        if (auto* qscale = dialog->findChild<QCheckBox*>(QStringLiteral("flags.qscale")))
            qscale->setChecked(false);
        return int(QDialog::Rejected);
    };
    codecs_.Configure(nullptr, mpeg4);
    EXPECT_EQ(Value(mpeg4, "g"), "12");
    EXPECT_EQ(RecordedKeyFrames(mpeg4, 4), (std::vector<bool>{true, false, false, false}));
}

TEST_F(CodecDialogs, TheFormShowsFlagsAsCheckBoxesNamedValuesAsListsAndHoldsLimits)
{
    const int mjpeg = codecs_.IndexOf(QStringLiteral("mjpeg"));
    int qminMaximum = 0, qminAfter = 0;
    bool qscaleChecked = false;
    QStringList huffman, formats;
    dialogs_.onModal = [&](QDialog* dialog) {
        if (auto* qscale = dialog->findChild<QCheckBox*>(QStringLiteral("flags.qscale")))
            qscaleChecked = qscale->isChecked();
        if (auto* list = dialog->findChild<QComboBox*>(QStringLiteral("huffman"))) {
            for (int i = 0; i < list->count(); ++i)
                huffman << list->itemText(i);
            list->setCurrentIndex(list->findText(QStringLiteral("default")));
        }
        if (auto* list = dialog->findChild<QComboBox*>(QStringLiteral("pixel_format"))) {
            for (int i = 0; i < list->count(); ++i)
                formats << list->itemText(i);
        }
        if (auto* qmin = dialog->findChild<QSpinBox*>(QStringLiteral("qmin"))) {
            qminMaximum = qmin->maximum();
            qmin->setValue(500);
            qminAfter = qmin->value();
        }
        // The encoder does not open with qmin above qmax.
        if (auto* qmax = dialog->findChild<QSpinBox*>(QStringLiteral("qmax")))
            qmax->setValue(69);
        return int(QDialog::Accepted);
    };
    codecs_.Configure(nullptr, mjpeg);
    EXPECT_TRUE(qscaleChecked);
    EXPECT_EQ(huffman, QStringList({"default", "optimal"}));
    EXPECT_TRUE(formats.contains(QStringLiteral("yuvj420p")));
    EXPECT_TRUE(formats.contains(QStringLiteral("yuvj444p")));
    EXPECT_EQ(qminMaximum, 69);
    EXPECT_EQ(qminAfter, 69);
    EXPECT_EQ(Value(mjpeg, "qmin"), "69");
    EXPECT_EQ(Value(mjpeg, "huffman"), "0");
    EXPECT_TRUE(dialogs_.Messages().empty());
}

// Scrolling the options page over a spin box or a list changes nothing
// unless that control has the focus.
TEST_F(CodecDialogs, TheWheelChangesOnlyAFocusedControl)
{
    const int mpeg4 = codecs_.IndexOf(QStringLiteral("mpeg4"));
    ASSERT_GE(mpeg4, 0);
    struct Row {
        const char* control;
        bool focused;
        bool changes;
    };
    const Row rows[] = {{"g", false, false}, {"g", true, true}, {"pixel_format", false, false}};
    int rowsRun = 0;
    dialogs_.onModal = [&](QDialog* dialog) {
        dialog->show();
        dialog->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(dialog));
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.control) + (row.focused ? " focused" : " not focused"));
            auto* control = dialog->findChild<QWidget*>(QString::fromLatin1(row.control));
            if (!control) {
                ADD_FAILURE() << "no such control";
                continue;
            }
            const auto value = [control] {
                if (auto* spin = qobject_cast<QSpinBox*>(control))
                    return spin->value();
                return qobject_cast<QComboBox*>(control)->currentIndex();
            };
            if (row.focused)
                control->setFocus(Qt::OtherFocusReason);
            else
                dialog->setFocus(Qt::OtherFocusReason);
            EXPECT_TRUE(QTest::qWaitFor([&] { return control->hasFocus() == row.focused; }, 2000));
            const int before = value();
            const QPointF at(control->width() / 2.0, control->height() / 2.0);
            QWheelEvent wheel(at, control->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(control, &wheel);
            EXPECT_EQ(value() != before, row.changes) << before << " -> " << value();
            ++rowsRun;
        }
        dialog->hide();
        return int(QDialog::Rejected);
    };
    codecs_.Configure(nullptr, mpeg4);
    EXPECT_EQ(rowsRun, 3);
    EXPECT_EQ(Value(mpeg4, "g"), "12") << "nothing kept after Cancel";
}

TEST_F(CodecDialogs, AboutNamesTheEncoderItsFourccAndTheLibraries)
{
    struct Case {
        const char* encoder;
        const char* caption;
        const char* fourcc;
    };
    for (const Case& c :
         {Case{"mjpeg", "MJPEG (Motion JPEG)", "FourCC: MJPG"}, Case{"utvideo", "Ut Video", "FourCC: ULRG"},
          Case{"libxvid", "libxvidcore MPEG-4 part 2", "FourCC: xvid"}}) {
        dialogs_.Clear();
        codecs_.About(nullptr, codecs_.IndexOf(QLatin1String(c.encoder)));
        const auto messages = dialogs_.Messages();
        ASSERT_EQ(messages.size(), 1u) << c.encoder;
        EXPECT_EQ(messages[0].caption, QLatin1String(c.caption));
        EXPECT_TRUE(messages[0].text.contains(QLatin1String(c.fourcc))) << messages[0].text.toStdString();
        EXPECT_TRUE(messages[0].text.contains(QStringLiteral("libavcodec 5"))) << messages[0].text.toStdString();
        EXPECT_TRUE(messages[0].text.contains(QStringLiteral("Licence: ")));
        EXPECT_EQ(messages[0].kind, MessageKind::Information);
    }
}

TEST_F(CodecDialogs, AClearedTextFieldMeansTheEncodersDefaultAndATextTheEncoderRefusesIsNamed)
{
    struct Case {
        const char* encoder;
        const char* field;
        const char* setBefore;  // by the program, before the dialog
        const char* typed;
        const char* valueAfter;
        const char* message;  // how the error starts; nullptr for none
    };
    for (const Case& c : {Case{"libx264", "preset", nullptr, "", "medium", nullptr},
                          Case{"mpeg4", "rc_eq", "tex", "", "", nullptr},
                          Case{"mjpeg", "rc_eq", nullptr, "tex^", "", "rc_eq = tex^: "},
                          Case{"mjpeg", "rc_eq", nullptr, "tex", "tex", nullptr}}) {
        const int index = codecs_.IndexOf(QLatin1String(c.encoder));
        ASSERT_GE(index, 0) << c.encoder;
        if (c.setBefore) {
            ASSERT_TRUE(codecs_.SetOptions(index, {{c.field, c.setBefore}}));
        }
        dialogs_.Clear();
        bool found = false;
        dialogs_.onModal = [&](QDialog* dialog) {
            const QString typed = QLatin1String(c.typed);
            if (auto* line = dialog->findChild<QLineEdit*>(QLatin1String(c.field))) {
                found = true;
                line->setText(typed);
            } else if (auto* list = dialog->findChild<QComboBox*>(QLatin1String(c.field))) {
                found = true;
                list->setCurrentText(typed);
            }
            return int(QDialog::Accepted);
        };
        codecs_.Configure(nullptr, index);
        EXPECT_TRUE(found) << c.field;
        EXPECT_EQ(Value(index, c.field), QLatin1String(c.valueAfter)) << c.encoder << " " << c.field;
        const auto messages = dialogs_.Messages();
        if (c.message) {
            ASSERT_EQ(messages.size(), 1u) << c.encoder << " " << c.typed;
            EXPECT_TRUE(messages[0].text.startsWith(QLatin1String(c.message))) << messages[0].text.toStdString();
            EXPECT_EQ(messages[0].kind, MessageKind::Error);
        } else {
            EXPECT_TRUE(messages.empty()) << c.encoder << " " << c.field;
        }
        EXPECT_EQ(RecordedKeyFrames(index, 2).size(), 2u) << c.encoder << " " << c.field << " " << c.typed;
    }
}

// The one quality control, from smallest file to best picture, over each
// encoder's own option; the rest of the table behind "Advanced".
TEST(CodecQuality, PercentAndValueMapOntoTheEncodersOption)
{
    const struct {
        const char* encoder;
        double value;
        int percent;
    } rows[] = {
        {"mjpeg", 354, 93},     // q 3, the default
        {"mjpeg", 118, 100},    // q 1
        {"mjpeg", 31 * 118, 0}, // q 31
        {"mpeg4", 354, 93},
        {"libx264", 23, 55},    // x264's default CRF
        {"libx264", 0, 100},
        {"libx264", 51, 0},
        {"ffv1", 0, -1},        // lossless: no quality
        {"rawvideo", 0, -1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(QualityPercent(QLatin1String(row.encoder), row.value), row.percent) << row.encoder << " " << row.value;
        if (row.percent >= 0) {
            EXPECT_EQ(QualityValue(QLatin1String(row.encoder), row.percent), row.value) << row.encoder;
        }
    }
    // Out of range and between steps.
    EXPECT_EQ(QualityPercent(QStringLiteral("mjpeg"), 99999), 0);
    EXPECT_EQ(QualityValue(QStringLiteral("mjpeg"), 150), 118);
    EXPECT_EQ(QualityValue(QStringLiteral("mjpeg"), 50), 16 * 118);
}

TEST_F(CodecDialogs, ConfigureOpensWithQualityAndHidesTheTableBehindAdvanced)
{
    const int mjpeg = codecs_.IndexOf(QStringLiteral("mjpeg"));
    const int ffv1 = codecs_.IndexOf(QStringLiteral("ffv1"));
    ASSERT_GE(mjpeg, 0);
    struct Seen {
        bool quality = false;
        int percent = -1;
        bool tableHidden = false;
        bool tableShownAfterAdvanced = false;
    };
    const auto open = [&](int index, int setPercent) {
        Seen seen;
        dialogs_.onModal = [&](QDialog* dialog) {
            dialog->show();
            auto* quality = dialog->findChild<QSlider*>(QStringLiteral("quality"));
            auto* table = dialog->findChild<QWidget*>(QStringLiteral("advancedOptions"));
            auto* advanced = dialog->findChild<QToolButton*>(QStringLiteral("advanced"));
            seen.quality = quality != nullptr;
            seen.tableHidden = table && !table->isVisible();
            if (advanced)
                advanced->click();
            seen.tableShownAfterAdvanced = table && table->isVisible();
            if (quality) {
                seen.percent = quality->value();
                if (setPercent >= 0)
                    quality->setValue(setPercent);
            }
            dialog->hide();
            return int(QDialog::Accepted);
        };
        codecs_.Configure(nullptr, index);
        return seen;
    };
    const Seen first = open(mjpeg, 50);
    EXPECT_TRUE(first.quality);
    EXPECT_EQ(first.percent, 93);
    EXPECT_TRUE(first.tableHidden);
    EXPECT_TRUE(first.tableShownAfterAdvanced);
    EXPECT_EQ(Value(mjpeg, "global_quality"), "1888");  // q 16
    EXPECT_EQ(open(mjpeg, -1).percent, 50);
    EXPECT_EQ(Value(mjpeg, "global_quality"), "1888");  // untouched, unchanged
    EXPECT_EQ(RecordedKeyFrames(mjpeg, 2).size(), 2u);
    if (ffv1 >= 0) {
        const Seen lossless = open(ffv1, -1);
        EXPECT_FALSE(lossless.quality);
        EXPECT_TRUE(lossless.tableShownAfterAdvanced);
    }
    EXPECT_TRUE(dialogs_.Messages().empty());
}

}  // namespace
}  // namespace orv::video
