#include "settings/profile_file.h"

#include <optional>

#include "settings/profile_text.h"
#include "sys/encoding.h"
#include "sys/failure.h"
#include "sys/pending_file.h"
#include "sys/system.h"
#include "sys/text.h"

namespace pavo::profile {

namespace {

// The Windows functions hand back at most 255 bytes of a value.
constexpr std::size_t kMaxValueBytes = 255;

// nullopt when there is no file; throws pavo::Failure for one that cannot be
// read.
std::optional<sys::FileStart> ReadIfThere(const std::string& path) {
  if (!sys::AnyPathExists(path)) return std::nullopt;
  return sys::ReadCapped(path, kMaxFileBytes);
}

bool IsUtf16(std::string_view text) {
  const sys::Bom bom = sys::SniffBom(text);
  return bom == sys::Bom::kUtf16Le || bom == sys::Bom::kUtf16Be;
}

// Text to store in a file of the given encoding: GBK text for a GBK file,
// where text with no GBK form is refused rather than stored as question
// marks; UTF-8 text for any other, since text that is not UTF-8 would make
// the file's own lines vote for GBK.
std::string Stored(const std::string& utf8, Encoding encoding) {
  if (encoding == Encoding::kUtf8) {
    if (!sys::IsUtf8(utf8)) throw Failure("not UTF-8");
    return utf8;
  }
  const std::optional<std::string> gbk = encoding::Utf8ToGbk(utf8);
  if (!gbk) throw Failure("no GBK form");
  return *gbk;
}

}  // namespace

std::string ValueIn(std::string text, const std::string& section, const std::string& key) {
  // A file from a Windows outside the GBK code page reads as its UTF-8 form.
  if (IsUtf16(text))
    text = sys::Utf16ToUtf8(std::string_view(text).substr(2), sys::SniffBom(text) == sys::Bom::kUtf16Be);
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
  const std::string_view cut = sys::CutAtCharacter(*value, kMaxValueBytes, encoding);
  return encoding == Encoding::kUtf8 ? sys::ValidUtf8(cut) : encoding::GbkToUtf8(cut);
}

std::string ReadFileValue(const std::string& path, const std::string& section, const std::string& key) {
  std::optional<sys::FileStart> file;
  try {
    file = ReadIfThere(path);
  } catch (const Failure&) {
    // As the profile functions read it: nothing.
  }
  return file ? ValueIn(std::move(file->bytes), section, key) : "";
}

void WriteFileValue(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
  const std::optional<sys::FileStart> file = ReadIfThere(path);
  // A file that is there but cannot be read whole is never overwritten, nor
  // is a UTF-16 file rewritten in another encoding.
  if (file && !file->whole) throw Failure("the settings file is too large");
  if (file && IsUtf16(file->bytes)) throw Failure("the settings file is UTF-16");
  const std::string text = file ? file->bytes : "";
  const Encoding encoding = file ? EncodingOf(text) : Encoding::kUtf8;
  const std::optional<std::string> updated =
      SetValue(text, Stored(section, encoding), Stored(key, encoding), Stored(value, encoding), encoding);
  if (!updated) throw Failure("the text would break the settings file");
  if (file && *updated == text) return;
  // Replaced whole, so a reader sees the old file or the new one and a
  // failure leaves the old one.
  sys::PendingFile replacement(path);
  replacement.Append(updated->data(), updated->size());
  replacement.Commit();
}

std::string NewText(const std::string& section, std::span<const IniValue> values) {
  std::string text = "[" + section + "]\r\n";
  for (const IniValue& v : values) text.append(v.key).append("=").append(v.value).append("\r\n");
  return text;
}

}  // namespace pavo::profile
