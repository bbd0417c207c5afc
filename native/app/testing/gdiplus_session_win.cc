// Starts GDI+ for the life of a test program that has no entry of its own to do it: its host's
// stream encodes, and its viewer decodes, through GDI+.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

namespace {

class GdiplusSession {
 public:
  GdiplusSession() {
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token_, &input, nullptr) != Gdiplus::Ok) token_ = 0;
  }
  ~GdiplusSession() {
    if (token_ != 0) Gdiplus::GdiplusShutdown(token_);
  }
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;

 private:
  ULONG_PTR token_ = 0;
};

const GdiplusSession kSession;

}  // namespace
