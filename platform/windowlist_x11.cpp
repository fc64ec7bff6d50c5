// The window list of an X display. Each call opens its own short connection
// to $DISPLAY, so it works whatever Qt platform the program itself runs on.
// Windows may vanish between two requests; the errors that follow are
// ignored for the duration of a call.
#include "platform/windowlist.h"

#include <QByteArray>
#include <QString>
#include <climits>
#include <deque>

// After every other header: Xlib defines short macro names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace plat {
namespace {

// Bounds for a display that misbehaves: descent depth and windows examined.
constexpr int kMaxDepth = 8;
constexpr std::size_t kMaxWindows = 10000;

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

// An open display with the error handler swapped for the call's duration.
class Connection {
 public:
  Connection() : display_(XOpenDisplay(nullptr)) {
    if (display_ != nullptr) previous_ = XSetErrorHandler(IgnoreErrors);
  }
  ~Connection() {
    if (display_ == nullptr) return;
    XSync(display_, False);
    XSetErrorHandler(previous_);
    XCloseDisplay(display_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  Display* get() const { return display_; }

 private:
  Display* display_;
  int (*previous_)(Display*, XErrorEvent*) = nullptr;
};

std::string Utf8ToLatin1(const char* data, int length) {
  const QByteArray latin1 = QString::fromUtf8(data, length).toLatin1();
  return std::string(latin1.constData(), std::size_t(latin1.size()));
}

// One property of `w` as raw bytes; false when it is missing.
bool GetProperty(Display* d, ::Window w, Atom property, Atom type, int& format, std::vector<unsigned char>& out,
                 unsigned long& items) {
  Atom actualType = None;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  items = 0;
  if (XGetWindowProperty(d, w, property, 0, LONG_MAX / 4, False, type, &actualType, &format, &items, &after,
                         &data) != Success ||
      actualType == None) {
    if (data != nullptr) XFree(data);
    return false;
  }
  // Format-32 items come back as longs.
  const std::size_t itemSize = format == 32 ? sizeof(long) : format == 16 ? sizeof(short) : 1;
  out.assign(data, data + items * itemSize);
  XFree(data);
  return actualType == type || type == AnyPropertyType;
}

std::string Title(Display* d, ::Window w) {
  const Atom netName = XInternAtom(d, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  std::vector<unsigned char> bytes;
  int format = 0;
  unsigned long items = 0;
  if (GetProperty(d, w, netName, utf8, format, bytes, items) && format == 8)
    return Utf8ToLatin1(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));

  XTextProperty text{};
  if (XGetWMName(d, w, &text) == 0 || text.value == nullptr) return {};
  std::string title;
  if (text.encoding == XA_STRING && text.format == 8) {
    title.assign(reinterpret_cast<const char*>(text.value), text.nitems);
  } else {
    char** list = nullptr;
    int count = 0;
    if (Xutf8TextPropertyToTextList(d, &text, &list, &count) >= Success && list != nullptr) {
      if (count > 0 && list[0] != nullptr) title = Utf8ToLatin1(list[0], -1);
      XFreeStringList(list);
    }
  }
  XFree(text.value);
  return title;
}

bool HasWmState(Display* d, ::Window w) {
  const Atom wmState = XInternAtom(d, "WM_STATE", False);
  std::vector<unsigned char> bytes;
  int format = 0;
  unsigned long items = 0;
  return GetProperty(d, w, wmState, AnyPropertyType, format, bytes, items);
}

std::vector<::Window> Children(Display* d, ::Window w) {
  ::Window root = 0, parent = 0;
  ::Window* children = nullptr;
  unsigned int n = 0;
  std::vector<::Window> out;
  if (XQueryTree(d, w, &root, &parent, &children, &n) != 0 && children != nullptr) out.assign(children, children + n);
  if (children != nullptr) XFree(children);
  return out;
}

// The client window inside a frame: the nearest descendant with WM_STATE;
// the frame itself when there is none (no window manager runs).
::Window ClientOf(Display* d, ::Window top) {
  if (HasWmState(d, top)) return top;
  std::deque<std::pair<::Window, int>> queue{{top, 0}};
  while (!queue.empty()) {
    auto [w, depth] = queue.front();
    queue.pop_front();
    if (depth >= kMaxDepth) continue;
    for (::Window c : Children(d, w)) {
      if (HasWmState(d, c)) return c;
      queue.emplace_back(c, depth + 1);
    }
  }
  return top;
}

bool Viewable(Display* d, ::Window w) {
  XWindowAttributes a{};
  return XGetWindowAttributes(d, w, &a) != 0 && a.map_state == IsViewable;
}

// The managed windows of one screen, oldest first when the window manager
// keeps _NET_CLIENT_LIST; else the viewable children of the root, bottom
// to top.
std::vector<::Window> ClientWindows(Display* d, ::Window root) {
  const Atom clientList = XInternAtom(d, "_NET_CLIENT_LIST", False);
  std::vector<unsigned char> bytes;
  int format = 0;
  unsigned long items = 0;
  std::vector<::Window> out;
  if (GetProperty(d, root, clientList, XA_WINDOW, format, bytes, items) && format == 32) {
    const auto* ids = reinterpret_cast<const unsigned long*>(bytes.data());
    for (unsigned long i = 0; i < items && out.size() < kMaxWindows; ++i) out.push_back(::Window(ids[i]));
    return out;
  }
  for (::Window top : Children(d, root)) {
    if (out.size() >= kMaxWindows) break;
    if (Viewable(d, top)) out.push_back(ClientOf(d, top));
  }
  return out;
}

class X11Windows : public WindowList {
 public:
  std::vector<Window> TopLevelWindows() override {
    Connection c;
    Display* d = c.get();
    if (d == nullptr) return {};
    std::vector<Window> windows;
    for (int screen = 0; screen < ScreenCount(d); ++screen) {
      for (::Window w : ClientWindows(d, RootWindow(d, screen))) windows.push_back({std::uintptr_t(w), Title(d, w)});
    }
    return windows;
  }

  bool Minimise(std::uintptr_t id) override {
    Connection c;
    Display* d = c.get();
    if (d == nullptr) return false;
    XWindowAttributes a{};
    if (XGetWindowAttributes(d, ::Window(id), &a) == 0 || a.screen == nullptr) return false;
    return XIconifyWindow(d, ::Window(id), XScreenNumberOfScreen(a.screen)) != 0;
  }
};

}  // namespace

std::shared_ptr<WindowList> SystemWindowList() { return std::make_shared<X11Windows>(); }

}  // namespace plat
