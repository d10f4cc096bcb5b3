// Frames exchanged with the kernel emulator over its SOCK_SEQPACKET socket.
// One datagram is one frame: an 8-byte header (type, sequence number; both
// little-endian u32) and a type-specific body. docs/kernel-channel.md is the
// reference for every record.
//
// A registered channel uses two connections: the call connection carries the
// request/answer exchanges of the kernel calls; the notice connection (the
// channel descriptor) carries nothing but Ready notices, so that it is
// readable exactly while a message waits.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/hyperkern/kernel_calls.h"
#include "runtime/hyperkern/wire.h"

namespace Hyperkern::Proto {

inline constexpr uint32_t kVersion = 1;
inline constexpr size_t kHeaderSize = 8;
inline constexpr size_t kMaxFrame = 65536;
// Largest message the emulator queues (the agent's buffer is smaller, so the
// too-large path can be exercised).
inline constexpr size_t kMaxMessage = 16384;
inline constexpr size_t kMaxName = 255;
inline constexpr size_t kMaxReply = 64;
inline constexpr size_t kMaxCipher = 32;
inline constexpr size_t kMaxKey = 64;
// A reply listing carries at most this many of the newest records.
inline constexpr size_t kMaxListedReplies = 2048;

enum Type : uint32_t {
   kRegister = 0x0001,
   kGetMsg = 0x0002,
   kSendReply = 0x0003,
   kAttach = 0x0004, // first frame of the notice connection
   kHello = 0x0010,
   kQueueMsg = 0x0011,
   kListReplies = 0x0012,
   kKeyAdd = 0x0013,
   kKeySetType = 0x0014,
   kKeyRemove = 0x0015,
   kListKeys = 0x0016,
   kReady = 0x0100, // on the notice connection: a message is queued
   kError = 0x7FFF, // answer to a frame the emulator could not take
};
inline constexpr uint32_t kAnswerBit = 0x8000;

struct Header {
   uint32_t type = 0;
   uint32_t seq = 0;
};

using KeyIdDigest = std::array<uint8_t, 32>;

struct RegisterRequest {
   uint64_t flags = 0;
   uint32_t infoSize = 0;
   uint32_t bufferSize = 0;
   std::string name;
};
struct RegisterAnswer {
   uint32_t status = 0;
   uint32_t aux = 0;
   uint64_t token = 0; // names the channel to its notice connection
};
struct AttachRequest {
   uint64_t token = 0;
};
struct GetMsgRequest {
   uint64_t arg4 = 0;
   uint64_t arg5 = 0;
   uint32_t capacity = 0;
   RPC_MsgInfoUser info{-1, 0, 0};
   // 1 when the caller took a Ready notice off the notice connection for this call.
   uint8_t noticeTaken = 0;
};
struct GetMsgAnswer {
   uint32_t status = 0;
   RPC_MsgInfoUser info{-1, 0, 0};
   Bytes message; // empty unless status is 0
};
struct SendReplyRequest {
   int32_t msgId = 0;
   Bytes reply;
};
// Answer of Attach, SendReply, KeyAdd, KeySetType, KeyRemove and Error.
struct StatusAnswer {
   uint32_t status = 0;
};
struct HelloRequest {
   uint32_t version = kVersion;
   std::string client;
};
struct HelloAnswer {
   uint32_t status = 0;
   uint32_t version = kVersion;
};
struct QueueMsgRequest {
   uint32_t timeoutMs = 0;
   Bytes message;
};
struct QueueMsgAnswer {
   uint32_t status = 0; // 0 ended; kStatusTimedOut; or why it was not queued
   int32_t msgId = -1;
   uint32_t replyCalls = 0;
   uint32_t replyStatus = 0; // status carried by the last reply call
   uint32_t lastAnswer = 0;  // what the emulator answered that call
   uint8_t ended = 0;
};
struct ReplyRecord {
   int32_t msgId = 0;
   uint32_t length = 0;      // reply length as given by the caller
   uint32_t replyStatus = 0; // first 4 reply bytes, 0 when shorter
   uint32_t answer = 0;
   uint64_t timeMs = 0; // since the emulator started
};
struct ListRepliesAnswer {
   uint32_t status = 0;
   uint64_t total = 0; // reply calls recorded; the list holds the newest
   std::vector<ReplyRecord> replies;
};
struct KeyAddRequest {
   std::string provider;
   KeyIdDigest digest{};
   std::string cipher;
   uint32_t flags = 0;
   Bytes key;
};
struct KeySetTypeRequest {
   std::string provider;
   KeyIdDigest digest{};
   uint32_t keyType = 0;
};
struct KeyRemoveRequest {
   std::string provider;
   KeyIdDigest digest{};
};
struct ListKeysRequest {
   uint8_t reveal = 0;
};
struct KeyRecord {
   std::string provider;
   KeyIdDigest digest{};
   std::string cipher;
   uint32_t keyType = 0;
   uint32_t keyLength = 0;
   std::array<uint8_t, 32> fingerprint{}; // SHA-256 of the key bytes
   Bytes key;                             // only when revealed
};
struct ListKeysAnswer {
   uint32_t status = 0;
   uint32_t total = 0;
   std::vector<KeyRecord> keys;
};

Bytes Encode(uint32_t seq, const RegisterRequest &m);
Bytes Encode(uint32_t seq, const RegisterAnswer &m);
Bytes Encode(uint32_t seq, const AttachRequest &m);
Bytes Encode(uint32_t seq, const GetMsgRequest &m);
Bytes Encode(uint32_t seq, const GetMsgAnswer &m);
Bytes Encode(uint32_t seq, const SendReplyRequest &m);
Bytes Encode(uint32_t type, uint32_t seq, const StatusAnswer &m);
Bytes Encode(uint32_t seq, const HelloRequest &m);
Bytes Encode(uint32_t seq, const HelloAnswer &m);
Bytes Encode(uint32_t seq, const QueueMsgRequest &m);
Bytes Encode(uint32_t seq, const QueueMsgAnswer &m);
Bytes EncodeListReplies(uint32_t seq);
Bytes Encode(uint32_t seq, const ListRepliesAnswer &m);
Bytes Encode(uint32_t seq, const KeyAddRequest &m);
Bytes Encode(uint32_t seq, const KeySetTypeRequest &m);
Bytes Encode(uint32_t seq, const KeyRemoveRequest &m);
Bytes Encode(uint32_t seq, const ListKeysRequest &m);
Bytes Encode(uint32_t seq, const ListKeysAnswer &m);
Bytes EncodeReady();

// Splits a frame; false when shorter than the header or longer than kMaxFrame.
bool ParseHeader(const uint8_t *data, size_t size, Header &header, const uint8_t *&body,
                 size_t &bodySize);

// Body decoders: false on truncation, over-long fields, NULs inside texts or
// trailing bytes.
bool Decode(const uint8_t *body, size_t size, RegisterRequest &m);
bool Decode(const uint8_t *body, size_t size, RegisterAnswer &m);
bool Decode(const uint8_t *body, size_t size, AttachRequest &m);
bool Decode(const uint8_t *body, size_t size, GetMsgRequest &m);
bool Decode(const uint8_t *body, size_t size, GetMsgAnswer &m);
bool Decode(const uint8_t *body, size_t size, SendReplyRequest &m);
bool Decode(const uint8_t *body, size_t size, StatusAnswer &m);
bool Decode(const uint8_t *body, size_t size, HelloRequest &m);
bool Decode(const uint8_t *body, size_t size, HelloAnswer &m);
bool Decode(const uint8_t *body, size_t size, QueueMsgRequest &m);
bool Decode(const uint8_t *body, size_t size, QueueMsgAnswer &m);
bool Decode(const uint8_t *body, size_t size, ListRepliesAnswer &m);
bool Decode(const uint8_t *body, size_t size, KeyAddRequest &m);
bool Decode(const uint8_t *body, size_t size, KeySetTypeRequest &m);
bool Decode(const uint8_t *body, size_t size, KeyRemoveRequest &m);
bool Decode(const uint8_t *body, size_t size, ListKeysRequest &m);
bool Decode(const uint8_t *body, size_t size, ListKeysAnswer &m);

} // namespace Hyperkern::Proto
