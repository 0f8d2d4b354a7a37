// The day's image as the desktop wallpaper: conversion to a Windows bitmap
// file, then the platform's request to show that file.
#pragma once

#include <string>

namespace pavo {

// Decodes the JPEG at source and writes it as an uncompressed 24-bit
// Windows bitmap at bitmap_path, replacing that file only once the new one is
// complete. Throws pavo::Failure when the source is not a picture it can read
// or the bitmap cannot be written; the file at bitmap_path is then unchanged.
void ConvertToBitmap(const std::string& source, const std::string& bitmap_path);

// Makes the bitmap file the desktop wallpaper and stores that choice for the
// user. The platform's answer is not examined.
void SetWallpaper(const std::string& bitmap_path);

}  // namespace pavo
