// The SMTP conversation of a send pass over a played server: the greeting,
// HELO or EHLO with its keywords, STARTTLS, AUTH by each mechanism with its
// challenges (a refused token tried once more), the replies (codes and
// continuation lines) and two pairs sent in lock-step or pipelined. Input: a
// byte choosing the pieces, a byte choosing the greeting (HELO; EHLO with
// AUTH; EHLO with STARTTLS and AUTH) and the mechanism, then all the server
// says.
#include <algorithm>
#include <filesystem>

#include "app/smtp_session.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  zvfuzz::StartQt();
  static const zvfuzz::ScratchDir dir;
  const std::string out = dir.ClearWith("out");
  zvfuzz::WriteWhole(out + "TM000001.WRK", "ZV0001\r\nzorvik-office@zorvik\r\nrobot@zorvik\r\n");
  zvfuzz::WriteWhole(out + "TM000001.TXT", "From: a\r\nTo: b\r\nSubject: TRANSPORT\r\n\r\nORDER 1\r\n");
  zvfuzz::WriteWhole(out + "TM000002.WRK", "ZV0002\nx@y\nz@w\n");
  zvfuzz::WriteWhole(out + "TM000002.TXT", "  .dot  \r\n.\r\n" + std::string(450, 'L') + "\r\n");

  TSmtpOptions options;
  if (data[1] % 3 != 0) {
    options.username = "zorvik@provider.example";
    options.password = "secret";
  }
  if (data[1] % 3 == 2) options.tls = TTlsMode::StartTls;
  static constexpr TAuthMech kMechanisms[] = {TAuthMech::Default, TAuthMech::Plain, TAuthMech::Login,
                                              TAuthMech::XOAuth2, TAuthMech::OAuthBearer};
  options.mechanism = kMechanisms[data[1] / 3 % std::size(kMechanisms)];
  options.token = IsTokenMech(options.mechanism);
  options.freshToken = [](std::string& token) { return token = "fresh-token", true; };
  zvfuzz::PlayedHost host(zvfuzz::Bytes(data + 2, size - 2), data[0]);
  TSmtpSession session(host, out, {"TM000001", "TM000002"}, options);
  session.Run();

  // In step: a pair is removed only after a reply to the end of a text
  // accepted it that was read once that end had gone out.
  const auto files = std::distance(std::filesystem::directory_iterator(out), {});
  zvfuzz::Require((4 - files) / 2 <= host.endsAccepted, "a pair is removed only after its text's end went out and "
                                                        "a reply read after it accepted the text");
  return 0;
}
