// The recording reader: header values, failures in reading order, output
// names, and the sample access of the data area.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "recording/recording.h"
#include "support/recording_builder.h"

using namespace skanvert;

namespace {

using testsupport::RecordingBuilder;

HeaderStatus parse(const RecordingBuilder& b, RecordingHeader& h) { return parseRecordingHeader(b.bytes().data(), h); }

TEST(RecordingHeader, DerivedTexts) {
    RecordingBuilder b(1);
    b.setStartStamp("Wed Apr 12 12:00:30 2006 7");
    b.setStopStamp("Wed Apr 12 12:10:30 2006 263");
    b.setSampleCountText("Samples:   98765");
    b.setObject("Moon center");
    b.setAzimuth(-12);
    RecordingHeader h;
    ASSERT_EQ(parse(b, h), HeaderStatus::Ok);
    EXPECT_EQ(h.dateObs, "2006/04/12");
    EXPECT_EQ(h.startObs, "12:00:30.007");
    EXPECT_EQ(h.stopObs, "12:10:30.263");
    EXPECT_EQ(h.nsamples, 98765);
    EXPECT_EQ(h.object, "Moon center");
    EXPECT_EQ(h.azimuth, -12);
    EXPECT_EQ(h.timeObs, "12:00:42");
    applyUniversalTime(h);
    EXPECT_EQ(h.timeObs, "08:00:42");  // summer time: four hours behind
    EXPECT_EQ(h.timeObsLocal, "12:00:42");
}

TEST(RecordingHeader, WinterHourWrapsWithoutChangingTheDate) {
    RecordingBuilder b(1);
    b.setStartStamp("Mon Jan 10 01:29:00 2005 999");
    b.setTimeField("01:30:00");
    RecordingHeader h;
    ASSERT_EQ(parse(b, h), HeaderStatus::Ok);
    applyUniversalTime(h);
    EXPECT_EQ(h.timeObs, "22:30:00");
    EXPECT_EQ(h.dateObs, "2005/01/10");
}

TEST(RecordingHeader, UnknownMonthAndUnreadableCount) {
    RecordingBuilder b(1);
    b.setStartStamp("Wed Foo 12 12:00:30 2006 45");
    b.setSampleCountText("Samples: none");
    RecordingHeader h;
    ASSERT_EQ(parse(b, h), HeaderStatus::Ok);
    EXPECT_EQ(h.month, 13);
    EXPECT_EQ(h.dateObs, "2006/13/12");
    EXPECT_EQ(h.nsamples, 0);
}

TEST(RecordingHeader, TextsWithoutTerminatorAreCutToTheirField) {
    RecordingBuilder b(1);
    b.setHeaderBytes(34, "ABCDEFGHIJKLMNOPQRSTUV");  // runs into the next field
    b.setHeaderBytes(4032, "Wed Apr 12 12:00:30 2006 45      ");
    b.setHeaderBytes(4064, "9999");
    RecordingHeader h;
    ASSERT_EQ(parse(b, h), HeaderStatus::Ok);
    EXPECT_EQ(h.object, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(h.startObs, "12:00:30.045");
}

TEST(RecordingHeader, FailuresInReadingOrder) {
    struct Case {
        const char* what;
        void (*damage)(RecordingBuilder&);
        HeaderStatus expected;
    };
    const Case cases[] = {
        {"stop stamp short", [](RecordingBuilder& b) { b.setStopStamp("Wed Apr 12"); }, HeaderStatus::NoStopStamp},
        {"stop before start",
         [](RecordingBuilder& b) {
             b.setStopStamp("");
             b.setStartStamp("");
             b.setTimeField("xx");
         },
         HeaderStatus::NoStopStamp},
        {"stop time nan", [](RecordingBuilder& b) { b.setStopStamp("Wed Apr 12 nan:00:00 2006 1"); },
         HeaderStatus::NoStopStamp},
        {"start stamp short", [](RecordingBuilder& b) { b.setStartStamp("Wed Apr 12 12:00:30 2006"); },
         HeaderStatus::NoStartStamp},
        {"start year 0", [](RecordingBuilder& b) { b.setStartStamp("Wed Apr 12 12:00:30 0 1"); },
         HeaderStatus::NoStartStamp},
        {"start year 10000", [](RecordingBuilder& b) { b.setStartStamp("Wed Apr 12 12:00:30 10000 1"); },
         HeaderStatus::NoStartStamp},
        {"start day 32", [](RecordingBuilder& b) { b.setStartStamp("Wed Apr 32 12:00:30 2006 1"); },
         HeaderStatus::NoStartStamp},
        {"start seconds inf", [](RecordingBuilder& b) { b.setStartStamp("Wed Apr 12 12:00:inf 2006 1"); },
         HeaderStatus::NoStartStamp},
        {"time no hour", [](RecordingBuilder& b) { b.setTimeField("ab:00:00"); }, HeaderStatus::NoTimeOfObservation},
        {"time hour 100", [](RecordingBuilder& b) { b.setTimeField("100:00:00"); },
         HeaderStatus::NoTimeOfObservation},
        {"time hour negative", [](RecordingBuilder& b) { b.setTimeField("-1:00:00"); },
         HeaderStatus::NoTimeOfObservation},
        {"time minutes nan", [](RecordingBuilder& b) { b.setTimeField("12:nan:00"); },
         HeaderStatus::NoTimeOfObservation},
        {"altitude nan", [](RecordingBuilder& b) { b.setAltitude(std::numeric_limits<float>::quiet_NaN()); },
         HeaderStatus::NoAltitude},
        {"altitude inf", [](RecordingBuilder& b) { b.setAltitude(-std::numeric_limits<float>::infinity()); },
         HeaderStatus::NoAltitude},
        {"altitude packed 1e9", [](RecordingBuilder& b) { b.setAltitude(1e9f); }, HeaderStatus::NoAltitude},
        {"altitude packed below 1e9", [](RecordingBuilder& b) { b.setAltitude(9.9e8f); }, HeaderStatus::Ok},
        {"altitude very negative", [](RecordingBuilder& b) { b.setAltitude(-1e30f); }, HeaderStatus::Ok},
    };
    for (const Case& c : cases) {
        RecordingBuilder b(1);
        c.damage(b);
        RecordingHeader h;
        EXPECT_EQ(parse(b, h), c.expected) << c.what;
    }
}

TEST(OutputFileName, ReplacesTheLastExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"scan.dat", "scan.fits"}, {"a.b.c", "a.b.fits"}, {"scan", "scan1"},        {".hidden", ".hidden1"},
        {".dat", ".dat1"},         {"x.y.dat", "x.y.fits"}, {"data/scan", "data/scan1"}, {"dir.d/scan", "dir.fits"},
        {"scan.", "scan.fits"},    {"", "1"},
    };
    for (const auto& [input, output] : cases) EXPECT_EQ(outputFileName(input), output) << input;
}

TEST(Samples, ClampAndFrameCount) {
    EXPECT_EQ(clampFrame(-5, 99), 0);
    EXPECT_EQ(clampFrame(100, 99), 99);
    EXPECT_EQ(clampFrame(50, 99), 50);
    EXPECT_EQ(frameCount(752 * 3), 3);
    EXPECT_EQ(frameCount(752 * 3 + 751), 3);
    EXPECT_EQ(frameCount(751), 0);
    EXPECT_EQ(frameCount(-4096), 0);
}

TEST(Samples, GainScaling) {
    struct Case {
        std::int16_t sample, status;
        double expected;
    };
    const Case cases[] = {{1000, 259, 500.0},  {1000, 260, 1000.0}, {1000, 1027, 62.5}, {1000, 1043, 1000.0},
                          {-3, 515, -0.75},    {1000, 273, 500.0},  {1000, 275, 1000.0}, {1000, 257, 1000.0},
                          {1000, 785, 125.0},  {1000, 0, 1000.0},   {1000, -259, 1000.0}, {1000, 1041, 62.5}};
    for (const Case& c : cases) {
        RecordingBuilder b(2);
        b.setWord(1, 2, 79, c.sample);
        b.setWord(1, 2, 90, c.status);  // word 79 is served by status word 90
        b.setWord(1, 1, 90, 259);       // other blocks do not matter
        SampleArea area{b.bytes().data() + 4096, 2 * 752, 1};
        EXPECT_DOUBLE_EQ(gainScaledSample(area, 5, 2, 79), c.expected) << c.status;  // frame 5 clamps to 1
    }
    RecordingBuilder b(1);
    b.setWord(0, 0, 11, 1000);
    b.setWord(0, 0, 84, 259);
    SampleArea area{b.bytes().data() + 4096, 752, 0};
    EXPECT_DOUBLE_EQ(gainScaledSample(area, 0, 0, 11), 500.0);
}

TEST(Samples, OverflowTest) {
    struct Case {
        std::int16_t value;
        int block;
        int expected;
    };
    const Case cases[] = {{8190, 0, 0}, {-8190, 3, 0}, {8191, 1, 1}, {-8191, 2, 1}, {-32768, 3, 1}, {32767, 0, 1}};
    for (const Case& c : cases) {
        RecordingBuilder b(3);
        b.setWord(2, c.block, 40, c.value);
        EXPECT_EQ(channelOverflows(b.bytes().data() + 4096, 3 * 752, 40), c.expected) << c.value;
        EXPECT_EQ(channelOverflows(b.bytes().data() + 4096, 3 * 752, 41), 0);
    }
    RecordingBuilder tail(1);
    tail.appendTail(751);
    tail.setWord(1, 0, 40, -32768);  // lies in the partial frame
    EXPECT_EQ(channelOverflows(tail.bytes().data() + 4096, 752 + 751, 40), 0);
    EXPECT_EQ(channelOverflows(tail.bytes().data() + 4096, 751, 40), 0);
}

TEST(Samples, SlotChannelTable) {
    const auto table = initialSlotChannelTable();
    EXPECT_EQ(table[11], 1.0f);
    EXPECT_EQ(table[14], 4.0f);
    EXPECT_EQ(table[15], 0.0f);
    EXPECT_EQ(table[16], 5.0f);
    EXPECT_EQ(table[79], 56.0f);
    EXPECT_EQ(table[81], 57.0f);
    EXPECT_EQ(table[89], 64.0f);
    EXPECT_EQ(table[0], 0.0f);
    EXPECT_EQ(table[85], 0.0f);
}

}  // namespace
