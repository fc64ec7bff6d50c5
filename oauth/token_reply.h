// The JSON answers of an OAuth2 token endpoint (RFC 6749 sections 5.1 and
// 5.2) and of a device authorisation endpoint (RFC 8628 section 3.2).
// Untrusted bytes from the network: each parser takes the body as it came
// and gives a record; a value of the wrong type, or a token that is not
// IsTokenText, counts as absent.
#pragma once

#include <cstdint>
#include <string>

namespace oauth {

struct TTokenReply {
  std::string accessToken, refreshToken;
  int64_t expiresIn = 0;                // seconds; 0 when not given
  std::string error, errorDescription;  // an error answer
};

struct TDeviceReply {
  std::string deviceCode, userCode, verificationUri, verificationUriComplete;
  int64_t expiresIn = 0;  // seconds; 0 when not given
  int64_t interval = 0;   // seconds between polls; 0 when not given
  std::string error, errorDescription;
};

// False when the body is not a JSON object.
bool ParseTokenReply(const std::string& body, TTokenReply& reply);
bool ParseDeviceReply(const std::string& body, TDeviceReply& reply);

}  // namespace oauth
