// Placeholder: the socket component lands with the network work.
#include "net/Sockets.h"

#include "platform/msgwindow.h"

TSockets::TSockets(std::shared_ptr<winsock::Service> service)
    : ws_(std::move(service)), window_(std::make_unique<plat::HiddenWindow>(nullptr)) {}
TSockets::~TSockets() = default;
void TSockets::Open(const std::string&, const std::string&) { State = 3; }
void TSockets::SetText(const std::string&) {}
std::string TSockets::GetText() { NoReply = true; return {}; }
std::string TSockets::LocalAddress() { return "0.0.0.0"; }
void TSockets::Close() { State = 0; }
std::intptr_t TSockets::WndProc(unsigned, std::uintptr_t, std::intptr_t) { return 0; }
void TSockets::ReportSocketError(const std::string&, int32_t) {}
void TSockets::StartWatchdog() {}
void TSockets::StopWatchdog() {}
bool TSockets::ReceiveStep() { return false; }
std::string SocketErrorText(int32_t) { return "Not a Winsock error"; }
