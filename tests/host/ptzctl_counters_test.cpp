// What ptzctl status shows of the counters in the host's status document: the numbers as sent,
// "-" for a value that is not a whole number a counter can be (negative, fractional, too large,
// NaN, infinite, a string), a last call that would write a control character shown escaped, and
// a camera whose counters are null or absent.
#include <gtest/gtest.h>

#include <string>

#include "tools/ptzctl/Status.h"

namespace {

std::string Shown(const std::string& cameraCounters, const std::string& lineCounters) {
    const std::string json =
        R"({"lines":[{"name":"Yard","protocol":"P","device":"/dev/ttyS0","state":"up",)"
        R"("lastError":null,"counters":)" +
        lineCounters +
        R"(}],"cameras":[{"name":"Gate","line":"Yard","address":1,)"
        R"("sessionOwner":null,"counters":)" +
        cameraCounters + "}]}";
    ptzctl::StatusDocument status;
    std::string error;
    EXPECT_TRUE(ptzctl::ParseStatus(json, &status, &error)) << error;
    const auto text = ptzctl::FormatCameraStatus(status, "Gate");
    EXPECT_TRUE(text.has_value());
    const std::string all = text.value_or("");
    // Only what follows the session line.
    const size_t session = all.find("session: ");
    return session == std::string::npos ? all : all.substr(all.find('\n', session) + 1);
}

}  // namespace

TEST(PtzctlCounters, ShownAsTheHostSentThem) {
    EXPECT_EQ(Shown(R"({"moves":40,"stops":3,"deadManStops":1,"repeatedStops":11,)"
                    R"("datagramsAccepted":2,"datagramsStale":1,"datagramsForeign":4,)"
                    R"("datagramsMalformed":5,"sessionsStarted":6,"lastCommand":"command 7",)"
                    R"("lastCommandAgeMs":1250})",
                    R"({"framesWritten":44,"bytesWritten":308,"movesDropped":40,"writeFailures":2,)"
                    R"("writeTimeouts":1,"reopens":9007199254740992})"),
              "moves:   40 sent; stops: 3 (1 on the 5 s time-out, 11 repeated after an end of "
              "motion)\n"
              "datagrams: 2 accepted, 1 stale, 4 foreign, 5 malformed; sessions started: 6\n"
              "last call: command 7, 1.2 s ago\n"
              "line counters: 44 frames (308 bytes) written, 40 moves dropped on the busy line, 2 "
              "write failures, 1 write time-outs, 9007199254740992 reopens\n");
}

TEST(PtzctlCounters, WhatIsNotACountIsADash) {
    EXPECT_EQ(Shown(R"({"moves":nan,"stops":1.5,"deadManStops":-inf,"repeatedStops":"11",)"
                    R"("datagramsAccepted":null,"datagramsStale":true,"datagramsForeign":[],)"
                    R"("datagramsMalformed":-0.5,"sessionsStarted":9007199254740994,)"
                    R"("lastCommand":"stop\u001b[2J","lastCommandAgeMs":-5})",
                    R"({"framesWritten":"x"})"),
              "moves:   - sent; stops: - (- on the 5 s time-out, - repeated after an end of "
              "motion)\n"
              "datagrams: - accepted, - stale, - foreign, - malformed; sessions started: -\n"
              "last call: stop\\x1b[2J\n"
              "line counters: - frames (- bytes) written, - moves dropped on the busy line, - "
              "write failures, - write time-outs, - reopens\n");
    // No call yet; a line without counters says nothing of them.
    EXPECT_EQ(Shown(R"({"moves":0,"lastCommand":null,"lastCommandAgeMs":null})", "null"),
              "moves:   0 sent; stops: - (- on the 5 s time-out, - repeated after an end of "
              "motion)\n"
              "datagrams: - accepted, - stale, - foreign, - malformed; sessions started: -\n"
              "last call: none yet\n");
    // A host without counters (older, or a camera that keeps none).
    EXPECT_EQ(Shown("null", "null"), "counters: - (none reported)\n");
    EXPECT_EQ(Shown("[1,2]", "7"), "counters: - (none reported)\n");
}
