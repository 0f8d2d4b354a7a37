// The settings file on Linux, which has no profile-string functions: the file
// is read whole, looked up or changed by the profile text functions, and
// replaced atomically. The file is UTF-8; a file that is not valid UTF-8 is
// taken for GBK (a settings file carried over from a Windows copy) and keeps
// that encoding when written.
#include <sys/stat.h>

#include <cstdlib>
#include <limits>
#include <optional>

#include "app/charset_linux.h"
#include "app/pending_file.h"
#include "app/step.h"
#include "app/system.h"
#include "settings/ini_file.h"
#include "settings/profile_text.h"

namespace pavo {

namespace {

using profile::Encoding;

// The Windows functions hand back at most 255 bytes of a value.
constexpr std::size_t kMaxValueBytes = 255;

enum class Read { kOk, kAbsent, kFailed };

Read ReadWhole(const std::string& path, std::string& out) {
  if (!Holds([&] { return sys::AnyPathExists(path); })) return Read::kAbsent;
  return Step([&] { out = sys::ReadFilePrefix(path, std::numeric_limits<std::size_t>::max()); }) ? Read::kOk
                                                                                                 : Read::kFailed;
}

// A GBK value as UTF-8; bytes that are not GBK become U+FFFD, so the result
// is always valid UTF-8.
std::string FromGbk(std::string_view gbk) { return *charset::Convert(gbk, "UTF-8", "GBK", "\xEF\xBF\xBD"); }

// UTF-8 text as GBK; nullopt when a character has no GBK form.
std::optional<std::string> ToGbk(std::string_view utf8) { return charset::Convert(utf8, "GBK", "UTF-8", nullptr); }

// Replaces path by a file holding bytes, so a reader sees the old file or
// the new one and a failure leaves the old one.
bool ReplaceFile(const std::string& path, std::string_view bytes) {
  try {
    sys::PendingFile file(path);
    file.Append(bytes.data(), bytes.size());
    file.Commit();
    return true;
  } catch (const Failure&) {
    return false;
  }
}

}  // namespace

std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& file) {
  std::string text;
  if (ReadWhole(file, text) != Read::kOk) return "";
  const Encoding encoding = profile::EncodingOf(text);
  std::optional<std::string> value;
  if (encoding == Encoding::kUtf8) {
    value = profile::FindValue(text, section, key, encoding);
  } else {
    const auto gbk_section = ToGbk(section);
    const auto gbk_key = ToGbk(key);
    // A name with no GBK form cannot be in a GBK file.
    if (gbk_section && gbk_key) value = profile::FindValue(text, *gbk_section, *gbk_key, encoding);
  }
  if (!value) return "";
  // The cut keeps whole characters of the file's own encoding: the first 255
  // bytes as Windows would count them, but never half a character.
  std::string cut(profile::CutValue(*value, kMaxValueBytes, encoding));
  return encoding == Encoding::kUtf8 ? cut : FromGbk(cut);
}

std::int32_t WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                           const std::string& file) {
  // A link stays a link: the file it names is the one replaced.
  std::string path = file;
  struct stat st {};
  if (lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = realpath(file.c_str(), nullptr);
    if (!real) return 0;
    path = real;
    std::free(real);
  }

  std::string text;
  const Read state = ReadWhole(path, text);
  // A file that is there but cannot be read is never overwritten.
  if (state == Read::kFailed) return 0;

  const Encoding encoding = state == Read::kOk ? profile::EncodingOf(text) : Encoding::kUtf8;
  std::optional<std::string> updated;
  if (encoding == Encoding::kUtf8) {
    // One stray byte would turn the whole file into GBK for every later read.
    if (!profile::IsUtf8(section) || !profile::IsUtf8(key) || !profile::IsUtf8(value)) return 0;
    updated = profile::SetValue(text, section, key, value, encoding);
  } else {
    // New text goes into a GBK file as GBK; text with no GBK form is refused
    // rather than stored as question marks.
    const auto s = ToGbk(section), k = ToGbk(key), v = ToGbk(value);
    if (!s || !k || !v) return 0;
    updated = profile::SetValue(text, *s, *k, *v, encoding);
  }
  if (!updated) return 0;
  if (state == Read::kOk && *updated == text) return 1;
  return ReplaceFile(path, *updated) ? 1 : 0;
}

}  // namespace pavo
