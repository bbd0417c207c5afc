// Helpers shared by the fuzz targets: a check that stays on in every build and reports what broke
// before it aborts (libFuzzer then saves the input), and the split of an input into a selector
// byte and the bytes the target parses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#define OV_FUZZ_CHECK(condition)                                                       \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (false)

namespace ov::fuzz {

// The first byte of an input picks what a target does with the rest; an empty input picks 0.
struct Selected {
  std::uint8_t selector = 0;
  std::span<const std::uint8_t> rest;
};

inline Selected Select(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  return {data[0], std::span<const std::uint8_t>(data + 1, size - 1)};
}

}  // namespace ov::fuzz
