// Picks one image out of an icon file (.ico) held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kestrelon {

struct IconImage {
  const uint8_t* data = nullptr;  // the image's bytes (a DIB or PNG), inside the file
  uint32_t size = 0;
  int width = 0;
  int height = 0;
  int bits_per_pixel = 0;
};

// Among the images with the same width and height as the file's first image, the one with
// the most bits per pixel (the earliest on a tie). nullopt when the file is malformed or
// the chosen image's bytes lie outside it.
std::optional<IconImage> pick_icon_image(const uint8_t* file, size_t file_size);

}  // namespace kestrelon
