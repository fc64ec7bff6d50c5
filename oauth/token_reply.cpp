#include "oauth/token_reply.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "oauth/token_file.h"

namespace oauth {
namespace {

// Texts taken from an answer are cut here (a description, an address).
constexpr qsizetype kMaxText = 2048;

bool ObjectOf(const std::string& body, QJsonObject& object) {
  const QJsonDocument json = QJsonDocument::fromJson(QByteArray(body.data(), qsizetype(body.size())));
  if (!json.isObject()) return false;
  object = json.object();
  return true;
}

std::string Text(const QJsonObject& object, const char* name) {
  const QJsonValue value = object.value(QLatin1String(name));
  return value.isString() ? value.toString().left(kMaxText).toStdString() : std::string();
}

std::string Token(const QJsonObject& object, const char* name) {
  const QJsonValue value = object.value(QLatin1String(name));
  if (!value.isString()) return {};
  const std::string text = value.toString().toStdString();
  return IsTokenText(text) ? text : std::string();
}

// A count of seconds, as a number or (as some endpoints send it) a text;
// 0 when absent, negative or beyond a year.
int64_t Seconds(const QJsonObject& object, const char* name) {
  const QJsonValue value = object.value(QLatin1String(name));
  double n = 0;
  if (value.isDouble()) {
    n = value.toDouble();
  } else if (value.isString()) {
    bool ok = false;
    n = double(value.toString().toLongLong(&ok));
    if (!ok) n = 0;
  }
  return n >= 1 && n <= 366.0 * 86400 ? int64_t(n) : 0;
}

}  // namespace

bool ParseTokenReply(const std::string& body, TTokenReply& reply) {
  reply = {};
  QJsonObject object;
  if (!ObjectOf(body, object)) return false;
  reply.accessToken = Token(object, "access_token");
  reply.refreshToken = Token(object, "refresh_token");
  reply.expiresIn = Seconds(object, "expires_in");
  reply.error = Text(object, "error");
  reply.errorDescription = Text(object, "error_description");
  return true;
}

bool ParseDeviceReply(const std::string& body, TDeviceReply& reply) {
  reply = {};
  QJsonObject object;
  if (!ObjectOf(body, object)) return false;
  reply.deviceCode = Token(object, "device_code");
  reply.userCode = Text(object, "user_code");
  // Some endpoints name the address "verification_url".
  reply.verificationUri = Text(object, "verification_uri");
  if (reply.verificationUri.empty()) reply.verificationUri = Text(object, "verification_url");
  reply.verificationUriComplete = Text(object, "verification_uri_complete");
  reply.expiresIn = Seconds(object, "expires_in");
  reply.interval = Seconds(object, "interval");
  reply.error = Text(object, "error");
  reply.errorDescription = Text(object, "error_description");
  return true;
}

}  // namespace oauth
