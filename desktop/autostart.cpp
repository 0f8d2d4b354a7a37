#include "desktop/autostart.h"

#include "app/step.h"

namespace pavo {

void SyncAutostart(const std::string& setting, const std::string& ExePath) noexcept {
  // The current entry, "" when there is none or it cannot be read as text.
  std::string current;
  Step([&] { current = autostart::Read(); });

  // Exact comparisons: only the one-character text "1" is on, and the entry
  // must match ExePath character for character.
  if (setting == "1") {
    if (current != ExePath) Step([&] { autostart::Write(ExePath); });
  } else if (!current.empty()) {
    Step([&] { autostart::Delete(); });
  }
}

}  // namespace pavo
