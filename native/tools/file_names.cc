#include "tools/file_names.h"

#include <array>

namespace ov {
namespace {

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool EqualsUpper(std::u16string_view base, std::u16string_view reserved) {
  if (base.size() != reserved.size()) return false;
  for (std::size_t i = 0; i < base.size(); ++i) {
    if (Upper(base[i]) != reserved[i]) return false;
  }
  return true;
}

bool IsReservedDeviceName(std::u16string_view name) {
  std::u16string_view base = name.substr(0, name.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  static constexpr std::array<std::u16string_view, 6> kNames = {u"CON", u"PRN",    u"AUX",
                                                                u"NUL", u"CONIN$", u"CONOUT$"};
  for (std::u16string_view reserved : kNames) {
    if (EqualsUpper(base, reserved)) return true;
  }
  if (base.size() != 4) return false;
  if (!EqualsUpper(base.substr(0, 3), u"COM") && !EqualsUpper(base.substr(0, 3), u"LPT")) {
    return false;
  }
  const char16_t last = base[3];
  return (last >= u'0' && last <= u'9') || last == u'\u00B9' || last == u'\u00B2' ||
         last == u'\u00B3';
}

}  // namespace

bool IsSafeFileName(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxFileNameUnits) return false;
  if (name == u"." || name == u"..") return false;
  if (name.back() == u'.' || name.back() == u' ') return false;
  for (char16_t c : name) {
    if (c < 0x20) return false;
    if ((c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) return false;
    if (std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) return false;
  }
  return !IsReservedDeviceName(name);
}

std::u16string_view FinalPathComponent(std::u16string_view path) {
  const std::size_t slash = path.find_last_of(u"/\\");
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace ov
