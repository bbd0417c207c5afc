#include "ui/transfer_meter.h"

#include <cmath>
#include <cwchar>

namespace ov {

void TransferMeter::Observe(std::uint64_t now, std::uint64_t done, std::uint64_t size) {
  if (!samples_.empty() &&
      (size != size_ || done < samples_.back().done || now < samples_.back().at)) {
    samples_.clear();
  }
  size_ = size;
  if (!samples_.empty() && samples_.back().at == now) {
    samples_.back().done = done;
  } else {
    samples_.push_back(Sample{now, done});
  }
  // Keep the newest sample older than the window as the measurement's start.
  while (samples_.size() > 2 && now - samples_[1].at >= kWindowMs) samples_.pop_front();
}

double TransferMeter::BytesPerSecond() const noexcept {
  if (samples_.size() < 2) return -1.0;
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  const std::uint64_t span = last.at - first.at;
  if (span < kMinSpanMs) return -1.0;
  return static_cast<double>(last.done - first.done) * 1000.0 / static_cast<double>(span);
}

int TransferPercent(std::uint64_t done, std::uint64_t size) noexcept {
  if (size == 0 || done >= size) return 100;
  // done < size here, so the quotient is below 100; long double keeps 8 GiB sizes exact enough.
  return static_cast<int>(static_cast<long double>(done) * 100.0L / static_cast<long double>(size));
}

namespace {

std::wstring RateText(double bytesPerSecond) {
  const wchar_t* units[] = {L"B/s", L"KiB/s", L"MiB/s", L"GiB/s"};
  double value = bytesPerSecond;
  int unit = 0;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  wchar_t text[32];
  if (unit == 0) {
    std::swprintf(text, 32, L"%.0f %ls", value, units[unit]);
  } else {
    std::swprintf(text, 32, L"%.1f %ls", value, units[unit]);
  }
  return text;
}

std::wstring DurationText(std::uint64_t seconds) {
  wchar_t text[32];
  if (seconds >= 3600) {
    std::swprintf(text, 32, L"%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
  } else {
    std::swprintf(text, 32, L"%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  }
  return text;
}

}  // namespace

std::wstring TransferProgressText(std::uint64_t done, std::uint64_t size, double bytesPerSecond) {
  if (done > size) done = size;
  std::wstring text = std::to_wstring(TransferPercent(done, size)) + L"%";
  if (!(bytesPerSecond >= 0.0) || !std::isfinite(bytesPerSecond)) return text;
  text += L"  \u00b7  " + RateText(bytesPerSecond);
  if (done < size && bytesPerSecond > 0.0) {
    const double left = std::ceil(static_cast<double>(size - done) / bytesPerSecond);
    // Beyond 99 hours the figure says nothing useful.
    if (left <= 99.0 * 3600.0) text += L"  \u00b7  " + DurationText(static_cast<std::uint64_t>(left));
  }
  return text;
}

}  // namespace ov
