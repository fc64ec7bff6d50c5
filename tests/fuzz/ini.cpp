// The configuration file's reader and writer. Input: a ZVMAIL32.INI. What
// the reader makes of it, once written, reads back as the same record; the
// rewrite keeps every line that sets nothing, and a second rewrite changes
// nothing. A file that is not text is never rewritten.
#include "config/configfile.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const zvfuzz::ScratchDir dir;
  dir.Clear();
  const std::string file = dir.path() + kConfigFileName;
  const std::string input(zvfuzz::Bytes(data, size));
  zvfuzz::WriteWhole(file, input);

  TConfig read;
  TReadState state;
  ReadConfig(dir.path(), read, state);
  std::string why;
  if (state.ConfigUnreadable) {
    zvfuzz::Require(!WriteConfig(dir.path(), read, &why), "a file that cannot be read is never rewritten");
    zvfuzz::Require(zvfuzz::ReadWhole(file) == input, "and stays as it was");
    return 0;
  }
  zvfuzz::Require(WriteConfig(dir.path(), read, &why), "what was read can be written");
  const std::string written = zvfuzz::ReadWhole(file);

  TConfig again;
  TReadState stateAgain;
  ReadConfig(dir.path(), again, stateAgain);
  const auto record = [](const TConfig& cfg) { return MergeConfigText({}, nullptr, cfg, "/"); };
  zvfuzz::Require(record(again) == record(read), "the written record reads back as it was");
  zvfuzz::Require(stateAgain.UnknownKeys == state.UnknownKeys, "the lines that set nothing are all kept");
  zvfuzz::Require(WriteConfig(dir.path(), again, &why), "what was read back can be written");
  zvfuzz::Require(zvfuzz::ReadWhole(file) == written, "a second rewrite changes nothing");
  return 0;
}
