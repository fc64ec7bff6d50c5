#include "app/inbound.h"

#include <cerrno>
#include <cstring>
#include <set>

#include "config/textutil.h"
#include "platform/filing.h"

namespace {

// Created like any text file of the program: readable by the application
// whatever user it runs as, less the umask.
constexpr unsigned kFileMode = 0666;
constexpr std::size_t kBufferSize = 64 * 1024;
// Every value of the 16-bit COUNTER, so the free-number search ends.
constexpr int32_t kFileNumbers = 65536;
// Kept pairs whose files stay open until the flush; older ones are flushed
// and closed early, so a large mailbox never runs out of descriptors.
constexpr std::size_t kOpenPairs = 64;

}  // namespace

TInboundFiler::TInboundFiler(std::shared_ptr<plat::FilingService> files, std::string dir)
    : files_(std::move(files)), dir_(std::move(dir)) {}

TInboundFiler::~TInboundFiler() {
  if (current_) Discard();
  Abandon();
  if (dirFd_ >= 0) files_->Close(dirFd_);
}

std::string TInboundFiler::TextName(uint16_t number) { return NumToText(number, 8) + ".TXT"; }
std::string TInboundFiler::EnvelopeName(uint16_t number) { return NumToText(number, 8) + ".WRK"; }
std::string TInboundFiler::TemporaryTextName(uint16_t number) { return "." + NumToText(number, 8) + ".TXT.tmp"; }
std::string TInboundFiler::TemporaryEnvelopeName(uint16_t number) {
  return "." + NumToText(number, 8) + ".WRK.tmp";
}

bool TInboundFiler::OpenDirectory() {
  if (!dirTried_) {
    dirTried_ = true;
    dirFd_ = files_->OpenDirectory(dir_);
  }
  return dirFd_ >= 0;
}

void TInboundFiler::Recover(const std::function<bool(uint16_t)>& recorded,
                            const std::function<void(const std::string&)>& log) {
  if (!OpenDirectory()) return;
  // ".00000042.TXT.tmp" and ".00000042.WRK.tmp": the temporary files of 42.
  std::set<uint16_t> numbers;
  for (const std::string& name : files_->List(dirFd_)) {
    if (name.size() != 17 || name[0] != '.' || name.compare(13, 4, ".tmp") != 0) continue;
    if (name.compare(9, 4, ".TXT") != 0 && name.compare(9, 4, ".WRK") != 0) continue;
    if (name.find_first_not_of("0123456789", 1) != 9) continue;
    const long value = std::strtol(name.substr(1, 8).c_str(), nullptr, 10);
    if (value <= 65535) numbers.insert(static_cast<uint16_t>(value));
  }
  for (uint16_t number : numbers) {
    const bool textLeft = files_->Taken(dirFd_, TemporaryTextName(number));
    if (recorded(number)) {
      // Recorded as filed before QUIT: the pair must appear.
      if (textLeft) files_->RenameNoReplace(dirFd_, TemporaryTextName(number), TextName(number));
      if (files_->RenameNoReplace(dirFd_, TemporaryEnvelopeName(number), EnvelopeName(number)))
        log("Completed the filing of " + dir_ + EnvelopeName(number));
      continue;
    }
    // Never recorded: the message is still on the server. A text already
    // renamed beside an envelope still under its temporary name is ours too
    // (its name was free when the number was drawn).
    if (!textLeft && files_->Taken(dirFd_, TemporaryEnvelopeName(number))) files_->Remove(dirFd_, TextName(number));
    files_->Remove(dirFd_, TemporaryTextName(number));
    files_->Remove(dirFd_, TemporaryEnvelopeName(number));
    log("Removed the unfinished filing of " + dir_ + TextName(number) + " left by an earlier run");
  }
  if (!numbers.empty()) files_->SyncDirectory(dirFd_);
}

bool TInboundFiler::Begin(uint16_t& counter, std::string& failed) {
  if (current_) Discard();
  size_ = 0;
  writeFailed_ = false;
  buffer_.clear();
  buffer_.reserve(kBufferSize);
  for (int32_t tried = 0; tried < kFileNumbers; ++tried) {
    ++counter;
    failed = dir_ + TextName(counter);
    if (!OpenDirectory()) return false;
    if (files_->Taken(dirFd_, TextName(counter)) || files_->Taken(dirFd_, EnvelopeName(counter))) continue;
    const int text = files_->CreateExclusive(dirFd_, TemporaryTextName(counter), kFileMode);
    if (text < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    const int envelope = files_->CreateExclusive(dirFd_, TemporaryEnvelopeName(counter), kFileMode);
    if (envelope < 0) {
      const int err = errno;
      files_->Close(text);
      files_->Remove(dirFd_, TemporaryTextName(counter));
      if (err == EEXIST) continue;
      return false;
    }
    pair_ = Pair{counter, text, envelope};
    current_ = true;
    return true;
  }
  return false;
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
  files_->Remove(dirFd_, TemporaryTextName(pair.number));
  files_->Remove(dirFd_, TemporaryEnvelopeName(pair.number));
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
  if (!ok) {
    ClosePair(pair_);
    RemovePair(pair_);
    return false;
  }
  kept_.push_back(pair_);
  return LimitOpenFiles(failed);
}

bool TInboundFiler::LimitOpenFiles(std::string& failed) {
  std::size_t open = 0;
  for (const Pair& p : kept_) open += p.text >= 0 ? 1 : 0;
  for (Pair& p : kept_) {
    if (open <= kOpenPairs) break;
    if (p.text < 0) continue;
    const bool synced = files_->DataSync(p.text) && files_->DataSync(p.envelope);
    if (!synced) failed = dir_ + TextName(p.number);
    ClosePair(p);
    --open;
    if (!synced) return false;
  }
  return true;
}

std::vector<uint16_t> TInboundFiler::Kept() const {
  std::vector<uint16_t> numbers;
  for (const Pair& p : kept_) numbers.push_back(p.number);
  return numbers;
}

bool TInboundFiler::Flush(std::string& failed) {
  bool ok = true;
  for (Pair& p : kept_) {
    if (p.text < 0) continue;
    if (ok && !files_->DataSync(p.text)) {
      ok = false;
      failed = dir_ + TextName(p.number);
    }
    if (ok && !files_->DataSync(p.envelope)) {
      ok = false;
      failed = dir_ + EnvelopeName(p.number);
    }
    ClosePair(p);
  }
  if (ok && !kept_.empty() && !files_->SyncDirectory(dirFd_)) {
    ok = false;
    failed = dir_;
  }
  return ok;
}

bool TInboundFiler::Publish(std::vector<uint16_t>& unpublished, std::string& failed) {
  bool ok = true;
  for (Pair& p : kept_) {
    ClosePair(p);
    const bool text = files_->RenameNoReplace(dirFd_, TemporaryTextName(p.number), TextName(p.number));
    if (text && files_->RenameNoReplace(dirFd_, TemporaryEnvelopeName(p.number), EnvelopeName(p.number))) continue;
    if (ok) failed = dir_ + (text ? EnvelopeName(p.number) : TextName(p.number));
    ok = false;
    unpublished.push_back(p.number);
    if (text) files_->Remove(dirFd_, TextName(p.number));
    RemovePair(p);
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
  for (Pair& p : kept_) {
    ClosePair(p);
    RemovePair(p);
  }
  kept_.clear();
}
