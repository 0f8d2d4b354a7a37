// A shared library loaded at run time, for what only one path of the run
// needs: the program does not pay for loading it (and everything it loads in
// turn) on the paths that never use it.
#pragma once

#include <initializer_list>
#include <string>

namespace pavo::sys {

class Module {
 public:
  // Loads the library by its file name (found as the dynamic linker finds
  // libraries, e.g. "libcurl.so.4"). Throws pavo::Failure when it cannot be
  // loaded.
  explicit Module(const char* name);
  // The first of names that loads (builds of one interface under other
  // names); throws pavo::Failure when none does.
  explicit Module(std::initializer_list<const char*> names);
  // Unloads it: nothing of it may be in use any more.
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // The address of one of its functions as a pointer of type F. Throws
  // pavo::Failure when it has none of that name.
  template <class F>
  F Function(const char* symbol) const {
    return reinterpret_cast<F>(Address(symbol));
  }

 private:
  void* Address(const char* symbol) const;

  std::string name_;
  void* handle_;
};

}  // namespace pavo::sys
