// The X display probe through Xlib (chosen by CMake when libX11 is found).
#include "platform/display.h"

#include <X11/Xlib.h>

namespace plat {

bool XDisplayOpens(const char* name) {
  Display* display = XOpenDisplay(name);
  if (display == nullptr) return false;
  XCloseDisplay(display);
  return true;
}

}  // namespace plat
