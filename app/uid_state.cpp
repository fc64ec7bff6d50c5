#include "app/uid_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <unistd.h>

#include "app/record_file.h"
#include "config/instance_files.h"
#include "platform/filing.h"

namespace {

constexpr const char* kHeader = "zvmail32 uid state 1";
// Bounds on what is read back: the file is ours, but a damaged or planted
// one must not make the program spend without end.
constexpr std::size_t kMaxFileBytes = 64 * 1024 * 1024;
// Longer than any line Save writes: a mailbox line holds a server and a user
// of at most 255 bytes each, escaped.
constexpr std::size_t kMaxLine = 4096;

}  // namespace

bool TUidState::ValidUid(const std::string& uid) {
  if (uid.empty() || uid.size() > 70) return false;
  for (unsigned char c : uid)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

bool TUidState::Load(std::string& why) {
  mailboxes_.clear();
  begun_.clear();
  selected_ = nullptr;
  changed_ = false;
  std::string text;
  if (!ReadRecordFile(path_, kMaxFileBytes, text, why)) return false;
  std::istringstream in(text);
  Mailbox* box = nullptr;
  for (std::string line; std::getline(in, line);) {
    if (line.size() > kMaxLine) {
      box = nullptr;  // the entries after it belong to a mailbox not read
      continue;
    }
    std::istringstream words(line);
    std::string verb, a, b, c, extra;
    words >> verb >> a >> b >> c >> extra;
    if (!extra.empty()) continue;
    const auto decimal = [](const std::string& text) {
      return !text.empty() && text.size() <= 19 && text.find_first_not_of("0123456789") == std::string::npos;
    };
    const bool numbered = a.size() == 8 && a.find_first_not_of("0123456789") == std::string::npos &&
                          std::strtol(a.c_str(), nullptr, 10) <= 65535;
    const auto number = numbered ? static_cast<uint16_t>(std::strtol(a.c_str(), nullptr, 10)) : uint16_t{0};
    if (verb == "mailbox" && !a.empty()) {  // an empty user escapes to nothing
      box = &mailboxes_[a + " " + b];
    } else if (verb == "begun" && numbered && decimal(b) && c.empty()) {
      begun_[number] = std::strtoull(b.c_str(), nullptr, 10);
    } else if (box != nullptr && verb == "filed" && numbered && ValidUid(b) && c.empty()) {
      (*box)[b] = Entry{Kind::Filed, number, 0};
    } else if (box != nullptr && verb == "left" && a == "other" && ValidUid(b) && c.empty()) {
      (*box)[b] = Entry{Kind::LeftOther, 0, 0};
    } else if (box != nullptr && verb == "left" && a == "large" && ValidUid(b) && (c.empty() || decimal(c))) {
      // The size was not kept by earlier versions: 0, not known.
      (*box)[b] = Entry{Kind::LeftLarge, 0, c.empty() ? 0 : std::strtoull(c.c_str(), nullptr, 10)};
    }
  }
  return true;
}

bool TUidState::Save(bool durable, std::string& why) {
  if (!changed_) return true;
  std::string text = std::string(kHeader) + "\n";
  char number[16];
  for (const auto& [n, inode] : begun_) {
    std::snprintf(number, sizeof number, "%08u", unsigned(n));
    text += std::string("begun ") + number + " " + std::to_string(inode) + "\n";
  }
  for (const auto& [key, box] : mailboxes_) {
    if (box.empty()) continue;
    text += "mailbox " + key + "\n";
    for (const auto& [uid, entry] : box) {
      if (entry.kind == Kind::Filed) {
        std::snprintf(number, sizeof number, "%08u", unsigned(entry.number));
        text += std::string("filed ") + number + " " + uid + "\n";
      } else if (entry.kind == Kind::LeftOther) {
        text += "left other " + uid + "\n";
      } else {
        text += "left large " + uid + (entry.size > 0 ? " " + std::to_string(entry.size) : std::string()) + "\n";
      }
    }
  }
  if (text.size() == std::strlen(kHeader) + 1) {
    // Nothing to keep: no file, as before the first record.
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
      why = path_ + " cannot be removed: " + std::strerror(errno);
      return false;
    }
    changed_ = false;
    return true;
  }
  const std::size_t slash = path_.rfind('/') + 1;
  if (!ReplaceInstanceFile(path_.substr(0, slash), path_.substr(slash), text, 0600, durable, why)) return false;
  changed_ = false;
  return true;
}

void TUidState::Select(const std::string& server, const std::string& user) {
  selected_ = &mailboxes_[EscapeWord(server) + " " + EscapeWord(user)];
}

TUidState::Kind TUidState::Find(const std::string& uid, uint16_t* number) const {
  if (selected_ == nullptr) return Kind::None;
  const auto it = selected_->find(uid);
  if (it == selected_->end()) return Kind::None;
  if (number != nullptr) *number = it->second.number;
  return it->second.kind;
}

void TUidState::SetFiled(const std::string& uid, uint16_t number) {
  if (selected_ == nullptr || !ValidUid(uid)) return;
  (*selected_)[uid] = Entry{Kind::Filed, number, 0};
  changed_ = true;
}

void TUidState::SetLeft(const std::string& uid, Kind kind, uint64_t size) {
  if (selected_ == nullptr || !ValidUid(uid)) return;
  Entry& e = (*selected_)[uid];
  if (e.kind == kind && e.size == size) return;
  e = Entry{kind, 0, size};
  changed_ = true;
}

uint64_t TUidState::LeftSize(const std::string& uid) const {
  if (selected_ == nullptr) return 0;
  const auto it = selected_->find(uid);
  return it != selected_->end() && it->second.kind == Kind::LeftLarge ? it->second.size : 0;
}

void TUidState::Erase(const std::string& uid) {
  if (selected_ != nullptr && selected_->erase(uid) > 0) changed_ = true;
}

void TUidState::KeepOnly(const std::set<std::string>& present) {
  if (selected_ == nullptr) return;
  for (auto it = selected_->begin(); it != selected_->end();) {
    if (present.count(it->first) == 0) {
      it = selected_->erase(it);
      changed_ = true;
    } else {
      ++it;
    }
  }
}

bool TUidState::FiledNumber(uint16_t number) const {
  for (const auto& [key, box] : mailboxes_)
    for (const auto& [uid, entry] : box)
      if (entry.kind == Kind::Filed && entry.number == number) return true;
  return false;
}

void TUidState::SetBegun(uint16_t number, uint64_t inode) {
  begun_[number] = inode;
  changed_ = true;
}

void TUidState::EraseBegun(uint16_t number) {
  if (begun_.erase(number) > 0) changed_ = true;
}

void TUidState::ClearBegun() {
  if (begun_.empty()) return;
  begun_.clear();
  changed_ = true;
}

bool TUidState::Begun(uint16_t number, uint64_t inode) const {
  const auto it = begun_.find(number);
  return it != begun_.end() && it->second == inode;
}
