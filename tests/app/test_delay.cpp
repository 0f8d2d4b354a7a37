#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/delay.h"
#include "app/step.h"

namespace pavo {
namespace {

TEST(Delay, SettingBecomesWholeMillisecondsOrFails) {
  struct Case {
    const char* text;
    const char* separator;
    std::int64_t ms;  // -1 << 40: the conversion fails
  };
  constexpr std::int64_t kFails = std::int64_t{-1} << 40;
  const Case cases[] = {
      {"6", ".", 6000},
      {"0.5", ".", 500},
      {"0", ".", 0},
      {"-3", ".", -3000},
      {"2147483.647", ".", 2147483647},
      {"-2147483.648", ".", -2147483648LL},
      {"2147484", ".", kFails},  // 2147484000 ms does not fit 32 bits
      {"-2147483.649", ".", kFails},
      {"", ".", kFails},
      {"abc", ".", kFails},
      {"6s", ".", kFails},
      {".", ".", kFails},
      {"-", ".", kFails},
      {" 6 ", ".", 6000},
      {"\t+1.25", ".", 1250},
      {".5", ".", 500},
      {"5.", ".", 5000},
      // Halves go to the even neighbour.
      {"0.0005", ".", 0},
      {"0.0015", ".", 2},
      {"0.0025", ".", 2},
      // The user's separator decides: with a comma, the point is no separator.
      {"0,5", ",", 500},
      {"0.5", ",", kFails},
      {"1e3", ".", kFails},
      {"1,000", ".", kFails},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\" separator \"" + c.separator + "\"");
    if (c.ms == kFails) {
      EXPECT_THROW(DelayMilliseconds(c.text, c.separator), Failure);
    } else {
      EXPECT_EQ(DelayMilliseconds(c.text, c.separator), c.ms);
    }
  }
}

// A fake counter that moves by a fixed step at each reading and a fake wait
// that moves it by the time asked for, recording what the loop did.
struct FakeClock {
  std::uint32_t now;
  std::uint32_t step = 1;
  int dispatches = 0;
  std::vector<std::uint32_t> blocks;
};

std::uint64_t WaitAndMeasure(FakeClock& clock, std::int32_t delay) {
  const std::uint32_t start = clock.now;
  std::uint64_t passed = 0;
  auto counter = [&] {
    std::uint32_t v = clock.now;
    clock.now += clock.step;
    passed += clock.step;
    return v;
  };
  PollingWait(
      delay, counter, [&] { ++clock.dispatches; },
      [&](std::uint32_t ms) {
        clock.blocks.push_back(ms);
        clock.now += ms;
        passed += ms;
      });
  (void)start;
  return passed;
}

TEST(Delay, WaitEndsOnceTheDelayHasPassedWhereverTheCounterStands) {
  for (std::uint32_t origin : {0u, 1000u, 0xFFFFFFFFu - 10u, 0xFFFFFFFFu - 6000u, 0xFFFFFFFFu}) {
    for (std::int32_t delay : {1, 500, 6000, 2147483647}) {
      SCOPED_TRACE("origin " + std::to_string(origin) + " delay " + std::to_string(delay));
      FakeClock clock{origin};
      std::uint64_t passed = WaitAndMeasure(clock, delay);
      EXPECT_GE(passed, static_cast<std::uint64_t>(delay));
      // A few readings past the delay at most: neither stretched by a wrap
      // nor cut short by one.
      EXPECT_LE(passed, static_cast<std::uint64_t>(delay) + 4);
      // It waits by blocking, not by spinning.
      EXPECT_LE(clock.blocks.size(), 2u);
      if (delay > 1) EXPECT_GE(clock.dispatches, 1);
    }
  }
}

TEST(Delay, NoWaitAndNoDispatchForZeroOrLess) {
  for (std::int32_t delay : {0, -1, -3000, -2147483647 - 1}) {
    FakeClock clock{0xFFFFFFF0u};
    WaitAndMeasure(clock, delay);
    EXPECT_EQ(clock.dispatches, 0);
    EXPECT_TRUE(clock.blocks.empty());
  }
}

TEST(Delay, MessagesKeepFlowingWhileWaiting) {
  // Wake-ups that come early (a message arrived) only lead to another turn:
  // each turn dispatches, and the wait still ends on time.
  std::uint32_t now = 0xFFFFFF00u;
  int dispatches = 0;
  auto counter = [&] { return now; };
  PollingWait(1000, counter, [&] { ++dispatches; }, [&](std::uint32_t ms) { now += ms < 100 ? ms : 100; });
  EXPECT_EQ(dispatches, 10);
  EXPECT_EQ(static_cast<std::uint32_t>(now - 0xFFFFFF00u), 1000u);
}

}  // namespace
}  // namespace pavo
