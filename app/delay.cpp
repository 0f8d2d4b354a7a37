#include "app/delay.h"

#include <locale>
#include <sstream>
#include <cmath>
#include <limits>

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

  // Read in the classic locale, whatever the user's (GCC 10's library has no
  // from_chars for floating point).
  double seconds = 0;
  std::istringstream in(plain);
  in.imbue(std::locale::classic());
  if (!(in >> seconds) || in.peek() != std::char_traits<char>::eof()) throw Failure("the delay is not a number");

  // nearbyint rounds in the default mode: to nearest, halves to even.
  const double ms = std::nearbyint(seconds * 1000.0);
  if (!(ms >= std::numeric_limits<std::int32_t>::min() && ms <= std::numeric_limits<std::int32_t>::max()))
    throw Failure("the delay is out of range");
  return static_cast<std::int32_t>(ms);
}

}  // namespace pavo
