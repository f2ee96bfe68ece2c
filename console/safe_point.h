#pragma once

namespace wirrtex {

// Waits and long loops call this at points where the run may stop for a condition that a
// signal has left pending (an interrupt request, say). The failure path sets the hook; the
// hook does not return when it stops the run.
using SafePointHook = void (*)();
extern SafePointHook safe_point_hook;

// Becomes readable when a condition is pending (-1 while none can be): blocking waits watch
// it beside their own descriptor, so a signal that comes just before they block still wakes them.
extern int safe_point_wake_fd;

inline void reach_safe_point() {
    if (safe_point_hook != nullptr) safe_point_hook();
}

}  // namespace wirrtex
