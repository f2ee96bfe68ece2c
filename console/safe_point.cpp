#include "console/safe_point.h"

namespace wirrtex {

SafePointHook safe_point_hook = nullptr;

}  // namespace wirrtex
