// TSaslLogin: one SASL login over a pass's connection, SMTP AUTH (RFC 4954)
// or POP3 AUTH (RFC 5034), with PLAIN, LOGIN (SMTP only), XOAUTH2 or
// OAUTHBEARER (RFC 7628). The initial response goes on the AUTH line only
// when the whole line fits the protocol's limit (SMTP 512 octets, POP3 255),
// otherwise on a line of its own after the server's empty challenge. A
// server that answers a token with an error challenge (base64 JSON) gets the
// answer its mechanism asks for (XOAUTH2: an empty line; OAUTHBEARER:
// "AQ=="); the status and reason in that JSON are logged; then the final
// reply is read. Secrets go out through SendSecretCommand and challenges are
// read through ReadChallenge, so neither shows or is traced.
//
// Error convention: Run reports nothing itself beyond the server's error
// challenge; it returns the final reply for the session to judge.
#pragma once

#include <cstdint>
#include <string>

#include "config/configfile.h"

class TPassHost;

enum class TSaslProtocol { Smtp, Pop3 };

// The final reply of a login, for the session to judge.
struct TSaslReply {
  uint16_t code = 0;  // SMTP: its code (0: none came)
  std::string line;   // POP3: the line ("" when none came)
};

// What the server said in an error challenge ("status 401, reason ..."):
// untrusted bytes, base64 of a JSON object. "" when it is not one.
std::string DescribeErrorChallenge(const std::string& base64);

class TSaslLogin {
 public:
  TSaslLogin(TPassHost& host, TSaslProtocol protocol) : host_(host), protocol_(protocol) {}

  // Logs in by `mech` as `user` with `secret` (a password, or an access
  // token for XOAUTH2 and OAUTHBEARER). `server` and `port`: the server as
  // connected to, which OAUTHBEARER names.
  TSaslReply Run(TAuthMech mech, const std::string& user, const std::string& secret, const std::string& server,
                 uint16_t port);

 private:
  // A reply line read as a possible challenge; false when none came.
  bool ReadLine(std::string& line);
  bool IsChallenge(const std::string& line) const;
  // The final reply, `first` being its first line (SMTP: the rest of a
  // multi-line reply is read).
  TSaslReply Final(const std::string& first);

  TPassHost& host_;
  TSaslProtocol protocol_;
};
