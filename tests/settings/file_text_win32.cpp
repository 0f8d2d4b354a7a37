#include "settings/file_text.h"

#include "sys/text_win32.h"

namespace pavo::test {

const bool kOnWindows = true;

std::string FileText(const std::string& utf8) { return win32::Ansi(utf8); }

}  // namespace pavo::test
