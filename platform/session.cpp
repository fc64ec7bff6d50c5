#include "platform/session.h"

#include <QByteArray>
#include <QMessageBox>
#include <QtGlobal>
#include <QString>
#include <cstdio>
#include <cstdlib>

namespace plat {
namespace {
bool g_headless = false;
QtMessageHandler g_previousHandler = nullptr;

// The offscreen platform and a bare environment make Qt print notices that
// mean nothing to a user of an unattended run; everything else goes through.
void FilterQtNotices(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
  if (msg.contains(QLatin1String("propagateSizeHints")) || msg.contains(QLatin1String("XDG_RUNTIME_DIR"))) return;
  if (g_previousHandler) g_previousHandler(type, context, msg);
}
}  // namespace

bool Headless() { return g_headless; }
void SetHeadless(bool headless) { g_headless = headless; }

bool ChooseDisplayPlatform() {
  const bool noDisplay = std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (noDisplay && platform == nullptr) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    platform = "offscreen";
  }
  SetHeadless(platform != nullptr && std::string(platform).rfind("offscreen", 0) == 0);
  g_previousHandler = qInstallMessageHandler(FilterQtNotices);
  return Headless();
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
