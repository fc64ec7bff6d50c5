#include "platform/command.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace plat {
namespace {

constexpr std::size_t kErrLineMax = 200;
// Standard error is read this far for its first line, the rest is dropped.
constexpr std::size_t kErrKept = 4096;

class QtCommandService final : public CommandService {
 public:
  CommandOutcome Run(const std::string& command, std::chrono::milliseconds limit, std::size_t maxBytes) override {
    CommandOutcome outcome;
    QProcess process;
    process.setProgram("/bin/sh");
    process.setArguments({"-c", QString::fromLocal8Bit(command.data(), qsizetype(command.size()))});
    process.setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so a time-out ends whatever the shell started;
    // SIGPIPE as a shell expects it (this program ignores it).
    process.setChildProcessModifier([] {
      ::setsid();
      ::signal(SIGPIPE, SIG_DFL);
    });

    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    std::string err;
    const auto keepErr = [&err](const QByteArray& bytes) {
      if (err.size() < kErrKept) err.append(bytes.constData(), std::min(std::size_t(bytes.size()), kErrKept - err.size()));
    };
    qint64 group = 0;
    const auto killGroup = [&] {
      if (group > 0) ::kill(-pid_t(group), SIGKILL);
      process.kill();
    };
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &loop, [&] {
      const QByteArray bytes = process.readAllStandardOutput();
      if (outcome.out.size() + std::size_t(bytes.size()) > maxBytes) {
        outcome.tooLong = true;
        killGroup();
        return;
      }
      outcome.out.append(bytes.constData(), std::size_t(bytes.size()));
    });
    QObject::connect(&process, &QProcess::readyReadStandardError, &loop,
                     [&] { keepErr(process.readAllStandardError()); });
    QObject::connect(&process, &QProcess::finished, &loop, [&] { loop.quit(); });
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
      if (error == QProcess::FailedToStart) loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
      outcome.timedOut = true;
      killGroup();
    });

    // The start itself (fork and exec) does not wait on the outside world.
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(5000)) {
      outcome.why = process.errorString().toStdString();
      return outcome;
    }
    outcome.started = true;
    group = process.processId();
    deadline.start(int(limit.count()));
    if (process.state() != QProcess::NotRunning) loop.exec();
    deadline.stop();
    // Whatever came with the end.
    const QByteArray rest = process.readAllStandardOutput();
    if (!outcome.tooLong && outcome.out.size() + std::size_t(rest.size()) > maxBytes) outcome.tooLong = true;
    if (!outcome.tooLong) outcome.out.append(rest.constData(), std::size_t(rest.size()));
    if (outcome.tooLong) outcome.out.clear();
    keepErr(process.readAllStandardError());
    outcome.errLine = err.substr(0, std::min(err.find('\n'), kErrLineMax));
    if (!outcome.errLine.empty() && outcome.errLine.back() == '\r') outcome.errLine.pop_back();
    if (process.exitStatus() == QProcess::NormalExit) outcome.exitStatus = process.exitCode();
    return outcome;
  }
};

}  // namespace

std::shared_ptr<CommandService> DefaultCommandService() {
  static const auto service = std::make_shared<QtCommandService>();
  return service;
}

}  // namespace plat
