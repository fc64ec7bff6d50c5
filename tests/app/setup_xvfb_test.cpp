// The configuration run of the built program on a real X display: Xvfb
// serves the display, xdotool waits for the dialog and presses its keys as a
// person would, and the test reads the configuration file left behind.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>

#include <string>

#include "support/testutil.h"

namespace {

constexpr int kBoundMs = 30000;

// An Xvfb server on a display number it picks itself; stopped with the object.
class VirtualDisplay {
 public:
  bool Start(std::string& why) {
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty()) {
      why = "Xvfb is not installed (Debian package xvfb)";
      return false;
    }
    server_.setProgram(xvfb);
    server_.setArguments({"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    server_.setProcessChannelMode(QProcess::SeparateChannels);
    server_.start();
    if (!server_.waitForStarted(kBoundMs)) {
      why = "Xvfb did not start";
      return false;
    }
    // Xvfb writes its display number and a line end once it accepts clients.
    QByteArray out;
    while (!out.contains('\n') && server_.waitForReadyRead(kBoundMs)) out += server_.readAllStandardOutput();
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok) {
      why = "Xvfb gave no display number: " + server_.readAllStandardError().toStdString();
      return false;
    }
    name_ = ":" + QString::number(number);
    return true;
  }
  ~VirtualDisplay() {
    if (server_.state() != QProcess::NotRunning) {
      server_.terminate();
      if (!server_.waitForFinished(kBoundMs)) server_.kill();
      server_.waitForFinished(kBoundMs);
    }
  }
  const QString& Name() const { return name_; }

 private:
  QProcess server_;
  QString name_;
};

struct Xdotool {
  QString display;
  // Runs xdotool with `args`; returns its standard output, or sets `failed`.
  std::string Run(const QStringList& args, std::string& failed) const {
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    p.setProcessEnvironment(env);
    p.start("xdotool", args);
    if (!p.waitForFinished(kBoundMs) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
      p.kill();
      p.waitForFinished(kBoundMs);
      failed = "xdotool " + args.join(' ').toStdString() + " failed: " + p.readAllStandardError().toStdString();
      return {};
    }
    return p.readAllStandardOutput().trimmed().toStdString();
  }
};

// Starts the program of instance `dir` on `display`; an empty `platform`
// leaves the choice to the program.
void StartOnDisplay(QProcess& run, const zvtest::TempDir& dir, const QString& display, const QString& platform,
                    const QStringList& args) {
  auto env = QProcessEnvironment::systemEnvironment();
  env.insert("DISPLAY", display);
  if (platform.isEmpty()) {
    env.remove("QT_QPA_PLATFORM");
  } else {
    env.insert("QT_QPA_PLATFORM", platform);
  }
  env.insert("ZVMAIL32_PHONEBOOK", QString::fromStdString(dir / "no-phonebook"));
  // Under the leak checker: besides the project's usual suppressions, the
  // desktop bus library that Qt's X11 platform loads keeps a buffer to the
  // end; that is not this program's leak.
  const std::string shared = std::string(ZV_SOURCE_DIR) + "/tests/lsan.supp";
  zvtest::WriteFile(dir / "lsan.supp",
                    (zvtest::FileExists(shared) ? zvtest::ReadFile(shared) + "\n" : "") + "leak:libdbus-1.so\n");
  QString lsan = env.value("LSAN_OPTIONS");
  env.insert("LSAN_OPTIONS", (lsan.isEmpty() ? "" : lsan + ":") + "suppressions=" +
                                 QString::fromStdString(dir / "lsan.supp"));
  run.setProcessEnvironment(env);
  run.setWorkingDirectory("/");
  run.start(QString::fromStdString(zvtest::LinkProgramInto(dir.path())), args);
}

std::string LineOf(const std::string& file, const std::string& key) {
  const std::string lines = "\r\n" + file;
  const size_t at = lines.find("\r\n" + key);
  if (at == std::string::npos) return {};
  const size_t end = lines.find("\r\n", at + 2);
  return lines.substr(at + 2, end - at - 2);
}

// Each run starts the program with "/SETUP" in an instance directory whose
// servers are written in mixed case; the dialog's server edits force lower
// case, so only a saving "OK" brings lower case into the file (the file is
// written at every end of the program, with the values read on "Cancel").
TEST(SetupOnDisplay, KeyPressesInTheDialogDecideWhatIsSaved) {
  if (QStandardPaths::findExecutable("xdotool").isEmpty())
    GTEST_SKIP() << "xdotool is not installed (Debian package xdotool): the dialog cannot be driven";
  VirtualDisplay display;
  std::string why;
  if (!display.Start(why)) GTEST_SKIP() << "no virtual X display: " << why;

  const struct {
    const char* name;
    const char* key;
    const char* smtpLine;
    const char* connectionLine;
  } cases[] = {
      {"OK (Return on the focused button)", "Return", "SMTP       mail.example.org", "CONNECTION Office"},
      {"Cancel (Escape)", "Escape", "SMTP Mail.Example.ORG", "CONNECTION Office"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zvtest::TempDir dir;
    // No phone book: nothing is selected, and "OK" must still save.
    zvtest::WriteFile(dir / "ZVMAIL32.INI",
                      "SMTP Mail.Example.ORG\r\nPOP pop.example.org\r\nUSERNAME u\r\nPASSWORD p\r\n"
                      "ROBOT robot\r\nIN " + dir / "" + "\r\nOUT " + dir / "" +
                      "\r\nLOG NO\r\nHANGUP NO\r\nCONNECTION Office\r\n");

    QProcess run;
    StartOnDisplay(run, dir, display.Name(), "xcb", {"/Setup"});
    ASSERT_TRUE(run.waitForStarted(kBoundMs));

    Xdotool x{display.Name()};
    std::string failed;
    const std::string window =
        x.Run({"search", "--sync", "--onlyvisible", "--limit", "1", "--name", "^Configuration"}, failed);
    if (window.empty()) {
      run.kill();
      run.waitForFinished(kBoundMs);
      FAIL() << "the dialog never appeared: " << failed << run.readAllStandardError().toStdString();
    }
    // The captions are exactly the windows' own: nothing added by the toolkit.
    EXPECT_EQ(x.Run({"getwindowname", QString::fromStdString(window)}, failed), "Configuration");
    const std::string mainWindow =
        x.Run({"search", "--sync", "--onlyvisible", "--limit", "1", "--name", "ZaDozivo"}, failed);
    EXPECT_EQ(x.Run({"getwindowname", QString::fromStdString(mainWindow)}, failed), "ZaDozivo/32");
    EXPECT_EQ(failed, "");
    // Through XTEST to whatever has the focus, as a keyboard would: the
    // dialog may be gone before the key is released.
    x.Run({"windowfocus", "--sync", QString::fromStdString(window)}, failed);
    EXPECT_EQ(failed, "");
    x.Run({"key", c.key}, failed);
    EXPECT_EQ(failed, "");

    const bool ended = run.waitForFinished(kBoundMs);
    if (!ended) {
      run.kill();
      run.waitForFinished(kBoundMs);
    }
    ASSERT_TRUE(ended) << "the program did not end after the dialog closed";
    EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();

    const std::string ini = zvtest::ReadFile(dir / "ZVMAIL32.INI");
    EXPECT_EQ(LineOf(ini, "SMTP "), c.smtpLine);
    EXPECT_EQ(LineOf(ini, "CONNECTION "), c.connectionLine);
  }
}

// Without a configuration the error box waits on the display, which the
// program found usable by itself (no platform named): no note of a fallback.
TEST(SetupOnDisplay, ErrorBoxOnTheDisplayTheProgramChoseItself) {
  if (QStandardPaths::findExecutable("xdotool").isEmpty())
    GTEST_SKIP() << "xdotool is not installed (Debian package xdotool)";
  VirtualDisplay display;
  std::string why;
  if (!display.Start(why)) GTEST_SKIP() << "no virtual X display: " << why;
  zvtest::TempDir dir;
  QProcess run;
  StartOnDisplay(run, dir, display.Name(), "", {});
  ASSERT_TRUE(run.waitForStarted(kBoundMs));
  Xdotool x{display.Name()};
  std::string failed;
  const std::string box =
      x.Run({"search", "--sync", "--onlyvisible", "--limit", "1", "--name", "^Configuration Error"}, failed);
  if (box.empty()) {
    run.kill();
    run.waitForFinished(kBoundMs);
    FAIL() << "the error box never appeared: " << failed << run.readAllStandardError().toStdString();
  }
  EXPECT_EQ(x.Run({"getwindowname", QString::fromStdString(box)}, failed), "Configuration Error");
  x.Run({"windowfocus", "--sync", QString::fromStdString(box)}, failed);
  x.Run({"key", "Return"}, failed);
  EXPECT_EQ(failed, "");
  const bool ended = run.waitForFinished(kBoundMs);
  if (!ended) {
    run.kill();
    run.waitForFinished(kBoundMs);
  }
  ASSERT_TRUE(ended) << "the program did not end after the box closed";
  EXPECT_EQ(run.exitCode(), 78);  // the configuration is incomplete
  EXPECT_EQ(run.readAllStandardError().toStdString().find("running without a display"), std::string::npos);
  EXPECT_TRUE(zvtest::FileExists(dir / "ZVMAIL32.INI"));
}

}  // namespace
