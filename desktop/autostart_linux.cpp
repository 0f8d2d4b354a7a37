// NOT BUILT YET: the XDG autostart entry is being written.
#include "desktop/autostart.h"
#include "app/step.h"
namespace pavo::autostart {
std::string Read() { throw Failure("not built yet"); }
void Write(const std::string&) { throw Failure("not built yet"); }
void Delete() { throw Failure("not built yet"); }
}  // namespace pavo::autostart
