#include "platform/windowlist.h"

namespace plat {
namespace {
class NoWindows : public WindowList {
 public:
  std::vector<Window> TopLevelWindows() override { return {}; }
  bool Minimise(std::uintptr_t) override { return false; }
};
}  // namespace

std::shared_ptr<WindowList> SystemWindowList() { return std::make_shared<NoWindows>(); }
}  // namespace plat
