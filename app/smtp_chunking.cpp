// The send pass's transactions sent ahead, for a server that offers CHUNKING
// and PIPELINING after EHLO. Each pair goes as MAIL FROM, RCPT TO and its
// text in BDAT chunks, the last one "BDAT <n> LAST"; the chunks hold exactly
// the bytes the DATA section would, without the dot-stuffing and the final
// dot. Each transaction after the first begins with RSET, so a refused one
// leaves nothing behind for the next. Replies are read in the order the
// commands went out and judged as in lock-step.
#include <string>
#include <vector>

#include "app/pass_host.h"
#include "app/smtp_session.h"
#include "net/Sockets.h"

void TSmtpSession::RunChunked() {
  TSockets& sock = host_.PassSocket();
  const std::size_t count = bases_.size();
  std::size_t next = 1;
  for (;;) {
    while (next <= count && inFlight_.size() < kMaxPairsInFlight && bytesInFlight_ < kMaxBytesInFlight &&
           !readFailed_ && !host_.Stopping() && sock.State == 1) {
      QueueTransaction(next++);
    }
    host_.FlushCommands();
    if (owedReplies_.empty()) break;
    host_.ShowCommand("Waiting for acknowledgement");
    // The oldest pair's replies make room for the next transaction.
    const std::size_t pairs = inFlight_.size();
    while (!owedReplies_.empty() && inFlight_.size() == pairs) ReadOwedReply();
  }
  DrainOwed();
}

void TSmtpSession::QueueTransaction(std::size_t position) {
  TSockets& sock = host_.PassSocket();
  TOutbound pair = Prepare(position);
  if (!pair.Ready()) {
    host_.ReportError(pair.error);
    return;
  }
  if (transactionSent_) {
    host_.QueueCommand("RSET");
    owedReplies_.push_back({TOwedKind::Reset, 0});
  }
  transactionSent_ = true;
  host_.QueueCommand("MAIL FROM:<" + pair.sender + ">");
  owedReplies_.push_back({TOwedKind::Mail, 0});
  host_.QueueCommand("RCPT TO:<" + pair.recipient + ">");
  owedReplies_.push_back({TOwedKind::Recipient, 0});
  reader_.Load(pair.text);
  spinnerLines_ = 0;
  inFlight_.push_back({std::move(pair), position});
  std::string chunk;
  for (;;) {
    chunk.clear();
    AppendText(chunk, false);
    if (reader_.Failed()) {
      // The text could not be read whole: no last chunk goes out, and the
      // conversation ends without QUIT once the pairs before have their
      // replies, so the server discards the unfinished message.
      readFailed_ = true;
      host_.ReportError("Could not read outbound message file");
      return;
    }
    if (sock.State != 1) return;
    // Bytes awaiting replies stay within the bound, whatever the text's size.
    while (bytesInFlight_ > 0 && bytesInFlight_ + chunk.size() > kMaxBytesInFlight && !owedReplies_.empty()) {
      host_.FlushCommands();
      ReadOwedReply();
    }
    if (inFlight_.back().failed) {
      // Refused while its text was still going out: no further chunk. The
      // replies owed so far settle it, and the next transaction's RSET
      // clears what the server holds.
      DrainOwed();
      return;
    }
    const bool last = reader_.End();
    host_.QueueCommand("BDAT " + std::to_string(chunk.size()) + (last ? " LAST" : ""));
    host_.OutputQueue() += chunk;
    owedReplies_.push_back({last ? TOwedKind::LastChunk : TOwedKind::Chunk, chunk.size()});
    bytesInFlight_ += chunk.size();
    if (last) return;
    host_.FlushCommands();
  }
}

void TSmtpSession::ReadOwedReply() {
  const TOwedReply owed = owedReplies_.front();
  owedReplies_.pop_front();
  std::vector<std::string> lines;
  // The reply to a text's last chunk may take as long as the one to ".".
  const uint16_t code =
      owed.kind == TOwedKind::LastChunk ? host_.ReadDataEndCode(lines) : host_.ReadCodeLines(lines);
  if (owed.kind == TOwedKind::Reset) return;
  bytesInFlight_ -= owed.bytes;
  TInFlight& oldest = inFlight_.front();
  if (!oldest.failed) {
    const char* refusal = nullptr;
    switch (owed.kind) {
      case TOwedKind::Mail:
        if (!Accepted(code, 2)) refusal = "SMTP host would not accept sender name";
        break;
      case TOwedKind::Recipient:
        if (!Accepted(code, 25)) refusal = "SMTP host would not accept mail for recipient";
        break;
      default:
        if (!Accepted(code, 2)) refusal = "SMTP host failed end of data transfer";
        break;
    }
    if (refusal != nullptr) {
      oldest.failed = true;
      host_.ReportError(refusal);
    }
  }
  if (owed.kind == TOwedKind::LastChunk) {
    oldest.pair.reply = lines.empty() ? std::to_string(code) : lines.back();
    host_.ShowPercent(static_cast<int>(oldest.position * 100 / bases_.size()));
    Done(oldest.pair, !oldest.failed);
    inFlight_.pop_front();
  }
}

void TSmtpSession::DrainOwed() {
  host_.FlushCommands();
  while (!owedReplies_.empty()) ReadOwedReply();
  // Pairs whose last chunk never went out, or whose reply never came.
  for (TInFlight& left : inFlight_) Done(left.pair, false);
  inFlight_.clear();
}
