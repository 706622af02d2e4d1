// The simulated line's timing on made-up times: character sizes from line settings, a byte's time
// at a rate, bytes arriving back to back, frames written while others are on the line queueing
// behind them, and an idle line starting a new run. Every figure is exact (nanoseconds, rounded
// up for arrivals so that no byte counts as arrived early).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "sim/LineModel.h"

namespace {

using k47::sim::CharacterFormat;
using k47::sim::LinePacer;
using k47::sim::SimTime;
using std::chrono::seconds;

constexpr int64_t kNs = 1;

CharacterFormat Format8N1(uint32_t baud) {
    return CharacterFormat::From(baud, 8, 'N', 1, 0);
}

TEST(LineModel, CharacterSizeFromSettings) {
    struct Case {
        const char* name;
        uint32_t baud;
        int data_bits;
        char parity;
        int stop_bits;
        uint32_t override_baud;
        uint32_t expected_baud;
        int half_bits;
    };
    const Case cases[] = {
        {"9600 8N1", 9600, 8, 'N', 1, 0, 9600, 20},
        {"9600 8E1", 9600, 8, 'E', 1, 0, 9600, 22},
        {"2400 8N2", 2400, 8, 'N', 2, 0, 2400, 22},
        {"300 7O2", 300, 7, 'O', 2, 0, 300, 22},
        {"5N2: one and a half stop bits", 1200, 5, 'N', 2, 0, 1200, 15},
        {"5N1", 1200, 5, 'N', 1, 0, 1200, 14},
        {"data bits 0 count as 8", 9600, 0, 'N', 1, 0, 9600, 20},
        {"data bits 9 count as 8", 9600, 9, 'S', 1, 0, 9600, 22},
        {"rate 0 (hang-up) counts as 9600", 0, 8, 'N', 1, 0, 9600, 20},
        {"the override replaces the rate", 9600, 8, 'N', 1, 115200, 115200, 20},
        {"the override replaces rate 0", 0, 7, 'E', 1, 2400, 2400, 20},
    };
    for (const Case& c : cases) {
        CharacterFormat f =
            CharacterFormat::From(c.baud, c.data_bits, c.parity, c.stop_bits, c.override_baud);
        EXPECT_EQ(f.baud, c.expected_baud) << c.name;
        EXPECT_EQ(f.half_bits, c.half_bits) << c.name;
    }
}

// A character's time, rounded to the nearest nanosecond: 10 bits at 9600 Bd are 1041666.67 ns.
TEST(LineModel, CharacterTime) {
    EXPECT_EQ(Format8N1(9600).Time().count(), 1041667);
    EXPECT_EQ(Format8N1(2400).Time().count(), 4166667);
    EXPECT_EQ(Format8N1(115200).Time().count(), 86806);
    EXPECT_EQ(Format8N1(1000000).Time().count(), 10000);
    EXPECT_EQ(CharacterFormat::From(300, 5, 'N', 2, 0).Time().count(), 25000000);  // 7.5 bits
    EXPECT_EQ(CharacterFormat::From(9600, 8, 'E', 2, 0).Time().count(), 1250000);  // 12 bits
}

// N bytes handed to an idle line at 9600 8N1 end N * 10 / 9600 s later: the last one arrives
// then and not a nanosecond earlier, and the bytes between come one character time apart.
TEST(LineModel, BytesTakeTheirLineTime) {
    const SimTime start = seconds(5);
    struct Case {
        uint64_t bytes;
        int64_t last_ns;  // N * 10 / 9600 s, rounded up
    };
    const Case cases[] = {
        {1, 1041667},   {3, 3125000},      {7, 7291667},        {48, 50000000},
        {51, 53125000}, {960, 1000000000}, {9600, 10000000000},
    };
    for (const Case& c : cases) {
        LinePacer pacer;
        EXPECT_FALSE(pacer.busy());
        pacer.Begin(start, Format8N1(9600));
        EXPECT_TRUE(pacer.busy());
        const SimTime last = pacer.Arrival(c.bytes - 1);
        EXPECT_EQ((last - start).count(), c.last_ns) << c.bytes << " bytes";
        EXPECT_EQ(pacer.Arrived(last), c.bytes) << c.bytes << " bytes";
        EXPECT_EQ(pacer.Arrived(last - SimTime(kNs)), c.bytes - 1) << c.bytes << " bytes";
    }

    LinePacer pacer;
    pacer.Begin(start, Format8N1(9600));
    EXPECT_EQ(pacer.Arrived(start), 0u);
    EXPECT_EQ(pacer.Arrived(start - seconds(1)), 0u) << "a time before the run";
    EXPECT_EQ((pacer.Arrival(0) - start).count(), 1041667);
    EXPECT_EQ((pacer.Arrival(1) - start).count(), 2083334);
    EXPECT_EQ((pacer.Arrival(2) - start).count(), 3125000);
}

// A second frame written while the first is still on the line queues behind it: its bytes follow
// the first frame's without a gap, counted from the start of the run, whenever the owner takes
// the bytes off.
TEST(LineModel, BackToBackFramesQueue) {
    const SimTime start = seconds(1);
    LinePacer pacer;
    pacer.Begin(start, Format8N1(9600));
    // The first 7-byte frame arrives whole at 7 character times.
    const SimTime first_end = pacer.Arrival(6);
    EXPECT_EQ((first_end - start).count(), 7291667);
    EXPECT_EQ(pacer.Arrived(first_end), 7u);
    pacer.Took(7);
    // Taken late (2 ms after), the bytes behind still count from the run's start, not from the
    // take: the second frame's first byte ends at 8 character times, its last at 14.
    EXPECT_EQ((pacer.Arrival(0) - start).count(), 8333334);
    EXPECT_EQ((pacer.Arrival(6) - start).count(), 14583334);
    EXPECT_EQ(pacer.Arrived(first_end + std::chrono::milliseconds(2)), 1u);
    EXPECT_EQ(pacer.Arrived(start + SimTime(14583334)), 7u);
    EXPECT_EQ(pacer.Arrived(start + SimTime(14583333)), 6u);
    // Taken in two parts: the count stays with the run.
    pacer.Took(3);
    EXPECT_EQ(pacer.Arrived(start + SimTime(14583334)), 4u);
    EXPECT_EQ((pacer.Arrival(3) - start).count(), 14583334);
    EXPECT_TRUE(pacer.busy());
}

// Once the line went idle, the next bytes start a run of their own at the time they are seen,
// at the format set then; nothing of the old run carries over.
TEST(LineModel, IdleGapStartsANewRun) {
    LinePacer pacer;
    pacer.Begin(seconds(1), Format8N1(9600));
    pacer.Took(7);
    pacer.Idle();
    EXPECT_FALSE(pacer.busy());
    EXPECT_EQ(pacer.Arrived(seconds(100)), 0u) << "nothing arrives on an idle line";

    const SimTime again = seconds(3);
    pacer.Begin(again, Format8N1(2400));
    EXPECT_TRUE(pacer.busy());
    EXPECT_EQ(pacer.format().baud, 2400u);
    EXPECT_EQ((pacer.Arrival(0) - again).count(), 4166667);
    EXPECT_EQ((pacer.Arrival(6) - again).count(), 29166667);
    EXPECT_EQ(pacer.Arrived(again + SimTime(4166666)), 0u);
    EXPECT_EQ(pacer.Arrived(again + SimTime(4166667)), 1u);
    EXPECT_EQ(pacer.Arrived(again + seconds(1)), 240u);
}

// Far out in a run the arithmetic stays exact: no drift after a day of bytes at 1 MBd.
TEST(LineModel, LongRunsDoNotDrift) {
    LinePacer pacer;
    pacer.Begin(SimTime(0), Format8N1(1000000));
    const uint64_t day = 86400ull * 100000;  // bytes in a day at 10 µs each
    EXPECT_EQ(pacer.Arrival(day - 1).count(), 86400ll * 1000000000);
    EXPECT_EQ(pacer.Arrived(SimTime(86400ll * 1000000000)), day);
    pacer.Took(day - 1);
    EXPECT_EQ(pacer.Arrival(0).count(), 86400ll * 1000000000);
}

}  // namespace
