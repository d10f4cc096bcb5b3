// Test helpers: a blocking byte-level client with deadlines, an I/O context on
// threads, and an echoing request handler.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/executor_work_guard.hpp>

#include "runtime/ruvo/transport/http_request_handler.h"

namespace TransportTesting {

// Connects to 127.0.0.1:port (or a Unix socket path); -1 descriptor on failure.
class RawClient {
public:
   explicit RawClient(int port);
   explicit RawClient(const std::string &unixPath);
   ~RawClient();
   RawClient(const RawClient &) = delete;
   RawClient &operator=(const RawClient &) = delete;

   bool Connected() const { return mFd >= 0; }
   bool Send(const std::string &bytes);
   // Reads until `count` bytes arrived, the peer closed, or the deadline passed.
   std::string Read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
   // Reads until the peer closes (true) or the deadline passes (false).
   bool ReadUntilClosed(std::string &out, std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
   int mFd = -1;
};

class IoThreads {
public:
   explicit IoThreads(int threads = 2);
   ~IoThreads();
   boost::asio::io_context &Io() { return mIo; }
   void Stop();

private:
   boost::asio::io_context mIo;
   boost::asio::executor_work_guard<boost::asio::io_context::executor_type> mWork;
   std::vector<std::thread> mThreads;
};

// Replies with the request body (or a fixed reply), from the calling thread.
class EchoHandler : public Ruvo::Transport::PicoHttp::HttpRequestHandler {
public:
   bool Handle(const Ruvo::Transport::PicoHttp::HttpServerRequest &request,
               Ruvo::Transport::PicoHttp::HttpReplyCb reply) override;
};

std::string BodyReply(const std::string &body, bool keepAlive);
std::string Post(const std::string &body, const std::string &extraHeaders = "");

} // namespace TransportTesting
