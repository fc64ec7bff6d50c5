// TRAS: the dial-up component. It dials an entry of the platform's phone
// book asynchronously, turns the platform's per-state notifications (window
// messages to its hidden notifier window) into events, reports status and
// error texts, hangs up, and lists phone-book entries. Results are the
// platform's numeric codes, the last one kept in LastError; nothing throws
// except TConnectionList's index check.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat { class HiddenWindow; }
namespace ras { class Service; using HRASCONN = std::uintptr_t; struct RASCONNA; }

class TRAS;

// A plain notification: only the sender.
using TNotifyEvent = std::function<void(TRAS* Sender)>;
// The disconnect event: sender, the status query's result and its text.
using TRasStateEvent = std::function<void(TRAS* Sender, int32_t Error, const std::string& ErrorString)>;

// The list-index error of the toolkit's lists.
class EListError : public std::exception {
 public:
  const char* what() const noexcept override { return "List index out of bounds"; }
};

// Copies of connection records; owned blocks, appended in order. An index
// outside the list throws EListError.
class TConnectionList {
 public:
  TConnectionList();
  ~TConnectionList();
  void AddConnection(const ras::RASCONNA& conn);
  ras::HRASCONN RASConn(int index) const;
  std::string EntryName(int index) const;
  void Delete(int index);
  int Count() const;

 private:
  std::vector<std::unique_ptr<ras::RASCONNA>> items_;
};

class TRAS {
 public:
  // `service` may be given by tests; null selects the platform's service.
  explicit TRAS(std::shared_ptr<ras::Service> service = nullptr);
  // Does not hang up; a held connection stays up. Notifications never reach
  // a destroyed component.
  ~TRAS();
  TRAS(const TRAS&) = delete;
  TRAS& operator=(const TRAS&) = delete;

  std::string EntryName, PhoneNumber, CallbackNumber, UserName, Password, Domain, DeviceType, DeviceName;
  const std::string& PhoneBookPath() const { return phoneBookPath_; }
  // Stores the path, then runs LoadEntries.
  void SetPhoneBookPath(const std::string& path);
  int32_t RedialAttempts() const { return redialAttempts_; }
  void SetRedialAttempts(int32_t n);

  TNotifyEvent OnCallBack, OnConnect, OnAboutToOpenPort, OnPortOpened, OnAboutToConnDev, OnDevConnected,
      OnAllDevsConnected, OnAuthenticate, OnAuthNotify, OnAuthRetry, OnAuthCallBack, OnAuthChangePassword,
      OnAuthProject, OnAuthLinkSpeed, OnAuthAck, OnReAuthenticate, OnAuthenticated, OnPrepareforCallback,
      OnWaitForModemReset, OnInteractiveStarted, OnRetryAuth, OnPasswordExpired;
  TRasStateEvent OnDisconnect;

  // Starts the dial (hanging up a held handle first, without event). 0: the
  // dial has started; otherwise the platform's code, also in LastError.
  int32_t Dial();
  // Hangs up (0 when no handle was held) and fires OnDisconnect.
  int32_t HangUp();
  // Refreshes DeviceName, DeviceType, ConnectState and LastError from the
  // platform while a handle is held; returns LastError (0 with no handle).
  int32_t GetConnectStatus();
  // The text of the current state or error; "Not Active" with no handle.
  std::string StatusText();
  // The platform's text for `code`, "Status Unknown" when it has none;
  // empty whenever no handle is held.
  std::string ErrorText(int32_t code);
  // Fills Entries with at most 20 names from the phone book.
  int32_t LoadEntries();

  std::vector<std::string> Entries;
  TConnectionList Connections;
  int32_t LastError = 0;
  ras::HRASCONN ConnectionHandle = 0;
  uint16_t ConnectState = 0;
  uint16_t DialEventMessage = 0;
  plat::HiddenWindow* NotifierWindow() const { return notifier_.get(); }

 private:
  std::intptr_t NotifierProc(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);
  void FireState(uint16_t state);
  void FireDisconnect();
  void CreateNotifier();
  // The window stops receiving for us at once; it is destroyed when that is
  // safe (a hang-up may come from inside its own notification handler).
  void ReleaseNotifier();
  void DestroyRetiredNotifiers();

  std::shared_ptr<ras::Service> ras_;
  std::unique_ptr<plat::HiddenWindow> notifier_;
  std::vector<std::unique_ptr<plat::HiddenWindow>> retired_;
  uint64_t notifierSerial_ = 0;  // identifies the current notifier window
  int dispatching_ = 0;          // depth of notification handlers running
  std::shared_ptr<bool> alive_;  // false once destroyed; shared with the windows
  std::string phoneBookPath_;
  int32_t redialAttempts_ = 1;
};
