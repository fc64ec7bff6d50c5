// The remote-access service: dials an entry of a phone book asynchronously,
// hangs connections up, reports their status, lists the entries of a phone
// book and gives texts for its codes. This platform has no such service, so
// this is our own small one over a plain-text phone book (docs/phonebook.md).
// An entry either runs a dial command and a hang-up command, or plays a
// scripted list of connection states (for tests and demonstrations).
//
// Error convention: every call returns 0 on success or one of the codes
// below; nothing throws. Everything runs on the GUI thread: the states of a
// dial reach the caller as "RASDialEvent" messages posted to its notifier
// window (wParam the state, lParam 0 or an error code) and are delivered
// only while the caller pumps the event queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace plat { class HiddenWindow; }

namespace ras {

using HRASCONN = std::uintptr_t;

constexpr std::size_t RAS_MaxEntryName = 256;
constexpr std::size_t RAS_MaxPhoneNumber = 128;
constexpr std::size_t RAS_MaxCallbackNumber = 128;
constexpr std::size_t RAS_MaxDeviceType = 16;
constexpr std::size_t RAS_MaxDeviceName = 128;
constexpr std::size_t UNLEN = 256;
constexpr std::size_t PWLEN = 256;
constexpr std::size_t DNLEN = 15;

// Every text field is zero-terminated; dwSize must hold the record's size.
struct RASDIALPARAMSA {
  uint32_t dwSize;
  char szEntryName[RAS_MaxEntryName + 1];
  char szPhoneNumber[RAS_MaxPhoneNumber + 1];
  char szCallbackNumber[RAS_MaxCallbackNumber + 1];
  char szUserName[UNLEN + 1];
  char szPassword[PWLEN + 1];
  char szDomain[DNLEN + 1];
};
static_assert(sizeof(RASDIALPARAMSA) == 1052);

struct RASCONNSTATUSA {
  uint32_t dwSize;
  uint32_t rasconnstate;
  uint32_t dwError;
  char szDeviceType[RAS_MaxDeviceType + 1];
  char szDeviceName[RAS_MaxDeviceName + 1];
};
static_assert(sizeof(RASCONNSTATUSA) == 160);

struct RASENTRYNAMEA {
  uint32_t dwSize;
  char szEntryName[RAS_MaxEntryName + 1];
};
static_assert(sizeof(RASENTRYNAMEA) == 264);

// One connection. The handle is pointer-sized here, so the record is larger
// than on a 32-bit system; only the field lengths are fixed.
struct RASCONNA {
  uint32_t dwSize;
  HRASCONN hrasconn;
  char szEntryName[RAS_MaxEntryName + 1];
  char szDeviceType[RAS_MaxDeviceType + 1];
  char szDeviceName[RAS_MaxDeviceName + 1];
};

// Connection states.
constexpr uint32_t RASCS_OpenPort = 0;
constexpr uint32_t RASCS_PortOpened = 1;
constexpr uint32_t RASCS_ConnectDevice = 2;
constexpr uint32_t RASCS_DeviceConnected = 3;
constexpr uint32_t RASCS_AllDevicesConnected = 4;
constexpr uint32_t RASCS_Authenticate = 5;
constexpr uint32_t RASCS_AuthNotify = 6;
constexpr uint32_t RASCS_AuthRetry = 7;
constexpr uint32_t RASCS_AuthCallback = 8;
constexpr uint32_t RASCS_AuthChangePassword = 9;
constexpr uint32_t RASCS_AuthProject = 10;
constexpr uint32_t RASCS_AuthLinkSpeed = 11;
constexpr uint32_t RASCS_AuthAck = 12;
constexpr uint32_t RASCS_ReAuthenticate = 13;
constexpr uint32_t RASCS_Authenticated = 14;
constexpr uint32_t RASCS_PrepareForCallback = 15;
constexpr uint32_t RASCS_WaitForModemReset = 16;
constexpr uint32_t RASCS_WaitForCallback = 17;
constexpr uint32_t RASCS_Interactive = 4096;
constexpr uint32_t RASCS_RetryAuthentication = 4097;
constexpr uint32_t RASCS_CallbackSetByCaller = 4098;
constexpr uint32_t RASCS_PasswordExpired = 4099;
constexpr uint32_t RASCS_Connected = 8192;
constexpr uint32_t RASCS_Disconnected = 8193;

// Codes of this service.
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_BUFFER_TOO_SMALL = 603;
constexpr uint32_t ERROR_DEVICE_DOES_NOT_EXIST = 608;  // the dial command could not be started
constexpr uint32_t ERROR_PORT_DISCONNECTED = 619;
constexpr uint32_t ERROR_CANNOT_OPEN_PHONEBOOK = 621;
constexpr uint32_t ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623;
constexpr uint32_t ERROR_INVALID_SIZE = 632;
constexpr uint32_t ERROR_FROM_DEVICE = 651;  // the dial command ended with a failure
constexpr uint32_t ERROR_LINE_BUSY = 676;
constexpr uint32_t ERROR_NO_ANSWER = 678;  // the dial command did not finish in time
constexpr uint32_t ERROR_NO_CARRIER = 679;
constexpr uint32_t ERROR_NO_DIALTONE = 680;
constexpr uint32_t ERROR_AUTHENTICATION_FAILURE = 691;

// The notifier type of a window handle.
constexpr uint32_t kNotifierWindow = 0xFFFFFFFFu;

// The name under which the dial notifications are registered.
inline constexpr const char* kDialEventName = "RASDialEvent";

class Service {
 public:
  virtual ~Service() = default;

  // Starts dialling the entry params->szEntryName of `phoneBook` (null: the
  // default phone book) and returns at once. 0: *conn holds the new
  // connection and its states follow as posted messages to `notifier`
  // (notifierType must be kNotifierWindow). Otherwise *conn is 0.
  // `extensions` must be null.
  virtual uint32_t RasDialA(const void* extensions, const char* phoneBook, const RASDIALPARAMSA* params,
                            uint32_t notifierType, plat::HiddenWindow* notifier, HRASCONN* conn) = 0;
  // Ends the connection (a dial in progress is abandoned); the handle is
  // invalid afterwards.
  virtual uint32_t RasHangUpA(HRASCONN conn) = 0;
  // Fills *status (dwSize must be set) for a live connection. A connection
  // the line dropped answers with the code it dropped with.
  virtual uint32_t RasGetConnectStatusA(HRASCONN conn, RASCONNSTATUSA* status) = 0;
  // Fills the array with the phone book's entry names in file order; *cb is
  // the array's size in bytes and entries[0].dwSize must be set. *count gets
  // the number of entries. When the array is too small it is filled as far
  // as it goes, *cb gets the size needed and the result is
  // ERROR_BUFFER_TOO_SMALL. `reserved` must be null.
  virtual uint32_t RasEnumEntriesA(const char* reserved, const char* phoneBook, RASENTRYNAMEA* entries,
                                   uint32_t* cb, uint32_t* count) = 0;
  // Writes the zero-terminated English text of `code` into `buffer` (at most
  // `size` bytes with the terminator). ERROR_INVALID_PARAMETER for a code
  // without a text; the buffer is then untouched.
  virtual uint32_t RasGetErrorStringA(uint32_t code, char* buffer, uint32_t size) = 0;
};

// A new instance of this platform's service (the phone-book service above).
// Connections belong to the instance; destroying it leaves the links that
// dial commands brought up as they are and stops every dial in progress.
std::shared_ptr<Service> MakeSystemService();

// The default phone book: $ZVMAIL32_PHONEBOOK when set and not empty, else
// /etc/zvmail32/phonebook.
std::string DefaultPhoneBookPath();

// Copies `text` into a fixed record field of fieldLen characters and its
// terminating zero, cutting what does not fit.
void CopyCut(char* field, std::size_t fieldLen, const std::string& text);
// The text of a fixed record field (possibly untrusted); never reads past
// fieldSize bytes, whether or not a zero ends it.
std::string FieldText(const char* field, std::size_t fieldSize);

}  // namespace ras
