#include "settings/file_text.h"

namespace pavo::test {

const bool kOnWindows = false;

std::string FileText(const std::string& utf8) { return utf8; }

}  // namespace pavo::test
