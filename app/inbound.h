// TInboundFiler: files retrieved messages in the incoming directory as
// numbered pairs, "00000042.TXT" and "00000042.WRK". The application takes a
// pair once its envelope is there, so a pair appears whole or not at all: the
// envelope is written under a temporary name the application never looks at
// (".00000042.WRK.tmp"), made before the text, and renamed into place only
// after both files reached stable storage (Flush, then Publish). Every file
// is created exclusively and never through a link, inside the directory held
// open from the start, so a number whose names are taken by anything (a
// file, a link, a dangling link, a directory) is skipped, and nothing is ever
// written outside the directory or over a name someone else holds.
//
// Error convention: operations return false and name the path that failed;
// the caller reports it. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat { class FilingService; }

class TInboundFiler {
 public:
  // What the filer keeps in, and asks of, the id record.
  struct TRecord {
    // Records that this instance made the temporary envelopes of these
    // numbers (each with its file's inode); false when that could not be
    // recorded.
    std::function<bool(const std::vector<std::pair<uint16_t, uint64_t>>& made)> begun;
    // The temporary envelope of `number` is gone (published or removed).
    std::function<void(uint16_t number)> settled;
    // Recorded as begun here with that inode.
    std::function<bool(uint16_t number, uint64_t inode)> madeHere;
    // Recorded as filed before QUIT: its pair must appear.
    std::function<bool(uint16_t number)> filed;
  };

  // `dir`: the incoming directory with its trailing "/".
  TInboundFiler(std::shared_ptr<plat::FilingService> files, std::string dir, TRecord record);
  // Removes a message begun and not kept; closes every file still open.
  ~TInboundFiler();
  TInboundFiler(const TInboundFiler&) = delete;
  TInboundFiler& operator=(const TInboundFiler&) = delete;

  // Finishes what an earlier run left, acting only on temporary envelopes
  // that are regular files recorded as made here: one recorded as filed is
  // renamed into place; any other is removed with its text (that pair was
  // never visible), unless the text's pair is complete. Other leftovers are
  // left alone, their numbers taken. Each step is described through `log`.
  void Recover(const std::function<void(const std::string&)>& log);

  // Starts a message: advances `counter` (wrapping past 65535) to the next
  // number whose names are all free, and creates the temporary envelope and
  // the text, recording the envelope in between. Envelopes are made and
  // recorded ahead for up to `expected` messages (this one included), so
  // the record is written once for several. False when that fails or every
  // number is taken; `failed` then names the text's path (empty when the
  // record failed).
  bool Begin(uint16_t& counter, std::string& failed, int expected = 1);
  // Removes the envelopes made ahead and not used (at the end of a pass).
  void ReleaseReserved();
  // Appends bytes to the current message's text (buffered).
  void Write(const char* data, std::size_t size);
  // Bytes written to the current message's text so far.
  uint64_t Size() const { return size_; }
  // Removes the current message's files.
  void Discard();
  // Ends the current message as a pair to publish: the text written whole,
  // `envelope` written to the temporary envelope. False when a write failed;
  // both files are then removed and `failed` names the one that failed.
  bool Keep(const std::string& envelope, std::string& failed);

  // Numbers of the pairs kept and not yet published, in order.
  std::vector<uint16_t> Kept() const;
  // Brings every kept pair and the directory to stable storage: one flush of
  // the file system, or, when that reports an error (which may be anybody's),
  // a flush of each of our files and of the directory.
  bool Flush(std::string& failed);
  // Renames the kept envelopes into place (after Flush) and flushes the
  // directory. Numbers whose rename failed are left in `unpublished` (their
  // files are removed).
  bool Publish(std::vector<uint16_t>& unpublished, std::string& failed);
  // Removes every kept pair not published.
  void Abandon();

  std::string Path(const std::string& name) const { return dir_ + name; }
  static std::string TextName(uint16_t number);
  static std::string EnvelopeName(uint16_t number);
  static std::string TemporaryEnvelopeName(uint16_t number);

 private:
  struct Pair {
    uint16_t number;
    int text = -1;
    int envelope = -1;
  };
  // Opens the directory and reads which numbers are taken, once.
  bool OpenDirectory();
  // Makes and records the temporary envelopes of up to `count` free numbers
  // after `counter`; false (`failed`, `counter` set as for Begin) when none.
  bool Reserve(uint16_t& counter, int count, std::string& failed);
  bool FlushBuffer();
  void ClosePair(Pair& pair);
  void RemovePair(const Pair& pair);

  std::shared_ptr<plat::FilingService> files_;
  std::string dir_;
  TRecord record_;
  int dirFd_ = -1;
  bool dirTried_ = false;
  bool current_ = false;  // a message is begun
  Pair pair_;             // the current message
  std::vector<char> buffer_;
  uint64_t size_ = 0;
  bool writeFailed_ = false;
  std::vector<uint16_t> kept_;  // written whole, closed, not yet published
  std::deque<Pair> reserved_;   // envelopes made ahead, in number order
  std::vector<bool> taken_;          // per number: a name of it is in use
  std::vector<uint16_t> leftovers_;  // numbers with a temporary envelope left
};
