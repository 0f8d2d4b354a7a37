// NOT BUILT YET: the Linux profile functions are being written.
#include "settings/ini_file.h"
#include "app/step.h"
namespace pavo {
std::string ReadIniValue(const std::string&, const std::string&, const std::string&) { throw Failure("not built yet"); }
std::int32_t WriteIniValue(const std::string&, const std::string&, const std::string&, const std::string&) { throw Failure("not built yet"); }
}  // namespace pavo
