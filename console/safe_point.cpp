#include "console/safe_point.h"

namespace wirrtex {

SafePointHook safe_point_hook = nullptr;
int safe_point_wake_fd = -1;

}  // namespace wirrtex
