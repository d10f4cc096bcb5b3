#include "peers/hyperkern-emu/emulator_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/hyperkern/seqpacket.h"

namespace HyperkernEmu {

using namespace Hyperkern;

namespace {

void Note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

void Note(const char *fmt, ...)
{
   va_list ap;
   va_start(ap, fmt);
   fputs("hyperkern-emu: ", stderr);
   vfprintf(stderr, fmt, ap);
   fputc('\n', stderr);
   va_end(ap);
}

bool FillAddress(const std::string &path, sockaddr_un &addr)
{
   addr = {};
   addr.sun_family = AF_UNIX;
   if (path.empty() || path.size() >= sizeof addr.sun_path) {
      return false;
   }
   memcpy(addr.sun_path, path.data(), path.size());
   return true;
}

// True when something accepts connections at the path.
bool SomeoneListens(const std::string &path)
{
   std::string ignored;
   int fd = ConnectSeqpacket(path, &ignored);
   if (fd < 0) {
      return false;
   }
   close(fd);
   return true;
}

} // namespace

EmulatorServer::EmulatorServer(std::string socketPath, Options options)
    : mSocketPath(std::move(socketPath)), mCore(std::move(options), EmulatorCore::Clock::now())
{
}

EmulatorServer::~EmulatorServer()
{
   for (auto &entry : mConnections) {
      close(entry.first);
   }
   if (mListenFd >= 0) {
      close(mListenFd);
   }
   if (mOwnsPath) {
      unlink(mSocketPath.c_str());
   }
}

bool EmulatorServer::Listen(std::string *error)
{
   const std::string temp = mSocketPath + ".tmp." + std::to_string(getpid());
   sockaddr_un addr;
   if (!FillAddress(temp, addr)) {
      *error = "socket path is empty or too long: " + mSocketPath;
      return false;
   }
   struct stat st;
   if (lstat(mSocketPath.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) {
         *error = mSocketPath + " exists and is not a socket";
         return false;
      }
      if (SomeoneListens(mSocketPath)) {
         *error = "another emulator serves " + mSocketPath;
         return false;
      }
   }
   mListenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
   if (mListenFd < 0) {
      *error = std::string("socket: ") + strerror(errno);
      return false;
   }
   unlink(temp.c_str());
   if (bind(mListenFd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
       listen(mListenFd, 16) != 0) {
      *error = "bind " + temp + ": " + strerror(errno);
      unlink(temp.c_str());
      return false;
   }
   if (rename(temp.c_str(), mSocketPath.c_str()) != 0) {
      *error = "rename to " + mSocketPath + ": " + strerror(errno);
      unlink(temp.c_str());
      return false;
   }
   mOwnsPath = true;
   return true;
}

void EmulatorServer::Send(Connection &conn, const Bytes &frame)
{
   if (conn.closing) {
      return;
   }
   // A peer that does not read its answers is dropped rather than allowed to
   // stall every other connection.
   ssize_t n = send(conn.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
   if (n < 0 || static_cast<size_t>(n) != frame.size()) {
      conn.closing = true;
   }
}

void EmulatorServer::Refuse(Connection &conn, uint32_t seq, const char *why)
{
   Note("dropping a connection: %s", why);
   Send(conn, Proto::Encode(Proto::kError, seq, Proto::StatusAnswer{kStatusProtocolError}));
   conn.closing = true;
}

void EmulatorServer::NotifyChannel()
{
   auto it = mConnections.find(mNoticeFd);
   if (it == mConnections.end() || mNoticeOutstanding || !mCore.HasQueued()) {
      return;
   }
   // At most one notice is outstanding: the descriptor is readable exactly
   // while a message waits, and each get-message call takes the notice.
   Send(it->second, Proto::EncodeReady());
   mNoticeOutstanding = true;
}

void EmulatorServer::Complete(std::vector<Completion> &done)
{
   for (const Completion &c : done) {
      auto waiter = mWaiters.find(c.waiter);
      if (waiter == mWaiters.end()) {
         continue;
      }
      auto conn = mConnections.find(waiter->second.fd);
      if (conn != mConnections.end()) {
         Send(conn->second, Proto::Encode(waiter->second.seq, c.answer));
      }
      mWaiters.erase(waiter);
   }
   done.clear();
}

void EmulatorServer::Accept()
{
   for (;;) {
      int fd = accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
         return;
      }
      Connection conn;
      conn.fd = fd;
      mConnections[fd] = conn;
   }
}

void EmulatorServer::HandleFrame(Connection &conn, const Bytes &frame)
{
   Proto::Header header;
   const uint8_t *body = nullptr;
   size_t bodySize = 0;
   if (!Proto::ParseHeader(frame.data(), frame.size(), header, body, bodySize)) {
      Refuse(conn, 0, "malformed frame");
      return;
   }
   switch (conn.role) {
   case Role::kNew:
      HandleFirstFrame(conn, header, body, bodySize);
      break;
   case Role::kChannel:
      HandleChannel(conn, header, body, bodySize);
      break;
   case Role::kControl:
      HandleControl(conn, header, body, bodySize);
      break;
   case Role::kNotice:
      Refuse(conn, header.seq, "frame on the notice connection");
      break;
   }
}

void EmulatorServer::HandleFirstFrame(Connection &conn, const Proto::Header &header,
                                      const uint8_t *body, size_t bodySize)
{
   if (header.type == Proto::kRegister) {
      Proto::RegisterRequest request;
      if (!Proto::Decode(body, bodySize, request)) {
         Refuse(conn, header.seq, "malformed register request");
         return;
      }
      Proto::RegisterAnswer answer;
      answer.status = mCore.Register(request, &answer.aux);
      Note("register \"%s\": %s", request.name.c_str(),
           HYK_ReturnStatusToString(answer.status).c_str());
      if (answer.status == kStatusSuccess) {
         conn.role = Role::kChannel;
         mChannelFd = conn.fd;
         mToken = (static_cast<uint64_t>(getpid()) << 32) ^ mNextWaiter++ ^
                  static_cast<uint64_t>(EmulatorCore::Clock::now().time_since_epoch().count());
         answer.token = mToken;
      }
      Send(conn, Proto::Encode(header.seq, answer));
      return;
   }
   if (header.type == Proto::kAttach) {
      Proto::AttachRequest request;
      if (!Proto::Decode(body, bodySize, request)) {
         Refuse(conn, header.seq, "malformed attach request");
         return;
      }
      const bool ok = mChannelFd >= 0 && mNoticeFd < 0 && request.token == mToken;
      Send(conn, Proto::Encode(Proto::kAttach, header.seq,
                               Proto::StatusAnswer{ok ? kStatusSuccess : kStatusNotFound}));
      if (!ok) {
         conn.closing = true;
         return;
      }
      conn.role = Role::kNotice;
      mNoticeFd = conn.fd;
      mNoticeOutstanding = false;
      NotifyChannel();
      return;
   }
   if (header.type == Proto::kHello) {
      Proto::HelloRequest request;
      if (!Proto::Decode(body, bodySize, request)) {
         Refuse(conn, header.seq, "malformed hello");
         return;
      }
      Proto::HelloAnswer answer;
      answer.status = request.version == Proto::kVersion ? kStatusSuccess : kStatusNotSupported;
      Send(conn, Proto::Encode(header.seq, answer));
      if (answer.status == kStatusSuccess) {
         conn.role = Role::kControl;
      } else {
         conn.closing = true;
      }
      return;
   }
   Refuse(conn, header.seq, "first frame is neither register, attach nor hello");
}

void EmulatorServer::HandleChannel(Connection &conn, const Proto::Header &header,
                                   const uint8_t *body, size_t bodySize)
{
   if (header.type == Proto::kGetMsg) {
      Proto::GetMsgRequest request;
      if (!Proto::Decode(body, bodySize, request)) {
         Refuse(conn, header.seq, "malformed get-message request");
         return;
      }
      Proto::GetMsgAnswer answer;
      if (request.noticeTaken != 0) {
         mNoticeOutstanding = false;
         answer = mCore.GetMsg(request);
      } else {
         // Without the notice the caller was not told of a message; handing one
         // out would leave the notice behind on an empty queue.
         answer.info = request.info;
         answer.status = kStatusNoMessage;
      }
      // The next notice goes out before this answer, so the caller finds the
      // descriptor readable again as soon as it has the answer.
      NotifyChannel();
      if (answer.status != kStatusSuccess) {
         Note("get-message for %d: %s", answer.info.id,
              HYK_ReturnStatusToString(answer.status).c_str());
      }
      Send(conn, Proto::Encode(header.seq, answer));
   } else if (header.type == Proto::kSendReply) {
      Proto::SendReplyRequest request;
      if (!Proto::Decode(body, bodySize, request)) {
         Refuse(conn, header.seq, "malformed reply");
         return;
      }
      std::vector<Completion> done;
      HYK_ReturnStatus answer = mCore.Reply(request, EmulatorCore::Clock::now(), done);
      Note("reply to message %d: status 0x%X, answered 0x%X", request.msgId,
           mCore.LastReply().replyStatus, answer);
      Send(conn, Proto::Encode(Proto::kSendReply, header.seq, Proto::StatusAnswer{answer}));
      Complete(done);
   } else {
      Refuse(conn, header.seq, "unexpected request on the channel");
   }
}

void EmulatorServer::HandleControl(Connection &conn, const Proto::Header &header,
                                   const uint8_t *body, size_t bodySize)
{
   switch (header.type) {
   case Proto::kQueueMsg: {
      Proto::QueueMsgRequest request;
      if (!Proto::Decode(body, bodySize, request)) {
         break;
      }
      const size_t size = request.message.size();
      const bool wait = request.timeoutMs != 0;
      const uint64_t waiter = wait ? mNextWaiter++ : 0;
      const auto deadline =
          EmulatorCore::Clock::now() + std::chrono::milliseconds(request.timeoutMs);
      Proto::QueueMsgAnswer answer;
      answer.status = mCore.Queue(std::move(request.message), waiter, deadline, &answer.msgId);
      if (answer.status == kStatusSuccess) {
         Note("queued message %d (%zu bytes)", answer.msgId, size);
      }
      if (answer.status != kStatusSuccess || !wait) {
         Send(conn, Proto::Encode(header.seq, answer));
      } else {
         mWaiters[waiter] = Waiter{conn.fd, header.seq};
      }
      NotifyChannel();
      return;
   }
   case Proto::kListReplies:
      if (bodySize != 0) {
         break;
      }
      Send(conn, Proto::Encode(header.seq, mCore.ListReplies()));
      return;
   case Proto::kKeyAdd: {
      Proto::KeyAddRequest request;
      if (!Proto::Decode(body, bodySize, request)) {
         break;
      }
      HYK_ReturnStatus status = mCore.AddKey(request);
      Note("add key for provider \"%s\" (%s): %s", request.provider.c_str(), request.cipher.c_str(),
           HYK_ReturnStatusToString(status).c_str());
      Send(conn, Proto::Encode(Proto::kKeyAdd, header.seq, Proto::StatusAnswer{status}));
      return;
   }
   case Proto::kKeySetType: {
      Proto::KeySetTypeRequest request;
      if (!Proto::Decode(body, bodySize, request)) {
         break;
      }
      HYK_ReturnStatus status = mCore.SetKeyType(request);
      Note("set key type %u for provider \"%s\": %s", request.keyType, request.provider.c_str(),
           HYK_ReturnStatusToString(status).c_str());
      Send(conn, Proto::Encode(Proto::kKeySetType, header.seq, Proto::StatusAnswer{status}));
      return;
   }
   case Proto::kKeyRemove: {
      Proto::KeyRemoveRequest request;
      if (!Proto::Decode(body, bodySize, request)) {
         break;
      }
      HYK_ReturnStatus status = mCore.RemoveKey(request);
      Note("remove key for provider \"%s\": %s", request.provider.c_str(),
           HYK_ReturnStatusToString(status).c_str());
      Send(conn, Proto::Encode(Proto::kKeyRemove, header.seq, Proto::StatusAnswer{status}));
      return;
   }
   case Proto::kListKeys: {
      Proto::ListKeysRequest request;
      if (!Proto::Decode(body, bodySize, request)) {
         break;
      }
      Send(conn, Proto::Encode(header.seq, mCore.ListKeys(request.reveal != 0)));
      return;
   }
   default:
      break;
   }
   Refuse(conn, header.seq, "malformed or unexpected control request");
}

void EmulatorServer::CloseConnection(int fd)
{
   if (mConnections.count(fd) == 0) {
      return;
   }
   if (fd == mChannelFd || fd == mNoticeFd) {
      // Either connection going away ends the registration; the other one is
      // closed with it so that the agent sees the channel gone.
      Note("channel closed; endpoint %s unregistered", kEndpointName);
      std::vector<Completion> done;
      if (size_t dropped = mCore.ChannelGone(done); dropped != 0) {
         Note("%zu taken request(s) can no longer be answered; dropped", dropped);
      }
      Complete(done);
      const int other = fd == mChannelFd ? mNoticeFd : mChannelFd;
      mChannelFd = -1;
      mNoticeFd = -1;
      mToken = 0;
      mNoticeOutstanding = false;
      if (other >= 0) {
         CloseConnection(other);
      }
   }
   for (auto it = mWaiters.begin(); it != mWaiters.end();) {
      if (it->second.fd == fd) {
         mCore.DropWaiter(it->first);
         it = mWaiters.erase(it);
      } else {
         ++it;
      }
   }
   close(fd);
   mConnections.erase(fd);
}

int EmulatorServer::Run(int stopFd)
{
   Note("serving on %s", mSocketPath.c_str());
   std::vector<Completion> done;
   Bytes frame;
   for (;;) {
      std::vector<pollfd> fds;
      fds.push_back({stopFd, POLLIN, 0});
      fds.push_back({mListenFd, POLLIN, 0});
      for (const auto &entry : mConnections) {
         fds.push_back({entry.first, POLLIN, 0});
      }
      int timeout = -1;
      if (auto next = mCore.NextDeadline()) {
         auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
             *next - EmulatorCore::Clock::now());
         timeout = left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
      }
      int ready = poll(fds.data(), fds.size(), timeout);
      if (ready < 0 && errno != EINTR) {
         Note("poll: %s", strerror(errno));
         return 1;
      }
      if (fds[0].revents != 0) {
         Note("stopping");
         return 0;
      }
      if (fds[1].revents & POLLIN) {
         Accept();
      }
      for (size_t i = 2; i < fds.size(); ++i) {
         if (fds[i].revents == 0) {
            continue;
         }
         auto it = mConnections.find(fds[i].fd);
         if (it == mConnections.end()) {
            continue;
         }
         RecvResult result = RecvFrame(it->second.fd, frame, 0);
         if (result == RecvResult::kFrame) {
            HandleFrame(it->second, frame);
         } else if (result == RecvResult::kTruncated) {
            Refuse(it->second, 0, "oversized frame");
         } else if (result != RecvResult::kTimedOut) {
            it->second.closing = true;
         }
      }
      mCore.Expire(EmulatorCore::Clock::now(), done);
      Complete(done);
      std::vector<int> closing;
      for (const auto &entry : mConnections) {
         if (entry.second.closing) {
            closing.push_back(entry.first);
         }
      }
      for (int fd : closing) {
         CloseConnection(fd);
      }
   }
}

} // namespace HyperkernEmu
