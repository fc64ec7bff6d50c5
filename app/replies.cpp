#include "app/replies.h"

#include "config/textutil.h"

uint16_t ReadSmtpReply(const std::function<bool(std::string&)>& readLine, const std::function<bool()>& goOn,
                       std::vector<std::string>& lines) {
  lines.clear();
  uint16_t code = 0;
  for (;;) {
    std::string line;
    code = readLine(line) ? static_cast<uint16_t>(TextToNum(line)) : 0;
    if (code != 0 && lines.size() < kMaxReplyLines) lines.push_back(line);
    const bool continuation = code != 0 && line.size() >= 4 && line[3] == '-';
    if (!(continuation && goOn())) break;
  }
  return code;
}
