// A socket service for tests: it passes every call to the real service,
// counts the calls, records what connect and recv were given, and lets a
// test make the n-th call of a kind fail with a chosen error, run code right
// after a recv, or answer name look-ups with addresses of its choosing.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/winsock.h"

class WrappedService : public winsock::Service {
 public:
  std::shared_ptr<winsock::Service> real = winsock::DefaultService();
  std::map<std::string, int> calls;
  // Asked before every call with its name and 1-based count; a non-zero
  // answer makes the call fail with that error without reaching the real one.
  std::function<int(const std::string& call, int n)> fault;
  // Runs after every recv that reached the real service, with its result.
  std::function<void(int result)> afterRecv;
  std::vector<int> recvSizes;
  winsock::SockAddrIn lastConnect;
  bool connectReaches = true;  // false: record the address, then refuse
  // When set, getaddrinfo answers with these instead of the resolver's.
  std::optional<std::vector<winsock::SockAddr>> resolved;
  // Family and port (host order) of every connect of either kind, in order.
  std::vector<std::pair<int, uint16_t>> connects;

  int Count(const std::string& call) const {
    auto it = calls.find(call);
    return it == calls.end() ? 0 : it->second;
  }

  int WSAStartup(uint16_t v, winsock::WSAData* d) override {
    if (Faulted("WSAStartup")) return injected_;
    return real->WSAStartup(v, d);
  }
  int WSACleanup() override { return Faulted("WSACleanup") ? -1 : real->WSACleanup(); }
  int WSAGetLastError() override { return injected_ != 0 ? injected_ : real->WSAGetLastError(); }
  bool WSAIsBlocking() override { return real->WSAIsBlocking(); }
  int WSACancelBlockingCall() override { return Faulted("WSACancelBlockingCall") ? -1 : real->WSACancelBlockingCall(); }
  winsock::SOCKET socket(int af, int type, int protocol) override {
    return Faulted("socket") ? winsock::INVALID_SOCKET : real->socket(af, type, protocol);
  }
  int connect(winsock::SOCKET s, const winsock::SockAddrIn* name, int len) override {
    if (name != nullptr) lastConnect = *name;
    if (name != nullptr) connects.emplace_back(name->sin_family, HostPort(name->sin_port));
    if (Faulted("connect")) return -1;
    if (!connectReaches) {
      injected_ = winsock::WSAECONNREFUSED;
      return -1;
    }
    return real->connect(s, name, len);
  }
  int bind(winsock::SOCKET s, const winsock::SockAddrIn* name, int len) override {
    return Faulted("bind") ? -1 : real->bind(s, name, len);
  }
  int send(winsock::SOCKET s, const char* buf, int len, int flags) override {
    return Faulted("send") ? -1 : real->send(s, buf, len, flags);
  }
  int recv(winsock::SOCKET s, char* buf, int len, int flags) override {
    recvSizes.push_back(len);
    if (Faulted("recv")) return -1;
    const int r = real->recv(s, buf, len, flags);
    if (afterRecv) afterRecv(r);
    return r;
  }
  int closesocket(winsock::SOCKET s) override { return Faulted("closesocket") ? -1 : real->closesocket(s); }
  int shutdown(winsock::SOCKET s, int how) override { return Faulted("shutdown") ? -1 : real->shutdown(s, how); }
  int ioctlsocket(winsock::SOCKET s, long cmd, uint32_t* argp) override {
    return Faulted("ioctlsocket") ? -1 : real->ioctlsocket(s, cmd, argp);
  }
  int setsockopt(winsock::SOCKET s, int level, int name, const char* val, int len) override {
    return Faulted("setsockopt") ? -1 : real->setsockopt(s, level, name, val, len);
  }
  int getsockname(winsock::SOCKET s, winsock::SockAddrIn* name, int* len) override {
    return Faulted("getsockname") ? -1 : real->getsockname(s, name, len);
  }
  const winsock::HostEnt* gethostbyname(const std::string& name) override {
    return Faulted("gethostbyname") ? nullptr : real->gethostbyname(name);
  }
  const winsock::ServEnt* getservbyname(const std::string& name, const std::string& proto) override {
    return Faulted("getservbyname") ? nullptr : real->getservbyname(name, proto);
  }
  const winsock::ProtoEnt* getprotobyname(const std::string& name) override {
    return Faulted("getprotobyname") ? nullptr : real->getprotobyname(name);
  }
  uint32_t inet_addr(const std::string& cp) override { return real->inet_addr(cp); }
  std::string inet_ntoa(winsock::InAddr in) override { return real->inet_ntoa(in); }
  uint16_t(htons)(uint16_t v) override { return (real->htons)(v); }
  int WSAAsyncSelect(winsock::SOCKET s, plat::HiddenWindow* w, unsigned msg, long events) override {
    return Faulted("WSAAsyncSelect") ? -1 : real->WSAAsyncSelect(s, w, msg, events);
  }
  int getaddrinfo(const std::string& node, std::vector<winsock::SockAddr>& addresses) override {
    if (Faulted("getaddrinfo")) return injected_;
    if (!resolved) return real->getaddrinfo(node, addresses);
    addresses = *resolved;
    return 0;
  }
  int connectAddr(winsock::SOCKET s, const winsock::SockAddr& name) override {
    connects.emplace_back(name.family, HostPort(name.port));
    return Faulted("connectAddr") ? -1 : real->connectAddr(s, name);
  }
  int bindAddr(winsock::SOCKET s, const winsock::SockAddr& name) override {
    return Faulted("bindAddr") ? -1 : real->bindAddr(s, name);
  }
  int getsocknameAddr(winsock::SOCKET s, winsock::SockAddr& name) override {
    return Faulted("getsocknameAddr") ? -1 : real->getsocknameAddr(s, name);
  }
  std::string inet_ntop(const winsock::SockAddr& a) override { return real->inet_ntop(a); }
  int StartTlsClient(winsock::SOCKET s, const std::string& peer, const std::string& caFile) override {
    if (Faulted("StartTlsClient")) return injected_;
    return real->StartTlsClient(s, peer, caFile);
  }
  std::string TlsErrorText() override { return real->TlsErrorText(); }

  static uint16_t HostPort(uint16_t netPort) {
    const auto* b = reinterpret_cast<const unsigned char*>(&netPort);
    return uint16_t(b[0] << 8 | b[1]);
  }

 private:
  bool Faulted(const std::string& call) {
    const int n = ++calls[call];
    injected_ = fault ? fault(call, n) : 0;
    return injected_ != 0;
  }
  int injected_ = 0;
};
