#include "settings/profile_file.h"

#include <optional>

#include "app/encoding.h"
#include "app/pending_file.h"
#include "app/step.h"
#include "app/system.h"
#include "settings/profile_text.h"

namespace pavo::profile {

namespace {

// The Windows functions hand back at most 255 bytes of a value.
constexpr std::size_t kMaxValueBytes = 255;

enum class Read { kOk, kAbsent, kFailed, kTooLarge };

// The file's bytes, up to the cap (and one more, to tell a file that fits).
Read ReadCapped(const std::string& path, std::string& out) {
  if (!Holds([&] { return sys::AnyPathExists(path); })) return Read::kAbsent;
  if (!Step([&] { out = sys::ReadFilePrefix(path, kMaxFileBytes + 1); })) return Read::kFailed;
  if (out.size() <= kMaxFileBytes) return Read::kOk;
  out.resize(kMaxFileBytes);
  return Read::kTooLarge;
}

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

// The UTF-16 form a settings file takes on a Windows outside the GBK code
// page: its byte-order mark says so.
enum class Utf16 { kNo, kLittleEndian, kBigEndian };

Utf16 Utf16Form(std::string_view text) {
  if (text.starts_with("\xFF\xFE")) return Utf16::kLittleEndian;
  if (text.starts_with("\xFE\xFF")) return Utf16::kBigEndian;
  return Utf16::kNo;
}

}  // namespace

std::string ReadFileValue(const std::string& path, const std::string& section, const std::string& key) {
  std::string text;
  const Read state = ReadCapped(path, text);
  if (state != Read::kOk && state != Read::kTooLarge) return "";
  // A file from a Windows outside the GBK code page reads as its UTF-8 form.
  if (const Utf16 form = Utf16Form(text); form != Utf16::kNo)
    text = encoding::Utf16ToUtf8(std::string_view(text).substr(2), form == Utf16::kBigEndian);
  const Encoding encoding = EncodingOf(text);
  std::optional<std::string> value;
  if (encoding == Encoding::kUtf8) {
    value = FindValue(text, section, key, encoding);
  } else {
    const auto gbk_section = encoding::Utf8ToGbk(section);
    const auto gbk_key = encoding::Utf8ToGbk(key);
    // A name with no GBK form cannot be in a GBK file.
    if (gbk_section && gbk_key) value = FindValue(text, *gbk_section, *gbk_key, encoding);
  }
  if (!value) return "";
  // The cut keeps whole characters of the file's own encoding: the first 255
  // bytes as Windows would count them, but never half a character.
  const std::string_view cut = CutValue(*value, kMaxValueBytes, encoding);
  return encoding == Encoding::kUtf8 ? ValidUtf8(cut) : encoding::GbkToUtf8(cut);
}

std::int32_t WriteFileValue(const std::string& path, const std::string& section, const std::string& key,
                            const std::string& value) {
  std::string text;
  const Read state = ReadCapped(path, text);
  // A file that is there but cannot be read whole is never overwritten.
  if (state == Read::kFailed || state == Read::kTooLarge) return 0;
  // Nor is a UTF-16 file rewritten in another encoding.
  if (state == Read::kOk && Utf16Form(text) != Utf16::kNo) return 0;

  const Encoding encoding = state == Read::kOk ? EncodingOf(text) : Encoding::kUtf8;
  std::optional<std::string> updated;
  if (encoding == Encoding::kUtf8) {
    // Text that is not UTF-8 would make the file's own lines vote for GBK.
    if (!IsUtf8(section) || !IsUtf8(key) || !IsUtf8(value)) return 0;
    updated = SetValue(text, section, key, value, encoding);
  } else {
    // New text goes into a GBK file as GBK; text with no GBK form is refused
    // rather than stored as question marks.
    const auto s = encoding::Utf8ToGbk(section), k = encoding::Utf8ToGbk(key), v = encoding::Utf8ToGbk(value);
    if (!s || !k || !v) return 0;
    updated = SetValue(text, *s, *k, *v, encoding);
  }
  if (!updated) return 0;
  if (state == Read::kOk && *updated == text) return 1;
  return ReplaceFile(path, *updated) ? 1 : 0;
}

}  // namespace pavo::profile
