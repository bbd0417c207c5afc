#include "screen/com_apartment.h"

namespace ov {

// No COM here: the object only marks the scope.
ComApartment::ComApartment() = default;
ComApartment::~ComApartment() = default;

}  // namespace ov
