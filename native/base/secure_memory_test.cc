#include "base/secure_memory.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace ov {
namespace {

bool AllZero(const std::uint8_t* p, std::size_t n) {
  return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

TEST(SecureMemory, WipesAndClears) {
  std::string password = "ABCD2345";
  char* storage = password.data();
  SecureClear(password);
  EXPECT_TRUE(password.empty());
  // Clearing keeps the (small-string) storage, which must now hold zeros.
  EXPECT_TRUE(AllZero(reinterpret_cast<const std::uint8_t*>(storage), 8));

  std::vector<std::uint8_t> key(32, 0x5A);
  const std::uint8_t* keyStorage = key.data();
  SecureClear(key);
  EXPECT_TRUE(key.empty());
  EXPECT_TRUE(AllZero(keyStorage, 32));

  SecretArray<16> secret;
  EXPECT_TRUE(AllZero(secret.data(), 16));
  std::fill(secret.data(), secret.data() + 16, 0xFF);
  secret.Wipe();
  EXPECT_TRUE(AllZero(secret.data(), 16));

  SecureWipe(nullptr, 0);  // allowed
}

// A move of a short string copies its characters and leaves them in the source's own buffer;
// MoveSecret must leave the secret nowhere but in the target.
TEST(SecureMemory, MoveSecretLeavesNoCopyBehind) {
  for (const std::string& value : {std::string("WXYZ2345"), std::string(64, 'c')}) {
    std::string from = value;
    std::string to = "OLDSECRT";
    const char* fromStorage = from.data();
    MoveSecret(to, from);
    EXPECT_EQ(to, value);
    EXPECT_TRUE(from.empty());
    // The buffer that held the secret is either the target's now or zeroed.
    if (to.data() != fromStorage) {
      EXPECT_TRUE(AllZero(reinterpret_cast<const std::uint8_t*>(fromStorage), value.size()));
    }
    // Whatever `from` holds now holds nothing of either secret.
    from.resize(from.capacity());
    EXPECT_TRUE(AllZero(reinterpret_cast<const std::uint8_t*>(from.data()), from.size()));
  }
}

TEST(SecureMemory, SecretBytesMovesOwnership) {
  SecretBytes a(8);
  std::fill(a.data(), a.data() + 8, 7);
  SecretBytes b(std::move(a));
  EXPECT_EQ(b.size(), 8u);
  EXPECT_EQ(b.data()[7], 7);
  SecretBytes c;
  c = std::move(b);
  EXPECT_EQ(c.size(), 8u);
}

}  // namespace
}  // namespace ov
