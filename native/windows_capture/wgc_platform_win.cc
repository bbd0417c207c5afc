#include "windows_capture/wgc_platform_win.h"

#include <windows.h>
#include <d3d11.h>
#include <dxgi.h>
#include <inspectable.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace ov {
namespace {

// ---- Minimal COM pointer -----------------------------------------------------------------

template <class T>
class Com {
 public:
  Com() = default;
  ~Com() { Reset(); }
  Com(const Com& other) : p_(other.p_) {
    if (p_) p_->AddRef();
  }
  Com& operator=(const Com& other) {
    if (this != &other) {
      Reset();
      p_ = other.p_;
      if (p_) p_->AddRef();
    }
    return *this;
  }
  Com(Com&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Com& operator=(Com&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }
  void Reset() noexcept {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  T** Put() noexcept {
    Reset();
    return &p_;
  }
  void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

 private:
  T* p_ = nullptr;
};

[[gnu::noinline]] void Check(HRESULT hr) {
  if (FAILED(hr)) throw WgcError(static_cast<std::uint32_t>(hr));
}

// ---- Windows Runtime ABI interfaces (published IIDs, vtables in metadata order) -------------

struct SizeInt32 {
  std::int32_t width;
  std::int32_t height;
};
struct EventToken {
  std::int64_t value;
};

constexpr std::int32_t kPixelFormatB8G8R8A8UIntNormalized = 87;

constexpr GUID kIidCaptureSessionStatics = {0x2224a540, 0x5974, 0x49aa, {0xb2, 0x32, 0x08, 0x82, 0x53, 0x6f, 0x4c, 0xb5}};
constexpr GUID kIidCaptureItemInterop = {0x3628e81b, 0x3cac, 0x4c60, {0xb7, 0xf4, 0x23, 0xce, 0x0e, 0x0c, 0x33, 0x56}};
constexpr GUID kIidCaptureItem = {0x79c3f95b, 0x31f7, 0x4ec2, {0xa4, 0x64, 0x63, 0x2e, 0xf5, 0xd3, 0x07, 0x60}};
constexpr GUID kIidDirect3DDevice = {0xa37624ab, 0x8d5f, 0x4650, {0x9d, 0x3e, 0x9e, 0xae, 0x3d, 0x9b, 0xc6, 0x70}};
constexpr GUID kIidDxgiInterfaceAccess = {0xa9b3d012, 0x3df2, 0x4ee3, {0xb8, 0xd1, 0x86, 0x95, 0xf4, 0x57, 0xd3, 0xc1}};
constexpr GUID kIidCaptureFrame = {0xfa50c623, 0x38da, 0x4b32, {0xac, 0xf3, 0xfa, 0x97, 0x34, 0xad, 0x80, 0x0e}};
constexpr GUID kIidCaptureFramePoolStatics2 = {0x589b103f, 0x6bbc, 0x5df5, {0xa9, 0x91, 0x02, 0xe2, 0x8b, 0x3b, 0x66, 0xd5}};
constexpr GUID kIidCaptureSession2 = {0x2c39ae40, 0x7d2e, 0x5044, {0x80, 0x4e, 0x8b, 0x67, 0x99, 0xd4, 0xcf, 0x9e}};
constexpr GUID kIidClosable = {0x30d5a829, 0x7fa4, 0x4026, {0x83, 0xbb, 0xd7, 0x5b, 0xae, 0x4e, 0xa9, 0x9e}};
constexpr GUID kIidTexture2D = {0x6f15aaf2, 0xd208, 0x4e89, {0x9a, 0xb4, 0x48, 0x95, 0x35, 0xd3, 0x4f, 0x9c}};
constexpr GUID kIidDxgiDevice = {0x54ec77fa, 0x1377, 0x44e6, {0x8c, 0x32, 0x88, 0xfd, 0x5f, 0x44, 0xc8, 0x4c}};

// COM interfaces never have destructors: a virtual one would shift every vtable slot.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

struct IClosableAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};
struct IGraphicsCaptureSessionStaticsAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE IsSupported(boolean* result) = 0;
};
struct IGraphicsCaptureItemInteropAbi : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateForWindow(HWND window, REFIID iid, void** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateForMonitor(HMONITOR monitor, REFIID iid, void** result) = 0;
};
struct IGraphicsCaptureItemAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(SizeInt32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_Closed(IUnknown* handler, EventToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_Closed(EventToken token) = 0;
};
struct IDirect3DDeviceAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Trim() = 0;
};
struct IDirect3DSurfaceAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Description(void* value) = 0;
};
struct IDirect3DDxgiInterfaceAccessAbi : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetInterface(REFIID iid, void** result) = 0;
};
struct IDirect3D11CaptureFrameAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Surface(IDirect3DSurfaceAbi** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SystemRelativeTime(std::int64_t* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ContentSize(SizeInt32* value) = 0;
};
struct IGraphicsCaptureSessionAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE StartCapture() = 0;
};
struct IGraphicsCaptureSession2Abi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(boolean value) = 0;
};
struct IDirect3D11CaptureFramePoolAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Recreate(IDirect3DDeviceAbi* device, std::int32_t format,
                                             std::int32_t buffers, SizeInt32 size) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryGetNextFrame(IDirect3D11CaptureFrameAbi** frame) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_FrameArrived(IUnknown* handler, EventToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_FrameArrived(EventToken token) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateCaptureSession(IGraphicsCaptureItemAbi* item,
                                                         IGraphicsCaptureSessionAbi** session) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** queue) = 0;
};
struct IDirect3D11CaptureFramePoolStatics2Abi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE CreateFreeThreaded(IDirect3DDeviceAbi* device,
                                                       std::int32_t format, std::int32_t buffers,
                                                       SizeInt32 size,
                                                       IDirect3D11CaptureFramePoolAbi** pool) = 0;
};

#pragma GCC diagnostic pop

// ---- Runtime functions, looked up in combase.dll / d3d11.dll ---------------------------------

struct HStringHeader {
  void* reserved[3];  // the size of HSTRING_HEADER on x64 (24 bytes)
};

using RoInitializeFn = HRESULT(WINAPI*)(int);
using RoUninitializeFn = void(WINAPI*)();
using RoGetActivationFactoryFn = HRESULT(WINAPI*)(HSTRING, REFIID, void**);
using WindowsCreateStringReferenceFn = HRESULT(WINAPI*)(PCWSTR, UINT32, HStringHeader*, HSTRING*);
using CreateDeviceFromDxgiFn = HRESULT(WINAPI*)(IDXGIDevice*, IInspectable**);

template <class Fn>
Fn Lookup(const wchar_t* module, const char* name) {
  HMODULE handle = GetModuleHandleW(module);
  if (handle == nullptr) handle = LoadLibraryExW(module, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (handle == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

struct RuntimeFunctions {
  RoInitializeFn roInitialize = Lookup<RoInitializeFn>(L"combase.dll", "RoInitialize");
  RoUninitializeFn roUninitialize = Lookup<RoUninitializeFn>(L"combase.dll", "RoUninitialize");
  RoGetActivationFactoryFn getFactory =
      Lookup<RoGetActivationFactoryFn>(L"combase.dll", "RoGetActivationFactory");
  WindowsCreateStringReferenceFn stringReference =
      Lookup<WindowsCreateStringReferenceFn>(L"combase.dll", "WindowsCreateStringReference");
  CreateDeviceFromDxgiFn deviceFromDxgi =
      Lookup<CreateDeviceFromDxgiFn>(L"d3d11.dll", "CreateDirect3D11DeviceFromDXGIDevice");
};

const RuntimeFunctions& Runtime() {
  static const RuntimeFunctions functions;
  return functions;
}

template <class T>
Com<T> GetFactory(const std::wstring& className, const GUID& iid) {
  const RuntimeFunctions& rt = Runtime();
  if (!rt.getFactory || !rt.stringReference) throw WgcError(static_cast<std::uint32_t>(REGDB_E_CLASSNOTREG));
  HStringHeader header{};
  HSTRING name = nullptr;
  Check(rt.stringReference(className.c_str(), static_cast<UINT32>(className.size()), &header, &name));
  Com<T> factory;
  Check(rt.getFactory(name, iid, factory.PutVoid()));
  return factory;
}

// The activation factories, shared by every capturer of the process while any of them lives.
struct Factories {
  Com<IGraphicsCaptureSessionStaticsAbi> sessionStatics;
  Com<IGraphicsCaptureItemInteropAbi> itemInterop;
  Com<IDirect3D11CaptureFramePoolStatics2Abi> poolStatics;
};

std::shared_ptr<Factories> AcquireFactories() {
  static std::mutex mutex;
  static std::weak_ptr<Factories> cached;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto existing = cached.lock()) return existing;
  auto made = std::make_shared<Factories>();
  made->sessionStatics = GetFactory<IGraphicsCaptureSessionStaticsAbi>(
      L"Windows.Graphics.Capture.GraphicsCaptureSession", kIidCaptureSessionStatics);
  made->itemInterop = GetFactory<IGraphicsCaptureItemInteropAbi>(
      L"Windows.Graphics.Capture.GraphicsCaptureItem", kIidCaptureItemInterop);
  made->poolStatics = GetFactory<IDirect3D11CaptureFramePoolStatics2Abi>(
      L"Windows.Graphics.Capture.Direct3D11CaptureFramePool", kIidCaptureFramePoolStatics2);
  cached = made;
  return made;
}

template <class T>
void CloseQuietly(const Com<T>& object) {
  if (!object) return;
  Com<IClosableAbi> closable;
  if (SUCCEEDED(object->QueryInterface(kIidClosable, closable.PutVoid())) && closable) {
    closable->Close();
  }
}

// ---- Session and frames ----------------------------------------------------------------------

struct D3DState {
  Com<ID3D11Device> device;
  Com<ID3D11DeviceContext> context;
  Com<ID3D11Texture2D> staging;
  D3D11_TEXTURE2D_DESC stagingDesc{};
};

class WinFrame : public WgcFrame {
 public:
  WinFrame(Com<IDirect3D11CaptureFrameAbi> frame, D3DState& d3d)
      : frame_(std::move(frame)), d3d_(d3d) {}
  ~WinFrame() override {
    Unmap();
    CloseQuietly(frame_);
  }

  WgcSize ContentSize() override {
    SizeInt32 size{};
    Check(frame_->get_ContentSize(&size));
    return WgcSize{size.width, size.height};
  }

  WgcTextureDesc Describe() override {
    Texture();
    D3D11_TEXTURE2D_DESC d{};
    texture_->GetDesc(&d);
    return WgcTextureDesc{d.Width, d.Height, d.Format == DXGI_FORMAT_B8G8R8A8_UNORM, d.MipLevels,
                          d.ArraySize, d.SampleDesc.Count};
  }

  const std::uint8_t* MapStaging(const WgcTextureDesc&, std::uint32_t& rowPitch) override {
    Texture();
    D3D11_TEXTURE2D_DESC d{};
    texture_->GetDesc(&d);
    if (!d3d_.staging) {
      D3D11_TEXTURE2D_DESC s = d;
      s.Usage = D3D11_USAGE_STAGING;
      s.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
      s.BindFlags = 0;
      s.MiscFlags = 0;
      Check(d3d_.device->CreateTexture2D(&s, nullptr, d3d_.staging.Put()));
      d3d_.stagingDesc = s;
    } else if (d3d_.stagingDesc.Width != d.Width || d3d_.stagingDesc.Height != d.Height ||
               d3d_.stagingDesc.Format != d.Format) {
      // The staging texture was made for another surface: copying would be refused.
      throw WgcError(0x80070057);
    }
    d3d_.context->CopyResource(d3d_.staging.get(), texture_.get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    Check(d3d_.context->Map(d3d_.staging.get(), 0, D3D11_MAP_READ, 0, &mapped));
    mapped_ = true;
    rowPitch = mapped.RowPitch;
    return static_cast<const std::uint8_t*>(mapped.pData);
  }

  void Unmap() noexcept override {
    if (mapped_) {
      d3d_.context->Unmap(d3d_.staging.get(), 0);
      mapped_ = false;
    }
  }

 private:
  void Texture() {
    if (texture_) return;
    Com<IDirect3DSurfaceAbi> surface;
    Check(frame_->get_Surface(surface.Put()));
    Com<IDirect3DDxgiInterfaceAccessAbi> access;
    Check(surface->QueryInterface(kIidDxgiInterfaceAccess, access.PutVoid()));
    Check(access->GetInterface(kIidTexture2D, texture_.PutVoid()));
  }

  Com<IDirect3D11CaptureFrameAbi> frame_;
  D3DState& d3d_;
  Com<ID3D11Texture2D> texture_;
  bool mapped_ = false;
};

class WinSession : public WgcSession {
 public:
  WinSession(std::shared_ptr<Factories> factories) : factories_(std::move(factories)) {}
  ~WinSession() override {
    CloseQuietly(session_);
    CloseQuietly(pool_);
    session_.Reset();
    pool_.Reset();
    item_.Reset();
    rtDevice_.Reset();
    d3d_.staging.Reset();
    d3d_.context.Reset();
    d3d_.device.Reset();
  }

  void Start(const DisplayInfo& display, const ScreenRect& rect) {
    boolean supported = 0;
    const HRESULT supportedHr = factories_->sessionStatics->IsSupported(&supported);
    Check(supportedHr);
    if (!supported) throw WgcError(0x80070032);

    RECT r{rect.left, rect.top, rect.right, rect.bottom};
    HMONITOR monitor = MonitorFromRect(&r, MONITOR_DEFAULTTONULL);
    MONITORINFOEXW info{};
    info.cbSize = sizeof(info);
    if (monitor == nullptr || !GetMonitorInfoW(monitor, &info) ||
        (!display.deviceName.empty() && display.deviceName != std::wstring(info.szDevice))) {
      throw WgcError(0x80070057);
    }
    Check(factories_->itemInterop->CreateForMonitor(monitor, kIidCaptureItem, item_.PutVoid()));
    SizeInt32 size{};
    Check(item_->get_Size(&size));
    if (!SurfaceSizeAllowed(size.width, size.height)) throw WgcError(0x80070057);
    poolSize_ = WgcSize{size.width, size.height};

    HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                   D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, D3D11_SDK_VERSION,
                                   d3d_.device.Put(), nullptr, d3d_.context.Put());
    if (FAILED(hr)) {
      hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr,
                             D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, D3D11_SDK_VERSION,
                             d3d_.device.Put(), nullptr, d3d_.context.Put());
    }
    Check(hr);
    Com<IDXGIDevice> dxgi;
    Check(d3d_.device->QueryInterface(kIidDxgiDevice, dxgi.PutVoid()));
    if (!Runtime().deviceFromDxgi) throw WgcError(static_cast<std::uint32_t>(E_NOINTERFACE));
    Com<IInspectable> inspectable;
    Check(Runtime().deviceFromDxgi(dxgi.get(), inspectable.Put()));
    Check(inspectable->QueryInterface(kIidDirect3DDevice, rtDevice_.PutVoid()));

    Check(factories_->poolStatics->CreateFreeThreaded(
        rtDevice_.get(), kPixelFormatB8G8R8A8UIntNormalized, 2, size, pool_.Put()));
    Check(pool_->CreateCaptureSession(item_.get(), session_.Put()));
    Com<IGraphicsCaptureSession2Abi> withCursorSwitch;
    if (SUCCEEDED(session_->QueryInterface(kIidCaptureSession2, withCursorSwitch.PutVoid())) &&
        withCursorSwitch) {
      withCursorSwitch->put_IsCursorCaptureEnabled(0);  // the overlay draws the cursor instead
    }
    Check(session_->StartCapture());
  }

  WgcSize PoolSize() const override { return poolSize_; }

  std::unique_ptr<WgcFrame> TryGetNextFrame() override {
    Com<IDirect3D11CaptureFrameAbi> frame;
    const HRESULT hr = pool_->TryGetNextFrame(frame.Put());
    Check(hr);
    if (!frame) return nullptr;
    return std::make_unique<WinFrame>(std::move(frame), d3d_);
  }

 private:
  std::shared_ptr<Factories> factories_;
  D3DState d3d_;
  Com<IGraphicsCaptureItemAbi> item_;
  Com<IDirect3DDeviceAbi> rtDevice_;
  Com<IDirect3D11CaptureFramePoolAbi> pool_;
  Com<IGraphicsCaptureSessionAbi> session_;
  WgcSize poolSize_;
};

class WinPlatform : public WgcPlatform {
 public:
  std::uint32_t InitializeRuntime() override {
    if (!Runtime().roInitialize) return static_cast<std::uint32_t>(E_NOTIMPL);
    const HRESULT hr = Runtime().roInitialize(1);  // RO_INIT_MULTITHREADED
    if (SUCCEEDED(hr)) initialized_ = true;
    return static_cast<std::uint32_t>(hr);
  }
  void UninitializeRuntime() noexcept override {
    factories_.reset();
    if (initialized_ && Runtime().roUninitialize) Runtime().roUninitialize();
    initialized_ = false;
  }
  std::unique_ptr<WgcSession> Start(const DisplayInfo& display, const ScreenRect& rect) override {
    if (!factories_) factories_ = AcquireFactories();
    auto session = std::make_unique<WinSession>(factories_);
    session->Start(display, rect);
    return session;
  }
  std::uint64_t NowMs() override { return GetTickCount64(); }

 private:
  bool initialized_ = false;
  std::shared_ptr<Factories> factories_;
};

}  // namespace

std::unique_ptr<WgcPlatform> CreateWindowsWgcPlatform() { return std::make_unique<WinPlatform>(); }

}  // namespace ov
