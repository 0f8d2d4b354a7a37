// The extraction of the text between the run's two markers: one table of answers with the piece each
// must give, or the failure. (Any other markers: the fuzz target; the service's answers: tests/e2e.)
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "sys/failure.h"
#include "web/web.h"

namespace {

const std::string kEdges = "\u007F\u0080\u07FF\u0800\u1000\uD7FF\uE000\uFFFF\U00010000\U00040000\U0010FFFF";

std::string Bad(const std::string& pattern) {  // each digit (1 to 4): that many replacement characters
  std::string s;
  for (char c : pattern)
    s += c >= '1' && c <= '4' ? std::string("\uFFFD\uFFFD\uFFFD\uFFFD", (c - '0') * 3) : std::string(1, c);
  return s;
}

TEST(GetContent, Table) {
  const struct {
    const char* what;
    std::string answer;
    std::optional<std::string> piece;  // nullopt: GetContent must fail
  } cases[] = {
      {"an end marker that is not there at all", R"({"Url":"/Pic/A1.JPG"})", ""},
      {"the start marker in another case; the piece as written", R"({"URL":"/A1.JPG&x"})", "/A1.JPG"},
      {"the first start marker counts, and the first end marker after it", R"(x&url":"AB&C&url":"D&)", "AB"},
      {"the start marker directly followed by the end marker", R"(url":"&rest)", ""},
      // Positions count UTF-16 units: a character outside the basic plane twice.
      {"a character outside the basic plane before and in the piece", "😀url\":\"😀/b&c", "😀/b"},
      // Lower-casing takes one character for one: a letter whose lower case is longer stays as it is.
      {"a letter without a one-unit lower case stays as it is", "İurl\":\"A&", "A"},
      // Bytes that are no UTF-8 stand for one replacement character each; characters at the edges of each
      // form come back as they were.
      {"the edges of the UTF-8 forms", "url\":\"" + kEdges + "&", kEdges},
      // Overlong forms, surrogates, codes past U+10FFFF, characters cut short or broken by a later byte.
      {"no UTF-8",
       "url\":\"\xC0\x80|\xE0\x9F\xBF|\xED\xA0\x80|\xF0\x8F\xBF\xBF|\xF4\x90\x80\x80|\xF5\x80\x80\x80|\xC2\x7F|"
       "\xF1\x80\x80\xC0|\xE4\xB8&",
       Bad("2|3|3|4|4|4|1\x7F|4|2")},
      {"a stray byte before the marker and inside the piece", "\xFFurl\":\"a\xFF&", "a\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    std::optional<std::string> got;
    try {
      got = pavo::GetContent(c.answer, "url\":\"", "&");  // the run's markers, and no others
    } catch (const pavo::Failure&) {
    }
    EXPECT_EQ(got, c.piece) << c.what;
  }
}

}  // namespace
