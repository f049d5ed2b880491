// Helpers of the throughput benchmark (bench/run.sh); POSIX only, like the script.
//
//   bench_tool proxy TARGET_PORT DELAY_US STATS_FILE
//       A loopback TCP proxy: listens on a free port of 127.0.0.1 (printed on the first line of
//       standard output), forwards every connection to 127.0.0.1:TARGET_PORT and holds every
//       piece of data back DELAY_US/2 microseconds in each direction, so that each round trip
//       takes DELAY_US longer. It counts the round trips of each connection: a round trip
//       begins whenever the client sends after the server has answered (or first of all).
//       For each closed connection it appends "round_trips=R client_sends=S up=B down=B" to
//       STATS_FILE. SIGTERM ends it.
//   bench_tool compare A B
//       Compares two transfer files. Prints "identical" when they are equal byte for byte.
//       Otherwise it checks whether they hold the same lines in the same order apart from the
//       order among lines of equal booking date and time (fields 3 and 4), which the query
//       leaves to the database; exit status 0 when that holds, 1 when not.
//   bench_tool cutoff
//       Prints the purge's cut-off, three calendar months before the local time (the last
//       day of a month goes to the last day of the target month), as 'YYYY-MM-DD HH:MM:SS'.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// One direction of a connection: data read from `from`, due for `to` at its time.
struct Pipe {
  int from = -1;
  int to = -1;
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
  };
  std::deque<Chunk> held;
  std::string out;  // due data not yet taken by `to`
  std::size_t heldBytes = 0;
  bool eof = false;
  std::uint64_t bytes = 0;
};

struct Connection {
  Pipe up;                  // client -> server
  Pipe down;                // server -> client
  bool serverSpoke = true;  // the next client data starts a round trip
  std::uint64_t roundTrips = 0;
  std::uint64_t clientSends = 0;
  bool closed = false;
};

constexpr std::size_t kHoldLimit = 16u << 20;

// Moves due chunks into the write buffer and writes what the socket takes. False on an error.
bool Deliver(Pipe& p, Clock::time_point now) {
  while (!p.held.empty() && p.held.front().due <= now) {
    p.out += p.held.front().bytes;
    p.heldBytes -= p.held.front().bytes.size();
    p.held.pop_front();
  }
  while (!p.out.empty()) {
    const ssize_t n = send(p.to, p.out.data(), p.out.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EINTR) continue;
      return false;
    }
    p.out.erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

int Proxy(int targetPort, long delayUs, const char* statsPath) {
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("proxy: listen");
    return 1;
  }
  SetNonBlocking(listener);
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);

  const auto oneWay = std::chrono::microseconds(delayUs / 2);
  std::vector<std::unique_ptr<Connection>> connections;
  auto report = [&](const Connection& c) {
    std::ofstream stats(statsPath, std::ios::app);
    stats << "round_trips=" << c.roundTrips << " client_sends=" << c.clientSends
          << " up=" << c.up.bytes << " down=" << c.down.bytes << "\n";
  };

  while (g_stop == 0) {
    std::vector<pollfd> fds;
    fds.push_back({listener, POLLIN, 0});
    Clock::time_point next = Clock::now() + std::chrono::seconds(1);
    for (auto& c : connections) {
      for (Pipe* p : {&c->up, &c->down}) {
        short events = 0;
        if (!p->eof && p->heldBytes < kHoldLimit) events |= POLLIN;
        fds.push_back({p->from, events, 0});
        fds.push_back({p->to, static_cast<short>(p->out.empty() ? 0 : POLLOUT), 0});
        if (!p->held.empty()) next = std::min(next, p->held.front().due);
      }
    }
    const auto wait = std::max<Clock::duration>(Clock::duration::zero(), next - Clock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) break;

    if ((fds[0].revents & POLLIN) != 0) {
      for (;;) {
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0) break;
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = htons(static_cast<std::uint16_t>(targetPort));
        if (server < 0 ||
            connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
          close(client);
          if (server >= 0) close(server);
          continue;
        }
        SetNonBlocking(client);
        SetNonBlocking(server);
        auto c = std::make_unique<Connection>();
        c->up.from = client;
        c->up.to = server;
        c->down.from = server;
        c->down.to = client;
        connections.push_back(std::move(c));
      }
    }

    const Clock::time_point now = Clock::now();
    for (auto& c : connections) {
      for (Pipe* p : {&c->up, &c->down}) {
        char buffer[65536];
        while (!p->eof && p->heldBytes < kHoldLimit) {
          const ssize_t n = recv(p->from, buffer, sizeof buffer, 0);
          if (n == 0) {
            p->eof = true;
            break;
          }
          if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) p->eof = true;
            break;
          }
          if (p == &c->up) {
            ++c->clientSends;
            if (c->serverSpoke) ++c->roundTrips;
            c->serverSpoke = false;
          } else {
            c->serverSpoke = true;
          }
          p->bytes += static_cast<std::uint64_t>(n);
          p->held.push_back({now + oneWay, std::string(buffer, static_cast<std::size_t>(n))});
          p->heldBytes += static_cast<std::size_t>(n);
        }
        if (!Deliver(*p, Clock::now())) p->eof = true;
        if (p->eof && p->held.empty() && p->out.empty()) shutdown(p->to, SHUT_WR);
      }
      const bool upDone = c->up.eof && c->up.held.empty() && c->up.out.empty();
      const bool downDone = c->down.eof && c->down.held.empty() && c->down.out.empty();
      if (upDone && downDone) {
        close(c->up.from);
        close(c->up.to);
        report(*c);
        c->closed = true;
      }
    }
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const auto& c) { return c->closed; }),
                      connections.end());
  }
  for (auto& c : connections) report(*c);
  return 0;
}

// Fields 3 and 4 of a transfer line: the booking date and time.
std::string OrderKey(const std::string& line) {
  std::size_t start = 0;
  for (int field = 0; field < 2; ++field) {
    start = line.find(',', start);
    if (start == std::string::npos) return line;
    ++start;
  }
  std::size_t end = line.find(',', start);
  if (end != std::string::npos) end = line.find(',', end + 1);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Reads the next run of lines with equal order key.
bool NextGroup(std::istream& in, std::string* pending, bool* havePending,
               std::vector<std::string>* group, std::string* key) {
  group->clear();
  if (!*havePending) {
    if (!std::getline(in, *pending)) return false;
    *havePending = true;
  }
  *key = OrderKey(*pending);
  group->push_back(*pending);
  *havePending = false;
  std::string line;
  while (std::getline(in, line)) {
    if (OrderKey(line) != *key) {
      *pending = line;
      *havePending = true;
      break;
    }
    group->push_back(line);
  }
  return true;
}

int Compare(const char* a, const char* b) {
  {
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    if (!fa || !fb) {
      std::printf("cannot read %s or %s\n", a, b);
      return 1;
    }
    std::istreambuf_iterator<char> ia(fa), ib(fb), end;
    bool same = true;
    while (ia != end && ib != end) {
      if (*ia++ != *ib++) {
        same = false;
        break;
      }
    }
    if (same && ia == end && ib == end) {
      std::printf("identical\n");
      return 0;
    }
  }
  std::ifstream fa(a, std::ios::binary);
  std::ifstream fb(b, std::ios::binary);
  std::string pa, pb, ka, kb;
  bool ha = false, hb = false;
  std::vector<std::string> ga, gb;
  long lines = 0, reordered = 0;
  for (;;) {
    const bool moreA = NextGroup(fa, &pa, &ha, &ga, &ka);
    const bool moreB = NextGroup(fb, &pb, &hb, &gb, &kb);
    if (!moreA && !moreB) break;
    if (moreA != moreB || ka != kb || ga.size() != gb.size()) {
      std::printf("different lines near line %ld (date/time %s vs %s)\n", lines + 1, ka.c_str(),
                  kb.c_str());
      return 1;
    }
    if (ga != gb) {
      std::sort(ga.begin(), ga.end());
      std::sort(gb.begin(), gb.end());
      if (ga != gb) {
        std::printf("different lines at date/time %s (near line %ld)\n", ka.c_str(), lines + 1);
        return 1;
      }
      ++reordered;
    }
    lines += static_cast<long>(ga.size());
  }
  std::printf("same lines; order differs only within %ld group(s) of equal date and time\n",
              reordered);
  return 0;
}

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

int Cutoff() {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  const int year = t.tm_year + 1900;
  const int month = t.tm_mon + 1;
  int total = year * 12 + (month - 1) - 3;
  const int y = total / 12;
  const int m = total % 12 + 1;
  int d = t.tm_mday;
  const int last = DaysInMonth(y, m);
  if (d == DaysInMonth(year, month) || d > last) d = last;
  std::printf("%04d-%02d-%02d %02d:%02d:%02d\n", y, m, d, t.tm_hour, t.tm_min,
              t.tm_sec > 59 ? 59 : t.tm_sec);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "proxy" && argc == 5) {
    return Proxy(std::atoi(argv[2]), std::atol(argv[3]), argv[4]);
  }
  if (command == "compare" && argc == 4) return Compare(argv[2], argv[3]);
  if (command == "cutoff" && argc == 2) return Cutoff();
  std::fprintf(stderr,
               "usage: bench_tool proxy TARGET_PORT DELAY_US STATS_FILE | compare A B | cutoff\n");
  return 2;
}
