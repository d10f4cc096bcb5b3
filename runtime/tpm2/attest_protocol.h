// The messages of the attestation exchange between the agent's TPM state and an
// attestation service. They travel as opaque contexts inside the report
// interface; the layout is versioned and every length is checked on decode
// (docs/attestation-protocol.md).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace AttestLib::Tpm2::Protocol {

using Bytes = std::vector<uint8_t>;

inline constexpr std::array<uint8_t, 4> kMagic = {'Z', 'A', 'T', 'T'};
inline constexpr uint8_t kVersion = 1;
inline constexpr size_t kMaxContextBytes = 16384;
inline constexpr size_t kSessionIdBytes = 16;
inline constexpr size_t kNonceBytes = 32;

enum class MessageType : uint8_t {
   Challenge = 1,  // service: a new session
   AkPublic = 2,   // agent: the attestation key's public area
   Credential = 3, // service: credential for the AK bound to the EK, nonce, PCR selection
   Evidence = 4,   // agent: the recovered secret, the quote and the PCR values
};

struct Challenge {
   Bytes sessionId;
};

struct AkPublic {
   Bytes sessionId;
   Bytes akPublic; // TPM2B_PUBLIC, marshalled
};

struct Credential {
   Bytes sessionId;
   Bytes credentialBlob;  // TPM2B_ID_OBJECT, marshalled
   Bytes encryptedSecret; // TPM2B_ENCRYPTED_SECRET, marshalled
   Bytes nonce;
   Bytes pcrSelection; // TPML_PCR_SELECTION, marshalled
};

struct Evidence {
   Bytes sessionId;
   Bytes secret;    // the credential recovered by the TPM
   Bytes attest;    // TPM2B_ATTEST, marshalled
   Bytes signature; // TPMT_SIGNATURE, marshalled
   Bytes pcrValues; // TPML_DIGEST values, each marshalled, in selection order
};

Bytes Encode(const Challenge &message);
Bytes Encode(const AkPublic &message);
Bytes Encode(const Credential &message);
Bytes Encode(const Evidence &message);

// The type of a well-formed header; false for anything else (the reason in error).
bool PeekType(const Bytes &context, MessageType &type, std::string &error);
// False, with the reason, unless the bytes are exactly one message of that type.
bool Decode(const Bytes &context, Challenge &out, std::string &error);
bool Decode(const Bytes &context, AkPublic &out, std::string &error);
bool Decode(const Bytes &context, Credential &out, std::string &error);
bool Decode(const Bytes &context, Evidence &out, std::string &error);

} // namespace AttestLib::Tpm2::Protocol
