// What the system services build on the platform's own (system_<platform>.cpp).
#include "sys/system.h"

#include <algorithm>

namespace pavo::sys {

std::string ReadFilePrefix(const std::string& path, std::size_t max_bytes) {
  FileReader file(path);
  std::string out;
  char buf[16384];
  while (out.size() < max_bytes) {
    const std::size_t n = file.Read(buf, std::min(sizeof buf, max_bytes - out.size()));
    if (n == 0) break;
    out.append(buf, n);
  }
  return out;
}

FileStart ReadCapped(const std::string& path, std::size_t max_bytes) {
  FileStart start{ReadFilePrefix(path, max_bytes + 1)};  // one more, to tell a file that fits
  if (start.bytes.size() > max_bytes) {
    start.bytes.resize(max_bytes);
    start.whole = false;
  }
  return start;
}

}  // namespace pavo::sys
