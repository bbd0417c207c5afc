// The design preview of the real program, page by page: every page 0-11 in all eight languages at
// 1100 x 720, and pages 0 and 4 at the smallest and the largest size. Each image must have the
// size asked for, not be blank, and show text where the layout puts it; a few English pages are
// compared with committed reference images. The images stay in the build tree
// (native/app/preview/<language>-<page>-<width>x<height>.png) for a person to look at.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::wstring WinePath(const std::string& path) {
  std::wstring wide;
  if (!path.empty() && path[0] == '/') wide = L"Z:";  // Wine maps the Unix root to Z:
  for (char ch : path) wide.push_back(ch == '/' ? L'\\' : static_cast<wchar_t>(ch));
  return wide;
}

// Runs the program with `arguments`; its exit code, or STILL_ACTIVE after 30 s.
DWORD RunProgram(const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + WinePath(OV_KESTROVA_EXE) + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    ADD_FAILURE() << "CreateProcess failed with error " << GetLastError();
    return 0xFFFFFFFF;
  }
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(info.hProcess, 30000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(info.hProcess, &code);
  } else {
    TerminateProcess(info.hProcess, 99);
  }
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return code;
}

// A decoded image: 0xAARRGGBB pixels, rows top-down.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
  std::uint32_t At(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }
};

std::unique_ptr<Image> Load(const std::wstring& path) {
  Gdiplus::Bitmap bitmap(path.c_str());
  if (bitmap.GetLastStatus() != Gdiplus::Ok) return nullptr;
  auto image = std::make_unique<Image>();
  image->width = static_cast<int>(bitmap.GetWidth());
  image->height = static_cast<int>(bitmap.GetHeight());
  Gdiplus::Rect all(0, 0, image->width, image->height);
  Gdiplus::BitmapData data{};
  if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) !=
      Gdiplus::Ok) {
    return nullptr;
  }
  image->pixels.resize(static_cast<std::size_t>(image->width) *
                       static_cast<std::size_t>(image->height));
  for (int y = 0; y < image->height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(static_cast<const std::uint8_t*>(
                                                                 data.Scan0) +
                                                             static_cast<std::ptrdiff_t>(y) *
                                                                 data.Stride);
    std::copy(row, row + image->width,
              image->pixels.begin() + static_cast<std::ptrdiff_t>(y) * image->width);
  }
  bitmap.UnlockBits(&data);
  return image;
}

int Distance(std::uint32_t a, std::uint32_t b) {
  int sum = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    sum += std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF));
  }
  return sum;
}

struct Region {
  const char* what;
  int x, y, width, height;
};

// Text shows in a region as pixels far from the region's most common colour (its background).
bool ShowsText(const Image& image, const Region& r) {
  const int x0 = std::max(0, r.x);
  const int y0 = std::max(0, r.y);
  const int x1 = std::min(image.width, r.x + r.width);
  const int y1 = std::min(image.height, r.y + r.height);
  if (x0 >= x1 || y0 >= y1) return false;
  std::map<std::uint32_t, int> counts;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) ++counts[image.At(x, y)];
  }
  const std::uint32_t background =
      std::max_element(counts.begin(), counts.end(),
                       [](const auto& a, const auto& b) { return a.second < b.second; })
          ->first;
  int ink = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) ink += Distance(image.At(x, y), background) > 150 ? 1 : 0;
  }
  return ink >= 15;
}

// Where each page puts text, in pixels at 96 DPI (the test prefix's), for a w x h window.
std::vector<Region> TextRegions(int page, int w, int h) {
  if (page == 5) return {{"banner name", 58, 8, 80, 16}, {"banner button", 228, 8, 68, 32}};
  if (page >= 6 && page <= 10) {
    const int cardX = (w - 640) / 2;
    const int cardY = std::max(60, (h - 380) / 2);
    return {{"card title", cardX + 38, cardY + 88, 564, 34},
            {"card note", cardX + 38, cardY + 380 - 52, 564, 22}};
  }
  if (page == 4 || page == 11) {
    std::vector<Region> regions = {
        {"toolbar", 0, 0, w / 2, 52},
        {"test frame text", w / 4, 52 + (h - 74) * 3 / 10, w / 2, (h - 74) * 3 / 10},
        {"status strip figures", w / 2, h - 22, w / 2, 22}};
    if (page == 11) regions.push_back({"input notice", 0, h - 22, w / 2, 22});
    return regions;
  }
  return {{"sidebar name", 64, 24, 120, 20},
          {"page title", 228, 28, 300, 40},
          {"status line", 228, h - 44, 400, 24}};
}

const char* const kLanguages[] = {"en", "tr", "de", "fr", "es", "pt", "ru", "zh"};

std::string PreviewFile(const std::string& language, int page, int w, int h) {
  return std::string(OV_PREVIEW_DIR) + "/" + language + "-" + std::to_string(page) + "-" +
         std::to_string(w) + "x" + std::to_string(h) + ".png";
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Renders one page and checks it; returns the image (null when it failed).
std::unique_ptr<Image> RenderAndCheck(const std::string& language, int page, int w, int h) {
  const std::string file = PreviewFile(language, page, w, h);
  const std::wstring path = WinePath(file);
  DeleteFileW(path.c_str());
  const std::wstring arguments = L"--preview \"" + path + L"\" --preview-page " +
                                 std::to_wstring(page) + L" --preview-language " +
                                 Widen(language) + L" --preview-width " + std::to_wstring(w) +
                                 L" --preview-height " + std::to_wstring(h);
  SCOPED_TRACE(file);
  EXPECT_EQ(RunProgram(arguments), 0u);
  auto image = Load(path);
  EXPECT_NE(image, nullptr);
  if (!image) return nullptr;
  const int expectedWidth = page == 5 ? 304 : w;
  const int expectedHeight = page == 5 ? 48 : h;
  EXPECT_EQ(image->width, expectedWidth);
  EXPECT_EQ(image->height, expectedHeight);
  if (image->width != expectedWidth || image->height != expectedHeight) return nullptr;
  // Not blank: many colours (anti-aliased text and shapes).
  std::map<std::uint32_t, int> colours;
  for (std::size_t i = 0; i < image->pixels.size(); i += 7) ++colours[image->pixels[i]];
  EXPECT_GE(colours.size(), 24u);
  for (const Region& region : TextRegions(page, expectedWidth, expectedHeight)) {
    EXPECT_TRUE(ShowsText(*image, region)) << "no text in the " << region.what;
  }
  return image;
}

TEST(PreviewPages, EveryPageInEveryLanguage) {
  CreateDirectoryW(WinePath(OV_PREVIEW_DIR).c_str(), nullptr);
  for (const char* language : kLanguages) {
    for (int page = 0; page <= 11; ++page) RenderAndCheck(language, page, 1100, 720);
  }
}

TEST(PreviewPages, SmallestAndLargestWindows) {
  CreateDirectoryW(WinePath(OV_PREVIEW_DIR).c_str(), nullptr);
  for (const int page : {0, 4}) {
    RenderAndCheck("en", page, 800, 600);
    RenderAndCheck("en", page, 3840, 2160);
  }
}

// English pages against the committed references: at most 1.5% of the pixels may differ by more
// than a small amount (the device ID of page 0 is random in every run).
TEST(PreviewPages, EnglishPagesMatchTheReferences) {
  CreateDirectoryW(WinePath(OV_PREVIEW_DIR).c_str(), nullptr);
  for (const int page : {0, 2, 4, 5, 6, 9}) {
    const auto image = RenderAndCheck("en", page, 1100, 720);
    ASSERT_NE(image, nullptr) << page;
    const std::string reference =
        std::string(OV_PREVIEW_REFERENCE_DIR) + "/en-" + std::to_string(page) + ".png";
    const auto expected = Load(WinePath(reference));
    ASSERT_NE(expected, nullptr) << reference;
    ASSERT_EQ(expected->width, image->width) << reference;
    ASSERT_EQ(expected->height, image->height) << reference;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < image->pixels.size(); ++i) {
      if (Distance(image->pixels[i], expected->pixels[i]) > 60) ++differing;
    }
    EXPECT_LE(differing, image->pixels.size() * 15 / 1000)
        << reference << ": " << differing << " pixels differ";
  }
}

// The program carries its icon, its manifest (per-monitor DPI v2, common controls v6, long
// paths, asInvoker) and the version 0.3.9, and ships without its symbols.
TEST(ProgramResources, IconManifestAndVersion) {
  const std::wstring path = WinePath(OV_KESTROVA_EXE);
  HMODULE program = LoadLibraryExW(path.c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(program, nullptr);
  EXPECT_NE(FindResourceW(program, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(14)), nullptr)
      << "icon group 101";  // RT_GROUP_ICON
  HRSRC manifest = FindResourceW(program, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(manifest, nullptr);
  const auto* bytes = static_cast<const char*>(LockResource(LoadResource(program, manifest)));
  const std::string text(bytes, SizeofResource(program, manifest));
  for (const char* part : {"PerMonitorV2", "Microsoft.Windows.Common-Controls", "6.0.0.0",
                           "longPathAware", "asInvoker"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part;
  }
  FreeLibrary(program);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<std::uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00000003u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00090000u);
  // Stripped: the symbols are in the file beside it, which is far larger.
  WIN32_FILE_ATTRIBUTE_DATA exe{};
  WIN32_FILE_ATTRIBUTE_DATA symbols{};
  ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &exe));
  ASSERT_TRUE(GetFileAttributesExW((path + L".debug").c_str(), GetFileExInfoStandard, &symbols));
  EXPECT_LT(exe.nFileSizeLow * 4ull, symbols.nFileSizeLow);
}

}  // namespace
