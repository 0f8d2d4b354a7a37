// The delay: its setting in milliseconds, and the wait on a 32-bit counter.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "app/delay.h"
#include "app/step.h"

namespace pavo {
namespace {

TEST(Delay, SettingBecomesWholeMillisecondsOrFails) {
  constexpr std::int64_t kFails = std::int64_t{-1} << 40;
  const struct {
    const char* text;
    std::int64_t ms;
  } rows[] = {
      {"6", 6000}, {"0.5", 500}, {"0", 0}, {"-3", -3000}, {" 6 ", 6000}, {"\t+1.25", 1250}, {".5", 500}, {"5.", 5000},
      {"2147483.647", 2147483647}, {"-2147483.648", -2147483648LL},  // the ends of 32 bits, and past them
      {"2147484", kFails}, {"-2147483.649", kFails}, {"", kFails}, {"abc", kFails}, {"6s", kFails}, {".", kFails},
      {"-", kFails}, {"1e3", kFails}, {"1,000", kFails}, {"6 6", kFails}, {"0.0015", 2}, {"0.0025", 2},
  };
  // (The user's decimal separator decides: the run table's rows in a German locale.)
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string("\"") + r.text + "\"");
    if (r.ms == kFails) EXPECT_THROW(DelayMilliseconds(r.text, "."), Failure);
    else EXPECT_EQ(DelayMilliseconds(r.text, "."), r.ms);
  }
}

// A counter that moves `step` ms at each reading, and a wait that moves it by
// what it asks for, or by at most `woken` when a message cuts it short.
TEST(Delay, WaitEndsOnTimeWhereverTheCounterStands) {
  for (std::uint32_t origin : {0u, 1000u, 0xFFFFFFFFu - 10u, 0xFFFFFFFFu - 6000u, 0xFFFFFFFFu})
    for (std::int32_t delay : {-2147483647 - 1, -3000, 0, 1, 500, 6000, 2147483647})
      for (std::uint32_t step : {0u, 1u})
        for (std::uint32_t woken : {0xFFFFFFFFu, 100u}) {
          if (woken == 100u && delay > 6000) continue;
          SCOPED_TRACE(testing::Message() << origin << " + " << delay << " ms, step " << step << ", woken " << woken);
          std::uint32_t now = origin;
          std::uint64_t passed = 0, dispatches = 0;
          const auto counter = [&] { return passed += step, std::exchange(now, now + step); };
          const auto dispatch = [&] { if (++dispatches > 100000) throw std::runtime_error("the wait spins"); };
          const auto block = [&](std::uint32_t ms) { ms = std::min(ms, woken), passed += ms, now += ms; };
          ASSERT_NO_THROW(PollingWait(delay, counter, dispatch, block));
          // No wait at all for a delay that is not positive; else neither stretched nor cut short by a wrap.
          const auto ms = static_cast<std::uint64_t>(std::max(delay, 0));
          EXPECT_GE(passed, ms);
          EXPECT_LE(passed, delay > 0 ? ms + 2 * step : 0);
        }
}

}  // namespace
}  // namespace pavo
