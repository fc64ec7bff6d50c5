#include "platform/session.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QByteArray>
#include <QGuiApplication>
#include <QMessageBox>
#include <QtGlobal>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/display.h"

namespace plat {
namespace {
bool g_headless = false;
QtMessageHandler g_previousHandler = nullptr;

// An environment variable, or nullptr when it is unset or empty.
const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// The offscreen platform and a bare environment make Qt print notices that
// mean nothing to a user of an unattended run; everything else goes through.
void FilterQtNotices(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
  if (msg.contains(QLatin1String("propagateSizeHints")) || msg.contains(QLatin1String("XDG_RUNTIME_DIR"))) return;
  if (g_previousHandler) g_previousHandler(type, context, msg);
}
}  // namespace

// Set by ChooseDisplayPlatform or a test; otherwise the platform Qt ended
// up on decides (a list like "wayland;offscreen" may fall back).
bool Headless() {
  if (g_headless) return true;
  return qGuiApp != nullptr && QGuiApplication::platformName() == QLatin1String("offscreen");
}
void SetHeadless(bool headless) { g_headless = headless; }

bool ChooseDisplayPlatform() {
  const char* platform = NonEmptyEnv("QT_QPA_PLATFORM");
  if (platform == nullptr) {
    const char* x = NonEmptyEnv("DISPLAY");
    const char* wayland = NonEmptyEnv("WAYLAND_DISPLAY");
    const bool xOpens = x != nullptr && XDisplayOpens(x);
    const bool waylandOpens = !xOpens && wayland != nullptr && WaylandDisplayOpens(wayland, NonEmptyEnv("XDG_RUNTIME_DIR"));
    if (!xOpens && !waylandOpens) {
      if (x != nullptr || wayland != nullptr) {
        const std::string named = x != nullptr ? std::string("DISPLAY=") + x : std::string("WAYLAND_DISPLAY=") + wayland;
        ReportToStderr("zvmail32", "the display " + named + " cannot be opened; running without a display");
      }
      platform = "offscreen";
      qputenv("QT_QPA_PLATFORM", platform);
    } else if (!xOpens) {
      // Only Wayland is there, and Qt would try X11 first; without Qt's
      // Wayland plugin it ends up offscreen, which Headless() then sees.
      qputenv("QT_QPA_PLATFORM", "wayland;offscreen");
    }
  }
  SetHeadless(platform != nullptr && std::string(platform).rfind("offscreen", 0) == 0);
  g_previousHandler = qInstallMessageHandler(FilterQtNotices);
  return Headless();
}

bool WaylandDisplayOpens(const char* name, const char* runtimeDir) {
  std::string path = name;
  if (path[0] != '/') {
    if (runtimeDir == nullptr) return false;
    path = std::string(runtimeDir) + "/" + path;
  }
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // A local socket connects or is refused at once; no wait is needed.
  const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

void ReportToStderr(const std::string& caption, const std::string& text) {
  std::string line = caption + ": ";
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;  // CR LF -> one blank
    line += (c == '\r' || c == '\n') ? ' ' : c;
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

int MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  if (Headless()) {
    ReportToStderr(caption, text);
    return IDOK;
  }
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(caption.data(), qsizetype(caption.size())),
                  QString::fromLatin1(text.data(), qsizetype(text.size())),
                  (flags & 0xF) == MB_OKCANCEL ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok);
  box.setDefaultButton(QMessageBox::Ok);
  return box.exec() == QMessageBox::Cancel ? IDCANCEL : IDOK;
}

}  // namespace plat
