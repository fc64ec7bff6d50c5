// TUidState: what makes filing exactly-once on a server that gives unique
// ids (UIDL). Per mailbox (server and user) it records the ids of messages
// filed whose deletion the server has not confirmed yet, each with the number
// it was filed under, and the ids of messages deliberately left on the server
// (not for Zorvik, or larger than MAXSIZE). A message recorded as filed is
// deleted without being fetched again; one recorded as left is not fetched
// again, until MAXSIZE allows its size (kept with it). Beside the mailboxes
// it records the temporary envelopes this instance made in the incoming
// directory (number and inode), the only ones start-up recovery acts on.
//
// The file (ZVMAIL32.UID in the program directory) is replaced atomically.
// It is read as untrusted input: lines it does not understand are dropped.
//
// Error convention: Load and Save return false with a reason in words.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

class TUidState {
 public:
  enum class Kind { None, Filed, LeftOther, LeftLarge };

  explicit TUidState(std::string path) : path_(std::move(path)) {}

  // Reads the file; a missing file is an empty state.
  bool Load(std::string& why);
  // Replaces the file when something changed since the last Load or Save.
  // `durable`: the directory is flushed too, so the record survives a crash.
  bool Save(bool durable, std::string& why);

  // Selects the mailbox the calls below work on.
  void Select(const std::string& server, const std::string& user);
  // What is recorded for `uid`; for a filed message also its number.
  Kind Find(const std::string& uid, uint16_t* number = nullptr) const;
  void SetFiled(const std::string& uid, uint16_t number);
  // `size`: of a message left for its size, in bytes (0: not known).
  void SetLeft(const std::string& uid, Kind kind, uint64_t size = 0);
  // The size recorded for a message left for its size; 0 when not known.
  uint64_t LeftSize(const std::string& uid) const;
  void Erase(const std::string& uid);
  // Drops the entries whose id is not in `present` (no longer on the server).
  void KeepOnly(const std::set<std::string>& present);
  // `number` is recorded as filed in any mailbox.
  bool FiledNumber(uint16_t number) const;

  // The temporary envelope of `number`, file `inode`, was made here.
  void SetBegun(uint16_t number, uint64_t inode);
  void EraseBegun(uint16_t number);
  void ClearBegun();
  bool Begun(uint16_t number, uint64_t inode) const;

  // An id as a server may give it (RFC 1939: 1 to 70 characters 0x21-0x7E).
  static bool ValidUid(const std::string& uid);

 private:
  struct Entry {
    Kind kind = Kind::None;
    uint16_t number = 0;
    uint64_t size = 0;  // LeftLarge: the size judged
  };
  using Mailbox = std::map<std::string, Entry>;

  std::string path_;
  std::map<std::string, Mailbox> mailboxes_;  // key: escaped server, blank, escaped user
  std::map<uint16_t, uint64_t> begun_;        // number -> inode
  Mailbox* selected_ = nullptr;
  bool changed_ = false;
};
