#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>

#include "platform/msgwindow.h"

extern char** environ;

namespace proc {
namespace {

constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_GEN_FAILURE = 31;
constexpr uint32_t ERROR_SHARING_VIOLATION = 32;

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory part of `path` (without the final name), "." for a bare name.
std::string ParentOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// errno of an operation on `path` as the platform's error number. A missing
// name is "file not found" when its directory exists, else "path not found".
uint32_t MapErrno(int err, const std::string& path) {
  switch (err) {
    case ENOENT: return DirectoryExists(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
    case E2BIG:
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOEXEC:
    case ELIBBAD: return ERROR_BAD_EXE_FORMAT;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ECHILD: return ERROR_INVALID_HANDLE;
    default: return ERROR_GEN_FAILURE;
  }
}

bool IsBatchName(const std::string& name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (char& c : ext) c = char(c >= 'a' && c <= 'z' ? c - 32 : c);
  return ext == ".BAT" || ext == ".CMD";
}

// Where a program named without "/" is found: the current directory, then
// the directories of PATH. The first name that exists wins; none gives the
// name in the current directory, which then fails as missing.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::vector<std::string> dirs{"."};
  if (const char* path = std::getenv("PATH")) {
    std::string all(path);
    size_t start = 0;
    while (start <= all.size()) {
      const size_t colon = all.find(':', start);
      const size_t end = colon == std::string::npos ? all.size() : colon;
      dirs.push_back(end > start ? all.substr(start, end - start) : ".");
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  for (const auto& dir : dirs) {
    const std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0) return candidate;
  }
  return "./" + name;
}

// Writes the whole value to `fd`; used in the child after fork, so only
// async-signal-safe calls.
void WriteErrno(int fd, int err) {
  const char* p = reinterpret_cast<const char*>(&err);
  size_t left = sizeof err;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= size_t(n);
  }
}

pid_t WaitPid(pid_t pid, int options) {
  int status = 0;
  pid_t r;
  do r = ::waitpid(pid, &status, options);
  while (r < 0 && errno == EINTR);
  return r;
}

class PosixService : public Service {
 public:
  bool CreateProcess(const std::string& commandLine, uint16_t, Process& process) override {
    ReapReleased();
    process.id = 0;
    std::vector<std::string> words = SplitCommandLine(commandLine);
    if (words.empty() || words[0].empty()) return Fail(ERROR_FILE_NOT_FOUND);
    const std::string program = FindProgram(words[0]);

    struct stat st {};
    if (::stat(program.c_str(), &st) != 0) return Fail(MapErrno(errno, program));
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);

    std::vector<std::string> argvText;
    if (IsBatchName(words[0])) {
      if (::access(program.c_str(), R_OK) != 0) return Fail(MapErrno(errno, program));
      argvText = {"/bin/sh", program};
    } else {
      argvText = {program};
    }
    argvText.insert(argvText.end(), words.begin() + 1, words.end());
    std::vector<char*> argv;
    for (auto& w : argvText) argv.push_back(w.data());
    argv.push_back(nullptr);

    // The child reports a failed exec through this pipe; a successful exec
    // closes it (close-on-exec), so end of file means the program runs.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return Fail(MapErrno(errno, program));
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    struct rlimit files {};
    const int maxFd = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                          ? int(std::min<rlim_t>(files.rlim_cur, 65536))
                          : 4096;
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);

    const pid_t pid = ::fork();
    if (pid < 0) {
      const int err = errno;
      ::close(report[0]);
      ::close(report[1]);
      if (devNull >= 0) ::close(devNull);
      return Fail(MapErrno(err, program));
    }
    if (pid == 0) {
      // Child: only async-signal-safe calls from here on.
      ::setsid();
      for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &byDefault, nullptr);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      if (devNull >= 0) ::dup2(devNull, 0);
#ifdef CLOSE_RANGE_CLOEXEC
      if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
#endif
        for (int fd = 3; fd < maxFd; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      ::execve(argv[0], argv.data(), environ);
      WriteErrno(report[1], errno);
      ::_exit(127);
    }

    ::close(report[1]);
    if (devNull >= 0) ::close(devNull);
    int childErr = 0;
    size_t got = 0;
    while (got < sizeof childErr) {
      const ssize_t n = ::read(report[0], reinterpret_cast<char*>(&childErr) + got, sizeof childErr - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += size_t(n);
    }
    ::close(report[0]);
    if (got > 0) {
      WaitPid(pid, 0);
      return Fail(got == sizeof childErr ? MapErrno(childErr, program) : ERROR_GEN_FAILURE);
    }
    running_.insert(pid);
    process.id = pid;
    return true;
  }

  bool WaitForProcess(const Process& process, const std::function<bool()>& stop) override {
    const pid_t pid = pid_t(process.id);
    if (running_.count(pid) == 0) return Fail(ERROR_INVALID_HANDLE);
    if (stop && !WaitUnlessStopped(pid, stop)) {
      // It runs in a session (and group) of its own: the group goes, and the
      // process is reaped once released.
      ::kill(-pid, SIGTERM);
      return Fail(ERROR_INVALID_HANDLE);
    }
    if (WaitPid(pid, 0) != pid) return Fail(MapErrno(errno, {}));
    running_.erase(pid);
    return true;
  }

  void CloseProcess(Process& process) override {
    const pid_t pid = pid_t(process.id);
    process.id = 0;
    if (running_.erase(pid) == 0) return;
    if (WaitPid(pid, WNOHANG) == 0) released_.insert(pid);
    ReapReleased();
  }

  uint32_t LastError() const override { return lastError_; }

  uint32_t ChangeDirectory(const std::string& path) override {
    if (::chdir(path.c_str()) == 0) return 0;
    const uint32_t code = MapErrno(errno, path);
    lastError_ = code;
    return code;
  }

 private:
  bool Fail(uint32_t code) {
    lastError_ = code;
    return false;
  }

  // Sleeps in the event loop until `pid` has ended (true, not yet reaped)
  // or `stop` is true (false). The end is told by a descriptor of the
  // process; where there is none, by a look every 50 ms.
  static bool WaitUnlessStopped(pid_t pid, const std::function<bool()>& stop) {
    const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    std::unique_ptr<QSocketNotifier> ended;
    QTimer look;
    if (fd >= 0) {
      ended = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    } else {
      look.start(50);
    }
    bool gone = false;
    while (!stop()) {
      siginfo_t info{};
      if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) {
        gone = true;
        break;
      }
      plat::WaitForEvents();
    }
    ended.reset();
    if (fd >= 0) ::close(fd);
    return gone;
  }

  // Collects processes given up while they still ran, so none stays a zombie
  // longer than until the next call.
  void ReapReleased() {
    for (auto it = released_.begin(); it != released_.end();) {
      const pid_t r = WaitPid(*it, WNOHANG);
      it = r == 0 ? std::next(it) : released_.erase(it);
    }
  }

  uint32_t lastError_ = 0;
  std::set<pid_t> running_;   // started, neither waited for nor released
  std::set<pid_t> released_;  // released while still running
};

}  // namespace

std::shared_ptr<Service> DefaultService() {
  static const auto service = std::make_shared<PosixService>();
  return service;
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, inQuote = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if ((c == ' ' || c == '\t') && !inQuote) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\\') {
      size_t n = 0;
      while (i + n < line.size() && line[i + n] == '\\') ++n;
      if (i + n < line.size() && line[i + n] == '"') {
        word.append(n / 2, '\\');
        if (n % 2 == 1) {
          word += '"';
          i += n;  // past the escaped quote
        } else {
          i += n - 1;  // the quote is read next
        }
      } else {
        word.append(n, '\\');
        i += n - 1;
      }
    } else if (c == '"') {
      inQuote = !inQuote;
    } else {
      word += c;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::string IOErrorText(uint32_t code) {
  switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    default: return "I/O error " + std::to_string(code);
  }
}

}  // namespace proc
