#include "platform/ras.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include "platform/msgwindow.h"
#include "platform/phonebook.h"

namespace ras {
namespace {

constexpr const char* kDefaultPhoneBook = "/etc/zvmail32/phonebook";
constexpr int kDefaultTimeoutSeconds = 120;
constexpr long kMaxTimeoutSeconds = 24L * 3600;
constexpr long kMaxIntervalMs = 60000;
// A phone book is a small hand-written file; only this much of it is read.
constexpr std::size_t kMaxPhoneBookBytes = 1 << 20;
const char* const kSuccessfulStates = "0,1,2,3,4,5,14,8192";

const std::map<uint32_t, const char*>& ErrorTexts() {
  static const std::map<uint32_t, const char*> texts = {
      {ERROR_BUFFER_TOO_SMALL, "The buffer is too small."},
      {ERROR_DEVICE_DOES_NOT_EXIST, "The dial command could not be started."},
      {ERROR_PORT_DISCONNECTED, "The connection was dropped."},
      {ERROR_CANNOT_OPEN_PHONEBOOK, "The phone book cannot be opened."},
      {ERROR_CANNOT_FIND_PHONEBOOK_ENTRY, "The phone-book entry does not exist."},
      {ERROR_INVALID_SIZE, "The size of a record is not valid."},
      {ERROR_FROM_DEVICE, "The dial command reported a failure."},
      {ERROR_LINE_BUSY, "The line is busy."},
      {ERROR_NO_ANSWER, "There is no answer."},
      {ERROR_NO_CARRIER, "There is no carrier."},
      {ERROR_NO_DIALTONE, "There is no dial tone."},
      {ERROR_AUTHENTICATION_FAILURE, "Access was denied because the user name or password is not valid."},
  };
  return texts;
}

// ---- Phone book ----

// Reads `path` (at most its first kMaxPhoneBookBytes). False when the file
// cannot be read.
bool ReadPhoneBook(const std::string& path, std::vector<Entry>& entries) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string text(kMaxPhoneBookBytes, '\0');
  in.read(text.data(), std::streamsize(text.size()));
  if (in.bad()) return false;
  text.resize(std::size_t(in.gcount()));
  entries = ParsePhoneBook(text);
  return true;
}

std::string PhoneBookPath(const char* phoneBook) {
  return phoneBook != nullptr && *phoneBook != '\0' ? std::string(phoneBook) : DefaultPhoneBookPath();
}

QString FromBytes(const std::string& s) { return QString::fromLatin1(s.data(), qsizetype(s.size())); }

// ---- The service ----

class PhoneBookService final : public QObject, public Service {
 public:
  PhoneBookService() : message_(plat::RegisterWindowMessage(kDialEventName)) {}
  ~PhoneBookService() override;

  uint32_t RasDialA(const void* extensions, const char* phoneBook, const RASDIALPARAMSA* params,
                    uint32_t notifierType, plat::HiddenWindow* notifier, HRASCONN* conn) override;
  uint32_t RasHangUpA(HRASCONN conn) override;
  uint32_t RasGetConnectStatusA(HRASCONN conn, RASCONNSTATUSA* status) override;
  uint32_t RasEnumEntriesA(const char* reserved, const char* phoneBook, RASENTRYNAMEA* entries, uint32_t* cb,
                           uint32_t* count) override;
  uint32_t RasGetErrorStringA(uint32_t code, char* buffer, uint32_t size) override;

 private:
  struct Step {
    enum Kind { State, Error, Drop, RunCommand } kind;
    uint32_t value;
  };
  struct Connection {
    HRASCONN handle = 0;
    std::string deviceType, deviceName;
    QPointer<plat::HiddenWindow> notifier;  // a destroyed window gets nothing
    std::deque<Step> steps;
    QTimer stepTimer;
    uint32_t state = RASCS_OpenPort;
    uint32_t error = 0;
    uint32_t dropCode = 0;  // non-zero once the line has dropped
    std::string dialCommand, hangUpCommand;
    QProcessEnvironment environment;
    QProcess* process = nullptr;  // the running dial command
    QTimer deadline;
    int timeoutMs = 0;
  };

  void RunStep(HRASCONN handle);
  void StartCommand(Connection& c);
  void CommandEnded(HRASCONN handle, QProcess* process, uint32_t error);
  void Continue(Connection& c, std::initializer_list<Step> steps);
  void Post(Connection& c, uint32_t state, uint32_t error);
  // Lets a dial command go without waiting for it; `stop` ends it first.
  void Abandon(QProcess* process, bool stop);
  void RunDetached(const std::string& command, const QProcessEnvironment& env);

  unsigned message_;
  HRASCONN next_ = 1;
  std::map<HRASCONN, std::unique_ptr<Connection>> connections_;
};

// Sends `signal` to the dial command and everything it started.
void EndGroup(QProcess* process, int signal) {
  const qint64 pid = process->processId();
  if (pid > 0) ::kill(-pid_t(pid), signal);
  if (signal == SIGKILL) {
    process->kill();
  } else {
    process->terminate();
  }
}

PhoneBookService::~PhoneBookService() {
  connections_.clear();
  // Dial commands still running are ended now rather than left to outlive us.
  for (QProcess* p : findChildren<QProcess*>(Qt::FindDirectChildrenOnly)) {
    QObject::disconnect(p, nullptr, this, nullptr);
    if (p->state() != QProcess::NotRunning) {
      EndGroup(p, SIGKILL);
      p->waitForFinished(2000);
    }
  }
}

uint32_t PhoneBookService::RasDialA(const void* extensions, const char* phoneBook, const RASDIALPARAMSA* params,
                                    uint32_t notifierType, plat::HiddenWindow* notifier, HRASCONN* conn) {
  if (conn != nullptr) *conn = 0;
  if (extensions != nullptr || params == nullptr || conn == nullptr || notifierType != kNotifierWindow ||
      notifier == nullptr)
    return ERROR_INVALID_PARAMETER;
  if (params->dwSize != sizeof(RASDIALPARAMSA)) return ERROR_INVALID_SIZE;

  std::vector<Entry> entries;
  if (!ReadPhoneBook(PhoneBookPath(phoneBook), entries)) return ERROR_CANNOT_OPEN_PHONEBOOK;
  const std::string wanted = FieldText(params->szEntryName, sizeof params->szEntryName);
  auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return SameEntryName(e.name, wanted); });
  if (it == entries.end()) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  const Entry& entry = *it;

  auto c = std::make_unique<Connection>();
  c->handle = next_++;
  c->notifier = notifier;
  c->deviceType = entry.has("device-type") ? entry.get("device-type") : std::string("modem");
  c->deviceName = entry.has("device-name") ? entry.get("device-name") : entry.name;
  c->hangUpCommand = entry.get("hangup");
  c->environment = QProcessEnvironment::systemEnvironment();
  c->environment.insert("ZVMAIL32_ENTRY", FromBytes(entry.name));
  c->environment.insert("ZVMAIL32_PHONE", FromBytes(FieldText(params->szPhoneNumber, sizeof params->szPhoneNumber)));
  c->environment.insert("ZVMAIL32_CALLBACK",
                        FromBytes(FieldText(params->szCallbackNumber, sizeof params->szCallbackNumber)));
  c->environment.insert("ZVMAIL32_USER", FromBytes(FieldText(params->szUserName, sizeof params->szUserName)));
  c->environment.insert("ZVMAIL32_PASSWORD", FromBytes(FieldText(params->szPassword, sizeof params->szPassword)));
  c->environment.insert("ZVMAIL32_DOMAIN", FromBytes(FieldText(params->szDomain, sizeof params->szDomain)));

  if (entry.has("dial")) {
    c->dialCommand = entry.get("dial");
    c->timeoutMs = int(ParseNumber(entry.get("timeout"), 1, kMaxTimeoutSeconds, kDefaultTimeoutSeconds) * 1000);
    for (uint32_t s : {RASCS_OpenPort, RASCS_PortOpened, RASCS_ConnectDevice, RASCS_DeviceConnected,
                       RASCS_AllDevicesConnected, RASCS_Authenticate})
      c->steps.push_back({Step::State, s});
    c->steps.push_back({Step::RunCommand, 0});
  } else {
    for (uint32_t s : ParseCodes(entry.has("states") ? entry.get("states") : std::string(kSuccessfulStates)))
      c->steps.push_back({Step::State, s});
    const long error = ParseNumber(entry.get("error"), 0, 0xFFFF, 0);
    if (error != 0) c->steps.push_back({Step::Error, uint32_t(error)});
    if (const uint32_t drop = ParseDropCode(entry.get("disconnect")); drop != 0)
      c->steps.push_back({Step::Drop, drop});
  }

  const HRASCONN handle = c->handle;
  c->stepTimer.setInterval(int(ParseNumber(entry.get("interval"), 0, kMaxIntervalMs, 0)));
  c->deadline.setSingleShot(true);
  connect(&c->stepTimer, &QTimer::timeout, this, [this, handle] { RunStep(handle); });
  connect(&c->deadline, &QTimer::timeout, this, [this, handle] {
    auto found = connections_.find(handle);
    if (found != connections_.end() && found->second->process != nullptr)
      CommandEnded(handle, found->second->process, ERROR_NO_ANSWER);
  });
  if (!c->steps.empty()) c->stepTimer.start();
  connections_[handle] = std::move(c);
  *conn = handle;
  return 0;
}

void PhoneBookService::RunStep(HRASCONN handle) {
  auto it = connections_.find(handle);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  if (c.steps.empty()) {
    c.stepTimer.stop();
    return;
  }
  const Step step = c.steps.front();
  c.steps.pop_front();
  if (c.steps.empty() || step.kind == Step::RunCommand) c.stepTimer.stop();
  switch (step.kind) {
    case Step::State:
      c.state = step.value;
      Post(c, step.value, 0);
      break;
    case Step::Error:
      c.error = step.value;
      Post(c, c.state, step.value);
      break;
    case Step::Drop:
      c.state = RASCS_Disconnected;
      c.dropCode = step.value;
      Post(c, RASCS_Disconnected, 0);
      break;
    case Step::RunCommand:
      StartCommand(c);
      break;
  }
}

void PhoneBookService::Post(Connection& c, uint32_t state, uint32_t error) {
  if (c.notifier) c.notifier->post(message_, plat::WParam(state), plat::LParam(error));
}

void PhoneBookService::StartCommand(Connection& c) {
  auto* p = new QProcess(this);
  p->setProgram("/bin/sh");
  p->setArguments({"-c", QString::fromUtf8(c.dialCommand.data(), qsizetype(c.dialCommand.size()))});
  p->setProcessEnvironment(c.environment);
  p->setStandardInputFile(QProcess::nullDevice());
  p->setStandardOutputFile(QProcess::nullDevice());
  p->setStandardErrorFile(QProcess::nullDevice());
  // A group of its own, so what the command starts ends with it.
  p->setChildProcessModifier([] { ::setsid(); });
  const HRASCONN handle = c.handle;
  connect(p, &QProcess::finished, this, [this, handle, p](int exitCode, QProcess::ExitStatus status) {
    CommandEnded(handle, p, status == QProcess::NormalExit && exitCode == 0 ? 0 : ERROR_FROM_DEVICE);
  });
  connect(p, &QProcess::errorOccurred, this, [this, handle, p](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) CommandEnded(handle, p, ERROR_DEVICE_DOES_NOT_EXIST);
  });
  c.process = p;
  c.deadline.start(c.timeoutMs);
  p->start();
}

void PhoneBookService::CommandEnded(HRASCONN handle, QProcess* process, uint32_t error) {
  auto it = connections_.find(handle);
  if (it == connections_.end() || it->second->process != process) return;
  Connection& c = *it->second;
  c.deadline.stop();
  c.process = nullptr;
  Abandon(process, true);
  if (error == 0)
    Continue(c, {{Step::State, RASCS_Authenticated}, {Step::State, RASCS_Connected}});
  else
    Continue(c, {{Step::Error, error}});
}

void PhoneBookService::Continue(Connection& c, std::initializer_list<Step> steps) {
  c.steps.insert(c.steps.end(), steps);
  c.stepTimer.start();
}

void PhoneBookService::Abandon(QProcess* process, bool stop) {
  QObject::disconnect(process, nullptr, this, nullptr);
  if (process->state() == QProcess::NotRunning) {
    process->deleteLater();
    return;
  }
  connect(process, &QProcess::finished, process, &QObject::deleteLater);
  if (stop) EndGroup(process, SIGTERM);
}

void PhoneBookService::RunDetached(const std::string& command, const QProcessEnvironment& env) {
  QProcess p;
  p.setProgram("/bin/sh");
  p.setArguments({"-c", QString::fromUtf8(command.data(), qsizetype(command.size()))});
  p.setProcessEnvironment(env);
  p.setStandardInputFile(QProcess::nullDevice());
  p.setStandardOutputFile(QProcess::nullDevice());
  p.setStandardErrorFile(QProcess::nullDevice());
  p.startDetached();
}

uint32_t PhoneBookService::RasHangUpA(HRASCONN conn) {
  auto it = connections_.find(conn);
  if (it == connections_.end()) return ERROR_INVALID_HANDLE;
  std::unique_ptr<Connection> c = std::move(it->second);
  connections_.erase(it);
  c->stepTimer.stop();
  c->deadline.stop();
  if (c->process != nullptr) Abandon(c->process, true);
  if (!c->hangUpCommand.empty()) RunDetached(c->hangUpCommand, c->environment);
  return 0;
}

uint32_t PhoneBookService::RasGetConnectStatusA(HRASCONN conn, RASCONNSTATUSA* status) {
  if (status == nullptr) return ERROR_INVALID_PARAMETER;
  if (status->dwSize != sizeof(RASCONNSTATUSA)) return ERROR_INVALID_SIZE;
  auto it = connections_.find(conn);
  if (it == connections_.end()) return ERROR_INVALID_HANDLE;
  const Connection& c = *it->second;
  if (c.dropCode != 0) return c.dropCode;
  status->rasconnstate = c.state;
  status->dwError = c.error;
  CopyCut(status->szDeviceType, RAS_MaxDeviceType, c.deviceType);
  CopyCut(status->szDeviceName, RAS_MaxDeviceName, c.deviceName);
  return 0;
}

uint32_t PhoneBookService::RasEnumEntriesA(const char* reserved, const char* phoneBook, RASENTRYNAMEA* entries,
                                           uint32_t* cb, uint32_t* count) {
  if (reserved != nullptr || cb == nullptr || count == nullptr || (entries == nullptr && *cb != 0))
    return ERROR_INVALID_PARAMETER;
  if (*cb != 0 && entries[0].dwSize != sizeof(RASENTRYNAMEA)) return ERROR_INVALID_SIZE;
  std::vector<Entry> book;
  if (!ReadPhoneBook(PhoneBookPath(phoneBook), book)) return ERROR_CANNOT_OPEN_PHONEBOOK;
  const std::size_t room = *cb / sizeof(RASENTRYNAMEA);
  const std::size_t filled = std::min(room, book.size());
  for (std::size_t i = 0; i < filled; ++i) {
    entries[i].dwSize = sizeof(RASENTRYNAMEA);
    CopyCut(entries[i].szEntryName, RAS_MaxEntryName, book[i].name);
  }
  *count = uint32_t(book.size());
  *cb = uint32_t(book.size() * sizeof(RASENTRYNAMEA));
  return filled < book.size() ? ERROR_BUFFER_TOO_SMALL : 0;
}

uint32_t PhoneBookService::RasGetErrorStringA(uint32_t code, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return ERROR_INVALID_PARAMETER;
  auto it = ErrorTexts().find(code);
  if (it == ErrorTexts().end()) return ERROR_INVALID_PARAMETER;
  CopyCut(buffer, size - 1, it->second);
  return 0;
}

}  // namespace

void CopyCut(char* field, std::size_t fieldLen, const std::string& text) {
  const std::size_t n = std::min(text.size(), fieldLen);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

std::string FieldText(const char* field, std::size_t fieldSize) {
  return std::string(field, strnlen(field, fieldSize));
}

std::shared_ptr<Service> MakeSystemService() { return std::make_shared<PhoneBookService>(); }

std::string DefaultPhoneBookPath() {
  const char* env = std::getenv("ZVMAIL32_PHONEBOOK");
  return env != nullptr && *env != '\0' ? std::string(env) : std::string(kDefaultPhoneBook);
}

}  // namespace ras
