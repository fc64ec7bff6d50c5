// The SMTP send pass: submits every outbound work-file pair of the OUT
// directory and removes the pairs the server accepted.
//
// Work files are written by the local producer; their lines are split on
// CR/LF here, so no line read from them can carry a line break onto the wire.
#include <QLabel>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/mainunit.h"
#include "config/textutil.h"
#include "platform/msgwindow.h"

namespace {

constexpr int kOpenAttempts = 21;
// Body bytes are handed to the socket in sends of about this size.
constexpr std::size_t kSendChunk = 64 * 1024;
// A line is cut when a character arrives after this many.
constexpr std::size_t kLineMax = 201;
constexpr int kSpinnerEvery = 100;

bool IsOutboundName(const std::string& name) {
  const std::string upper = UpperText(name);
  return upper.size() >= 6 && upper.compare(0, 2, "TM") == 0 && upper.compare(upper.size() - 4, 4, ".WRK") == 0;
}

// The outbound envelope names of `dir`, in name order.
std::vector<std::string> ListOutbound(const std::string& dir) {
  std::vector<std::string> names;
  if (dir.empty()) return names;
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (IsOutboundName(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return UpperText(a) < UpperText(b); });
  return names;
}

// dir + name when that file exists; otherwise the entry of `dir` whose name
// equals `name` in any letter case; otherwise dir + name.
std::string ResolveAnyCase(const std::string& dir, const std::string& name) {
  const std::string exact = dir + name;
  std::error_code ec;
  if (std::filesystem::exists(exact, ec)) return exact;
  const std::string wanted = UpperText(name);
  std::filesystem::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (UpperText(entry) == wanted) return dir + entry;
  }
  return exact;
}

std::string BaseName(const std::string& fileName) {
  return fileName.substr(0, std::min(fileName.find('.'), std::size_t{8}));
}

}  // namespace

void TMain::SendMail() {
  if (Busy) return;
  AutoDial();
  Busy = true;
  LastShownState = -1;

  std::string dir = Config.OUT;
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
  const std::vector<std::string> found = ListOutbound(dir);
  OutboundList.clear();
  for (std::size_t i = 0; i < found.size() && i < kOutboundMax; ++i) OutboundList.push_back(BaseName(found[i]));
  if (found.empty()) {
    ReportError("No messages to send");
    Busy = false;
    return;
  }
  // More than the list holds: the rest waits for the next pass.
  const std::size_t count = OutboundList.size();

  WriteLog("There are " + std::to_string(found.size()) + " messages to send");
  SetPercent(0);
  SetCaption(lbAction, "Sending");

  const auto [host, port] = ServerAddress(Config.SMTP, 25);
  OpenConnection(host, port);
  WaitForState(1);
  if (LastSockError > 0) {
    Busy = false;
    return;
  }
  SetIconVisible(icnUpOff, false);
  ReadBuffer = std::make_unique<char[]>(kReadBufferSize);
  PendingOutput.clear();

  bool quit = false;
  if (ReadCode() / 100 != 2) {
    ReportError("SMTP host was not ready for mail");
  } else {
    quit = true;
    WriteLog("Talking to SMTP (" + Config.SMTP + ")");
    SendCommand("HELO [" + Sock.LocalAddress() + "]");
    if (ReadCode() / 100 != 2) {
      ReportError("SMTP host did not accept our handshake");
    } else {
      int spinner = 0;
      for (std::size_t p = 1; p <= count && !ReadFailed; ++p) {
        const std::string& base = OutboundList[p - 1];
        bool success = false;
        WriteLog("Sending " + base);
        std::FILE* envelope = nullptr;
        std::FILE* text = nullptr;
        const std::string wrkName = ResolveAnyCase(dir, base + ".WRK");
        std::string sender, recipient;
        bool envelopeRead = false;
        if (OpenFileRetry(envelope, wrkName, 'R')) {
          LoadFile(envelope);
          ReadBufferLine();
          sender = ReadBufferLine();
          recipient = ReadBufferLine();
          std::fclose(envelope);
          ReadSource = nullptr;
          envelopeRead = !ReadFailed;
          ReadFailed = false;
        }
        const std::string txtName = ResolveAnyCase(dir, base + ".TXT");
        if (!envelopeRead) {
          ReportError("Could not read outbound message file");
        } else if (!OpenFileRetry(text, txtName, 'R')) {
          ReportError("Could not open data file for sending");
        } else {
          SendCommand("MAIL FROM:<" + sender + ">");
          if (ReadCode() / 100 != 2) {
            ReportError("SMTP host would not accept sender name");
          } else {
            SendCommand("RCPT TO:<" + recipient + ">");
            if (ReadCode() / 10 != 25) {
              ReportError("SMTP host would not accept mail for recipient");
            } else {
              SendCommand("DATA");
              if (ReadCode() / 10 != 35) {
                ReportError("SMTP host was not ready for data");
              } else {
                LoadFile(text);
                int lines = 0;
                static const char kSpin[4] = {'/', '-', '\\', '|'};
                while (!ReadEnd && Sock.State != 3) {
                  if (++lines > kSpinnerEvery) {
                    plat::PumpOnce();
                    spinner = spinner % 4 + 1;
                    SetCaption(lbCommand, std::string("Sending message...") + kSpin[spinner - 1]);
                    lines = 0;
                  }
                  std::string line = TrimSpaces(ReadBufferLine());
                  if (!line.empty() && line[0] == '.') PendingOutput += '.';
                  PendingOutput += line;
                  PendingOutput += "\r\n";
                  if (PendingOutput.size() >= kSendChunk) {
                    Sock.SetText(PendingOutput);
                    PendingOutput.clear();
                  }
                }
                if (ReadFailed) {
                  // The text could not be read whole: the pass ends without
                  // the terminating dot, and its abortive close makes the
                  // server discard the unfinished message.
                  PendingOutput.clear();
                  ReportError("Could not read outbound message file");
                } else {
                  SendCommand(".");
                  SetCaption(lbCommand, "Waiting for acknowledgement");
                  SetPercent(static_cast<int>(p * 100 / count));
                  if (ReadCode() / 100 == 2) {
                    success = true;
                  } else {
                    ReportError("SMTP host failed end of data transfer");
                  }
                }
              }
            }
          }
          std::fclose(text);
          if (success) {
            RemoveFile(wrkName);
            RemoveFile(txtName);
          }
        }
        ReadSource = nullptr;
        if (p != count && !ReadFailed) {
          SendCommand("RSET");
          ReadCode();
        }
      }
    }
  }
  if (quit && !ReadFailed) {
    SetPercent(100);
    SendCommand("QUIT");
  }
  PendingOutput.clear();
  ReadFailed = false;
  Sock.Close();
  WaitForState(0);
  SetIconVisible(icnUpOff, true);
  FreeReadBuffer();
  SetCaption(lbResponse, "None");
  SetCaption(lbCommand, "Waiting");
  SetCaption(lbAction, "Idle");
  SetPercent(0);
  Busy = false;
}

void TMain::LoadFile(std::FILE* file) {
  ReadSource = file;
  ReadPos = 0;
  ReadLoaded = 0;
  ReadEnd = false;
  ReadFailed = false;
  ReadMore = file != nullptr;
  if (ReadSource && ReadBuffer) {
    const std::size_t n = std::fread(ReadBuffer.get(), 1, kReadBufferSize, ReadSource);
    ReadLoaded = static_cast<uint16_t>(n);
    ReadMore = n == kReadBufferSize;
    if (std::ferror(ReadSource)) ReadFailed = true;
  } else {
    ReadMore = false;
  }
}

std::string TMain::ReadBufferLine() {
  std::string line;
  // Loads the next chunk of the file behind the buffer; false at its end.
  auto nextChunk = [this] {
    if (!ReadMore || ReadFailed) return false;
    const std::size_t n = std::fread(ReadBuffer.get(), 1, kReadBufferSize, ReadSource);
    if (std::ferror(ReadSource)) ReadFailed = true;
    ReadLoaded = static_cast<uint16_t>(n);
    ReadMore = n == kReadBufferSize && !ReadFailed;
    ReadPos = 0;
    return n > 0 && !ReadFailed;
  };
  for (;;) {
    if (ReadEnd) return line;
    ++ReadPos;
    if (ReadPos > ReadLoaded) {
      if (!nextChunk()) {
        ReadPos = ReadLoaded;
        ReadEnd = true;
        return line;
      }
      ReadPos = 1;
    }
    const unsigned char c = static_cast<unsigned char>(ReadBuffer[ReadPos - 1]);
    if (c == 13) {
      if (ReadPos == ReadLoaded && !nextChunk()) return line;
      if (ReadPos < ReadLoaded && ReadBuffer[ReadPos] == 10) ++ReadPos;
      return line;
    }
    if (c == 10) return line;
    if (c == 0 || c == 26) {
      ReadEnd = true;
      return line;
    }
    if (line.size() >= kLineMax) {
      --ReadPos;  // this character starts the next line
      return line;
    }
    line += static_cast<char>(c);
  }
}

bool TMain::OpenFileRetry(std::FILE*& file, const std::string& name, char mode) {
  file = nullptr;
  if (name.empty()) return false;
  // Read and write access, as the producer's own opens expect; other
  // programs may keep the file open meanwhile.
  const char* how = (mode == 'W' || mode == 'w') ? "w+b" : "r+b";
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    file = std::fopen(name.c_str(), how);
    if (file) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
  }
  return false;
}

bool TMain::RemoveFile(const std::string& name) {
  std::FILE* f = nullptr;
  if (!OpenTextRetry(f, name, 'R')) return false;
  std::fclose(f);
  return std::remove(name.c_str()) == 0;
}

void TMain::FreeReadBuffer() {
  ReadBuffer.reset();
  ReadSource = nullptr;
}
