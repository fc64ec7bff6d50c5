#include "oauth/http.h"

#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslCertificate>
#include <QTimer>
#include <QUrl>

namespace oauth {
namespace {

QString ToQt(const std::string& text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

QByteArray FormBody(const TForm& form) {
  QByteArray body;
  for (const auto& [name, value] : form) {
    if (!body.isEmpty()) body += '&';
    body += QUrl::toPercentEncoding(ToQt(name)) + '=' + QUrl::toPercentEncoding(ToQt(value));
  }
  return body;
}

// One manager for the process, made at first use in the GUI thread and kept
// to the end: its worker thread holds state of the TLS library that taking
// it down just before the process ends would leave behind half freed.
QNetworkAccessManager& Manager() {
  static QNetworkAccessManager* const manager = new QNetworkAccessManager;
  return *manager;
}

class QtHttpAccess final : public THttpAccess {
 public:
  QtHttpAccess(std::chrono::milliseconds limit, std::size_t maxBytes) : limit_(limit), maxBytes_(maxBytes) {}

  THttpReply PostForm(const std::string& url, const TForm& form, const std::string& caFile) override {
    THttpReply result;
    const std::string host = HostOf(url);
    const QUrl address(ToQt(url), QUrl::StrictMode);
    if (!address.isValid() || address.scheme() != "https" || address.host().isEmpty()) {
      result.error = host + ": not an https:// address";
      return result;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!caFile.empty()) {
      const auto extra = QSslCertificate::fromPath(ToQt(caFile), QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
      if (extra.isEmpty()) {
        result.error = host + ": the CA file " + caFile + " holds no certificate";
        return result;
      }
      tls.addCaCertificates(extra);
    }
    QNetworkRequest request(address);
    request.setSslConfiguration(tls);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("Connection", "close");  // every exchange on a connection of its own
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);

    QNetworkReply* reply = Manager().post(request, FormBody(form));
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    bool timedOut = false, tooLarge = false;
    QByteArray body;
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
      body += reply->read(qint64(maxBytes_) + 1 - body.size());
      if (std::size_t(body.size()) > maxBytes_) {
        tooLarge = true;
        reply->abort();
      }
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
      timedOut = true;
      reply->abort();
    });
    deadline.start(int(limit_.count()));
    if (!reply->isFinished()) loop.exec();
    deadline.stop();
    if (!tooLarge && !timedOut) body += reply->read(qint64(maxBytes_) + 1 - body.size());
    if (std::size_t(body.size()) > maxBytes_) tooLarge = true;

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (timedOut) {
      result.error = host + ": no answer within " + std::to_string(limit_.count() / 1000) + " s";
    } else if (tooLarge) {
      result.error = host + ": the answer is larger than " + std::to_string(maxBytes_) + " bytes";
    } else if (!status.isValid()) {
      result.error = host + ": " + reply->errorString().toStdString();
    } else {
      result.status = status.toInt();
      result.body.assign(body.constData(), std::size_t(body.size()));
    }
    delete reply;
    return result;
  }

 private:
  std::chrono::milliseconds limit_;
  std::size_t maxBytes_;
};

}  // namespace

std::shared_ptr<THttpAccess> MakeHttpAccess(std::chrono::milliseconds limit, std::size_t maxBytes) {
  return std::make_shared<QtHttpAccess>(limit, maxBytes);
}

std::string HostOf(const std::string& url) {
  const QUrl address(ToQt(url));
  const QString host = address.host();
  return host.isEmpty() ? url.substr(0, 200) : host.toStdString();
}

}  // namespace oauth
