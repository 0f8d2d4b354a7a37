// The delay before the day's request: its setting turned into milliseconds,
// and the wait itself on the system's 32-bit millisecond counter.
#pragma once

#include <cstdint>
#include <string>

namespace pavo {

// The setting (seconds, a decimal number written with the user's decimal
// separator) as whole milliseconds: x 1000 in double precision, rounded to
// nearest with halves to even. Throws pavo::Failure for a text that is not
// a number or a result outside the signed 32-bit range.
std::int32_t DelayMilliseconds(const std::string& text, const std::string& decimal_separator);

// Waits until delay milliseconds have passed on a 32-bit counter that wraps
// to 0 after 2^32 - 1. Each turn reads the counter and, while the delay has
// not passed, dispatches pending messages and then blocks until a message
// comes or the delay is up: the loop never spins. A delay of 0 or less ends
// at the first test without dispatching anything.
template <class Counter, class Dispatch, class Block>
void PollingWait(std::int32_t delay, Counter counter, Dispatch dispatch, Block block) {
  if (delay <= 0) return;
  const auto span = static_cast<std::uint32_t>(delay);
  const std::uint32_t start = counter();
  for (;;) {
    // Unsigned subtraction is the elapsed time modulo 2^32, so a wrap of the
    // counter neither stretches nor cuts the wait.
    if (static_cast<std::uint32_t>(counter() - start) >= span) return;
    dispatch();
    const auto elapsed = static_cast<std::uint32_t>(counter() - start);
    if (elapsed < span) block(span - elapsed);
  }
}

}  // namespace pavo
