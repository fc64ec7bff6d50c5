#include "app/pop3_session.h"

#include <memory>
#include <sys/stat.h>

#include "app/pass_host.h"
#include "app/workfile.h"
#include "config/configfile.h"
#include "config/textutil.h"
#include "net/Sockets.h"
#include "platform/durable.h"

namespace {

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

TPop3Session::TPop3Session(TPassHost& host) : host_(host) {}

void TPop3Session::Run() {
  if (!host_.ReadOK()) {
    host_.ReportError("POP3 server not ready");
    return;
  }
  TConfig& config = host_.PassConfig();
  const plat::DurableDir inbound(config.IN);
  Dialogue();
  // The server deletes the marked messages when it processes QUIT: what
  // was filed must be on stable storage first, and without QUIT nothing
  // is deleted.
  std::string failed;
  if (!inbound.Sync(filed_, failed)) {
    host_.ReportError("Could not write message " + failed);
    return;
  }
  ReadOwedReplies();
  host_.SendCommand("QUIT");
  // Wait for the server to commit the deletions before the close.
  if (host_.PassSocket().State != 3) host_.ReadOK();
}

void TPop3Session::Dialogue() {
  TConfig& config = host_.PassConfig();
  host_.WriteLog("Talking to POP3 (" + config.POP + ")");
  host_.SendCommand("USER " + config.USERNAME);
  if (!host_.ReadOK()) {
    host_.ReportError("Invalid username");
    return;
  }
  host_.ShowCommand("Sending password");
  host_.PassSocket().SetText("PASS " + config.PASSWORD + "\r\n");
  if (!host_.ReadOK()) {
    host_.ReportError("Invalid username/password combination");
    return;
  }
  host_.SendCommand("STAT");
  std::string reply;
  if (!host_.ReadReply(reply, true)) {
    host_.ReportError("POP3 server timedout in response to STAT request");
    return;
  }
  if (reply.compare(0, 3, "+OK") != 0) {
    host_.ReportError("POP3 server responded in error to STAT request");
    return;
  }
  const int32_t count = TextToNum(SplitKeyValue(reply).second);
  host_.WriteLog(NumToText(count, 0) + " messages in the mailbox");
  // After a failed message the rest are left alone.
  for (int32_t n = 1; n <= count && !abort_; ++n) ReceiveOneMessage(n, count);
  host_.ShowPercent(100);
}

void TPop3Session::ReceiveOneMessage(int32_t number, int32_t count) {
  TConfig& config = host_.PassConfig();
  const std::string n = NumToText(number, 0);
  std::string base;
  bool zorvik = false;
  bool failed = true;
  bool created = false;
  // Only a message that could not be read past leaves the dialogue in step
  // with the server; every other failure ends the retrieval.
  bool inStep = false;

  if (!DrawInboundNumber(config.COUNTER, config.IN, base)) {
    host_.ReportError("Could not write message " + base + "TXT");
  } else {
    std::FILE* text = nullptr;
    if (!OpenTextRetry(text, base + "TXT", 'W')) {
      host_.ReportError("Could not write message " + base + "TXT");
    } else {
      created = true;
      auto buffer = std::make_unique_for_overwrite<char[]>(kFileBufferSize);
      std::setvbuf(text, buffer.get(), _IOFBF, kFileBufferSize);
      RequestMessage(number);
      TMessageEnd end = TMessageEnd::Broken;
      if (!host_.ReadOK()) {
        host_.ReportError("Message " + n + " could not be retrieved");
      } else {
        host_.WriteLog("Retrieving message " + n);
        end = ReadMessageLines(number, text, zorvik);
      }
      if (end == TMessageEnd::Complete && number < count) {
        host_.SendCommand("RETR " + NumToText(number + 1, 0));
        owed_.push_back({true, number + 1});
      }
      const bool writeOk = !std::ferror(text);
      const bool closed = std::fclose(text) == 0;
      if (end == TMessageEnd::Complete && !(writeOk && closed)) {
        // A short file must never be filed while its message gets deleted.
        host_.ReportError("Could not write message " + base + "TXT");
      } else {
        failed = end != TMessageEnd::Complete;
        inStep = end == TMessageEnd::Overlong;
      }
    }
  }

  if (failed) {
    if (!inStep) abort_ = true;
    if (created) RemoveWorkFile(base + "TXT");
  } else if (zorvik) {
    gotZorvikMail_ = true;
    std::FILE* envelope = nullptr;
    if (OpenTextRetry(envelope, base + "WRK", 'W') && WriteEnvelope(envelope, config.ROBOT)) {
      host_.SendCommand("DELE " + n);
      owed_.push_back({false, number});
      filed_.push_back(base + "TXT");
      filed_.push_back(base + "WRK");
    } else {
      // The message stays on the server and is fetched again; a torn
      // envelope must not be mistaken for a filed message meanwhile.
      host_.ReportError("Could not write message " + base + "WRK");
      if (envelope) std::remove((base + "WRK").c_str());
      abort_ = true;
    }
  } else {
    if (config.DELETEALL) {
      host_.WriteLog("Message was not for Zorvik (Deleting)");
      host_.SendCommand("DELE " + n);
      owed_.push_back({false, number});
    } else {
      host_.WriteLog("Message was not for Zorvik (Saving)");
    }
    RemoveWorkFile(base + "TXT");
  }

  host_.ShowPercent(static_cast<int>(int64_t{number} * 100 / count));
}

void TPop3Session::RequestMessage(int32_t number) {
  bool sentAhead = false;
  for (const TOwedReply& owed : owed_) sentAhead |= owed.retrieve && owed.number == number;
  if (!sentAhead) {
    host_.SendCommand("RETR " + NumToText(number, 0));
    owed_.push_back({true, number});
  }
  while (!owed_.empty()) {
    const TOwedReply owed = owed_.front();
    owed_.pop_front();
    if (owed.retrieve) return;
    host_.ReadOK();
  }
}

void TPop3Session::ReadOwedReplies() {
  TSockets& sock = host_.PassSocket();
  while (!owed_.empty()) {
    const TOwedReply owed = owed_.front();
    owed_.pop_front();
    if (!host_.ReadOK() || !owed.retrieve) continue;
    std::string line;
    while (sock.State == 1 && (!host_.ReadDataLine(line) || line != ".")) {
    }
  }
}

TPop3Session::TMessageEnd TPop3Session::ReadMessageLines(int32_t number, std::FILE* text, bool& zorvik) {
  TSockets& sock = host_.PassSocket();
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
      host_.PumpEvents();
      spinner = (spinner + 1) % 4;
      host_.ShowCommand(std::string("Receiving message...") + kSpinner[spinner]);
      lines = 0;
    }
    if (!host_.ReadDataLine(line)) {
      if (sock.State != 1) {
        host_.ReportError("Message " + NumToText(number, 0) + " not completed");
        return TMessageEnd::Broken;
      }
      // Still connected: the line did not fit the socket's buffer and its
      // start is lost. Read on to the end line; the message stays on the
      // server and the next one can still be fetched.
      if (!overlong) host_.ReportError("Message " + NumToText(number, 0) + " not completed");
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
