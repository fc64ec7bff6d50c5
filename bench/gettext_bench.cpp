// Reading lines with TSockets::GetText in blocking mode from a loopback peer
// that streams lines as fast as the connection takes them, and command /
// reply round trips where every reply is waited for.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <atomic>
#include <csignal>
#include <string>

#include "net/Sockets.h"
#include "net/loopback_server.h"

namespace {

// Connects `sock` (blocking, errors counted in `errors`) to `server`; false
// with the benchmark skipped when that fails.
bool Connect(TSockets& sock, LoopbackServer& server, int& errors, benchmark::State& state) {
  sock.NonBlocking = false;
  sock.OnErrorOccurred = [&errors](TSockets*, int32_t, const std::string&) { ++errors; };
  sock.Open(server.PortText(), "127.0.0.1");
  if (sock.State == 1) return true;
  state.SkipWithError("connect failed");
  return false;
}

void BM_GetTextLines(benchmark::State& state) {
  const auto lineLength = size_t(state.range(0));
  std::string block;
  const std::string line = std::string(lineLength - 2, 'a') + "\r\n";
  while (block.size() < 256 * 1024) block += line;

  std::atomic<bool> stop{false};
  LoopbackServer server;
  server.Serve([&](LoopbackPeer& peer) {
    while (!stop) peer.Send(block);
  });
  TSockets sock;
  int errors = 0;
  if (!Connect(sock, server, errors, state)) return;
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string got = sock.GetText();
    bytes += got.size() + 2;
    benchmark::DoNotOptimize(got.data());
  }
  stop = true;
  sock.Close();
  server.Finished();
  if (errors != 0) state.SkipWithError("socket errors while reading");
  state.SetItemsProcessed(int64_t(state.iterations()));
  state.SetBytesProcessed(int64_t(bytes));
}

BENCHMARK(BM_GetTextLines)->Arg(16)->Arg(80)->Arg(1000);

// One command out, one reply line back: every GetText sleeps in the event
// loop until the peer's answer arrives.
void BM_RoundTrip(benchmark::State& state) {
  LoopbackServer server;
  server.Serve([&](LoopbackPeer& peer) {
    for (;;) {
      const std::string got = peer.Read(6);
      if (got.size() < 6) return;
      peer.Send("250 ok\r\n");
    }
  });
  TSockets sock;
  int errors = 0;
  if (!Connect(sock, server, errors, state)) return;
  for (auto _ : state) {
    sock.SetText("NOOP\r\n");
    benchmark::DoNotOptimize(sock.GetText());
  }
  sock.Close();
  server.Finished();
  if (errors != 0) state.SkipWithError("socket errors");
  state.SetItemsProcessed(int64_t(state.iterations()));
}

BENCHMARK(BM_RoundTrip);

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
