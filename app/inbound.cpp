#include "app/inbound.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "config/textutil.h"
#include "platform/filing.h"

namespace {

// Created like any text file of the program: readable by the application
// whatever user it runs as, less the umask.
constexpr unsigned kFileMode = 0666;
constexpr std::size_t kBufferSize = 64 * 1024;
// Every value of the 16-bit COUNTER, so the free-number search ends.
constexpr int32_t kFileNumbers = 65536;
// Temporary envelopes made and recorded together, ahead of the messages
// expected: one write of the record (with its flush) serves so many.
constexpr int kReserve = 64;

}  // namespace

TInboundFiler::TInboundFiler(std::shared_ptr<plat::FilingService> files, std::string dir, TRecord record)
    : files_(std::move(files)), dir_(std::move(dir)), record_(std::move(record)) {}

TInboundFiler::~TInboundFiler() {
  if (current_) Discard();
  ReleaseReserved();
  Abandon();
  if (dirFd_ >= 0) files_->Close(dirFd_);
}

std::string TInboundFiler::TextName(uint16_t number) { return NumToText(number, 8) + ".TXT"; }
std::string TInboundFiler::EnvelopeName(uint16_t number) { return NumToText(number, 8) + ".WRK"; }
std::string TInboundFiler::TemporaryEnvelopeName(uint16_t number) {
  return "." + NumToText(number, 8) + ".WRK.tmp";
}

namespace {

// The number of a name "NNNNNNNN<suffix>" (eight digits, at most 65535)
// starting at `at`, or -1.
int32_t NumberIn(const std::string& name, std::size_t at, const char* suffix) {
  const std::size_t suffixLength = std::strlen(suffix);
  if (name.size() != at + 8 + suffixLength || name.compare(at + 8, suffixLength, suffix) != 0) return -1;
  int32_t value = 0;
  for (std::size_t i = at; i < at + 8; ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    value = value * 10 + (name[i] - '0');
  }
  return value <= 65535 ? value : -1;
}

}  // namespace

bool TInboundFiler::OpenDirectory() {
  if (dirTried_) return dirFd_ >= 0;
  dirTried_ = true;
  dirFd_ = files_->OpenDirectory(dir_);
  if (dirFd_ < 0) return false;
  // One listing tells which numbers are taken, instead of a look per number.
  taken_.assign(std::size_t{kFileNumbers}, false);
  for (const std::string& name : files_->List(dirFd_)) {
    int32_t n = NumberIn(name, 0, ".TXT");
    if (n < 0) n = NumberIn(name, 0, ".WRK");
    if (n < 0 && (n = NumberIn(name, 1, ".WRK.tmp")) >= 0 && name[0] == '.') leftovers_.push_back(uint16_t(n));
    if (n >= 0) taken_[std::size_t(n)] = true;
  }
  return true;
}

void TInboundFiler::Recover(const std::function<void(const std::string&)>& log) {
  if (!OpenDirectory()) return;
  bool changed = false;
  for (uint16_t number : leftovers_) {
    const std::string temporary = TemporaryEnvelopeName(number);
    plat::FileFacts made;
    // Only what this instance made: a regular file recorded with its inode.
    // Anything else (a stray file, a planted link) is not ours to publish or
    // remove; its number stays taken.
    if (!files_->Identify(dirFd_, temporary, made) || !made.regular || !record_.madeHere(number, made.inode)) {
      log("Left " + dir_ + temporary + " alone: this program did not make it");
      continue;
    }
    changed = true;
    if (record_.filed(number)) {
      // Recorded as filed before QUIT: the pair must appear.
      if (files_->RenameNoReplace(dirFd_, temporary, EnvelopeName(number))) {
        log("Completed the filing of " + dir_ + EnvelopeName(number));
        record_.settled(number);
      }
      continue;
    }
    // Never recorded as filed: the message is still on the server and the
    // pair was never visible. The text beside our temporary envelope is ours
    // (the envelope was made first, when both names were free), unless
    // someone has completed a pair under that number since.
    plat::FileFacts envelope;
    const bool complete = files_->Identify(dirFd_, EnvelopeName(number), envelope);
    if (!complete) files_->Remove(dirFd_, TextName(number));
    files_->Remove(dirFd_, temporary);
    record_.settled(number);
    taken_[number] = complete;
    log("Removed the unfinished filing of " + dir_ + TextName(number) + " left by an earlier run");
  }
  if (changed) files_->SyncDirectory(dirFd_);
  leftovers_.clear();
}

bool TInboundFiler::Begin(uint16_t& counter, std::string& failed, int expected) {
  if (current_) Discard();
  size_ = 0;
  writeFailed_ = false;
  buffer_.clear();
  buffer_.reserve(kBufferSize);
  if (!OpenDirectory()) {
    ++counter;
    failed = dir_ + TextName(counter);
    return false;
  }
  // Each round takes a reserved number whose text is free; a clash takes
  // the next, and an empty reserve is filled again (the numbers it skips
  // stay taken, so the rounds end).
  for (int32_t round = 0; round < kFileNumbers; ++round) {
    if (reserved_.empty() && !Reserve(counter, std::clamp(expected, 1, kReserve), failed)) return false;
    const Pair reserved = reserved_.front();
    reserved_.pop_front();
    counter = reserved.number;
    const int text = files_->CreateExclusive(dirFd_, TextName(counter), kFileMode);
    if (text >= 0) {
      pair_ = Pair{counter, text, reserved.envelope};
      current_ = true;
      return true;
    }
    // The text's name is someone else's (or cannot be made): only the
    // envelope, ours, goes.
    const int err = errno;
    files_->Close(reserved.envelope);
    files_->Remove(dirFd_, TemporaryEnvelopeName(counter));
    record_.settled(counter);
    if (err != EEXIST) {
      failed = dir_ + TextName(counter);
      return false;
    }
  }
  failed = dir_ + TextName(counter);
  return false;
}

bool TInboundFiler::Reserve(uint16_t& counter, int count, std::string& failed) {
  std::vector<std::pair<uint16_t, uint64_t>> made;
  uint16_t n = counter;
  int err = 0;
  for (int32_t tried = 0; tried < kFileNumbers && int(made.size()) < count; ++tried) {
    ++n;
    if (taken_[n]) continue;
    taken_[n] = true;
    // The temporary envelope first, recorded before the text is made:
    // while it is there, the text beside it is known to be ours (Recover).
    const int envelope = files_->CreateExclusive(dirFd_, TemporaryEnvelopeName(n), kFileMode);
    if (envelope < 0 && errno == EEXIST) continue;
    plat::FileFacts facts;
    if (envelope < 0 || !files_->IdentifyOpen(envelope, facts)) {
      err = errno;
      if (envelope >= 0) {
        files_->Close(envelope);
        files_->Remove(dirFd_, TemporaryEnvelopeName(n));
      }
      break;
    }
    reserved_.push_back(Pair{n, -1, envelope});
    made.emplace_back(n, facts.inode);
  }
  if (made.empty()) {
    // Every number is taken, or the first envelope could not be made.
    if (err != 0) counter = n;
    failed = dir_ + TextName(counter);
    return false;
  }
  if (record_.begun(made)) return true;
  // Not recorded: nothing made here may stay. The record says why.
  ReleaseReserved();
  failed.clear();
  return false;
}

void TInboundFiler::ReleaseReserved() {
  for (const Pair& reserved : reserved_) {
    files_->Close(reserved.envelope);
    files_->Remove(dirFd_, TemporaryEnvelopeName(reserved.number));
    record_.settled(reserved.number);
    taken_[reserved.number] = false;
  }
  reserved_.clear();
}

void TInboundFiler::Write(const char* data, std::size_t size) {
  size_ += size;
  if (writeFailed_) return;
  if (buffer_.size() + size > kBufferSize && !FlushBuffer()) return;
  if (size >= kBufferSize) {
    if (!files_->WriteAll(pair_.text, data, size)) writeFailed_ = true;
    return;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

bool TInboundFiler::FlushBuffer() {
  if (!writeFailed_ && !buffer_.empty() && !files_->WriteAll(pair_.text, buffer_.data(), buffer_.size()))
    writeFailed_ = true;
  buffer_.clear();
  return !writeFailed_;
}

void TInboundFiler::ClosePair(Pair& pair) {
  if (pair.text >= 0) files_->Close(pair.text);
  if (pair.envelope >= 0) files_->Close(pair.envelope);
  pair.text = pair.envelope = -1;
}

void TInboundFiler::RemovePair(const Pair& pair) {
  files_->Remove(dirFd_, TextName(pair.number));
  files_->Remove(dirFd_, TemporaryEnvelopeName(pair.number));
  record_.settled(pair.number);
}

void TInboundFiler::Discard() {
  if (!current_) return;
  current_ = false;
  ClosePair(pair_);
  RemovePair(pair_);
  buffer_.clear();
}

bool TInboundFiler::Keep(const std::string& envelope, std::string& failed) {
  if (!current_) return false;
  current_ = false;
  bool ok = FlushBuffer();
  if (!ok) {
    failed = dir_ + TextName(pair_.number);
  } else if (!files_->WriteAll(pair_.envelope, envelope.data(), envelope.size())) {
    ok = false;
    failed = dir_ + EnvelopeName(pair_.number);
  }
  // A failure reported at the close is a failed write too.
  const bool textClosed = files_->Close(pair_.text);
  const bool envelopeClosed = files_->Close(pair_.envelope);
  pair_.text = pair_.envelope = -1;
  if (ok && !(textClosed && envelopeClosed)) {
    ok = false;
    failed = dir_ + (textClosed ? EnvelopeName(pair_.number) : TextName(pair_.number));
  }
  if (!ok) {
    RemovePair(pair_);
    return false;
  }
  kept_.push_back(pair_.number);
  return true;
}

bool TInboundFiler::Flush(std::string& failed) {
  if (kept_.empty()) return true;
  // One flush of the file system covers every file filed. Should it report
  // an error, which may come from anybody's file on it, each of ours is
  // flushed on its own: only an error of our own counts.
  if (files_->SyncFileSystem(dirFd_)) return true;
  const auto sync = [&](const std::string& name) {
    const int fd = files_->OpenForSync(dirFd_, name);
    const bool synced = fd >= 0 && files_->DataSync(fd);
    if (fd >= 0) files_->Close(fd);
    if (!synced) failed = dir_ + name;
    return synced;
  };
  for (uint16_t number : kept_)
    if (!sync(TextName(number)) || !sync(TemporaryEnvelopeName(number))) return false;
  if (!files_->SyncDirectory(dirFd_)) {
    failed = dir_;
    return false;
  }
  return true;
}

bool TInboundFiler::Publish(std::vector<uint16_t>& unpublished, std::string& failed) {
  bool ok = true;
  for (uint16_t number : kept_) {
    if (files_->RenameNoReplace(dirFd_, TemporaryEnvelopeName(number), EnvelopeName(number))) {
      record_.settled(number);
      continue;
    }
    if (ok) failed = dir_ + EnvelopeName(number);
    ok = false;
    unpublished.push_back(number);
    RemovePair(Pair{number});
  }
  const bool any = !kept_.empty();
  kept_.clear();
  if (any && !files_->SyncDirectory(dirFd_)) {
    if (ok) failed = dir_;
    ok = false;
  }
  return ok;
}

void TInboundFiler::Abandon() {
  for (uint16_t number : kept_) RemovePair(Pair{number});
  kept_.clear();
}

std::vector<uint16_t> TInboundFiler::Kept() const { return kept_; }
