// The Windows Runtime side of the WGC backend.
#pragma once

#include <memory>

#include "windows_capture/wgc_source.h"

namespace ov {

// Windows.Graphics.Capture through its raw ABI interfaces (declared locally from their published
// IIDs; the runtime functions are looked up in combase.dll at run time, so the program still
// starts where the runtime or the capture API is missing and WGC then fails with an HRESULT).
std::unique_ptr<WgcPlatform> CreateWindowsWgcPlatform();

}  // namespace ov
