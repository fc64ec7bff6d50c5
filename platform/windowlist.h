// The top-level windows of the display, for the connection-window scan:
// titles in stacking order and a way to minimise one. Without a display the
// list is empty.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

class WindowList {
 public:
  struct Window {
    std::uintptr_t id;
    std::string title;  // 8-bit
  };
  virtual ~WindowList() = default;
  virtual std::vector<Window> TopLevelWindows() = 0;
  // Minimises the window; false when it cannot.
  virtual bool Minimise(std::uintptr_t id) = 0;
};

// The display's window list (X11 when the program runs on an X display;
// otherwise always empty).
std::shared_ptr<WindowList> SystemWindowList();

}  // namespace plat
