// Placeholder: the SMTP send pass lands with the mail-out work.
#include "app/mainunit.h"
#include "config/textutil.h"

void TMain::SendMail() {
  if (Busy) return;
  AutoDial();
}

bool TMain::OpenFileRetry(std::FILE*& file, const std::string& name, char mode) {
  return OpenTextRetry(file, name, mode);
}

bool TMain::RemoveFile(const std::string& name) { return std::remove(name.c_str()) == 0; }

void TMain::FreeReadBuffer() { ReadBuffer.reset(); }
