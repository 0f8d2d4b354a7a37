// What the C++ tests share: a private temporary folder, files read and written whole (paths UTF-8); L's "|" is CR LF.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace pavo {
namespace fs = std::filesystem;
namespace test {

inline fs::path FsPath(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

inline std::string Utf8(const fs::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

inline void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(FsPath(path), std::ios::binary | std::ios::trunc) << bytes;
}

inline std::optional<std::string> Get(const std::string& path) {  // nullopt: no file to read
  std::ifstream in(FsPath(path), std::ios::binary);
  return in ? std::optional(std::string(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
}

inline std::string L(std::string text) {
  for (std::size_t at; (at = text.find('|')) != std::string::npos;) text.replace(at, 1, "\r\n");
  return text;
}

inline std::vector<std::string> Names(const fs::path& dir) {  // sorted; none for a folder that is not there
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(Utf8(e.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

// A folder no other test or running copy can hold, removed with all it holds.
class Scratch {
 public:
  explicit Scratch(const std::string& name = "pavo") {
    std::random_device random;
    do dir_ = fs::temp_directory_path() / FsPath(name + "-" + std::to_string(random()));
    while (!fs::create_directory(dir_));
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  Scratch(const Scratch&) = delete;  // one owner: a copy's end would take the folder from under the other
  Scratch& operator=(const Scratch&) = delete;

  const fs::path& dir() const { return dir_; }
  std::string operator/(const std::string& name) const { return Utf8(dir_ / FsPath(name)); }

 private:
  fs::path dir_;
};

}  // namespace test
}  // namespace pavo
