// TPop3Session: the POP3 conversation of one receive pass, from the
// server's greeting to QUIT, over a connection its host has opened. It logs
// in, retrieves every message, files each Zorvik message in the incoming
// directory as a numbered ".TXT"/".WRK" pair (advancing COUNTER in the
// host's configuration), and deletes from the server what it filed (and,
// with DELETEALL, what was not for Zorvik). The host owns the socket, the
// controls and the log.
//
// Message lines come from the server and are untrusted: they are streamed to
// the ".TXT" file through a fixed buffer (a message is never held whole), one
// line at a time, and only lines of the header part are classified.
//
// Nothing the server deletes is lost: DELE only marks a message, the server
// removes it when it processes QUIT, and QUIT goes out only after every pair
// filed in this pass and the incoming directory have reached stable storage.
//
// Error convention: every failure is reported through the host's
// ReportError; after a failed message the rest are left on the server.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

class TPassHost;

class TPop3Session {
 public:
  explicit TPop3Session(TPassHost& host);

  // Runs the conversation up to QUIT (not sent when the greeting was
  // refused, the connection broke or the filed files could not be made
  // durable). The host closes the connection.
  void Run();
  // A completely retrieved message of this pass was a Zorvik message.
  bool GotZorvikMail() const { return gotZorvikMail_; }

 private:
  // How the lines of a retrieved message ended: with the end line; with a
  // failed read (the connection is gone); or with a line longer than the
  // socket's buffer, after which the rest of the message was read and
  // dropped so the dialogue can go on.
  enum class TMessageEnd { Complete, Broken, Overlong };

  // Logs in, asks STAT and runs every message. When it ends early, Run
  // still brings what was filed to stable storage and sends QUIT.
  void Dialogue();
  // One message: draws its number, retrieves it into the incoming
  // directory, then files it (".TXT", then ".WRK", then DELE) or discards it.
  // Sets abort_ when the message failed.
  void ReceiveOneMessage(int32_t number, int32_t count);
  // The line loop of one retrieved message, up to its end line, written to
  // `text`. Sets `zorvik` when a header line is one of the Zorvik subjects.
  TMessageEnd ReadMessageLines(int32_t number, std::FILE* text, bool& zorvik);
  // Sends RETR `number` unless it was sent ahead, then reads the owed
  // replies before its own; RETR's own reply is left for the caller.
  void RequestMessage(int32_t number);
  // Reads every owed reply; a message asked for ahead and no longer wanted
  // is read past to its end line.
  void ReadOwedReplies();

  // Commands whose replies are not read yet, in the order they were sent:
  // DELEs (their replies are not examined, so they are read once the next
  // command has gone out) and at most one RETR sent ahead as soon as the
  // message before it was read whole, so the server prepares the next
  // message while this one is being filed.
  struct TOwedReply {
    bool retrieve;
    int32_t number;
  };

  TPassHost& host_;
  std::deque<TOwedReply> owed_;
  std::vector<std::string> filed_;  // paths of the pairs filed in this pass
  bool abort_ = false;
  bool gotZorvikMail_ = false;
};
