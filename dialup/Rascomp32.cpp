// Placeholder: the dial-up component lands with the dial-up work.
#include "dialup/Rascomp32.h"

#include "platform/msgwindow.h"

namespace ras { struct RASCONNA { char data[412]; }; }

TConnectionList::TConnectionList() = default;
TConnectionList::~TConnectionList() = default;
void TConnectionList::AddConnection(const ras::RASCONNA& conn) { items_.push_back(std::make_unique<ras::RASCONNA>(conn)); }
ras::HRASCONN TConnectionList::RASConn(int) const { return 0; }
std::string TConnectionList::EntryName(int) const { return {}; }
void TConnectionList::Delete(int) {}
int TConnectionList::Count() const { return int(items_.size()); }

TRAS::TRAS(std::shared_ptr<ras::Service> service) : ras_(std::move(service)) {}
TRAS::~TRAS() = default;
void TRAS::SetPhoneBookPath(const std::string& path) { phoneBookPath_ = path; LoadEntries(); }
void TRAS::SetRedialAttempts(int32_t n) { redialAttempts_ = n; }
int32_t TRAS::Dial() { return LastError = 623; }
int32_t TRAS::HangUp() {
  ConnectionHandle = 0;
  LastError = 0;
  if (OnDisconnect) OnDisconnect(this, 0, "");
  return 0;
}
int32_t TRAS::GetConnectStatus() { return LastError; }
std::string TRAS::StatusText() { return "Not Active"; }
std::string TRAS::ErrorText(int32_t) { return {}; }
int32_t TRAS::LoadEntries() { Entries.clear(); return 0; }
std::intptr_t TRAS::NotifierProc(unsigned, std::uintptr_t, std::intptr_t) { return 0; }
void TRAS::FireState(uint16_t) {}
void TRAS::FireDisconnect() {}
