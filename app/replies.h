// The reading of one SMTP reply: its lines, each "<code>-<text>" but the
// last "<code> <text>", from the socket through the host's line reader.
// Untrusted input: the server's lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Lines of a multi-line reply kept for the caller (EHLO's keywords).
inline constexpr std::size_t kMaxReplyLines = 100;

// Reads lines through `readLine` (false: none came) up to the last line of
// the reply, while `goOn` allows another (the connection holds, the reply's
// time is not up). Returns the code of the last line read, 0 when none came
// or it had none; `lines` gets the reply's lines with a code, at most
// kMaxReplyLines.
uint16_t ReadSmtpReply(const std::function<bool(std::string&)>& readLine, const std::function<bool()>& goOn,
                       std::vector<std::string>& lines);
