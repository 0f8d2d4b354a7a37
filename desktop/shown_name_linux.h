// The second name under which a Linux desktop is handed the bitmap.
//
// Desktops remember the wallpaper by its file name and may keep showing what
// they loaded before when the name does not change (a setting written with
// its old value announces no change; Plasma keeps its picture for the same
// URL); the bitmap's name is the same every day. The desktop is therefore
// given a second name for the same file, "<stem>-<modification time in
// ns><ext>" beside it (a hard link, or a copy where links are refused). A
// query or fragment on the file URI would not do: GLib before 2.78 reads "?"
// as part of the file name and refuses "#", and only GNOME takes URIs.
#pragma once

#include <string>

namespace pavo::wallpaper_linux {

// The second name of the bitmap; the same bitmap always gets the same name,
// a rewritten one a new name. Throws pavo::Failure when the bitmap is not a
// regular file or no second name can be made. *created tells whether the
// name was made by this call.
std::string ShownName(const std::string& bitmap_path, bool* created = nullptr);

// What became of a request to the desktop, for the housekeeping of names.
enum class Outcome {
  kNotAsked,  // nothing reached the desktop: it still names what it named
  kTaken,     // the desktop took the new name everywhere
  kUnsure,    // asked, but no clear answer: it may name the new or the last
};

// Housekeeping after a request: removes the second names that are no longer
// needed (and leftovers of an interrupted copy), so that at most one, or
// after an unsure answer two, stay beside the bitmap. Other files are not
// touched.
//   kTaken:    every other name goes.
//   kNotAsked: shown goes if this run made it (created); the rest stays.
//   kUnsure:   shown and the newest other name stay; the rest goes.
void TidyShownNames(const std::string& bitmap_path, const std::string& shown, bool created, Outcome outcome);

}  // namespace pavo::wallpaper_linux
