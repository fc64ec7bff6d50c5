#include "launcher/appexec.h"

#include "platform/process.h"

namespace {

constexpr size_t kMaxCommandLine = 511;  // the start call's buffer holds 512 bytes with the zero

// The program's name as the first word of a command line: a name with a
// blank, tab or double quote is enclosed in quotes, so it stays one word
// and cannot name a different program.
std::string ProgramWord(const std::string& name) {
  if (name.find_first_of(" \t\"") == std::string::npos) return name;
  std::string word = "\"";
  size_t backslashes = 0;
  for (const char c : name) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      word.append(2 * backslashes + 1, '\\');
    } else {
      word.append(backslashes, '\\');
    }
    backslashes = 0;
    word += c;
  }
  word.append(2 * backslashes, '\\');
  word += '"';
  return word;
}

}  // namespace

TAppExec::TAppExec(std::shared_ptr<proc::Service> service)
    : proc_(service ? std::move(service) : proc::DefaultService()) {}

TAppExec::~TAppExec() = default;

void TAppExec::SetExePath(const std::string& path) {
  if (path == exePath_) return;
  exePath_ = path;
  const size_t n = exePath_.size();
  if (n == 0) return;
  if (exePath_.back() == '\\') {
    if (exePath_ != "\\" && !(n == 3 && exePath_[1] == ':')) exePath_.pop_back();
  } else if (exePath_.back() == '/') {
    if (exePath_ != "/") exePath_.pop_back();
  }
}

void TAppExec::SetWindowState(TWindowState state) {
  if (state == windowState_) return;
  switch (state) {
    case wsNormal: showCommand_ = 1; break;
    case wsMinimized: showCommand_ = 2; break;
    case wsMaximized: showCommand_ = 3; break;
  }
  windowState_ = state;
}

void TAppExec::Clear() {
  errNo_ = -1;
  ExeName.clear();
  exePath_.clear();
  ExeParams.clear();
}

void TAppExec::Execute() {
  std::string commandLine = ProgramWord(ExeName);
  for (const auto& param : ExeParams) commandLine += ' ' + param;
  if (commandLine.size() > kMaxCommandLine)
    throw EAppExecWinExec("Command line is too long (" + std::to_string(commandLine.size()) +
                          " characters, at most " + std::to_string(kMaxCommandLine) + ")");
  if (commandLine.find('\0') != std::string::npos) throw EAppExecWinExec("Command line contains a zero byte");

  if (ChangeDir && !exePath_.empty()) {
    const uint32_t code = proc_->ChangeDirectory(exePath_);
    if (code != 0) throw EAppExecChDir(proc::IOErrorText(code));
  }

  proc::Process process;
  if (!proc_->CreateProcess(commandLine, showCommand_, process)) {
    errNo_ = int32_t(proc_->LastError());
    const std::string text = ExecErrorText();
    throw EAppExecWinExec(text.empty() ? "Could not start " + ExeName + ": error " + std::to_string(errNo_) : text);
  }
  if (Wait) {
    proc_->WaitForProcess(process, StopWaiting);
    errNo_ = 0;
  }
  proc_->CloseProcess(process);
}

std::string TAppExec::ExecErrorText() const {
  switch (errNo_) {
    case -1: return "No execution";
    case 0: return "System was out of memory, executable file was corrupt, or relocations were invalid";
    case 2: return "File was not found";
    case 3: return "Path was not found";
    case 5: return "Attempt was made to dynamically link to a task, or there was a sharing or network-protection error";
    case 6: return "Library required separate data segments for each task";
    case 8: return "There was insufficient memory to start the application";
    case 10: return "Windows version was incorrect";
    case 11:
      return "Executable file was invalid. Either it was not a Windows application or there was an error in the "
             ".EXE image";
    case 12: return "Application was designed for a different operating system";
    case 13: return "Application was designed for MS-DOS 4.0";
    case 14: return "Type of executable file was unknown";
    case 15:
      return "Attempt was made to load a real-mode application (developed for an earlier version of Windows)";
    case 16:
      return "Attempt to load second instance of an executable containing multiple data segments not marked "
             "read-only";
    case 19:
      return "Attempt was made to load a compressed executable file. The file must be decompressed before it can "
             "be loaded";
    case 20:
      return "Dynamic-link library (DLL) file was invalid. One of the DLLs required to run this application was "
             "corrupt";
    case 21: return "Application requires 32-bit extensions";
    default: return errNo_ >= 32 ? "General error (File not found?)" : std::string();
  }
}
