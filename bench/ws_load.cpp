// Load client for the WebSocket benchmarks: starts a server program, drives it over loopback
// and prints one line of figures. Every mode is bounded in time and count.
//
//   ws-load rtt       --clients N [--seconds S] [--threads T] -- <server command...>
//   ws-load fanout    --clients N [--rounds R]  [--threads T] -- <server command...>
//   ws-load handshake [--seconds S] [--concurrency C]          -- <server command...>
//   ws-load idle      --clients N [--seconds S]                -- <server command...>
//
// The server command gets "0" appended (its port argument), must print its bound port as its
// first stdout line, answer "STATUS" with "STATUS:0", broadcast each stdin line and answer it
// with "SENT <microseconds>". Clients answer pings with pongs, as browsers do.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

struct TOptions {
  std::string Mode;
  int Clients = 1;
  double Seconds = 5;
  int Threads = 1;
  int Rounds = 20;
  int Concurrency = 4;
  std::vector<std::string> Server;
};

// ---- the server process ----

class TServerProcess {
 public:
  explicit TServerProcess(std::vector<std::string> command) {
    command.push_back("0");
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) Fail("pipe");
    FPid = fork();
    if (FPid < 0) Fail("fork");
    if (FPid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::vector<char*> argv;
      for (std::string& arg : command) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FIn = in[1];
    FOut = fdopen(out[0], "r");
    Port = std::stoi(ReadLine());
  }

  ~TServerProcess() {
    Send("STOP");
    close(FIn);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(FPid, nullptr, WNOHANG) == FPid) return;
      usleep(100000);
    }
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
  }

  void Send(const std::string& line) {
    std::string text = line + "\n";
    if (write(FIn, text.data(), text.size()) != ssize_t(text.size())) Fail("server stdin");
  }

  std::string ReadLine() {
    char line[256];
    if (!fgets(line, sizeof line, FOut)) throw std::runtime_error("the server said nothing");
    return std::string(line, strcspn(line, "\r\n"));
  }

  double CpuSeconds() const {
    std::string stat = ReadProc("stat");
    const char* p = strrchr(stat.c_str(), ')');
    unsigned long utime = 0, stime = 0;
    if (p) sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
  }

  long RssKiB() const {
    std::string status = ReadProc("status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
  }

  int Port = 0;

 private:
  std::string ReadProc(const char* name) const {
    std::string path = "/proc/" + std::to_string(FPid) + "/" + name;
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return {};
    std::string text;
    char block[4096];
    while (size_t n = fread(block, 1, sizeof block, f)) text.append(block, n);
    fclose(f);
    return text;
  }

  pid_t FPid = -1;
  int FIn = -1;
  FILE* FOut = nullptr;
};

// ---- WebSocket client side ----

std::string MaskedFrame(uint8_t opcode, const std::string& payload) {
  static thread_local uint32_t seed = 0x9E3779B9u ^ uint32_t(gettid());
  seed = seed * 1664525u + 1013904223u;
  uint8_t key[4] = {uint8_t(seed), uint8_t(seed >> 8), uint8_t(seed >> 16), uint8_t(seed >> 24)};
  std::string frame;
  frame += char(0x80 | opcode);
  frame += char(0x80 | payload.size());  // the client only sends short frames
  frame.append(reinterpret_cast<char*>(key), 4);
  for (size_t i = 0; i < payload.size(); ++i) frame += char(payload[i] ^ key[i % 4]);
  return frame;
}

int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) Fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Fail("connect");
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Connects and upgrades; bytes that came after the 101 head are left in `rest`.
int OpenWebSocket(int port, std::string& rest) {
  int fd = ConnectLoopback(port);
  static const std::string request =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
    Fail("send handshake");
  }
  std::string head;
  char block[4096];
  size_t end;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = recv(fd, block, sizeof block, 0);
    if (n <= 0) Fail("handshake answer");
    head.append(block, size_t(n));
  }
  if (head.compare(0, 12, "HTTP/1.1 101") != 0) {
    throw std::runtime_error("upgrade refused: " + head.substr(0, head.find('\r')));
  }
  rest = head.substr(end + 4);
  return fd;
}

struct TConnection {
  int Fd = -1;
  std::string Input;
  Clock::time_point SentAt;
};

// Hands each complete frame (opcode, payload) to `onFrame`; keeps a partial one.
template <typename OnFrame>
void TakeFrames(std::string& input, OnFrame&& onFrame) {
  size_t at = 0;
  for (;;) {
    if (input.size() - at < 2) break;
    uint8_t opcode = uint8_t(input[at]) & 0x0F;
    uint64_t length = uint8_t(input[at + 1]) & 0x7F;
    size_t header = 2;
    if (length == 126) {
      if (input.size() - at < 4) break;
      length = uint8_t(input[at + 2]) << 8 | uint8_t(input[at + 3]);
      header = 4;
    } else if (length == 127) {
      if (input.size() - at < 10) break;
      length = 0;
      for (int i = 0; i < 8; ++i) length = length << 8 | uint8_t(input[at + 2 + i]);
      header = 10;
    }
    if (input.size() - at - header < length) break;
    onFrame(opcode, std::string_view(input).substr(at + header, size_t(length)));
    at += header + size_t(length);
  }
  input.erase(0, at);
}

void SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("send");
    done += size_t(n);
  }
}

// One epoll loop over a share of the connections. `onText` returns false to stop the loop.
class TWorker {
 public:
  std::vector<TConnection> Connections;

  template <typename OnText>
  void Run(std::atomic<bool>& stop, OnText&& onText) {
    int poller = epoll_create1(0);
    for (size_t i = 0; i < Connections.size(); ++i) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = i;
      epoll_ctl(poller, EPOLL_CTL_ADD, Connections[i].Fd, &event);
      // Frames that came with the handshake answer.
      Process(Connections[i], onText);
    }
    epoll_event events[256];
    char block[65536];
    while (!stop.load(std::memory_order_relaxed)) {
      int ready = epoll_wait(poller, events, 256, 50);
      for (int e = 0; e < ready; ++e) {
        TConnection& connection = Connections[events[e].data.u64];
        ssize_t n = recv(connection.Fd, block, sizeof block, 0);
        if (n <= 0) {
          epoll_ctl(poller, EPOLL_CTL_DEL, connection.Fd, nullptr);
          continue;
        }
        connection.Input.append(block, size_t(n));
        Process(connection, onText);
      }
    }
    close(poller);
  }

 private:
  template <typename OnText>
  void Process(TConnection& connection, OnText& onText) {
    TakeFrames(connection.Input, [&](uint8_t opcode, std::string_view payload) {
      if (opcode == 0x9) SendAll(connection.Fd, MaskedFrame(0xA, std::string(payload)));
      if (opcode == 0x1) onText(connection, payload);
    });
  }
};

std::vector<TWorker> OpenClients(int port, int clients, int threads) {
  std::vector<TWorker> workers(size_t(std::max(1, threads)));
  for (int i = 0; i < clients; ++i) {
    TConnection connection;
    connection.Fd = OpenWebSocket(port, connection.Input);
    workers[size_t(i) % workers.size()].Connections.push_back(std::move(connection));
  }
  return workers;
}

void CloseClients(std::vector<TWorker>& workers) {
  for (TWorker& worker : workers) {
    for (TConnection& connection : worker.Connections) close(connection.Fd);
  }
}

double Percentile(std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// ---- modes ----

void RoundTrips(const TOptions& options, TServerProcess& server) {
  std::vector<TWorker> workers = OpenClients(server.Port, options.Clients, options.Threads);
  const std::string status = "STATUS";
  std::atomic<bool> stop{false};
  std::vector<std::vector<double>> samples(workers.size());
  std::vector<std::thread> threads;
  double cpu0 = ProcessCpuSeconds(), serverCpu0 = server.CpuSeconds();
  Clock::time_point start = Clock::now();
  for (size_t w = 0; w < workers.size(); ++w) {
    threads.emplace_back([&, w] {
      std::vector<double>& mine = samples[w];
      mine.reserve(1 << 20);
      for (TConnection& connection : workers[w].Connections) {
        connection.SentAt = Clock::now();
        SendAll(connection.Fd, MaskedFrame(0x1, status));
      }
      workers[w].Run(stop, [&](TConnection& connection, std::string_view text) {
        if (text != "STATUS:0") return;
        Clock::time_point now = Clock::now();
        mine.push_back(Seconds(now - connection.SentAt) * 1e6);
        connection.SentAt = now;
        SendAll(connection.Fd, MaskedFrame(0x1, status));
      });
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(options.Seconds));
  stop = true;
  for (std::thread& thread : threads) thread.join();
  double elapsed = Seconds(Clock::now() - start);
  double cpu = ProcessCpuSeconds() - cpu0, serverCpu = server.CpuSeconds() - serverCpu0;
  std::vector<double> all;
  for (auto& part : samples) all.insert(all.end(), part.begin(), part.end());
  std::sort(all.begin(), all.end());
  std::printf(
      "rtt clients=%d rps=%.0f p50_us=%.0f p99_us=%.0f client_cpu=%.0f%% server_cpu=%.0f%%\n",
      options.Clients, double(all.size()) / elapsed, Percentile(all, 0.50), Percentile(all, 0.99),
      100 * cpu / elapsed, 100 * serverCpu / elapsed);
  CloseClients(workers);
}

void FanOut(const TOptions& options, TServerProcess& server) {
  std::vector<TWorker> workers = OpenClients(server.Port, options.Clients, options.Threads);
  std::atomic<bool> stop{false};
  std::atomic<int> received{0};
  std::mutex lock;
  std::string expected;
  Clock::time_point last;
  std::vector<std::thread> threads;
  for (TWorker& worker : workers) {
    threads.emplace_back([&] {
      worker.Run(stop, [&](TConnection&, std::string_view text) {
        std::lock_guard<std::mutex> guard(lock);
        if (text != expected) return;
        last = Clock::now();
        received.fetch_add(1);
      });
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<double> lastMs, serverMs;
  for (int round = 0; round < options.Rounds; ++round) {
    {
      std::lock_guard<std::mutex> guard(lock);
      expected = "CARD:" + std::to_string(1000000 + round);
      received = 0;
    }
    Clock::time_point start = Clock::now();
    server.Send(expected);
    Clock::time_point deadline = start + std::chrono::seconds(10);
    while (received.load() < options.Clients && Clock::now() < deadline) std::this_thread::yield();
    std::string sent = server.ReadLine();  // "SENT <us>"
    if (received.load() < options.Clients) {
      std::fprintf(stderr, "round %d: only %d of %d clients got the frame\n", round,
                   received.load(), options.Clients);
      continue;
    }
    std::lock_guard<std::mutex> guard(lock);
    lastMs.push_back(Seconds(last - start) * 1e3);
    serverMs.push_back(std::atof(sent.c_str() + 5) / 1e3);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
  std::sort(lastMs.begin(), lastMs.end());
  std::sort(serverMs.begin(), serverMs.end());
  std::printf("fanout clients=%d rounds=%zu last_p50_ms=%.2f last_max_ms=%.2f send_p50_ms=%.2f\n",
              options.Clients, lastMs.size(), Percentile(lastMs, 0.5),
              lastMs.empty() ? 0 : lastMs.back(), Percentile(serverMs, 0.5));
  CloseClients(workers);
}

void Handshakes(const TOptions& options, TServerProcess& server) {
  std::atomic<bool> stop{false};
  std::atomic<long> done{0}, failed{0};
  std::vector<std::thread> threads;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < options.Concurrency; ++i) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        try {
          std::string rest;
          int fd = OpenWebSocket(server.Port, rest);
          close(fd);
          done.fetch_add(1);
        } catch (const std::exception&) {
          failed.fetch_add(1);
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(options.Seconds));
  stop = true;
  for (std::thread& thread : threads) thread.join();
  double elapsed = Seconds(Clock::now() - start);
  std::printf("handshake concurrency=%d per_s=%.0f failed=%ld\n", options.Concurrency,
              double(done.load()) / elapsed, failed.load());
}

void Idle(const TOptions& options, TServerProcess& server) {
  std::this_thread::sleep_for(std::chrono::seconds(1));
  long rss0 = server.RssKiB();
  std::vector<TWorker> workers = OpenClients(server.Port, options.Clients, 1);
  std::atomic<bool> stop{false};
  std::thread pongs([&] { workers[0].Run(stop, [](TConnection&, std::string_view) {}); });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double cpu0 = server.CpuSeconds();
  Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(options.Seconds));
  double cpu = server.CpuSeconds() - cpu0, elapsed = Seconds(Clock::now() - start);
  long rss = server.RssKiB();
  stop = true;
  pongs.join();
  std::printf("idle clients=%d cpu=%.2f%% rss0_kib=%ld rss_kib=%ld per_conn_kib=%.1f\n",
              options.Clients, 100 * cpu / elapsed, rss0, rss,
              options.Clients ? double(rss - rss0) / options.Clients : 0.0);
  CloseClients(workers);
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions options;
  if (argc < 2) throw std::runtime_error("usage: ws-load <rtt|fanout|handshake|idle> ... -- cmd");
  options.Mode = argv[1];
  int i = 2;
  for (; i < argc && std::string(argv[i]) != "--"; ++i) {
    std::string name = argv[i];
    if (i + 1 >= argc) throw std::runtime_error("missing value for " + name);
    double value = std::atof(argv[++i]);
    if (name == "--clients")
      options.Clients = int(value);
    else if (name == "--seconds")
      options.Seconds = std::min(value, 120.0);
    else if (name == "--threads")
      options.Threads = int(value);
    else if (name == "--rounds")
      options.Rounds = std::min(int(value), 1000);
    else if (name == "--concurrency")
      options.Concurrency = int(value);
    else
      throw std::runtime_error("unknown option " + name);
  }
  for (++i; i < argc; ++i) options.Server.push_back(argv[i]);
  if (options.Server.empty()) throw std::runtime_error("no server command after --");
  options.Clients = std::clamp(options.Clients, 0, 1000);
  return options;
}

void RaiseFileLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    TOptions options = ParseOptions(argc, argv);
    RaiseFileLimit();
    signal(SIGPIPE, SIG_IGN);
    TServerProcess server(options.Server);
    if (options.Mode == "rtt")
      RoundTrips(options, server);
    else if (options.Mode == "fanout")
      FanOut(options, server);
    else if (options.Mode == "handshake")
      Handshakes(options, server);
    else if (options.Mode == "idle")
      Idle(options, server);
    else
      throw std::runtime_error("unknown mode " + options.Mode);
    std::fflush(stdout);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "ws-load: %s\n", failure.what());
    return 1;
  }
  return 0;
}
