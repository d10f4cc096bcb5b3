// The emulator's socket side: one SOCK_SEQPACKET listening socket; the first
// frame of a connection makes it the call connection of the kernel channel
// (Register), the channel's notice connection (Attach) or a control connection
// (Hello). Single-threaded: every frame is handled in turn.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "peers/hyperkern-emu/emulator_core.h"

namespace HyperkernEmu {

class EmulatorServer {
public:
   EmulatorServer(std::string socketPath, Options options);
   ~EmulatorServer();
   EmulatorServer(const EmulatorServer &) = delete;
   EmulatorServer &operator=(const EmulatorServer &) = delete;

   // Creates the socket under a temporary name and renames it into place, so
   // that the path exists only once connections are accepted.
   bool Listen(std::string *error);
   // Serves until stopFd becomes readable. The socket file goes with the server.
   // Returns 0, or 1 when polling itself failed.
   int Run(int stopFd);

private:
   enum class Role { kNew, kChannel, kNotice, kControl };
   struct Connection {
      int fd = -1;
      Role role = Role::kNew;
      bool closing = false;
   };
   struct Waiter {
      int fd;
      uint32_t seq;
   };

   void Accept();
   void HandleFrame(Connection &conn, const Bytes &frame);
   void HandleFirstFrame(Connection &conn, const Proto::Header &header, const uint8_t *body,
                         size_t bodySize);
   void HandleChannel(Connection &conn, const Proto::Header &header, const uint8_t *body,
                      size_t bodySize);
   void HandleControl(Connection &conn, const Proto::Header &header, const uint8_t *body,
                      size_t bodySize);
   void Refuse(Connection &conn, uint32_t seq, const char *why);
   void Send(Connection &conn, const Bytes &frame);
   void NotifyChannel();
   void Complete(std::vector<Completion> &done);
   void CloseConnection(int fd);

   const std::string mSocketPath;
   EmulatorCore mCore;
   int mListenFd = -1;
   bool mOwnsPath = false;
   std::map<int, Connection> mConnections;
   int mChannelFd = -1; // call connection of the registered channel
   int mNoticeFd = -1;  // its notice connection, once attached
   uint64_t mToken = 0; // names the registered channel to its notice connection
   // A Ready notice was sent and the channel has not said it took it.
   bool mNoticeOutstanding = false;
   uint64_t mNextWaiter = 1;
   std::map<uint64_t, Waiter> mWaiters;
};

} // namespace HyperkernEmu
