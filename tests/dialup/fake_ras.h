// A remote-access service under the test's control: it records what the
// component passes, answers status and text queries from its fields, and
// delivers notifications when the test says so.
#pragma once

#include <QPointer>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/msgwindow.h"
#include "platform/ras.h"

class FakeRas : public ras::Service {
 public:
  // Dial
  uint32_t dialResult = 0;
  ras::HRASCONN nextHandle = 100;
  int dials = 0;
  bool phoneBookWasNull = false;
  std::string phoneBook;
  ras::RASDIALPARAMSA params{};
  QPointer<plat::HiddenWindow> notifier;
  std::vector<ras::HRASCONN> hangUps;

  // Status: the answer for a live handle; a null handle gets 6.
  uint32_t statusResult = 0;
  uint32_t state = 0, error = 0;
  std::string deviceType = "modem", deviceName = "Fake Modem";

  // Entries: the names in order; a non-zero enumResult replaces the result.
  std::vector<std::string> entries;
  uint32_t enumResult = 0;
  bool enumPhoneBookWasNull = false;

  std::map<uint32_t, std::string> texts = {{676, "The line is busy."}, {619, "The connection was dropped."}};

  // Calls the window procedure of the notifier at once.
  void Notify(uint32_t wState, uint32_t lError) {
    if (notifier) notifier->send(plat::RegisterWindowMessage(ras::kDialEventName), wState, lError);
  }
  void Post(uint32_t wState, uint32_t lError) {
    if (notifier) notifier->post(plat::RegisterWindowMessage(ras::kDialEventName), wState, lError);
  }

  uint32_t RasDialA(const void*, const char* book, const ras::RASDIALPARAMSA* p, uint32_t, plat::HiddenWindow* n,
                    ras::HRASCONN* conn) override {
    ++dials;
    phoneBookWasNull = book == nullptr;
    phoneBook = book ? book : "";
    std::memcpy(&params, p, sizeof params);
    notifier = n;
    if (dialResult != 0) {
      *conn = 0;
      return dialResult;
    }
    *conn = nextHandle++;
    return 0;
  }
  uint32_t RasHangUpA(ras::HRASCONN conn) override {
    hangUps.push_back(conn);
    return 0;
  }
  uint32_t RasGetConnectStatusA(ras::HRASCONN conn, ras::RASCONNSTATUSA* st) override {
    if (conn == 0) return ras::ERROR_INVALID_HANDLE;
    if (statusResult != 0) return statusResult;
    st->rasconnstate = state;
    st->dwError = error;
    std::strncpy(st->szDeviceType, deviceType.c_str(), ras::RAS_MaxDeviceType);
    std::strncpy(st->szDeviceName, deviceName.c_str(), ras::RAS_MaxDeviceName);
    return 0;
  }
  uint32_t RasEnumEntriesA(const char*, const char* book, ras::RASENTRYNAMEA* e, uint32_t* cb,
                           uint32_t* count) override {
    enumPhoneBookWasNull = book == nullptr;
    if (enumResult != 0 && enumResult != ras::ERROR_BUFFER_TOO_SMALL) return enumResult;
    const std::size_t room = *cb / sizeof(ras::RASENTRYNAMEA);
    for (std::size_t i = 0; i < entries.size() && i < room; ++i)
      std::strncpy(e[i].szEntryName, entries[i].c_str(), ras::RAS_MaxEntryName);
    *count = uint32_t(entries.size());
    return entries.size() > room ? ras::ERROR_BUFFER_TOO_SMALL : enumResult;
  }
  uint32_t RasGetErrorStringA(uint32_t code, char* buffer, uint32_t size) override {
    auto it = texts.find(code);
    if (it == texts.end()) return ras::ERROR_INVALID_PARAMETER;
    std::strncpy(buffer, it->second.c_str(), size - 1);
    return 0;
  }
};
