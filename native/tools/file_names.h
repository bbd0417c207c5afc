// File names. Names and paths are UTF-16 everywhere in file transfer (the Windows file system's
// own form, and the unit in which the name limits count); the wire carries UTF-8 (tools/utf16.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ov {

// Longest name accepted, in UTF-16 units.
inline constexpr std::size_t kMaxFileNameUnits = 180;

// False for a name that must never be created or offered: empty or longer than 180 units, "." or
// "..", ending in a dot or a space, holding a control character (below U+0020), a bidirectional
// embedding, override or isolate control (U+202A-U+202E, U+2066-U+2069) or one of \ / : * ? " < >
// |, or a reserved device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9 including
// the superscript digits 1-3) as its text before the first dot, trailing spaces and case ignored.
bool IsSafeFileName(std::u16string_view name);

// The text after the last "/" or "\" of `path` (all of it when there is none).
std::u16string_view FinalPathComponent(std::u16string_view path);

}  // namespace ov
