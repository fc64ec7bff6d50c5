// The configuration file's reader and writer. Input: a ZVMAIL32.INI. What
// the reader makes of it, once written, reads back as the same record: the
// writer's file is its own fixed point and holds no line the reader does not
// know.
#include "config/configfile.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const zvfuzz::ScratchDir dir;
  dir.Clear();
  const std::string file = dir.path() + kConfigFileName;
  zvfuzz::WriteWhole(file, zvfuzz::Bytes(data, size));

  TConfig read;
  TReadState state;
  ReadConfig(dir.path(), read, state);
  std::string why;
  zvfuzz::Require(WriteConfig(dir.path(), read, &why), "what was read can be written");
  const std::string written = zvfuzz::ReadWhole(file);

  TConfig again;
  TReadState stateAgain;
  ReadConfig(dir.path(), again, stateAgain);
  zvfuzz::Require(stateAgain.UnknownKeys.empty(), "the reader knows every line the writer writes");
  zvfuzz::Require(WriteConfig(dir.path(), again, &why), "what was read back can be written");
  zvfuzz::Require(zvfuzz::ReadWhole(file) == written, "the written record reads back as it was");
  return 0;
}
