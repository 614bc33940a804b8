// modem-sim's serial line models on their own, on a clock of the test's: which
// bursts come out of a line, and when.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "line_model.h"

using modemsim::Clock;
using modemsim::LineModel;
using modemsim::LineSettings;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using ::testing::ElementsAre;
using ::testing::Pair;

namespace {

const Clock::time_point START = Clock::time_point{} + std::chrono::hours(1);

// Every burst the line hands over by until, with its time in microseconds
// after START (rounded down).
std::vector<std::pair<long, std::string>> bursts(LineModel& line, Clock::time_point until) {
  std::vector<std::pair<long, std::string>> out;
  while (line.holding() && line.due() <= until) {
    Clock::time_point at = line.due();
    for (std::string& burst : line.take(at)) {
      out.emplace_back(std::chrono::duration_cast<microseconds>(at - START).count(), burst);
    }
  }
  return out;
}

LineSettings parsed(const std::string& text) {
  LineSettings settings;
  std::string error;
  EXPECT_TRUE(modemsim::parseLineSettings(text, settings, error)) << text << ": " << error;
  return settings;
}

}  // namespace

// Times are in whole microseconds, rounded down. At 2400 bit/s a byte takes
// 4166 us: the FIFO fills to its trigger every 8
// bytes, and the last 4 go out 4 character times after the last one came.
TEST(ModemSimLineModel, AUartHandsOverTriggerSizedBurstsThenTheRestAfterItsTimeout) {
  LineModel line(parsed("uart:2400"), START);
  line.send("0123456789abcdefghij", START);
  EXPECT_THAT(bursts(line, START + std::chrono::seconds(1)),
              ElementsAre(Pair(33333, "01234567"), Pair(66666, "89abcdef"), Pair(99999, "ghij")));
  EXPECT_FALSE(line.holding());
}

TEST(ModemSimLineModel, AUartFifoTakesWhatArrivesBeforeItsTimeout) {
  LineModel line(parsed("uart:2400:14"), START);
  line.send("ab", START);
  line.send("cd", START + milliseconds(10));  // 2 character times after "b"
  line.send("ef", START + milliseconds(60));  // long after the timeout
  EXPECT_THAT(bursts(line, START + std::chrono::seconds(1)),
              ElementsAre(Pair(34999, "abcd"), Pair(84999, "ef")));
}

TEST(ModemSimLineModel, AUartAtTriggerOneHandsOverEveryByte) {
  LineModel line(parsed("uart:9600:1"), START);
  line.send("abc", START);
  EXPECT_THAT(bursts(line, START + std::chrono::seconds(1)),
              ElementsAre(Pair(1041, "a"), Pair(2083, "b"), Pair(3124, "c")));
}

// Ticks at 4, 20, 36 ms; bytes come at 115200 bit/s (86.8 us each).
TEST(ModemSimLineModel, AUsbAdapterSendsWhatItHoldsAtEachTickOrWhenAPacketIsFull) {
  LineModel line(parsed("usb:16:4"), START);
  line.send("hello", START + milliseconds(10));
  line.send(std::string(66, 'x'), START + milliseconds(30));
  auto out = bursts(line, START + std::chrono::seconds(1));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], std::make_pair(20000L, std::string("hello")));
  EXPECT_EQ(out[1].second, std::string(62, 'x'));  // full as its 62nd byte arrives
  EXPECT_EQ(out[1].first, 30000 + 62 * 86805 / 1000);
  EXPECT_EQ(out[2], std::make_pair(36000L, std::string(4, 'x')));
}

TEST(ModemSimLineModel, ACutLineDeliversEveryByteInOneToFourPiecesSpacedAsAsked) {
  for (unsigned long seed = 1; seed <= 20; ++seed) {
    LineModel line(parsed("cut:15:" + std::to_string(seed)), START);
    line.send("\r\nNAT is off.\r\n > ", START);
    auto out = bursts(line, START + std::chrono::seconds(1));
    ASSERT_GE(out.size(), 2u) << seed;
    ASSERT_LE(out.size(), 4u) << seed;
    std::string whole;
    for (std::size_t i = 0; i < out.size(); ++i) {
      EXPECT_FALSE(out[i].second.empty()) << seed;
      whole += out[i].second;
      if (i == 0) continue;
      long gap = out[i].first - out[i - 1].first;
      EXPECT_GE(gap, 1000) << seed;
      EXPECT_LE(gap, 15000) << seed;
    }
    EXPECT_EQ(whole, "\r\nNAT is off.\r\n > ") << seed;
  }
}

TEST(ModemSimLineModel, TheSameSeedCutsTheSameWay) {
  LineModel one(parsed("cut:15:7"), START), two(parsed("cut:15:7"), START);
  one.send("Password: ", START);
  two.send("Password: ", START);
  EXPECT_EQ(bursts(one, START + std::chrono::seconds(1)),
            bursts(two, START + std::chrono::seconds(1)));
}

TEST(ModemSimLineModel, WholeHandsOverEachWriteAtOnce) {
  LineModel line(parsed("whole"), START);
  line.send("Login: ", START + milliseconds(5));
  EXPECT_THAT(bursts(line, START + milliseconds(5)), ElementsAre(Pair(5000, "Login: ")));
}

TEST(ModemSimLineModel, ParsesItsSettingsAndRejectsAnythingElse) {
  LineSettings uart = parsed("uart:57600:14");
  EXPECT_EQ(uart.kind, LineSettings::Kind::Uart);
  EXPECT_EQ(uart.rate, 57600);
  EXPECT_EQ(uart.trigger, 14);
  EXPECT_EQ(parsed("uart:9600").trigger, 8);
  LineSettings usb = parsed("usb");
  EXPECT_EQ(usb.kind, LineSettings::Kind::Usb);
  EXPECT_EQ(usb.tickMs, 16);
  EXPECT_EQ(usb.phaseMs, 0);
  EXPECT_EQ(parsed("usb:1:3").phaseMs, 3);
  LineSettings cut = parsed("cut:15:42");
  EXPECT_EQ(cut.kind, LineSettings::Kind::Cut);
  EXPECT_EQ(cut.maxGapMs, 15);
  EXPECT_EQ(cut.seed, 42u);
  EXPECT_EQ(parsed("whole").kind, LineSettings::Kind::Whole);

  for (const char* bad :
       {"", "whole:1", "uart", "uart:", "uart:fast", "uart:9600:0", "uart:9600:8:1", "usb:0",
        "usb:16:x", "cut", "cut:0", "cut:-5", "serial", "UART:9600"}) {
    LineSettings settings = uart;
    std::string error;
    EXPECT_FALSE(modemsim::parseLineSettings(bad, settings, error)) << bad;
    EXPECT_THAT(error, ::testing::HasSubstr("uart:RATE[:TRIGGER]")) << bad;
    EXPECT_EQ(settings.rate, 57600) << "a bad model leaves the settings alone: " << bad;
  }
}
