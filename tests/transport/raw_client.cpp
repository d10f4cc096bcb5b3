#include "tests/transport/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace TransportTesting {

RawClient::RawClient(int port)
{
   mFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_port = htons(static_cast<uint16_t>(port));
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   if (connect(mFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      close(mFd);
      mFd = -1;
   }
}

RawClient::RawClient(const std::string &unixPath)
{
   mFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
   sockaddr_un addr{};
   addr.sun_family = AF_UNIX;
   std::strncpy(addr.sun_path, unixPath.c_str(), sizeof addr.sun_path - 1);
   if (connect(mFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      close(mFd);
      mFd = -1;
   }
}

RawClient::~RawClient()
{
   if (mFd >= 0) {
      close(mFd);
   }
}

bool RawClient::Send(const std::string &bytes)
{
   size_t done = 0;
   while (done < bytes.size()) {
      ssize_t n = send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) {
         return false;
      }
      done += static_cast<size_t>(n);
   }
   return true;
}

std::string RawClient::Read(size_t count, std::chrono::milliseconds timeout)
{
   std::string out;
   auto deadline = std::chrono::steady_clock::now() + timeout;
   while (out.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
         break;
      }
      pollfd p{mFd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
         break;
      }
      char buf[4096];
      ssize_t n = recv(mFd, buf, std::min(sizeof buf, count - out.size()), 0);
      if (n <= 0) {
         break;
      }
      out.append(buf, static_cast<size_t>(n));
   }
   return out;
}

bool RawClient::ReadUntilClosed(std::string &out, std::chrono::milliseconds timeout)
{
   auto deadline = std::chrono::steady_clock::now() + timeout;
   for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
         return false;
      }
      pollfd p{mFd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
         return false;
      }
      char buf[4096];
      ssize_t n = recv(mFd, buf, sizeof buf, 0);
      if (n <= 0) {
         return true;
      }
      out.append(buf, static_cast<size_t>(n));
   }
}

IoThreads::IoThreads(int threads) : mWork(boost::asio::make_work_guard(mIo))
{
   for (int i = 0; i < threads; ++i) {
      mThreads.emplace_back([this] { mIo.run(); });
   }
}

IoThreads::~IoThreads()
{
   Stop();
}

void IoThreads::Stop()
{
   mWork.reset();
   mIo.stop();
   for (auto &t : mThreads) {
      if (t.joinable()) {
         t.join();
      }
   }
}

bool EchoHandler::Handle(const Ruvo::Transport::PicoHttp::HttpServerRequest &request,
                         Ruvo::Transport::PicoHttp::HttpReplyCb reply)
{
   Ruvo::Transport::PicoHttp::HttpServerReply r;
   r.body = std::string(request.body);
   reply(std::move(r));
   return true;
}

std::string BodyReply(const std::string &body, bool keepAlive)
{
   return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
          "\r\nContent-Type: application/json\r\nConnection: " + (keepAlive ? "Keep-Alive" : "close") +
          "\r\nServer: PicoHttp\r\n\r\n" + body;
}

std::string Post(const std::string &body, const std::string &extraHeaders)
{
   return "POST /api HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: " +
          std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

} // namespace TransportTesting
