#include "app/nonce_set.h"

#include <gtest/gtest.h>

namespace ov {
namespace {

// Published FNV-1a 64-bit test values.
TEST(NonceSetTest, Fnv1aMatchesReferenceValues) {
  EXPECT_EQ(Fnv1a64(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(Fnv1a64("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(Fnv1a64("foobar"), 0x85944171f73967e8ull);
}

}  // namespace
}  // namespace ov
