#include "runtime/hyperkern/protocol.h"

namespace Hyperkern::Proto {
namespace {

inline constexpr size_t kMaxClient = 64;

ByteWriter Start(uint32_t type, uint32_t seq)
{
   ByteWriter w;
   w.U32(type);
   w.U32(seq);
   return w;
}

void Info(ByteWriter &w, const RPC_MsgInfoUser &info)
{
   w.I32(info.id);
   w.U32(info.context);
   w.U32(info.replyInfo);
}

bool Info(ByteReader &r, RPC_MsgInfoUser &info)
{
   return r.I32(info.id) && r.U32(info.context) && r.U32(info.replyInfo);
}

void Digest(ByteWriter &w, const KeyIdDigest &d)
{
   w.Raw(d.data(), d.size());
}

bool Digest(ByteReader &r, KeyIdDigest &d)
{
   return r.Raw(d.data(), d.size());
}

} // namespace

Bytes Encode(uint32_t seq, const RegisterRequest &m)
{
   ByteWriter w = Start(kRegister, seq);
   w.U64(m.flags);
   w.U32(m.infoSize);
   w.U32(m.bufferSize);
   w.Str16(m.name);
   return w.Take();
}

Bytes Encode(uint32_t seq, const RegisterAnswer &m)
{
   ByteWriter w = Start(kRegister | kAnswerBit, seq);
   w.U32(m.status);
   w.U32(m.aux);
   w.U64(m.token);
   return w.Take();
}

Bytes Encode(uint32_t seq, const AttachRequest &m)
{
   ByteWriter w = Start(kAttach, seq);
   w.U64(m.token);
   return w.Take();
}

Bytes Encode(uint32_t seq, const GetMsgRequest &m)
{
   ByteWriter w = Start(kGetMsg, seq);
   w.U64(m.arg4);
   w.U64(m.arg5);
   w.U32(m.capacity);
   Info(w, m.info);
   w.U8(m.noticeTaken);
   return w.Take();
}

Bytes Encode(uint32_t seq, const GetMsgAnswer &m)
{
   ByteWriter w = Start(kGetMsg | kAnswerBit, seq);
   w.U32(m.status);
   Info(w, m.info);
   w.Blob32(m.message.data(), m.message.size());
   return w.Take();
}

Bytes Encode(uint32_t seq, const SendReplyRequest &m)
{
   ByteWriter w = Start(kSendReply, seq);
   w.I32(m.msgId);
   w.Blob32(m.reply.data(), m.reply.size());
   return w.Take();
}

Bytes Encode(uint32_t type, uint32_t seq, const StatusAnswer &m)
{
   ByteWriter w = Start(type | kAnswerBit, seq);
   w.U32(m.status);
   return w.Take();
}

Bytes Encode(uint32_t seq, const HelloRequest &m)
{
   ByteWriter w = Start(kHello, seq);
   w.U32(m.version);
   w.Str16(m.client);
   return w.Take();
}

Bytes Encode(uint32_t seq, const HelloAnswer &m)
{
   ByteWriter w = Start(kHello | kAnswerBit, seq);
   w.U32(m.status);
   w.U32(m.version);
   return w.Take();
}

Bytes Encode(uint32_t seq, const QueueMsgRequest &m)
{
   ByteWriter w = Start(kQueueMsg, seq);
   w.U32(m.timeoutMs);
   w.Blob32(m.message.data(), m.message.size());
   return w.Take();
}

Bytes Encode(uint32_t seq, const QueueMsgAnswer &m)
{
   ByteWriter w = Start(kQueueMsg | kAnswerBit, seq);
   w.U32(m.status);
   w.I32(m.msgId);
   w.U32(m.replyCalls);
   w.U32(m.replyStatus);
   w.U32(m.lastAnswer);
   w.U8(m.ended);
   return w.Take();
}

Bytes EncodeListReplies(uint32_t seq)
{
   return Start(kListReplies, seq).Take();
}

Bytes Encode(uint32_t seq, const ListRepliesAnswer &m)
{
   ByteWriter w = Start(kListReplies | kAnswerBit, seq);
   w.U32(m.status);
   w.U64(m.total);
   w.U32(static_cast<uint32_t>(m.replies.size()));
   for (const ReplyRecord &r : m.replies) {
      w.I32(r.msgId);
      w.U32(r.length);
      w.U32(r.replyStatus);
      w.U32(r.answer);
      w.U64(r.timeMs);
   }
   return w.Take();
}

Bytes Encode(uint32_t seq, const KeyAddRequest &m)
{
   ByteWriter w = Start(kKeyAdd, seq);
   w.Str16(m.provider);
   Digest(w, m.digest);
   w.Str16(m.cipher);
   w.U32(m.flags);
   w.Blob32(m.key.data(), m.key.size());
   return w.Take();
}

Bytes Encode(uint32_t seq, const KeySetTypeRequest &m)
{
   ByteWriter w = Start(kKeySetType, seq);
   w.Str16(m.provider);
   Digest(w, m.digest);
   w.U32(m.keyType);
   return w.Take();
}

Bytes Encode(uint32_t seq, const KeyRemoveRequest &m)
{
   ByteWriter w = Start(kKeyRemove, seq);
   w.Str16(m.provider);
   Digest(w, m.digest);
   return w.Take();
}

Bytes Encode(uint32_t seq, const ListKeysRequest &m)
{
   ByteWriter w = Start(kListKeys, seq);
   w.U8(m.reveal);
   return w.Take();
}

Bytes Encode(uint32_t seq, const ListKeysAnswer &m)
{
   ByteWriter w = Start(kListKeys | kAnswerBit, seq);
   w.U32(m.status);
   w.U32(m.total);
   w.U32(static_cast<uint32_t>(m.keys.size()));
   for (const KeyRecord &k : m.keys) {
      w.Str16(k.provider);
      Digest(w, k.digest);
      w.Str16(k.cipher);
      w.U32(k.keyType);
      w.U32(k.keyLength);
      w.Raw(k.fingerprint.data(), k.fingerprint.size());
      w.Blob32(k.key.data(), k.key.size());
   }
   return w.Take();
}

Bytes EncodeReady()
{
   return Start(kReady, 0).Take();
}

bool ParseHeader(const uint8_t *data, size_t size, Header &header, const uint8_t *&body,
                 size_t &bodySize)
{
   if (size < kHeaderSize || size > kMaxFrame) {
      return false;
   }
   ByteReader r(data, size);
   if (!r.U32(header.type) || !r.U32(header.seq)) {
      return false;
   }
   body = data + kHeaderSize;
   bodySize = size - kHeaderSize;
   return true;
}

bool Decode(const uint8_t *body, size_t size, RegisterRequest &m)
{
   ByteReader r(body, size);
   return r.U64(m.flags) && r.U32(m.infoSize) && r.U32(m.bufferSize) && r.Str16(m.name, kMaxName) &&
          r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, RegisterAnswer &m)
{
   ByteReader r(body, size);
   return r.U32(m.status) && r.U32(m.aux) && r.U64(m.token) && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, AttachRequest &m)
{
   ByteReader r(body, size);
   return r.U64(m.token) && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, GetMsgRequest &m)
{
   ByteReader r(body, size);
   return r.U64(m.arg4) && r.U64(m.arg5) && r.U32(m.capacity) && Info(r, m.info) &&
          r.U8(m.noticeTaken) && m.noticeTaken <= 1 && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, GetMsgAnswer &m)
{
   ByteReader r(body, size);
   if (!r.U32(m.status) || !Info(r, m.info) || !r.Blob32(m.message, kMaxMessage) || !r.AtEnd()) {
      return false;
   }
   return m.status == kStatusSuccess || m.message.empty();
}

bool Decode(const uint8_t *body, size_t size, SendReplyRequest &m)
{
   ByteReader r(body, size);
   return r.I32(m.msgId) && r.Blob32(m.reply, kMaxReply) && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, StatusAnswer &m)
{
   ByteReader r(body, size);
   return r.U32(m.status) && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, HelloRequest &m)
{
   ByteReader r(body, size);
   return r.U32(m.version) && r.Str16(m.client, kMaxClient) && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, HelloAnswer &m)
{
   ByteReader r(body, size);
   return r.U32(m.status) && r.U32(m.version) && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, QueueMsgRequest &m)
{
   ByteReader r(body, size);
   return r.U32(m.timeoutMs) && r.Blob32(m.message, kMaxMessage) && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, QueueMsgAnswer &m)
{
   ByteReader r(body, size);
   return r.U32(m.status) && r.I32(m.msgId) && r.U32(m.replyCalls) && r.U32(m.replyStatus) &&
          r.U32(m.lastAnswer) && r.U8(m.ended) && m.ended <= 1 && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, ListRepliesAnswer &m)
{
   ByteReader r(body, size);
   uint32_t count;
   if (!r.U32(m.status) || !r.U64(m.total) || !r.U32(count) || count > kMaxListedReplies) {
      return false;
   }
   m.replies.clear();
   for (uint32_t i = 0; i < count; ++i) {
      ReplyRecord rec;
      if (!r.I32(rec.msgId) || !r.U32(rec.length) || !r.U32(rec.replyStatus) ||
          !r.U32(rec.answer) || !r.U64(rec.timeMs)) {
         return false;
      }
      m.replies.push_back(rec);
   }
   return r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, KeyAddRequest &m)
{
   ByteReader r(body, size);
   return r.Str16(m.provider, kMaxName) && Digest(r, m.digest) && r.Str16(m.cipher, kMaxCipher) &&
          r.U32(m.flags) && r.Blob32(m.key, kMaxKey) && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, KeySetTypeRequest &m)
{
   ByteReader r(body, size);
   return r.Str16(m.provider, kMaxName) && Digest(r, m.digest) && r.U32(m.keyType) && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, KeyRemoveRequest &m)
{
   ByteReader r(body, size);
   return r.Str16(m.provider, kMaxName) && Digest(r, m.digest) && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, ListKeysRequest &m)
{
   ByteReader r(body, size);
   return r.U8(m.reveal) && m.reveal <= 1 && r.AtEnd();
}

bool Decode(const uint8_t *body, size_t size, ListKeysAnswer &m)
{
   ByteReader r(body, size);
   uint32_t count;
   // Each record takes at least 80 bytes, which bounds the count before any allocation.
   if (!r.U32(m.status) || !r.U32(m.total) || !r.U32(count) || count > r.Remaining() / 80) {
      return false;
   }
   m.keys.clear();
   for (uint32_t i = 0; i < count; ++i) {
      KeyRecord k;
      if (!r.Str16(k.provider, kMaxName) || !Digest(r, k.digest) ||
          !r.Str16(k.cipher, kMaxCipher) || !r.U32(k.keyType) || !r.U32(k.keyLength) ||
          k.keyLength > kMaxKey || !r.Raw(k.fingerprint.data(), k.fingerprint.size()) ||
          !r.Blob32(k.key, kMaxKey) || (!k.key.empty() && k.key.size() != k.keyLength)) {
         return false;
      }
      m.keys.push_back(std::move(k));
   }
   return r.AtEnd();
}

} // namespace Hyperkern::Proto
