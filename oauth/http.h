// THttpAccess: the one HTTP exchange the program makes, an HTTPS POST of a
// form to an OAuth2 endpoint. The real one goes through Qt Network with the
// system's certificate authorities and TLS_CA_FILE's, the server's name
// checked, redirects not followed, bounded in time and in the bytes of the
// answer; the wait sleeps in the event loop. Tests inject their own.
//
// Error convention: nothing throws; a reply without an HTTP status carries
// the cause in words, naming the endpoint's host.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace oauth {

struct THttpReply {
  int status = 0;     // the HTTP status; 0: no answer (see `error`)
  std::string body;   // untrusted, at most the byte bound
  std::string error;  // "<host>: <cause>" when no answer came
};

using TForm = std::vector<std::pair<std::string, std::string>>;

class THttpAccess {
 public:
  virtual ~THttpAccess() = default;
  // POSTs `form` (application/x-www-form-urlencoded) to the https `url`.
  virtual THttpReply PostForm(const std::string& url, const TForm& form, const std::string& caFile) = 0;
};

inline constexpr std::chrono::seconds kHttpLimit{60};
inline constexpr std::size_t kHttpMaxBytes = 64 * 1024;

// The real access; the bounds may be lowered by tests.
std::shared_ptr<THttpAccess> MakeHttpAccess(std::chrono::milliseconds limit = kHttpLimit,
                                            std::size_t maxBytes = kHttpMaxBytes);

// The host of `url`, for lines that name an endpoint.
std::string HostOf(const std::string& url);

}  // namespace oauth
