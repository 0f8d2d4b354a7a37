#include "desktop/autostart.h"

namespace pavo {

void SyncAutostart(const std::string& setting, const std::string& ExePath) noexcept {
  // The current entry, "" when there is none or it cannot be read as text.
  std::string current;
  try {
    current = autostart::Read();
  } catch (...) {
  }
  // Exact comparisons: only the one-character text "1" is on, and the entry
  // must match ExePath character for character. A refused write or delete
  // leaves the entry as it was.
  try {
    if (setting == "1") {
      if (current != ExePath) autostart::Write(ExePath);
    } else if (!current.empty()) {
      autostart::Delete();
    }
  } catch (...) {
  }
}

}  // namespace pavo
