#include "screen/dxgi_duplication_win.h"

#include <d3d11.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>

namespace ov {

using Microsoft::WRL::ComPtr;

namespace {

// More rectangles than this in one frame are taken as the whole image.
constexpr std::size_t kMaxFrameRects = 4096;

// `r` clipped to a width x height image; empty when nothing is left.
RegionRect Clip(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1, int width, int height) {
  x0 = std::max<std::int64_t>(x0, 0);
  y0 = std::max<std::int64_t>(y0, 0);
  x1 = std::min<std::int64_t>(x1, width);
  y1 = std::min<std::int64_t>(y1, height);
  if (x1 <= x0 || y1 <= y0) return RegionRect{};
  return RegionRect{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)};
}

}  // namespace

struct DesktopDuplication::State {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ComPtr<IDXGIOutputDuplication> duplication;
  ComPtr<ID3D11Texture2D> staging;  // the last image, on the CPU's side
  ScreenRect rect{};                // of the open duplication, or of the last failure
  bool haveImage = false;           // staging holds an image of this duplication
  bool failed = false;              // for `rect`, until AllowRetry
  std::uint32_t lastError = 0;
  std::uint32_t attempts = 0;
  std::vector<DXGI_OUTDUPL_MOVE_RECT> moves;
  std::vector<RECT> dirty;

  void Close() noexcept {
    duplication.Reset();
    staging.Reset();
    context.Reset();
    device.Reset();
    haveImage = false;
  }

  // Closes after a failure of the open duplication: it is opened again at the next copy when it
  // was lost (a mode change, a desktop switch, a full-screen program) after it gave images;
  // otherwise, and when it was lost before its first image (it would be opened and lost on
  // every frame), it counts as refused until a retry.
  void Drop(HRESULT hr) noexcept {
    const bool reopen = hr == DXGI_ERROR_ACCESS_LOST && haveImage;
    Close();
    if (!reopen) {
      failed = true;
      lastError = static_cast<std::uint32_t>(hr == S_OK ? E_FAIL : hr);
    }
  }

  void Fail(const ScreenRect& at, HRESULT hr) noexcept {
    Close();
    rect = at;
    failed = true;
    lastError = static_cast<std::uint32_t>(hr == S_OK ? E_FAIL : hr);
  }

  // Opens a duplication of the output whose desktop rectangle is `at`, on a device of that
  // output's adapter. False (and failed) when there is none to be had.
  bool Open(const ScreenRect& at) {
    Close();
    ++attempts;
    ComPtr<IDXGIFactory1> factory;
    HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.GetAddressOf()));
    if (FAILED(hr)) {
      Fail(at, hr);
      return false;
    }
    ComPtr<IDXGIAdapter1> adapter;
    for (UINT a = 0; factory->EnumAdapters1(a, adapter.ReleaseAndGetAddressOf()) == S_OK; ++a) {
      ComPtr<IDXGIOutput> output;
      for (UINT o = 0; adapter->EnumOutputs(o, output.ReleaseAndGetAddressOf()) == S_OK; ++o) {
        DXGI_OUTPUT_DESC desc{};
        if (FAILED(output->GetDesc(&desc)) || !desc.AttachedToDesktop) continue;
        const RECT& d = desc.DesktopCoordinates;
        if (d.left != at.left || d.top != at.top || d.right != at.right || d.bottom != at.bottom) continue;
        // The image of a rotated display is not in the display's orientation.
        if (desc.Rotation != DXGI_MODE_ROTATION_IDENTITY && desc.Rotation != DXGI_MODE_ROTATION_UNSPECIFIED) {
          Fail(at, DXGI_ERROR_UNSUPPORTED);
          return false;
        }
        ComPtr<IDXGIOutput1> output1;
        hr = output.As(&output1);
        if (SUCCEEDED(hr)) {
          hr = D3D11CreateDevice(adapter.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                 nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr,
                                 context.GetAddressOf());
        }
        if (SUCCEEDED(hr)) hr = output1->DuplicateOutput(device.Get(), duplication.GetAddressOf());
        if (FAILED(hr)) {
          Fail(at, hr);
          return false;
        }
        rect = at;
        failed = false;
        lastError = 0;
        return true;
      }
    }
    Fail(at, DXGI_ERROR_NOT_FOUND);
    return false;
  }

  // The moved and dirty rectangles of the acquired frame, as areas of a width x height image
  // (a move: its source and its destination); the failure when they cannot be read.
  HRESULT FrameRects(const DXGI_OUTDUPL_FRAME_INFO& info, int width, int height, std::vector<RegionRect>& out) {
    if (info.TotalMetadataBufferSize == 0) {
      // A new image without metadata: all of it may have changed.
      out.push_back(RegionRect{0, 0, width, height});
      return S_OK;
    }
    UINT bytes = 0;
    moves.resize(std::max<std::size_t>(moves.size(), 16));
    HRESULT hr = duplication->GetFrameMoveRects(static_cast<UINT>(moves.size() * sizeof(moves[0])), moves.data(), &bytes);
    if (hr == DXGI_ERROR_MORE_DATA) {
      moves.resize(bytes / sizeof(moves[0]) + 1);
      hr = duplication->GetFrameMoveRects(static_cast<UINT>(moves.size() * sizeof(moves[0])), moves.data(), &bytes);
    }
    if (FAILED(hr)) return hr;
    const std::size_t moveCount = bytes / sizeof(moves[0]);
    dirty.resize(std::max<std::size_t>(dirty.size(), 64));
    hr = duplication->GetFrameDirtyRects(static_cast<UINT>(dirty.size() * sizeof(dirty[0])), dirty.data(), &bytes);
    if (hr == DXGI_ERROR_MORE_DATA) {
      dirty.resize(bytes / sizeof(dirty[0]) + 1);
      hr = duplication->GetFrameDirtyRects(static_cast<UINT>(dirty.size() * sizeof(dirty[0])), dirty.data(), &bytes);
    }
    if (FAILED(hr)) return hr;
    const std::size_t dirtyCount = bytes / sizeof(dirty[0]);
    if (moveCount * 2 + dirtyCount > kMaxFrameRects) {
      out.push_back(RegionRect{0, 0, width, height});
      return S_OK;
    }
    for (std::size_t i = 0; i < moveCount; ++i) {
      const RECT& to = moves[i].DestinationRect;
      const POINT& from = moves[i].SourcePoint;
      const std::int64_t w = std::int64_t{to.right} - to.left;
      const std::int64_t h = std::int64_t{to.bottom} - to.top;
      out.push_back(Clip(from.x, from.y, from.x + w, from.y + h, width, height));
      out.push_back(Clip(to.left, to.top, to.right, to.bottom, width, height));
    }
    for (std::size_t i = 0; i < dirtyCount; ++i) {
      out.push_back(Clip(dirty[i].left, dirty[i].top, dirty[i].right, dirty[i].bottom, width, height));
    }
    std::erase_if(out, [](const RegionRect& r) { return r.width == 0; });
    return S_OK;
  }

  // Takes the frame the system has, if any, into staging, its rectangles appended to `changed`
  // (all of it for the first image): true, also with nothing new; false on failure (the
  // duplication was closed).
  bool TakeFrame(int width, int height, std::vector<RegionRect>& changed) {
    DXGI_OUTDUPL_FRAME_INFO info{};
    ComPtr<IDXGIResource> resource;
    HRESULT hr = duplication->AcquireNextFrame(0, &info, resource.GetAddressOf());
    if (hr == DXGI_ERROR_WAIT_TIMEOUT) return true;  // nothing new since the last frame
    if (FAILED(hr)) {
      Drop(hr);
      return false;
    }
    // A new image, not only the pointer's move; the first frame's resource is the image as it is.
    if ((info.LastPresentTime.QuadPart != 0 || !haveImage) && resource) {
      ComPtr<ID3D11Texture2D> texture;
      hr = resource.As(&texture);
      D3D11_TEXTURE2D_DESC desc{};
      if (SUCCEEDED(hr)) {
        texture->GetDesc(&desc);
        // Another size is a mode change under way (the display's rectangle changes with it).
        if (static_cast<int>(desc.Width) != width || static_cast<int>(desc.Height) != height ||
            desc.Format != DXGI_FORMAT_B8G8R8A8_UNORM) {
          hr = DXGI_ERROR_UNSUPPORTED;
        }
      }
      if (SUCCEEDED(hr) && !staging) {
        D3D11_TEXTURE2D_DESC copy = desc;
        copy.MipLevels = 1;
        copy.ArraySize = 1;
        copy.SampleDesc = DXGI_SAMPLE_DESC{1, 0};
        copy.Usage = D3D11_USAGE_STAGING;
        copy.BindFlags = 0;
        copy.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        copy.MiscFlags = 0;
        hr = device->CreateTexture2D(&copy, nullptr, staging.GetAddressOf());
      }
      if (SUCCEEDED(hr)) {
        if (haveImage) {
          hr = FrameRects(info, width, height, changed);
        } else {
          changed.push_back(RegionRect{0, 0, width, height});
        }
      }
      if (SUCCEEDED(hr)) {
        context->CopyResource(staging.Get(), texture.Get());
        haveImage = true;
      }
    }
    duplication->ReleaseFrame();
    if (FAILED(hr)) {
      Drop(hr);
      return false;
    }
    return true;
  }
};

DesktopDuplication::DesktopDuplication() : state_(std::make_unique<State>()) {}
DesktopDuplication::~DesktopDuplication() = default;

void DesktopDuplication::AllowRetry() noexcept { state_->failed = false; }
bool DesktopDuplication::active() const noexcept { return state_->duplication != nullptr; }
std::uint32_t DesktopDuplication::lastError() const noexcept { return state_->lastError; }
std::uint32_t DesktopDuplication::attempts() const noexcept { return state_->attempts; }

DesktopDuplication::Result DesktopDuplication::Copy(const ScreenRect& rect, std::uint8_t* dest,
                                                    std::size_t stride, bool whole,
                                                    std::span<const RegionRect> restore,
                                                    std::vector<RegionRect>& changed) {
  changed.clear();
  State& s = *state_;
  const bool sameRect = s.rect.left == rect.left && s.rect.top == rect.top && s.rect.right == rect.right &&
                        s.rect.bottom == rect.bottom;
  if (s.failed && sameRect) return Result::Unavailable;
  if (!SurfaceSizeAllowed(rect.Width(), rect.Height()) || dest == nullptr) return Result::Unavailable;
  const auto width = static_cast<int>(rect.Width());
  const auto height = static_cast<int>(rect.Height());
  if (stride < static_cast<std::size_t>(width) * 4) return Result::Unavailable;
  if (!s.duplication || !sameRect) {
    if (!s.Open(rect)) return Result::Unavailable;
  }
  std::vector<RegionRect> frame;
  if (!s.TakeFrame(width, height, frame) || !s.haveImage) return Result::Unavailable;
  const bool all = whole || std::any_of(frame.begin(), frame.end(), [&](const RegionRect& r) {
                     return r.width == width && r.height == height;
                   });
  if (all) {
    changed.assign(1, RegionRect{0, 0, width, height});
  } else {
    changed = std::move(frame);
    for (const RegionRect& r : restore) {
      const RegionRect c = Clip(r.x, r.y, std::int64_t{r.x} + r.width, std::int64_t{r.y} + r.height, width, height);
      if (c.width != 0) changed.push_back(c);
    }
  }
  if (changed.empty()) return Result::Copied;
  D3D11_MAPPED_SUBRESOURCE mapped{};
  const HRESULT mappedHr = s.context->Map(s.staging.Get(), 0, D3D11_MAP_READ, 0, &mapped);
  if (FAILED(mappedHr)) {
    s.Drop(mappedHr);
    changed.clear();
    return Result::Unavailable;
  }
  const auto pitch = static_cast<std::size_t>(mapped.RowPitch);
  if (mapped.pData == nullptr || pitch < static_cast<std::size_t>(width) * 4 ||
      pitch > static_cast<std::size_t>(kMaxMappedRowPitch)) {
    s.context->Unmap(s.staging.Get(), 0);
    s.Drop(DXGI_ERROR_UNSUPPORTED);
    changed.clear();
    return Result::Unavailable;
  }
  const auto* image = static_cast<const std::uint8_t*>(mapped.pData);
  for (const RegionRect& r : changed) {
    const std::size_t at = static_cast<std::size_t>(r.x) * 4;
    const std::size_t bytes = static_cast<std::size_t>(r.width) * 4;
    for (int y = r.y; y < r.y + r.height; ++y) {
      std::memcpy(dest + static_cast<std::size_t>(y) * stride + at, image + static_cast<std::size_t>(y) * pitch + at, bytes);
    }
  }
  s.context->Unmap(s.staging.Get(), 0);
  return Result::Copied;
}

}  // namespace ov
