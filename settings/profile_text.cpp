#include "settings/profile_text.h"

#include <algorithm>
#include <vector>

#include "sys/text.h"

namespace pavo::profile {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The UTF-8 signature a UTF-8 text may start with: no part of its first line.
std::size_t SignatureSize(std::string_view text, Encoding encoding) {
  return encoding == Encoding::kUtf8 && sys::SniffBom(text) == sys::Bom::kUtf8 ? 3 : 0;
}

// Windows compares names without regard to letter case; only ASCII letters
// have case here (Wine folds no others either). Characters of more than one
// byte compare exactly: a GBK trail byte can be an ASCII letter (or "]"), so
// a GBK text is scanned character by character and a trail byte never folded.
bool SameName(std::string_view a, std::string_view b, Encoding encoding) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size();) {
    const std::size_t n = sys::CharSize(a, i, encoding);
    if (n == 1) {
      if (sys::AsciiLower(a[i]) != sys::AsciiLower(b[i])) return false;
    } else if (a.compare(i, n, b, i, n) != 0) {
      return false;
    }
    i += n;
  }
  return true;
}

enum class Kind { kBlank, kComment, kHeader, kKey, kOther };

// One line of the text: where it is, and what it says.
struct Line {
  std::size_t begin = 0;       // first byte
  std::size_t end = 0;         // the line end, or the end of the text
  std::size_t next = 0;        // first byte of the next line
  Kind kind = Kind::kBlank;
  std::string_view name;       // section name or key, trimmed
  std::size_t value_begin = 0; // first byte after "=" (key lines)
};

Line ParseLine(std::string_view text, std::size_t begin, Encoding encoding) {
  Line line;
  line.begin = begin;
  line.end = text.find_first_of("\r\n", begin);
  if (line.end == std::string_view::npos) line.end = text.size();
  line.next = line.end;
  if (line.next < text.size()) {
    line.next += (text[line.next] == '\r' && line.next + 1 < text.size() && text[line.next + 1] == '\n') ? 2 : 1;
  }

  std::string_view s = text.substr(begin, line.end - begin);
  s = s.substr(0, s.find('\0'));
  const std::size_t lead = s.find_first_not_of(" \t\v\f\x1A");
  if (lead == std::string_view::npos) return line;
  if (s[lead] == ';') {
    line.kind = Kind::kComment;
    return line;
  }
  if (s[lead] == '[') {
    std::size_t close = std::string_view::npos;
    for (std::size_t i = lead + 1; i < s.size(); i += sys::CharSize(s, i, encoding))
      if (s[i] == ']') close = i;
    if (close != std::string_view::npos) {
      line.kind = Kind::kHeader;
      line.name = Trim(s.substr(lead + 1, close - lead - 1));
      return line;
    }
  }
  // "=" is below every GBK trail byte, so a plain search is safe here.
  const std::size_t eq = s.find('=');
  if (eq == std::string_view::npos) {
    line.kind = Kind::kOther;
    return line;
  }
  line.kind = Kind::kKey;
  line.name = Trim(s.substr(0, eq));
  line.value_begin = begin + eq + 1;
  return line;
}

std::vector<Line> Lines(std::string_view text, Encoding encoding) {
  std::vector<Line> lines;
  std::size_t at = SignatureSize(text, encoding);
  while (at < text.size()) {
    lines.push_back(ParseLine(text, at, encoding));
    at = lines.back().next;
  }
  return lines;
}

// The value text of a key line: up to the line end or a NUL, trimmed, and
// without one pair of matching outer quotes.
std::string_view ValueOf(std::string_view text, const Line& line) {
  std::string_view v = text.substr(line.value_begin, line.end - line.value_begin);
  v = Trim(v.substr(0, v.find('\0')));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v.remove_prefix(1);
    v.remove_suffix(1);
  }
  return v;
}

// Where the first section named section sits among lines: its header (or
// npos for the nameless section before the first header) and the index one
// past its last line. found is false when there is no such section.
struct SectionSpan {
  bool found = false;
  std::size_t header = std::string_view::npos;
  std::size_t first = 0;  // first line after the header
  std::size_t last = 0;   // one past the section's last line
};

SectionSpan FindSection(const std::vector<Line>& lines, std::string_view section, Encoding encoding) {
  SectionSpan span;
  std::size_t i = 0;
  if (section.empty()) {
    span.found = true;
  } else {
    for (; i < lines.size(); ++i) {
      if (lines[i].kind == Kind::kHeader && SameName(lines[i].name, section, encoding)) break;
    }
    if (i == lines.size()) return span;
    span.found = true;
    span.header = i++;
  }
  span.first = i;
  while (i < lines.size() && lines[i].kind != Kind::kHeader) ++i;
  span.last = i;
  return span;
}

std::string_view FirstLineEnd(std::string_view text) {
  const std::size_t at = text.find_first_of("\r\n");
  if (at == std::string_view::npos) return "\r\n";
  if (text[at] == '\n') return "\n";
  return text.substr(at, 2) == "\r\n" ? "\r\n" : "\r";
}

bool HasAny(std::string_view s, std::string_view chars) { return s.find_first_of(chars) != std::string_view::npos; }

}  // namespace

bool IsGbk(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b <= 0x80) continue;
    if (b == 0xFF || i + 1 == bytes.size()) return false;
    const auto t = static_cast<unsigned char>(bytes[++i]);
    if (t < 0x40 || t == 0x7F || t == 0xFF) return false;
  }
  return true;
}

Encoding EncodingOf(std::string_view text) {
  if (sys::IsUtf8(text)) return Encoding::kUtf8;
  std::size_t utf8 = 0, gbk = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    if (!sys::IsUtf8(line)) {
      if (IsGbk(line)) ++gbk;
    } else if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
      ++utf8;
    }
    at = end + 1;
  }
  return utf8 > 0 && utf8 >= gbk ? Encoding::kUtf8 : Encoding::kGbk;
}

std::optional<std::string> FindValue(std::string_view text, std::string_view section, std::string_view key,
                                     Encoding encoding) {
  const std::vector<Line> lines = Lines(text, encoding);
  const SectionSpan span = FindSection(lines, Trim(section), encoding);
  if (!span.found) return std::nullopt;
  key = Trim(key);
  for (std::size_t i = span.first; i < span.last; ++i) {
    if (lines[i].kind == Kind::kKey && SameName(lines[i].name, key, encoding))
      return std::string(ValueOf(text, lines[i]));
  }
  return std::nullopt;
}

std::optional<std::string> SetValue(std::string_view text, std::string_view section, std::string_view key,
                                    std::string_view value, Encoding encoding) {
  section = Trim(section);
  key = Trim(key);
  using namespace std::string_view_literals;
  const std::string_view breakers = "\r\n\0"sv;
  if (section.empty() || key.empty() || HasAny(section, breakers) || HasAny(key, breakers) ||
      HasAny(value, breakers) || key.find('=') != std::string_view::npos || key.front() == ';' ||
      key.front() == '[')
    return std::nullopt;

  const std::string_view eol = FirstLineEnd(text);
  const std::vector<Line> lines = Lines(text, encoding);
  const SectionSpan span = FindSection(lines, section, encoding);
  std::string out(text);

  if (!span.found) {
    std::string add;
    const bool bom_only = text.size() == SignatureSize(text, encoding);
    if (!text.empty() && !bom_only && text.back() != '\n' && text.back() != '\r') add += eol;
    add.append("[").append(section).append("]").append(eol);
    add.append(key).append("=").append(value).append(eol);
    return out + add;
  }

  std::size_t after = span.header;  // the line the new key follows
  for (std::size_t i = span.first; i < span.last; ++i) {
    const Line& line = lines[i];
    if (line.kind != Kind::kKey) continue;
    if (SameName(line.name, key, encoding)) {
      // The key's own line: the key as written and the blanks after "="
      // stay; the old value, quotes, NULs and all, goes.
      std::size_t from = line.value_begin;
      while (from < line.end && IsBlank(text[from])) ++from;
      out.replace(from, line.end - from, value);
      return out;
    }
    after = i;
  }
  std::string add;
  const Line& prev = lines[after];
  if (prev.next == prev.end) add += eol;  // the text's last line has no end yet
  add.append(key).append("=").append(value).append(eol);
  out.insert(prev.next, add);
  return out;
}

}  // namespace pavo::profile
