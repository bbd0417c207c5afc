// A release key made for one test run, signing with BoringSSL (on Windows the program verifies
// with CNG, so every signed test is also a check of the two providers against each other).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ov::testing {

class TestReleaseKey {
 public:
  TestReleaseKey();
  ~TestReleaseKey();
  TestReleaseKey(const TestReleaseKey&) = delete;
  TestReleaseKey& operator=(const TestReleaseKey&) = delete;

  // Base64 of the 72-byte public blob (96 characters).
  const std::string& publicBase64() const { return publicBase64_; }
  // The 64-byte r||s signature of the SHA-256 of `data`.
  std::vector<std::uint8_t> Sign(std::span<const std::uint8_t> data) const;
  // {"payload": Base64(payload), "signature": Base64(Sign(payload))}.
  std::string Envelope(std::string_view payload) const;

 private:
  struct Key;
  std::unique_ptr<Key> key_;
  std::string publicBase64_;
};

// An envelope of two given member texts, written as the program writes JSON.
std::string EnvelopeOf(std::string_view payloadBase64, std::string_view signatureBase64);

// A well-formed payload text with these members.
std::string PayloadText(std::string_view version, std::uint64_t bytes, std::string_view sha256);

}  // namespace ov::testing
