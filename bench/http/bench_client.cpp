// Load generator for the HTTP benchmarks where wrk cannot go (Unix domain sockets)
// and for idle-connection memory. Loopback and Unix sockets only; every run is
// bounded in time and connection count.
//
//   http_bench_client load (--tcp PORT | --unix PATH) --conns N --seconds S [--close] --body FILE
//       prints "requests=... rps=... p50_us=... p99_us=..."
//   http_bench_client idle --tcp PORT --conns N --hold S --body FILE
//       opens N keep-alive connections, makes one request on each, then holds them S seconds
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
   std::string mode;
   int port = 0;
   std::string unixPath;
   int conns = 10;
   int seconds = 5;
   bool close = false;
   std::string body;
};

int Connect(const Options &o)
{
   if (!o.unixPath.empty()) {
      int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      std::strncpy(a.sun_path, o.unixPath.c_str(), sizeof a.sun_path - 1);
      if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
         close(fd);
         return -1;
      }
      return fd;
   }
   int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   sockaddr_in a{};
   a.sin_family = AF_INET;
   a.sin_port = htons(static_cast<uint16_t>(o.port));
   a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      close(fd);
      return -1;
   }
   int one = 1;
   setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
   return fd;
}

// Reads one reply with a content length; false on close or error.
bool ReadReply(int fd, std::string &buf)
{
   buf.clear();
   size_t need = std::string::npos;
   char chunk[16384];
   for (;;) {
      if (need == std::string::npos) {
         size_t end = buf.find("\r\n\r\n");
         if (end != std::string::npos) {
            size_t cl = buf.find("Content-Length: ");
            if (cl == std::string::npos || cl > end) {
               return false;
            }
            need = end + 4 + std::stoul(buf.substr(cl + 16));
         }
      }
      if (need != std::string::npos && buf.size() >= need) {
         return true;
      }
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) {
         return false;
      }
      buf.append(chunk, static_cast<size_t>(n));
   }
}

bool SendAll(int fd, const std::string &bytes)
{
   size_t done = 0;
   while (done < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) {
         return false;
      }
      done += static_cast<size_t>(n);
   }
   return true;
}

std::string Request(const Options &o)
{
   return "POST /api HTTP/1.1\r\nHost: bench\r\nContent-Type: application/json\r\nContent-Length: " +
          std::to_string(o.body.size()) + "\r\n" + (o.close ? "Connection: close\r\n" : "") + "\r\n" + o.body;
}

int Load(const Options &o)
{
   std::string request = Request(o);
   auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.seconds);
   std::mutex lock;
   std::vector<uint32_t> latencies; // guarded by lock
   std::atomic<long> errors{0};
   std::vector<std::thread> threads;
   for (int c = 0; c < o.conns; ++c) {
      threads.emplace_back([&] {
         std::vector<uint32_t> mine;
         std::string buf;
         int fd = -1;
         while (std::chrono::steady_clock::now() < deadline) {
            if (fd < 0) {
               fd = Connect(o);
               if (fd < 0) {
                  ++errors;
                  continue;
               }
            }
            auto start = std::chrono::steady_clock::now();
            if (!SendAll(fd, request) || !ReadReply(fd, buf)) {
               ++errors;
               close(fd);
               fd = -1;
               continue;
            }
            mine.push_back(static_cast<uint32_t>(
               std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count()));
            if (o.close) {
               close(fd);
               fd = -1;
            }
         }
         if (fd >= 0) {
            close(fd);
         }
         std::lock_guard<std::mutex> guard(lock);
         latencies.insert(latencies.end(), mine.begin(), mine.end());
      });
   }
   for (auto &t : threads) {
      t.join();
   }
   std::sort(latencies.begin(), latencies.end());
   auto pct = [&](double p) { return latencies.empty() ? 0u : latencies[static_cast<size_t>(p * (latencies.size() - 1))]; };
   printf("requests=%zu errors=%ld rps=%.0f p50_us=%u p99_us=%u\n", latencies.size(), errors.load(),
          static_cast<double>(latencies.size()) / o.seconds, pct(0.5), pct(0.99));
   return 0;
}

int Idle(const Options &o)
{
   std::string request = Request(o);
   std::vector<int> fds;
   std::string buf;
   for (int c = 0; c < o.conns; ++c) {
      int fd = Connect(o);
      if (fd < 0 || !SendAll(fd, request) || !ReadReply(fd, buf)) {
         fprintf(stderr, "connection %d failed\n", c);
         if (fd >= 0) {
            close(fd);
         }
         break;
      }
      fds.push_back(fd);
   }
   printf("idle=%zu\n", fds.size());
   fflush(stdout);
   std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
   for (int fd : fds) {
      close(fd);
   }
   return fds.size() == static_cast<size_t>(o.conns) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
   Options o;
   if (argc < 2) {
      fprintf(stderr, "usage: %s load|idle [--tcp PORT|--unix PATH] [--conns N] [--seconds S|--hold S] [--close] --body FILE\n", argv[0]);
      return 2;
   }
   o.mode = argv[1];
   for (int i = 2; i < argc; ++i) {
      std::string a = argv[i];
      auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
      if (a == "--tcp") {
         o.port = std::stoi(next());
      } else if (a == "--unix") {
         o.unixPath = next();
      } else if (a == "--conns") {
         o.conns = std::clamp(std::stoi(next()), 1, 5000);
      } else if (a == "--seconds" || a == "--hold") {
         o.seconds = std::clamp(std::stoi(next()), 1, 120);
      } else if (a == "--close") {
         o.close = true;
      } else if (a == "--body") {
         std::ifstream in(next());
         o.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
   }
   if (o.mode == "load") {
      return Load(o);
   }
   if (o.mode == "idle") {
      return Idle(o);
   }
   return 2;
}
