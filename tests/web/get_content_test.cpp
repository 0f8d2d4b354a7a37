// The extraction of the text between two markers: one table of texts and markers with the piece each
// must give, or the failure. (The service's answers, with and without the markers: tests/e2e.)
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "sys/failure.h"
#include "web/web.h"

namespace {

struct Case {
  const char* what;
  std::string str, start, last;
  std::optional<std::string> piece;  // nullopt: GetContent must fail
};

const std::string kUrl = "url\":\"";  // url":"
const std::string kEdges = "\u007F\u0080\u07FF\u0800\u1000\uD7FF\uE000\uFFFF\U00010000\U00040000\U0010FFFF";

std::string Bad(const std::string& pattern) {  // each digit (1 to 4): that many replacement characters
  std::string s;
  for (char c : pattern)
    s += c >= '1' && c <= '4' ? std::string("\uFFFD\uFFFD\uFFFD\uFFFD", (c - '0') * 3) : std::string(1, c);
  return s;
}

TEST(GetContent, Table) {
  const Case cases[] = {
      {"an end marker that is not there at all", R"({"Url":"/Pic/A1.JPG"})", kUrl, "&", ""},
      {"markers in another case; the piece as written", R"({"url":"/A1.JPG&AMP;x"})", "URL\":\"", "&amp;", "/A1.JPG"},
      {"the first start marker counts, and the first end marker after it", R"(x&url":"AB&C&url":"D&)", kUrl, "&", "AB"},
      {"an empty text and empty markers", "", "", "", ""},
      {"an empty start marker: from the first character", "abc&def", "", "&", "abc"},
      {"an empty end marker: an empty piece", R"(url":"abc)", kUrl, "", ""},
      {"an empty end marker after a start marker that ends the text", R"(abc url":")", kUrl, "", std::nullopt},
      {"a start marker that ends the text", R"(a&b url":")", kUrl, "&", std::nullopt},
      {"the start marker directly followed by the end marker", R"(url":"&rest)", kUrl, "&", ""},
      {"an end marker only inside the start marker", R"(url":"x)", kUrl, "\":\"", std::nullopt},
      {"an end marker only overlapping the start marker", R"(url":"x)", kUrl, "\"x", std::nullopt},
      {"markers longer than the text", "ab", "abc", "&", ""},
      // Positions count UTF-16 units: a character outside the basic plane twice, a Chinese one once.
      {"a character outside the basic plane before and in the piece", "😀url\":\"😀/b&c", kUrl, "&", "😀/b"},
      {"markers with Chinese characters", "前【开始】中间【完】后", "【开始】", "【完】", "中间"},
      // Lower-casing takes one character for one: a letter whose lower case is longer stays as it is.
      {"a letter without a one-unit lower case stays as it is", "İurl\":\"A&", kUrl, "&", "A"},
      // Bytes that are no UTF-8 stand for one replacement character each; characters at the edges of each
      // form come back as they were.
      {"the edges of the UTF-8 forms", "url\":\"" + kEdges + "&", kUrl, "&", kEdges},
      // Overlong forms, surrogates, codes past U+10FFFF, characters cut short or broken by a later byte.
      {"no UTF-8",
       "url\":\"\xC0\x80|\xE0\x9F\xBF|\xED\xA0\x80|\xF0\x8F\xBF\xBF|\xF4\x90\x80\x80|\xF5\x80\x80\x80|\xC2\x7F|"
       "\xF1\x80\x80\xC0|\xE4\xB8&",
       kUrl, "&", Bad("2|3|3|4|4|4|1\x7F|4|2")},
      {"a stray byte before the marker and inside the piece", "\xFFurl\":\"a\xFF&", kUrl, "&", "a\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    std::optional<std::string> got;
    try {
      got = pavo::GetContent(c.str, c.start, c.last);
    } catch (const pavo::Failure&) {
    }
    EXPECT_EQ(got, c.piece) << c.what;
  }
}

}  // namespace
