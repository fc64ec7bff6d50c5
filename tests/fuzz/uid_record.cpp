// The id record ZVMAIL32.UID, read back as untrusted input. Input: a line
// naming the mailbox's user, then the file. Whatever is read of it, and what
// is recorded for that mailbox, is written so that it reads back the same.
#include "app/uid_state.h"
#include "fuzz/harness.h"

namespace {

// Loads the record, records an id for the mailbox and saves it; the bytes
// saved.
std::string LoadAndSave(TUidState& ids, const std::string& path, const std::string& user) {
  std::string why;
  zvfuzz::Require(ids.Load(why), "a record that is there can be read");
  ids.Select("127.0.0.1:110", user);
  if (ids.Find("zvfuzz-mark") == TUidState::Kind::None) ids.SetFiled("zvfuzz-mark", 7);
  zvfuzz::Require(ids.Save(false, why), "the record can be saved");
  return zvfuzz::ReadWhole(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const zvfuzz::ScratchDir dir;
  dir.Clear();
  const std::string_view input = zvfuzz::Bytes(data, size);
  const std::size_t lf = std::min(input.find('\n'), input.size());
  const std::string user(input.substr(0, std::min<std::size_t>(lf, 255)));
  const std::string path = dir.path() + "ZVMAIL32.UID";
  zvfuzz::WriteWhole(path, input.substr(std::min(lf + 1, input.size())));
  TUidState ids(path);
  const std::string saved = LoadAndSave(ids, path, user);
  zvfuzz::Require(LoadAndSave(ids, path, user) == saved, "the record saved reads back as it was");
  uint16_t number = 0;
  zvfuzz::Require(ids.Find("zvfuzz-mark", &number) == TUidState::Kind::Filed && number == 7,
                  "an id recorded for the mailbox reads back");
  return 0;
}
