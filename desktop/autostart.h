// The log-on autostart entry, kept in line with the setting "开机自启动".
#pragma once

#include <string>

namespace pavo {

// The entry's value name, the same for every copy of the program.
inline constexpr const char* kAutostartName = "Pavo壁纸";

// Brings the entry in line with the setting: only the exact text "1" keeps
// an entry holding ExePath; any other text removes a non-empty entry. Never
// fails outward.
void SyncAutostart(const std::string& setting, const std::string& ExePath) noexcept;

namespace autostart {
// The platform's store of the one entry. Each throws pavo::Failure when the
// platform refuses; Read also throws when there is no entry.
std::string Read();
void Write(const std::string& exe_path);
void Delete();
}  // namespace autostart

}  // namespace pavo
