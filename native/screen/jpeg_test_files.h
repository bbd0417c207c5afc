// Test helpers: the checked-in JPEG files and byte surgery on their headers.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace ov::testing_jpeg {

inline std::vector<std::uint8_t> LoadTestJpeg(const std::string& name) {
  std::ifstream in(std::string(OV_SCREEN_TESTDATA) + "/" + name, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

// Offset of the first marker byte (the byte after FF) equal to `marker`, walking segments from
// offset 2 of a well-formed file; 0 when not found before the scan.
inline std::size_t FindMarker(const std::vector<std::uint8_t>& jpeg, std::uint8_t marker) {
  std::size_t i = 2;
  while (i + 3 < jpeg.size() && jpeg[i] == 0xFF) {
    if (jpeg[i + 1] == marker) return i + 1;
    if (jpeg[i + 1] == 0xDA) return 0;
    i += 2 + (static_cast<std::size_t>(jpeg[i + 2]) << 8 | jpeg[i + 3]);
  }
  return 0;
}

// The frame header (SOF0/1/2) marker offset.
inline std::size_t FindFrameHeader(const std::vector<std::uint8_t>& jpeg) {
  for (std::uint8_t m : {std::uint8_t{0xC0}, std::uint8_t{0xC1}, std::uint8_t{0xC2}}) {
    if (std::size_t at = FindMarker(jpeg, m)) return at;
  }
  return 0;
}

inline void PutU16(std::vector<std::uint8_t>& data, std::size_t at, unsigned value) {
  data[at] = static_cast<std::uint8_t>(value >> 8);
  data[at + 1] = static_cast<std::uint8_t>(value);
}

}  // namespace ov::testing_jpeg
