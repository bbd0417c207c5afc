// What a harness may take for the code refusing hostile bytes on purpose, as opposed to a fault
// that only ended in an exception.
#pragma once

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <typeinfo>

#include "base/json_codec.h"
#include "base/protocol_error.h"
#include "fuzz/fuzz_check.h"

namespace ov::fuzz {

// A deliberate refusal is an ov::ProtocolError, one of the JSON library's own errors, or a plain
// std::runtime_error (the type every fixed refusal text of the session tools and the codecs
// uses). Anything else that bytes from a peer make the code throw (std::out_of_range or
// std::length_error from a container, std::logic_error, std::bad_optional_access,
// std::bad_variant_access...) is a fault, even though the session would end on it just the same.
inline bool IsDeliberateRefusal(const std::exception& error) {
  if (dynamic_cast<const ProtocolError*>(&error) != nullptr) return true;
  if (dynamic_cast<const Json::exception*>(&error) != nullptr) return true;
  return typeid(error) == typeid(std::runtime_error);
}

// Aborts, saying what was thrown, unless `error` is a deliberate refusal.
inline void ExpectRefusal(const std::exception& error) {
  if (IsDeliberateRefusal(error)) return;
  std::fprintf(stderr, "not a deliberate refusal: %s (%s)\n", error.what(), typeid(error).name());
  OV_FUZZ_CHECK(false && "an exception that is not a deliberate refusal");
}

}  // namespace ov::fuzz
