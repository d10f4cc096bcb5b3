// Header blocks written by the transport. Each block is a list of buffers for one
// gathered write; constant parts point to static text and the body is never copied.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/buffer.hpp>

namespace Ruvo::Transport::PicoHttp {

using ExtraHeaders = std::vector<std::pair<std::string, std::string>>;

// Owns the few generated pieces (numbers, chunk sizes) that the buffer list points
// into; the caller keeps it and the referenced strings alive until the write ends.
class GatheredMessage {
public:
   // A reply's header block is about twenty pieces: room for them up front.
   GatheredMessage() { mBuffers.reserve(24); }
   GatheredMessage(const GatheredMessage &) = delete;
   GatheredMessage &operator=(const GatheredMessage &) = delete;

   const std::vector<boost::asio::const_buffer> &Buffers() const { return mBuffers; }
   // The same bytes in few buffers, for one system call: a write takes at most 16
   // buffers at a time and sends the rest as another segment. Runs of small pieces
   // are copied into one block owned here; large ones (a body) stay where they are.
   std::vector<boost::asio::const_buffer> Coalesced();
   // All bytes concatenated (tests and logs).
   std::string Flatten() const;

   // --- building ---
   void Add(std::string_view text) { mBuffers.emplace_back(text.data(), text.size()); }
   void AddNumber(uint64_t value);
   void AddChunkHeader(uint64_t size);

private:
   // Generated text; small fixed buffers that never move once earlier buffers
   // point to them. A message needs few, so the first ones live here.
   struct Slot {
      char text[24];
   };
   Slot &NewSlot();
   std::vector<boost::asio::const_buffer> mBuffers;
   std::string mBlock;
   Slot mInline[4];
   size_t mInlineUsed = 0;
   std::vector<std::unique_ptr<Slot>> mSlots;
};

// Request of the client: POST /api with the body as JSON.
void BuildClientRequest(GatheredMessage &out, std::string_view host, std::string_view body);

// Reply with the whole body and its length.
void BuildBodyReply(GatheredMessage &out, std::string_view contentType, bool keepAlive,
                    const ExtraHeaders &extra, std::string_view body);

// Reply whose messages follow as chunks, each one message, then the last chunk.
void BuildFramedChunkReply(GatheredMessage &out, std::string_view contentType, bool keepAlive,
                           const ExtraHeaders &extra, const std::vector<std::string> &messages);

// Reply to a request that no handler can take.
void BuildBadRequestReply(GatheredMessage &out, std::string_view body);

// An error carried as an HTTP status, with a JSON body.
void BuildStatusReply(GatheredMessage &out, int status, std::string_view statusMessage,
                      std::string_view body);

// Header text that cannot break the header block: a token for names, no control
// characters (tab aside) for values and status messages.
bool IsHeaderNameSafe(std::string_view name);
bool IsHeaderValueSafe(std::string_view value);

} // namespace Ruvo::Transport::PicoHttp
