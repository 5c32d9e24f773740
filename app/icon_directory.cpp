#include "app/icon_directory.h"

#include <algorithm>

namespace kestrelon {
namespace {

constexpr size_t kHeaderSize = 6;
constexpr size_t kEntrySize = 16;

uint16_t u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The directory may leave the depth at 0; the image's own header then tells it.
int image_depth(const uint8_t* entry, const uint8_t* file, size_t file_size) {
  const int listed = u16(entry + 6);
  if (listed != 0) return listed;
  const uint32_t size = u32(entry + 8);
  const uint32_t offset = u32(entry + 12);
  if (offset > file_size || size > file_size - offset) return 0;
  const uint8_t* image = file + offset;
  static constexpr uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= 26 && std::equal(kPng, kPng + 8, image)) {
    static constexpr int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    const int bit_depth = image[24];
    const int colour_type = image[25];
    return colour_type < 7 ? bit_depth * kChannels[colour_type] : 0;
  }
  if (size >= 16 && u32(image) >= 16) return u16(image + 14);  // BITMAPINFOHEADER.biBitCount
  return 0;
}

int dimension(uint8_t value) {
  return value == 0 ? 256 : value;
}

}  // namespace

std::optional<IconImage> pick_icon_image(const uint8_t* file, size_t file_size) {
  if (file == nullptr || file_size < kHeaderSize) return std::nullopt;
  if (u16(file) != 0 || u16(file + 2) != 1) return std::nullopt;  // not an icon file
  const size_t count = u16(file + 4);
  if (count == 0 || count > (file_size - kHeaderSize) / kEntrySize) return std::nullopt;

  const uint8_t* entries = file + kHeaderSize;
  const uint8_t width = entries[0];
  const uint8_t height = entries[1];
  const uint8_t* best = nullptr;
  int best_depth = -1;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = entries + i * kEntrySize;
    if (entry[0] != width || entry[1] != height) continue;
    const int depth = image_depth(entry, file, file_size);
    if (depth > best_depth) {
      best = entry;
      best_depth = depth;
    }
  }
  const uint32_t size = u32(best + 8);
  const uint32_t offset = u32(best + 12);
  if (size == 0 || offset > file_size || size > file_size - offset) return std::nullopt;
  return IconImage{file + offset, size, dimension(width), dimension(height), best_depth};
}

}  // namespace kestrelon
