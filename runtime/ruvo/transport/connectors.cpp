#include "runtime/ruvo/transport/connectors.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <string_view>
#include <vector>

#include "runtime/ruvo/transport/timeout_stream.h"
#include "runtime/ruvo/transport/tls_context.h"
#include "runtime/ruvo/transport/tls_session_cache.h"

namespace Ruvo::Asio {
namespace {

using boost::asio::ip::tcp;

// Resolve and connect, with one deadline for both.
struct TcpAttempt : std::enable_shared_from_this<TcpAttempt> {
   TcpAttempt(boost::asio::io_context &io, TcpBaseConnector::SocketCb done)
      : strand(boost::asio::make_strand(io)), resolver(strand), socket(strand), timer(strand), cb(std::move(done))
   {
   }

   void Start(const std::string &host, uint16_t port, std::chrono::steady_clock::duration limit,
              std::function<void(int)> prepare)
   {
      prepareSocket = std::move(prepare);
      timer.expires_after(limit);
      timer.async_wait([self = shared_from_this()](const boost::system::error_code &ec) {
         if (!ec) {
            self->timedOut = true;
            self->resolver.cancel();
            boost::system::error_code ignored;
            self->socket.close(ignored);
         }
      });
      // An address needs no lookup. Skipping the resolver also spares a thread:
      // the resolver runs its lookups on a thread of its own per I/O context.
      boost::system::error_code notAddress;
      const auto address = boost::asio::ip::make_address(host, notAddress);
      if (!notAddress) {
         endpoints.emplace_back(address, port);
         boost::asio::post(strand, [self = shared_from_this()] {
            self->ConnectNext(boost::asio::error::host_not_found);
         });
         return;
      }
      resolver.async_resolve(host, std::to_string(port),
                             [self = shared_from_this()](const boost::system::error_code &ec,
                                                         tcp::resolver::results_type results) {
                                if (ec) {
                                   self->Finish(ec);
                                   return;
                                }
                                for (const auto &entry : results) {
                                   self->endpoints.push_back(entry.endpoint());
                                }
                                self->ConnectNext(boost::asio::error::host_not_found);
                             });
   }

   // One endpoint after the other, each on a socket prepared before it connects.
   void ConnectNext(boost::system::error_code lastEc)
   {
      if (timedOut || next >= endpoints.size()) {
         Finish(lastEc);
         return;
      }
      const tcp::endpoint endpoint = endpoints[next++];
      boost::system::error_code ec;
      socket.close(ec);
      socket.open(endpoint.protocol(), ec);
      if (ec) {
         ConnectNext(ec);
         return;
      }
      if (prepareSocket) {
         prepareSocket(socket.native_handle());
      }
      socket.async_connect(endpoint, [self = shared_from_this()](const boost::system::error_code &connectEc) {
         if (!connectEc) {
            self->Finish(connectEc);
            return;
         }
         self->ConnectNext(connectEc);
      });
   }

   void Finish(boost::system::error_code ec)
   {
      timer.cancel();
      if (timedOut) {
         ec = boost::asio::error::timed_out;
      }
      auto done = std::move(cb);
      if (ec) {
         boost::system::error_code ignored;
         socket.close(ignored);
      }
      done(ec, std::move(socket));
   }

   boost::asio::strand<boost::asio::io_context::executor_type> strand;
   tcp::resolver resolver;
   tcp::socket socket;
   boost::asio::steady_timer timer;
   TcpBaseConnector::SocketCb cb;
   bool timedOut = false;
   std::function<void(int)> prepareSocket;
   std::vector<tcp::endpoint> endpoints;
   size_t next = 0;
};

bool IsLabelByte(char c)
{
   return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool IsDnsName(std::string_view name)
{
   if (!name.empty() && name.back() == '.') {
      name.remove_suffix(1);
   }
   if (name.empty() || name.size() > 253) {
      return false;
   }
   size_t label = 0;
   for (char c : name) {
      if (c == '.') {
         if (label == 0) {
            return false;
         }
         label = 0;
      } else if (!IsLabelByte(c) || ++label > 63) {
         return false;
      }
   }
   return label > 0;
}

} // namespace

bool HostHeaderForm(const std::string &host, std::string &headerForm)
{
   boost::system::error_code notAddress;
   auto address = boost::asio::ip::make_address(host, notAddress);
   if (!notAddress) {
      // A scoped IPv6 address has no place in a Host header.
      if (address.is_v6() && address.to_v6().scope_id() != 0) {
         return false;
      }
      headerForm = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
      return true;
   }
   if (!IsDnsName(host)) {
      return false;
   }
   headerForm = host;
   return true;
}

TcpBaseConnector::TcpBaseConnector(boost::asio::io_context &io, std::string host, uint16_t port,
                                   StreamLimits limits)
   : mIo(io), mHost(std::move(host)), mPort(port), mLimits(limits)
{
}

void TcpBaseConnector::AsyncConnectSocket(SocketCb cb)
{
   auto attempt = std::make_shared<TcpAttempt>(mIo, std::move(cb));
   std::string ignored;
   if (!HostHeaderForm(mHost, ignored)) {
      boost::asio::post(attempt->strand, [attempt] { attempt->Finish(boost::asio::error::invalid_argument); });
      return;
   }
   attempt->Start(mHost, mPort, mLimits.readLimit, mLimits.prepareSocket);
}

void TcpBaseConnector::AsyncConnect(ConnectCb cb)
{
   AsyncConnectSocket([limits = mLimits, cb = std::move(cb)](const boost::system::error_code &ec, tcp::socket socket) {
      if (ec) {
         cb(ec, nullptr);
         return;
      }
      boost::system::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      cb(ec, TimeoutBaseStream<tcp::socket>::Create(std::move(socket), limits.readLimit, limits.writeLimit));
   });
}

LocalConnector::LocalConnector(boost::asio::io_context &io, std::string path, StreamLimits limits)
   : mIo(io), mPath(std::move(path)), mLimits(limits)
{
}

void LocalConnector::AsyncConnect(ConnectCb cb)
{
   using boost::asio::local::stream_protocol;
   auto socket = std::make_shared<stream_protocol::socket>(boost::asio::make_strand(mIo));
   boost::system::error_code ec;
   if (mPath.empty() || mPath.size() >= sizeof(sockaddr_un::sun_path)) {
      ec = boost::asio::error::invalid_argument;
      boost::asio::post(socket->get_executor(), [cb = std::move(cb), ec] { cb(ec, nullptr); });
      return;
   }
   socket->async_connect(stream_protocol::endpoint(mPath),
                         [socket, limits = mLimits, cb = std::move(cb)](const boost::system::error_code &connectEc) {
                            if (connectEc) {
                               cb(connectEc, nullptr);
                               return;
                            }
                            cb(connectEc, TimeoutBaseStream<stream_protocol::socket>::Create(
                                             std::move(*socket), limits.readLimit, limits.writeLimit));
                         });
}

} // namespace Ruvo::Asio

namespace Ruvo::Security::Openssl {

TlsConnector::TlsConnector(std::shared_ptr<Asio::TcpBaseConnector> base,
                           std::shared_ptr<boost::asio::ssl::context> context)
   : mBase(std::move(base)), mContext(std::move(context))
{
}

namespace {

using TlsStream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

bool TimedOut(const boost::system::error_code &ec)
{
   return ec == boost::asio::error::operation_aborted || ec == boost::asio::error::timed_out;
}

// Keeps the session of a verified handshake; a resumed one again only when the
// server renewed its ticket (so an entry never outlives its first lifetime).
void KeepSession(SSL *ssl, const std::string &key, const SSL_SESSION *offered)
{
   if (key.empty() || SSL_get_verify_result(ssl) != X509_V_OK) {
      return;
   }
   SSL_SESSION *session = SSL_get1_session(ssl);
   if (session != nullptr && session != offered && SSL_SESSION_is_resumable(session) == 1) {
      // A copy: OpenSSL retires a connection's own session when that connection
      // ends without a closing alert, which is how this transport ends them.
      SSL_SESSION *copy = SSL_SESSION_dup(session);
      if (copy != nullptr) {
         TlsSessionCache::Instance().Put(key, copy, SessionLifetime(copy));
         SSL_SESSION_free(copy);
      }
   }
   SSL_SESSION_free(session);
}

void TlsAttempt(std::shared_ptr<Asio::TcpBaseConnector> base, std::shared_ptr<boost::asio::ssl::context> context,
                Asio::ConnectCb cb, bool offerSession)
{
   using boost::asio::ip::tcp;
   auto connected = [base, context, cb = std::move(cb), offerSession](const boost::system::error_code &ec,
                                                                     tcp::socket socket) {
      if (ec) {
         cb(ec, nullptr);
         return;
      }
      boost::system::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      TlsStream tls(std::move(socket), *context);
      const std::string &host = base->Host();
      // OpenSSL checks the name during the handshake. Server name indication
      // carries names only, never address literals.
      X509_VERIFY_PARAM *param = SSL_get0_param(tls.native_handle());
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT |
                                                X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      boost::system::error_code notAddress;
      boost::asio::ip::make_address(host, notAddress);
      bool checked = false;
      if (notAddress) {
         checked = X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1 &&
                   SSL_set_tlsext_host_name(tls.native_handle(), host.c_str()) == 1;
      } else {
         checked = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
      }
      if (!checked) {
         ERR_clear_error();
         boost::system::error_code closeEc;
         tls.lowest_layer().close(closeEc);
         cb(boost::asio::error::invalid_argument, nullptr);
         return;
      }
      tls.set_verify_mode(boost::asio::ssl::verify_peer);
      const std::string digest = ClientTrustDigest(context->native_handle());
      const std::string key = digest.empty() ? "" : TlsSessionCache::Key(host, base->Port(), digest);
      const SSL_SESSION *offered = nullptr;
      if (offerSession && !key.empty()) {
         // The connection gets a copy of its own, so its end never retires the kept one.
         if (SSL_SESSION *session = TlsSessionCache::Instance().Get(key)) {
            if (SSL_set_session(tls.native_handle(), session) == 1) {
               offered = session; // identity only: the connection holds its own reference
            }
            ERR_clear_error();
            SSL_SESSION_free(session);
         }
      }
      auto stream = Asio::TimeoutBaseStream<TlsStream>::Create(std::move(tls), base->Limits().readLimit,
                                                               base->Limits().writeLimit);
      stream->AsyncStart(Asio::StreamRole::Client, [stream, cb, key, offered, base, context](
                                                      const boost::system::error_code &handshakeEc) {
         if (handshakeEc) {
            stream->Close();
            if (!key.empty()) {
               TlsSessionCache::Instance().Erase(key);
            }
            if (offered != nullptr && !TimedOut(handshakeEc)) {
               TlsAttempt(base, context, cb, false);
               return;
            }
            cb(handshakeEc, nullptr);
            return;
         }
         KeepSession(stream->Next().native_handle(), key, offered);
         cb(handshakeEc, stream);
      });
   };
   base->AsyncConnectSocket(std::move(connected));
}

} // namespace

void TlsConnector::AsyncConnect(Asio::ConnectCb cb)
{
   TlsAttempt(mBase, mContext, std::move(cb), true);
}

} // namespace Ruvo::Security::Openssl
