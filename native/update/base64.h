// Strict Base64 (RFC 4648, section 4: the standard alphabet with '=' padding). Exactly one text
// encodes each byte string, and only that text decodes: the length is a multiple of 4, padding
// appears only as the last one or two characters, the bits that padding leaves over are zero, and
// nothing else (white space, line breaks, URL-safe letters, trailing bytes) is accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ov {

std::optional<std::vector<std::uint8_t>> DecodeBase64Strict(std::string_view text);
std::string EncodeBase64(const void* data, std::size_t size);

// The bounds on every Base64 text of the update manifest and the built-in release key.
inline constexpr std::size_t kUpdateBase64MaxText = 24000;
inline constexpr std::size_t kUpdateBase64MaxBytes = 16384;

// Strict decoding of a manifest field or the release key: the text must be 1 to 24000 characters
// and decode to at most 16384 bytes. Throws std::runtime_error("Update verification failed")
// otherwise.
std::vector<std::uint8_t> DecodeUpdateBase64(std::string_view text);

}  // namespace ov
