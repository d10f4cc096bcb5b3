#include "runtime/tpm2/attest_protocol.h"

#include <algorithm>
#include <initializer_list>

namespace AttestLib::Tpm2::Protocol {

namespace {

// magic, version, type, field count
constexpr size_t kHeaderBytes = kMagic.size() + 3;

Bytes Pack(MessageType type, std::initializer_list<const Bytes *> fields)
{
   Bytes out(kMagic.begin(), kMagic.end());
   out.push_back(kVersion);
   out.push_back(static_cast<uint8_t>(type));
   out.push_back(static_cast<uint8_t>(fields.size()));
   for (const Bytes *field : fields) {
      const uint32_t size = static_cast<uint32_t>(field->size());
      for (int shift = 24; shift >= 0; shift -= 8) {
         out.push_back(static_cast<uint8_t>(size >> shift));
      }
      out.insert(out.end(), field->begin(), field->end());
   }
   return out;
}

bool Header(const Bytes &context, MessageType &type, size_t &fieldCount, std::string &error)
{
   if (context.size() > kMaxContextBytes) {
      error = "context too large";
      return false;
   }
   if (context.size() < kHeaderBytes ||
       !std::equal(kMagic.begin(), kMagic.end(), context.begin())) {
      error = "not an attestation context";
      return false;
   }
   if (context[4] != kVersion) {
      error = "unsupported context version " + std::to_string(context[4]);
      return false;
   }
   const uint8_t raw = context[5];
   if (raw < static_cast<uint8_t>(MessageType::Challenge) ||
       raw > static_cast<uint8_t>(MessageType::Evidence)) {
      error = "unknown context type " + std::to_string(raw);
      return false;
   }
   type = static_cast<MessageType>(raw);
   fieldCount = context[6];
   return true;
}

// Splits the body into exactly the expected fields; each must fit in what is left.
bool Unpack(const Bytes &context, MessageType expected, std::initializer_list<Bytes *> fields,
            std::string &error)
{
   MessageType type;
   size_t count = 0;
   if (!Header(context, type, count, error)) {
      return false;
   }
   if (type != expected) {
      error = "unexpected context type " + std::to_string(static_cast<int>(type));
      return false;
   }
   if (count != fields.size()) {
      error = "wrong number of fields";
      return false;
   }
   size_t pos = kHeaderBytes;
   for (Bytes *field : fields) {
      if (context.size() - pos < 4) {
         error = "truncated context";
         return false;
      }
      uint32_t size = 0;
      for (int i = 0; i < 4; ++i) {
         size = (size << 8) | context[pos + i];
      }
      pos += 4;
      if (size > context.size() - pos) {
         error = "truncated context";
         return false;
      }
      field->assign(context.begin() + static_cast<std::ptrdiff_t>(pos),
                    context.begin() + static_cast<std::ptrdiff_t>(pos + size));
      pos += size;
   }
   if (pos != context.size()) {
      error = "trailing bytes after context";
      return false;
   }
   return true;
}

bool Sized(const Bytes &field, size_t size, const char *name, std::string &error)
{
   if (field.size() != size) {
      error = std::string("bad ") + name + " length";
      return false;
   }
   return true;
}

bool NonEmpty(std::initializer_list<const Bytes *> fields, std::string &error)
{
   for (const Bytes *field : fields) {
      if (field->empty()) {
         error = "empty field";
         return false;
      }
   }
   return true;
}

} // namespace

Bytes Encode(const Challenge &m)
{
   return Pack(MessageType::Challenge, {&m.sessionId});
}

Bytes Encode(const AkPublic &m)
{
   return Pack(MessageType::AkPublic, {&m.sessionId, &m.akPublic});
}

Bytes Encode(const Credential &m)
{
   return Pack(MessageType::Credential,
               {&m.sessionId, &m.credentialBlob, &m.encryptedSecret, &m.nonce, &m.pcrSelection});
}

Bytes Encode(const Evidence &m)
{
   return Pack(MessageType::Evidence,
               {&m.sessionId, &m.secret, &m.attest, &m.signature, &m.pcrValues});
}

bool PeekType(const Bytes &context, MessageType &type, std::string &error)
{
   size_t count = 0;
   return Header(context, type, count, error);
}

bool Decode(const Bytes &context, Challenge &out, std::string &error)
{
   return Unpack(context, MessageType::Challenge, {&out.sessionId}, error) &&
          Sized(out.sessionId, kSessionIdBytes, "session id", error);
}

bool Decode(const Bytes &context, AkPublic &out, std::string &error)
{
   return Unpack(context, MessageType::AkPublic, {&out.sessionId, &out.akPublic}, error) &&
          Sized(out.sessionId, kSessionIdBytes, "session id", error) &&
          NonEmpty({&out.akPublic}, error);
}

bool Decode(const Bytes &context, Credential &out, std::string &error)
{
   return Unpack(context, MessageType::Credential,
                 {&out.sessionId, &out.credentialBlob, &out.encryptedSecret, &out.nonce,
                  &out.pcrSelection},
                 error) &&
          Sized(out.sessionId, kSessionIdBytes, "session id", error) &&
          Sized(out.nonce, kNonceBytes, "nonce", error) &&
          NonEmpty({&out.credentialBlob, &out.encryptedSecret, &out.pcrSelection}, error);
}

bool Decode(const Bytes &context, Evidence &out, std::string &error)
{
   return Unpack(context, MessageType::Evidence,
                 {&out.sessionId, &out.secret, &out.attest, &out.signature, &out.pcrValues},
                 error) &&
          Sized(out.sessionId, kSessionIdBytes, "session id", error) &&
          NonEmpty({&out.secret, &out.attest, &out.signature}, error);
}

} // namespace AttestLib::Tpm2::Protocol
