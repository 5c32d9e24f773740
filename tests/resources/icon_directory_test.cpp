// Choosing the image of an icon file, on well-formed and damaged files.
#include "app/icon_directory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrelon {
namespace {

struct Entry {
  uint8_t width, height;
  uint16_t bits;
  uint32_t size = 48;        // bytes of the image
  int offset_shift = 0;      // moves the stored offset away from the real one
  uint16_t header_bits = 0;  // biBitCount written into the image's own header
};

void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = uint8_t(v);
  out[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}

// An icon file whose images are `size` bytes each, the n-th filled with the byte n+1.
std::vector<uint8_t> icon_file(const std::vector<Entry>& entries) {
  size_t total = 6 + 16 * entries.size();
  for (const auto& e : entries) total += e.size;
  std::vector<uint8_t> out(total, 0);
  put16(out, 2, 1);
  put16(out, 4, uint16_t(entries.size()));
  size_t offset = 6 + 16 * entries.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    const size_t at = 6 + 16 * i;
    out[at] = e.width;
    out[at + 1] = e.height;
    put16(out, at + 4, 1);
    put16(out, at + 6, e.bits);
    put32(out, at + 8, e.size);
    put32(out, at + 12, uint32_t(int64_t(offset) + e.offset_shift));
    for (size_t b = 0; b < e.size; ++b) out[offset + b] = uint8_t(i + 1);
    if (e.size >= 16) {
      put32(out, offset, 40);
      put16(out, offset + 14, e.header_bits);
    }
    offset += e.size;
  }
  return out;
}

// Index (from 0) of the image chosen, or -1 for none.
int chosen(const std::vector<uint8_t>& file) {
  const auto image = pick_icon_image(file.data(), file.size());
  if (!image) return -1;
  const size_t offset = size_t(image->data - file.data());
  // The image's first bytes are the header; its last byte carries the index.
  return int(file[offset + image->size - 1]) - 1;
}

TEST(PickIconImage, ChoosesTheDeepestImageOfTheFirstImagesSize) {
  struct Case {
    const char* name;
    std::vector<Entry> entries;
    int expected;
  } cases[] = {
      {"our own file: 64 first", {{64, 64, 32}, {32, 32, 32}, {24, 24, 32}, {16, 16, 32}}, 0},
      {"deeper image of the same size later", {{32, 32, 8}, {16, 16, 32}, {32, 32, 32}}, 2},
      {"a deeper image of another size does not count", {{16, 16, 4}, {32, 32, 32}}, 0},
      {"the earliest on a tie", {{48, 48, 32}, {48, 48, 32}}, 0},
      {"width alone equal is not the same size", {{32, 32, 8}, {32, 16, 32}}, 0},
      {"a depth left at 0 is read from the image", {{32, 32, 8}, {32, 32, 0, 48, 0, 32}}, 1},
      {"a single image", {{16, 16, 4}}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(chosen(icon_file(c.entries)), c.expected) << c.name;
}

TEST(PickIconImage, ReportsSizeAndDepth) {
  const auto file = icon_file({{0, 0, 32}, {64, 64, 32}});
  const auto image = pick_icon_image(file.data(), file.size());
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 256);  // 0 stands for 256
  EXPECT_EQ(image->height, 256);
  EXPECT_EQ(image->bits_per_pixel, 32);
  EXPECT_EQ(image->size, 48u);
}

TEST(PickIconImage, RefusesDamagedFiles) {
  auto good = icon_file({{32, 32, 32}, {16, 16, 32}});
  ASSERT_EQ(chosen(good), 0);

  std::vector<std::pair<const char*, std::vector<uint8_t>>> damaged;
  damaged.push_back({"empty", {}});
  damaged.push_back({"header cut short", {0, 0, 1, 0, 1}});
  damaged.push_back({"directory cut short", {good.begin(), good.begin() + 6 + 16 + 8}});
  auto cursor = good;
  put16(cursor, 2, 2);  // a cursor file, not an icon
  damaged.push_back({"cursor type", cursor});
  auto reserved = good;
  put16(reserved, 0, 1);
  damaged.push_back({"reserved field set", reserved});
  auto no_images = good;
  put16(no_images, 4, 0);
  damaged.push_back({"no images", no_images});
  auto too_many = good;
  put16(too_many, 4, 60000);
  damaged.push_back({"more entries than bytes", too_many});
  damaged.push_back({"offset past the end", icon_file({{32, 32, 32, 48, 1000}})});
  damaged.push_back({"image runs past the end", icon_file({{32, 32, 32, 48, 8}})});
  damaged.push_back({"offset wraps around", icon_file({{32, 32, 32, 48, -200}})});
  auto huge = good;
  put32(huge, 6 + 8, 0xFFFFFFF0u);
  damaged.push_back({"size wraps around", huge});
  auto zero = good;
  put32(zero, 6 + 8, 0);
  damaged.push_back({"empty image", zero});
  damaged.push_back({"file truncated inside the image", {good.begin(), good.end() - 60}});

  for (const auto& [name, file] : damaged) {
    EXPECT_FALSE(pick_icon_image(file.data(), file.size()).has_value()) << name;
  }
  EXPECT_FALSE(pick_icon_image(nullptr, 100).has_value());
}

}  // namespace
}  // namespace kestrelon
