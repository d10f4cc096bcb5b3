// Connectors make a connected ByteStream for one client exchange: TCP
// (TcpBaseConnector), TLS over TCP (TlsConnector) or a Unix domain socket
// (LocalConnector). Connecting (resolve, connect and, for TLS, the handshake) is
// bounded by the read limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "runtime/ruvo/transport/byte_stream.h"

namespace Ruvo::Asio {

struct StreamLimits {
   std::chrono::steady_clock::duration readLimit = std::chrono::seconds(1200);
   std::chrono::steady_clock::duration writeLimit = std::chrono::seconds(1800);
   // Run on each TCP socket after it is opened and before it connects (the
   // agent marks its own traffic for the firewall); may be empty.
   std::function<void(int fd)> prepareSocket;
};

using ConnectCb = std::function<void(const boost::system::error_code &, std::shared_ptr<ByteStream>)>;

// A host to connect to is a DNS name (letters, digits, '-' and '_' in dot-separated
// labels of at most 63 bytes, 253 in all, one trailing dot allowed) or an IPv4 or
// IPv6 address literal. Gives its form for a Host header ("[...]" around IPv6);
// false for anything else, which is never connected to nor written anywhere.
bool HostHeaderForm(const std::string &host, std::string &headerForm);

class Connector {
public:
   virtual ~Connector() = default;
   virtual void AsyncConnect(ConnectCb cb) = 0;
};

class TcpBaseConnector : public Connector {
public:
   using SocketCb = std::function<void(const boost::system::error_code &, boost::asio::ip::tcp::socket)>;

   TcpBaseConnector(boost::asio::io_context &io, std::string host, uint16_t port, StreamLimits limits);

   void AsyncConnect(ConnectCb cb) override;
   // The connected socket itself, for a layer that wraps it.
   void AsyncConnectSocket(SocketCb cb);

   const std::string &Host() const { return mHost; }
   uint16_t Port() const { return mPort; }
   const StreamLimits &Limits() const { return mLimits; }

private:
   boost::asio::io_context &mIo;
   std::string mHost;
   uint16_t mPort;
   StreamLimits mLimits;
};

class LocalConnector : public Connector {
public:
   LocalConnector(boost::asio::io_context &io, std::string path, StreamLimits limits);
   void AsyncConnect(ConnectCb cb) override;

private:
   boost::asio::io_context &mIo;
   std::string mPath;
   StreamLimits mLimits;
};

} // namespace Ruvo::Asio

namespace Ruvo::Security::Openssl {

class TlsConnector : public Asio::Connector {
public:
   // The peer must present a certificate that the context trusts and that matches
   // the host: a name against the certificate's DNS names only (never its subject
   // common name; a wildcard only as a whole left-most label), an address against
   // its IP address entries. A session kept from an earlier verified handshake to
   // the same host and port under the same trusted CAs is offered for resumption;
   // should that handshake fail, one full handshake follows on a new connection.
   TlsConnector(std::shared_ptr<Asio::TcpBaseConnector> base, std::shared_ptr<boost::asio::ssl::context> context);
   void AsyncConnect(Asio::ConnectCb cb) override;

private:
   std::shared_ptr<Asio::TcpBaseConnector> mBase;
   std::shared_ptr<boost::asio::ssl::context> mContext;
};

} // namespace Ruvo::Security::Openssl
