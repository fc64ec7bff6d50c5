// TSmtpSession: the SMTP conversation of one send pass, from the server's
// greeting to QUIT, over a connection its host has opened. It submits the
// outbound pairs it is given in order and removes each pair the server
// accepted (envelope first, then text); a pair that fails stays for the next
// pass. The host owns the socket, the controls and the log.
//
// Error convention: every failure is reported through the host's
// ReportError and ends the message or the conversation; nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/workfile.h"

class TPassHost;

class TSmtpSession {
 public:
  // `dir`: the outbound directory with its trailing "/"; `bases`: the base
  // names of the pairs to send, in order.
  TSmtpSession(TPassHost& host, std::string dir, std::vector<std::string> bases);

  // Runs the conversation up to QUIT (not sent when the greeting was
  // refused or the connection broke). The host closes the connection.
  void Run();

 private:
  // One pair: envelope, MAIL FROM, RCPT TO, DATA, body, ".", removal.
  void SendPair(std::size_t position);
  // The text of the open work file as the DATA section: blanks trimmed, a
  // leading dot doubled, every line ended by CR LF.
  void SendBody();
  // The reply code is the one expected: a first digit (2) or first two
  // digits (25, 35). A 4xx reply notes a temporary failure of the run.
  bool Accepted(uint16_t code, int expected);

  TPassHost& host_;
  std::string dir_;
  std::vector<std::string> bases_;
  TWorkFileReader reader_;
  // The text could not be read whole: the conversation ends without its
  // terminating dot, so the server discards the unfinished message.
  bool readFailed_ = false;
  int spinner_ = 0;
};
