// The calling thread's membership of the multithreaded COM apartment, for as long as the object
// lives (the capture backends of Windows need it). Nothing elsewhere.
#pragma once

namespace ov {

class ComApartment {
 public:
  ComApartment();
  ~ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  [[maybe_unused]] bool joined_ = false;
};

}  // namespace ov
