// The receive pass: fetches the POP3 mailbox and files every Zorvik message
// in the incoming directory as a numbered ".TXT"/".WRK" pair.
//
// Message lines come from the server and are untrusted: they are streamed to
// the ".TXT" file through a fixed buffer (a message is never held whole), one
// line at a time, and only lines of the header part are classified.
//
// Nothing the server deletes is lost: DELE only marks a message, the server
// removes it when it processes QUIT, and QUIT goes out only after every pair
// filed in this pass and the incoming directory have reached stable storage.
// Files are therefore written through a large stdio buffer and flushed once,
// when they are closed, instead of line by line.
#include <QLabel>
#include <memory>
#include <sys/stat.h>

#include "app/icons.h"
#include "app/mainunit.h"
#include "config/textutil.h"
#include "platform/durable.h"
#include "platform/msgwindow.h"

namespace {

constexpr uint16_t kPop3Port = 110;
constexpr const char* kEnvelopeTag = "zvmailer_windows";
// The domain word of the inbound envelopes; the Zorvik application expects it.
constexpr const char* kEnvelopeDomain = "zorvik";
constexpr std::size_t kFileBufferSize = 64 * 1024;
constexpr int kLinesPerPump = 100;
constexpr char kSpinner[4] = {'/', '-', '\\', '|'};
// Every value of the 16-bit COUNTER, so the free-number search ends.
constexpr int32_t kFileNumbers = 65536;

constexpr int kFromSeen = 1, kToSeen = 2, kSubjectSeen = 4, kAllSeen = 7;

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool IsZorvikSubject(const std::string& upper) {
  return upper == "SUBJECT: TRANSPORT" || upper == "SUBJECT: RECEIPT" || upper == "SUBJECT: ZORVIK TRANSPORT" ||
         upper == "SUBJECT: ZORVIK RECEIPT";
}

// Any directory entry counts, a dangling link included, so that creating the
// file can never write through a link someone left there.
bool EntryExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string InboundBase(const std::string& dir, uint16_t number) { return dir + NumToText(number, 8) + "."; }

// Advances `counter` (wrapping past 65535) to the next number whose ".TXT"
// file does not exist and sets `base`. False when every number is taken;
// `base` then names the last number tried.
bool DrawInboundNumber(uint16_t& counter, const std::string& dir, std::string& base) {
  for (int32_t tried = 0; tried < kFileNumbers; ++tried) {
    ++counter;
    base = InboundBase(dir, counter);
    if (!EntryExists(base + "TXT")) return true;
  }
  return false;
}

// Writes and closes the envelope; true when every byte reached the file.
bool WriteEnvelope(std::FILE* file, const std::string& robot) {
  const std::string address = robot + "@" + kEnvelopeDomain + "\n";
  const std::string text = std::string(kEnvelopeTag) + "\n" + address + address;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

}  // namespace

void TMain::ReceiveMail() {
  if (Busy) return;
  AutoDial();
  GotZorvikMail = false;
  Busy = true;
  LastShownState = -1;
  SetPercent(0);
  SetCaption(lbAction, "Receiving");
  // An earlier run may have left the socket in the error state; start afresh
  // without the close OpenConnection would make.
  Sock.State = 0;
  if (Config.DEBUG) WriteLog("DEBUG:Opening POP3 connection");
  const auto [host, port] = ServerAddress(Config.POP, kPop3Port);
  OpenConnection(host, port);
  WaitForState(1);
  if (LastSockError > 0) {
    Busy = false;
    return;
  }
  SetIconVisible(icnDownOff, false);

  if (!ReadOK()) {
    ReportError("POP3 server not ready");
  } else {
    std::vector<std::string> filed;
    OwedReplies.clear();
    const plat::DurableDir inbound(Config.IN);
    [&] {
      WriteLog("Talking to POP3 (" + Config.POP + ")");
      SendCommand("USER " + Config.USERNAME);
      if (!ReadOK()) {
        ReportError("Invalid username");
        return;
      }
      SetCaption(lbCommand, "Sending password");
      Sock.SetText("PASS " + Config.PASSWORD + "\r\n");
      if (!ReadOK()) {
        ReportError("Invalid username/password combination");
        return;
      }
      SendCommand("STAT");
      std::string reply;
      if (!ReadReply(reply, true)) {
        ReportError("POP3 server timedout in response to STAT request");
        return;
      }
      if (reply.compare(0, 3, "+OK") != 0) {
        ReportError("POP3 server responded in error to STAT request");
        return;
      }
      const int32_t count = TextToNum(SplitKeyValue(reply).second);
      WriteLog(NumToText(count, 0) + " messages in the mailbox");
      bool abort = false;
      // After a failed message the rest are left alone.
      for (int32_t n = 1; n <= count && !abort; ++n) ReceiveOneMessage(n, count, abort, filed);
      SetPercent(100);
    }();

    // The server deletes the marked messages when it processes QUIT: what
    // was filed must be on stable storage first, and without QUIT nothing
    // is deleted.
    std::string failed;
    if (!inbound.Sync(filed, failed)) {
      ReportError("Could not write message " + failed);
    } else {
      ReadOwedReplies();
      SendCommand("QUIT");
      // Wait for the server to commit the deletions before the close.
      if (Sock.State != 3) ReadOK();
    }
  }

  Sock.Close();
  WaitForState(0);
  SetIconVisible(icnDownOff, true);
  SetCaption(lbResponse, "None");
  SetCaption(lbCommand, "Waiting");
  SetCaption(lbAction, "Idle");
  SetPercent(0);
  Busy = false;
}

void TMain::ReceiveOneMessage(int32_t number, int32_t count, bool& abort, std::vector<std::string>& filed) {
  const std::string n = NumToText(number, 0);
  std::string base;
  bool zorvik = false;
  bool failed = true;
  bool created = false;
  // Only a message that could not be read past leaves the dialogue in step
  // with the server; every other failure ends the retrieval.
  bool inStep = false;

  if (!DrawInboundNumber(Config.COUNTER, Config.IN, base)) {
    ReportError("Could not write message " + base + "TXT");
  } else {
    std::FILE* text = nullptr;
    if (!OpenTextRetry(text, base + "TXT", 'W')) {
      ReportError("Could not write message " + base + "TXT");
    } else {
      created = true;
      auto buffer = std::make_unique_for_overwrite<char[]>(kFileBufferSize);
      std::setvbuf(text, buffer.get(), _IOFBF, kFileBufferSize);
      RequestMessage(number);
      TMessageEnd end = TMessageEnd::Broken;
      if (!ReadOK()) {
        ReportError("Message " + n + " could not be retrieved");
      } else {
        WriteLog("Retrieving message " + n);
        end = ReadMessageLines(number, text, zorvik);
      }
      if (end == TMessageEnd::Complete && number < count) {
        SendCommand("RETR " + NumToText(number + 1, 0));
        OwedReplies.push_back({true, number + 1});
      }
      const bool writeOk = !std::ferror(text);
      const bool closed = std::fclose(text) == 0;
      if (end == TMessageEnd::Complete && !(writeOk && closed)) {
        // A short file must never be filed while its message gets deleted.
        ReportError("Could not write message " + base + "TXT");
      } else {
        failed = end != TMessageEnd::Complete;
        inStep = end == TMessageEnd::Overlong;
      }
    }
  }

  if (failed) {
    if (!inStep) abort = true;
    if (created) RemoveFile(base + "TXT");
  } else if (zorvik) {
    GotZorvikMail = true;
    std::FILE* envelope = nullptr;
    if (OpenTextRetry(envelope, base + "WRK", 'W') && WriteEnvelope(envelope, Config.ROBOT)) {
      SendCommand("DELE " + n);
      OwedReplies.push_back({false, number});
      filed.push_back(base + "TXT");
      filed.push_back(base + "WRK");
    } else {
      // The message stays on the server and is fetched again; a torn
      // envelope must not be mistaken for a filed message meanwhile.
      ReportError("Could not write message " + base + "WRK");
      if (envelope) std::remove((base + "WRK").c_str());
      abort = true;
    }
  } else {
    if (Config.DELETEALL) {
      WriteLog("Message was not for Zorvik (Deleting)");
      SendCommand("DELE " + n);
      OwedReplies.push_back({false, number});
    } else {
      WriteLog("Message was not for Zorvik (Saving)");
    }
    RemoveFile(base + "TXT");
  }

  SetPercent(static_cast<int>(int64_t{number} * 100 / count));
}

void TMain::RequestMessage(int32_t number) {
  bool sentAhead = false;
  for (const TOwedReply& owed : OwedReplies) sentAhead |= owed.retrieve && owed.number == number;
  if (!sentAhead) {
    SendCommand("RETR " + NumToText(number, 0));
    OwedReplies.push_back({true, number});
  }
  while (!OwedReplies.empty()) {
    const TOwedReply owed = OwedReplies.front();
    OwedReplies.pop_front();
    if (owed.retrieve) return;
    ReadOK();
  }
}

void TMain::ReadOwedReplies() {
  while (!OwedReplies.empty()) {
    const TOwedReply owed = OwedReplies.front();
    OwedReplies.pop_front();
    if (!ReadOK() || !owed.retrieve) continue;
    std::string line;
    while (Sock.State == 1 && (!ReadMessageLine(line) || line != ".")) {
    }
  }
}

bool TMain::ReadMessageLine(std::string& line) {
  bool read = false;
  if (Sock.State == 3) {
    line.clear();
  } else {
    line = Sock.GetText();
    read = !Sock.NoReply;
  }
  if (Config.DEBUG) WriteLog("DEBUG:R:" + line);
  return read;
}

TMain::TMessageEnd TMain::ReadMessageLines(int32_t number, std::FILE* text, bool& zorvik) {
  int kinds = 0;
  bool headersDone = false;
  int lines = 0;
  int spinner = 0;
  bool overlong = false;
  // True while the next line read is the tail of a line the socket gave up on.
  bool tail = false;
  std::string line;
  for (;;) {
    if (++lines > kLinesPerPump) {
      plat::PumpOnce();
      spinner = (spinner + 1) % 4;
      SetCaption(lbCommand, std::string("Receiving message...") + kSpinner[spinner]);
      lines = 0;
    }
    if (!ReadMessageLine(line)) {
      if (Sock.State != 1) {
        ReportError("Message " + NumToText(number, 0) + " not completed");
        return TMessageEnd::Broken;
      }
      // Still connected: the line did not fit the socket's buffer and its
      // start is lost. Read on to the end line; the message stays on the
      // server and the next one can still be fetched.
      if (!overlong) ReportError("Message " + NumToText(number, 0) + " not completed");
      overlong = true;
      tail = true;
      continue;
    }
    if (tail) {
      tail = false;
      continue;
    }
    // Only a line that is exactly "." ends the message; any other line that
    // begins with "." carries one stuffed dot.
    if (line == ".") return overlong ? TMessageEnd::Overlong : TMessageEnd::Complete;
    if (overlong) continue;
    if (!line.empty() && line[0] == '.') line.erase(0, 1);

    const bool blank = line.find_first_not_of(' ') == std::string::npos;
    if (blank && kinds == kAllSeen) {
      std::fputc('\n', text);
      headersDone = true;
      continue;
    }
    if (!headersDone) {
      const std::string upper = TrimSpaces(UpperText(line));
      if (StartsWith(upper, "FROM:"))
        kinds |= kFromSeen;
      else if (StartsWith(upper, "TO:"))
        kinds |= kToSeen;
      else if (StartsWith(upper, "SUBJECT:"))
        kinds |= kSubjectSeen;
      if (IsZorvikSubject(upper)) zorvik = true;
    }
    if (blank) continue;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), text);
  }
}
