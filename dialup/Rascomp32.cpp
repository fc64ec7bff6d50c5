#include "dialup/Rascomp32.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/msgwindow.h"
#include "platform/ras.h"

namespace {

// The id used when "RASDialEvent" cannot be registered.
constexpr uint16_t kFallbackDialEventMessage = 0xCCCD;
constexpr int kEntryRecords = 20;

}  // namespace

// ---- TConnectionList ----

TConnectionList::TConnectionList() = default;
TConnectionList::~TConnectionList() = default;

void TConnectionList::AddConnection(const ras::RASCONNA& conn) {
  items_.push_back(std::make_unique<ras::RASCONNA>(conn));
}

ras::HRASCONN TConnectionList::RASConn(int index) const {
  if (index < 0 || index >= Count()) throw EListError();
  return items_[std::size_t(index)]->hrasconn;
}

std::string TConnectionList::EntryName(int index) const {
  if (index < 0 || index >= Count()) throw EListError();
  const auto& item = *items_[std::size_t(index)];
  return ras::FieldText(item.szEntryName, sizeof item.szEntryName);
}

void TConnectionList::Delete(int index) {
  if (index < 0 || index >= Count()) throw EListError();
  items_.erase(items_.begin() + index);
}

int TConnectionList::Count() const { return int(items_.size()); }

// ---- TRAS ----

TRAS::TRAS(std::shared_ptr<ras::Service> service)
    : ras_(service ? std::move(service) : ras::MakeSystemService()), alive_(std::make_shared<bool>(true)) {
  const unsigned id = plat::RegisterWindowMessage(ras::kDialEventName);
  DialEventMessage = id == 0 ? kFallbackDialEventMessage : uint16_t(id);
}

TRAS::~TRAS() {
  *alive_ = false;
  if (dispatching_ == 0) {
    notifier_.reset();
    retired_.clear();
  } else {
    // Destroyed from inside a notification: the window on the stack must
    // outlive its handler; it no longer calls into us.
    if (notifier_) notifier_.release()->deleteLater();
    for (auto& w : retired_) w.release()->deleteLater();
  }
}

void TRAS::SetPhoneBookPath(const std::string& path) {
  phoneBookPath_ = path;
  LoadEntries();
}

void TRAS::SetRedialAttempts(int32_t n) {
  if (n != redialAttempts_) redialAttempts_ = n;
}

void TRAS::CreateNotifier() {
  DestroyRetiredNotifiers();
  const uint64_t serial = ++notifierSerial_;
  notifier_ = std::make_unique<plat::HiddenWindow>(
      [this, serial, alive = alive_](unsigned msg, plat::WParam wParam, plat::LParam lParam) -> plat::LResult {
        if (!*alive || serial != notifierSerial_) return plat::DefWindowProc(msg, wParam, lParam);
        ++dispatching_;
        const plat::LResult r = NotifierProc(msg, wParam, lParam);
        --dispatching_;
        return r;
      });
}

void TRAS::ReleaseNotifier() {
  if (!notifier_) return;
  ++notifierSerial_;
  retired_.push_back(std::move(notifier_));
  DestroyRetiredNotifiers();
}

void TRAS::DestroyRetiredNotifiers() {
  if (dispatching_ == 0) retired_.clear();
}

int32_t TRAS::Dial() {
  if (ConnectionHandle != 0) {
    const int32_t rc = int32_t(ras_->RasHangUpA(ConnectionHandle));
    ConnectionHandle = 0;
    ReleaseNotifier();
    LastError = rc;
  }
  if (!notifier_) CreateNotifier();

  ras::RASDIALPARAMSA params;
  std::memset(&params, 0, sizeof params);
  params.dwSize = sizeof params;
  ras::CopyCut(params.szEntryName, ras::RAS_MaxEntryName, EntryName);
  ras::CopyCut(params.szPhoneNumber, ras::RAS_MaxPhoneNumber, PhoneNumber);
  ras::CopyCut(params.szCallbackNumber, ras::RAS_MaxCallbackNumber, CallbackNumber);
  ras::CopyCut(params.szUserName, ras::UNLEN, UserName);
  ras::CopyCut(params.szPassword, ras::PWLEN, Password);
  ras::CopyCut(params.szDomain, ras::DNLEN, Domain);
  const char* phoneBook = phoneBookPath_.empty() ? nullptr : phoneBookPath_.c_str();

  LastError = int32_t(
      ras_->RasDialA(nullptr, phoneBook, &params, ras::kNotifierWindow, notifier_.get(), &ConnectionHandle));
  return LastError;
}

std::intptr_t TRAS::NotifierProc(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (msg != DialEventMessage || ConnectionHandle == 0) return plat::DefWindowProc(msg, wParam, lParam);
  if (lParam != 0) {
    LastError = int32_t(lParam);
  } else {
    ConnectState = uint16_t(wParam & 0xFFFF);
    FireState(ConnectState);
  }
  StatusText();
  return 0;
}

void TRAS::FireState(uint16_t state) {
  if (state == ras::RASCS_Disconnected) {
    FireDisconnect();
    return;
  }
  TNotifyEvent TRAS::*slot = nullptr;
  switch (state) {
    case ras::RASCS_OpenPort: slot = &TRAS::OnAboutToOpenPort; break;
    case ras::RASCS_PortOpened: slot = &TRAS::OnPortOpened; break;
    case ras::RASCS_ConnectDevice: slot = &TRAS::OnAboutToConnDev; break;
    case ras::RASCS_DeviceConnected: slot = &TRAS::OnDevConnected; break;
    case ras::RASCS_AllDevicesConnected: slot = &TRAS::OnAllDevsConnected; break;
    case ras::RASCS_Authenticate: slot = &TRAS::OnAuthenticate; break;
    case ras::RASCS_AuthNotify: slot = &TRAS::OnAuthNotify; break;
    case ras::RASCS_AuthRetry: slot = &TRAS::OnAuthRetry; break;
    case ras::RASCS_AuthCallback: slot = &TRAS::OnAuthCallBack; break;
    case ras::RASCS_AuthChangePassword: slot = &TRAS::OnAuthChangePassword; break;
    case ras::RASCS_AuthProject: slot = &TRAS::OnAuthProject; break;
    case ras::RASCS_AuthLinkSpeed: slot = &TRAS::OnAuthLinkSpeed; break;
    case ras::RASCS_AuthAck: slot = &TRAS::OnAuthAck; break;
    case ras::RASCS_ReAuthenticate: slot = &TRAS::OnReAuthenticate; break;
    case ras::RASCS_Authenticated: slot = &TRAS::OnAuthenticated; break;
    case ras::RASCS_PrepareForCallback: slot = &TRAS::OnPrepareforCallback; break;
    case ras::RASCS_WaitForModemReset: slot = &TRAS::OnWaitForModemReset; break;
    case ras::RASCS_WaitForCallback: slot = &TRAS::OnCallBack; break;
    case ras::RASCS_Interactive: slot = &TRAS::OnInteractiveStarted; break;
    case ras::RASCS_RetryAuthentication: slot = &TRAS::OnRetryAuth; break;
    case ras::RASCS_PasswordExpired: slot = &TRAS::OnPasswordExpired; break;
    case ras::RASCS_Connected: slot = &TRAS::OnConnect; break;
    default: return;
  }
  if (ConnectionHandle == 0 || !(this->*slot)) return;
  const TNotifyEvent handler = this->*slot;  // the handler may reassign the slot
  handler(this);
}

void TRAS::FireDisconnect() {
  if (!OnDisconnect) return;
  ras::RASCONNSTATUSA status;
  std::memset(&status, 0, sizeof status);
  status.dwSize = sizeof status;
  const int32_t rc = int32_t(ras_->RasGetConnectStatusA(ConnectionHandle, &status));
  const std::string text = ErrorText(rc);
  const TRasStateEvent handler = OnDisconnect;
  handler(this, rc, text);
}

std::string TRAS::StatusText() {
  if (ConnectionHandle == 0) return "Not Active";
  GetConnectStatus();
  if (LastError >= 600) return ErrorText(LastError);
  if (LastError == 6) return "Invalid Handle";
  if (LastError == 8) return "Not enough memory";
  if (LastError != 0) return {};
  switch (ConnectState) {
    case ras::RASCS_OpenPort: return "Opening Port";
    case ras::RASCS_PortOpened: return "Port Opened";
    case ras::RASCS_ConnectDevice: return "Using Device: " + DeviceName + " - " + DeviceType;
    case ras::RASCS_DeviceConnected: return "Device is connected";
    case ras::RASCS_AllDevicesConnected: return "All Required Devices Connected";
    case ras::RASCS_Authenticate: return "Validating User/Password/Domain";
    case ras::RASCS_AuthNotify: return "Authentication Notification";
    case ras::RASCS_AuthCallback: return "Authentication Call Back";
    case ras::RASCS_AuthProject: return "Project";
    case ras::RASCS_AuthLinkSpeed: return "Calculating Link speed";
    case ras::RASCS_AuthAck: return "Authentication acknowledged";
    case ras::RASCS_ReAuthenticate: return "Reauthenticating";
    case ras::RASCS_Authenticated: return "Login Authenticated";
    case ras::RASCS_PrepareForCallback: return "Preparing for Callback";
    case ras::RASCS_WaitForModemReset: return "Waiting for Modem Reset";
    case ras::RASCS_WaitForCallback: return "Waiting for Callback";
    default: return {};
  }
}

int32_t TRAS::GetConnectStatus() {
  if (ConnectionHandle == 0) return 0;
  ras::RASCONNSTATUSA status;
  std::memset(&status, 0, sizeof status);
  status.dwSize = sizeof status;
  const int32_t rc = int32_t(ras_->RasGetConnectStatusA(ConnectionHandle, &status));
  if (rc == 0) {
    DeviceName = ras::FieldText(status.szDeviceName, sizeof status.szDeviceName);
    DeviceType = ras::FieldText(status.szDeviceType, sizeof status.szDeviceType);
    ConnectState = uint16_t(status.rasconnstate & 0xFFFF);
    LastError = int32_t(status.dwError);
  } else {
    LastError = rc;
  }
  return LastError;
}

std::string TRAS::ErrorText(int32_t code) {
  if (ConnectionHandle == 0) return {};
  char buffer[257];
  std::memset(buffer, 0, sizeof buffer);
  ras_->RasGetErrorStringA(uint32_t(code), buffer, 256);
  return buffer[0] != '\0' ? ras::FieldText(buffer, 256) : std::string("Status Unknown");
}

int32_t TRAS::HangUp() {
  int32_t rc = 0;
  if (ConnectionHandle != 0) rc = int32_t(ras_->RasHangUpA(ConnectionHandle));
  ConnectionHandle = 0;
  ReleaseNotifier();
  LastError = rc;
  FireDisconnect();
  return rc;
}

int32_t TRAS::LoadEntries() {
  Entries.clear();
  std::array<ras::RASENTRYNAMEA, kEntryRecords> records;
  std::memset(records.data(), 0, sizeof records);
  records[0].dwSize = sizeof(ras::RASENTRYNAMEA);
  uint32_t size = sizeof records;
  uint32_t count = 0;
  const std::string path = phoneBookPath_;  // private copy for the call
  const int32_t rc =
      int32_t(ras_->RasEnumEntriesA(nullptr, path.empty() ? nullptr : path.c_str(), records.data(), &size, &count));
  LastError = rc;
  if (rc == 0 || rc == int32_t(ras::ERROR_BUFFER_TOO_SMALL)) {
    const uint32_t n = std::min<uint32_t>(count, kEntryRecords);
    for (uint32_t i = 0; i < n; ++i) {
      std::string name = ras::FieldText(records[i].szEntryName, sizeof records[i].szEntryName);
      if (!name.empty()) Entries.push_back(std::move(name));
    }
  }
  return rc;
}
