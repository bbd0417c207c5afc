// File names as a peer offers them: the bytes are UTF-16 units (little-endian pairs, an odd last
// byte dropped) given to IsSafeFileName and FinalPathComponent.
//
// IsSafeFileName must agree with an independent statement of its rule, written here from the
// contract in file_names.h with no code shared: the length, "." and "..", the last character,
// the forbidden characters and the reserved device names (the text before the first dot, trailing
// spaces and ASCII case ignored). FinalPathComponent must return the input's suffix after its
// last separator. A safe name stays safe whatever folder it is put under, and never holds a path
// separator.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tools/file_names.h"

namespace {

bool Forbidden(char16_t c) {
  if (c <= 0x1F) return true;
  if (c >= 0x202A && c <= 0x202E) return true;  // embeddings and overrides
  if (c >= 0x2066 && c <= 0x2069) return true;  // isolates
  switch (c) {
    case u'\\':
    case u'/':
    case u':':
    case u'*':
    case u'?':
    case u'"':
    case u'<':
    case u'>':
    case u'|':
      return true;
    default:
      return false;
  }
}

char16_t AsciiUpper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool ReservedDevice(std::u16string_view name) {
  std::u16string stem;
  for (char16_t c : name) {
    if (c == u'.') break;
    stem.push_back(AsciiUpper(c));
  }
  while (!stem.empty() && stem.back() == u' ') stem.pop_back();
  for (const char16_t* fixed : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (stem == fixed) return true;
  }
  if (stem.size() == 4 && (stem.starts_with(u"COM") || stem.starts_with(u"LPT"))) {
    const char16_t digit = stem[3];
    return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
           digit == u'\u00B3';
  }
  return false;
}

bool ReferenceSafe(std::u16string_view name) {
  if (name.empty() || name.size() > 180) return false;
  if (name == u"." || name == u"..") return false;
  if (name.back() == u'.' || name.back() == u' ') return false;
  for (char16_t c : name) {
    if (Forbidden(c)) return false;
  }
  return !ReservedDevice(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string name;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    name.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  const bool safe = ov::IsSafeFileName(name);
  OV_FUZZ_CHECK(safe == ReferenceSafe(name));

  const std::u16string_view last = ov::FinalPathComponent(name);
  OV_FUZZ_CHECK(std::u16string_view(name).ends_with(last));
  OV_FUZZ_CHECK(last.find_first_of(u"/\\") == std::u16string_view::npos);
  const std::size_t cut = name.size() - last.size();
  OV_FUZZ_CHECK(cut == 0 || name[cut - 1] == u'/' || name[cut - 1] == u'\\');

  if (safe) {
    OV_FUZZ_CHECK(ov::FinalPathComponent(name) == name);
    OV_FUZZ_CHECK(ov::FinalPathComponent(u"C:\\Users\\x\\Downloads\\" + name) == name);
    OV_FUZZ_CHECK(ov::FinalPathComponent(u"/home/x/" + name) == name);
  }
  return 0;
}
