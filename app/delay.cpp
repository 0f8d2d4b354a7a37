#include "app/delay.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <version>
#if __cpp_lib_to_chars < 201611L
#include <locale>
#include <sstream>
#endif

#include "app/step.h"

namespace pavo {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::int32_t DelayMilliseconds(const std::string& text, const std::string& decimal_separator) {
  // Accepted: optional blanks around, an optional sign, digits, and an
  // optional fraction after the locale's separator; at least one digit.
  size_t i = 0, end = text.size();
  while (i < end && IsBlank(text[i])) ++i;
  while (end > i && IsBlank(text[end - 1])) --end;

  std::string plain;  // the number in the classic locale's notation
  if (i < end && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') plain += '-';
    ++i;
  }
  size_t digits = 0;
  while (i < end && IsDigit(text[i])) plain += text[i++], ++digits;
  if (!decimal_separator.empty() && text.compare(i, decimal_separator.size(), decimal_separator) == 0 &&
      i + decimal_separator.size() <= end) {
    i += decimal_separator.size();
    plain += '.';
    while (i < end && IsDigit(text[i])) plain += text[i++], ++digits;
  }
  if (digits == 0 || i != end) throw Failure("the delay is not a number");

  double seconds = 0;
#if __cpp_lib_to_chars >= 201611L
  auto [ptr, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), seconds);
  if (ec != std::errc() || ptr != plain.data() + plain.size()) throw Failure("the delay is not a number");
#else
  // GCC 10's library (the oldest base the Linux package is built on) has no
  // from_chars for floating point: there a stream reads it, in the classic
  // locale whatever the user's. Only there: linked in statically (Windows),
  // the stream's locale machinery would triple the program's size.
  std::istringstream in(plain);
  in.imbue(std::locale::classic());
  if (!(in >> seconds) || in.peek() != std::char_traits<char>::eof()) throw Failure("the delay is not a number");
#endif

  // nearbyint rounds in the default mode: to nearest, halves to even.
  const double ms = std::nearbyint(seconds * 1000.0);
  if (!(ms >= std::numeric_limits<std::int32_t>::min() && ms <= std::numeric_limits<std::int32_t>::max()))
    throw Failure("the delay is out of range");
  return static_cast<std::int32_t>(ms);
}

}  // namespace pavo
