// The least a client can do for the send pass's dialogue, as a yardstick for
// the submission benchmark: blocking socket, no window, no log. For every
// pair of DIR in name order: [RSET,] MAIL FROM, RCPT TO, DATA, the text as
// it stands and ".", each sent in one send and its reply awaited (the
// server never offered pipelining); then both files are removed.
//
//   smtp_floor DIR HOST PORT      prints "<pairs> <seconds>"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int g_socket = -1;
std::string g_held;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "smtp_floor: %s\n", what.c_str());
  std::exit(1);
}

// Reads one reply (continuation lines included); dies on anything but 2xx/3xx.
void Reply() {
  for (;;) {
    const std::size_t lf = g_held.find('\n');
    if (lf != std::string::npos) {
      const std::string line = g_held.substr(0, lf);
      g_held.erase(0, lf + 1);
      if (line.size() < 3 || (line[0] != '2' && line[0] != '3')) Die("refused: " + line);
      if (line.size() > 3 && line[3] == '-') continue;
      return;
    }
    char buf[4096];
    const ssize_t n = ::recv(g_socket, buf, sizeof buf, 0);
    if (n <= 0) Die("connection lost");
    g_held.append(buf, static_cast<std::size_t>(n));
  }
}

void Command(const std::string& bytes) {
  if (::send(g_socket, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) Die("send");
  Reply();
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) Die("usage: smtp_floor DIR HOST PORT");
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> bases;
  for (const auto& e : std::filesystem::directory_iterator(argv[1])) {
    const std::string name = e.path().string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".WRK") == 0) bases.push_back(name.substr(0, name.size() - 4));
  }
  std::sort(bases.begin(), bases.end());

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[3])));
  if (::inet_pton(AF_INET, argv[2], &peer.sin_addr) != 1) Die("bad address");
  g_socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(g_socket, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) Die("connect");
  Reply();
  Command("HELO floor\r\n");
  for (std::size_t i = 0; i < bases.size(); ++i) {
    std::istringstream envelope(Slurp(bases[i] + ".WRK"));
    std::string tag, from, to;
    std::getline(envelope, tag);
    std::getline(envelope, from);
    std::getline(envelope, to);
    if (!from.empty() && from.back() == '\r') from.pop_back();
    if (!to.empty() && to.back() == '\r') to.pop_back();
    if (i > 0) Command("RSET\r\n");
    Command("MAIL FROM:<" + from + ">\r\n");
    Command("RCPT TO:<" + to + ">\r\n");
    Command("DATA\r\n");
    std::string text = Slurp(bases[i] + ".TXT");
    if (!text.empty() && text.back() != '\n') text += "\r\n";
    Command(text + ".\r\n");
    std::remove((bases[i] + ".WRK").c_str());
    std::remove((bases[i] + ".TXT").c_str());
  }
  Command("QUIT\r\n");
  ::close(g_socket);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%zu %.6f\n", bases.size(), took.count());
  return 0;
}
