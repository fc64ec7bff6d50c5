// Placeholder: the launcher lands with the cycle work.
#include "launcher/appexec.h"

TAppExec::TAppExec(std::shared_ptr<proc::Service> service) : proc_(std::move(service)) {}
TAppExec::~TAppExec() = default;
void TAppExec::SetExePath(const std::string& path) { exePath_ = path; }
void TAppExec::SetWindowState(TWindowState state) { windowState_ = state; }
void TAppExec::Clear() { errNo_ = -1; ExeName.clear(); exePath_.clear(); ExeParams.clear(); }
void TAppExec::Execute() { throw EAppExecWinExec("not built yet"); }
std::string TAppExec::ExecErrorText() const { return {}; }
