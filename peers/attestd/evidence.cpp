#include "peers/attestd/evidence.h"

#include <cstring>
#include <memory>
#include <sstream>

#include <openssl/crypto.h>
#include <openssl/ecdsa.h>
#include <openssl/sha.h>
#include <tss2/tss2_mu.h>

namespace Attestd {

namespace {

struct SigFree {
   void operator()(ECDSA_SIG *sig) const { ECDSA_SIG_free(sig); }
};
struct MdFree {
   void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

bool SameSelection(const TPML_PCR_SELECTION &a, const TPML_PCR_SELECTION &b)
{
   if (a.count != b.count || a.count > TPM2_NUM_PCR_BANKS) {
      return false;
   }
   for (uint32_t i = 0; i < a.count; ++i) {
      const TPMS_PCR_SELECTION &x = a.pcrSelections[i];
      const TPMS_PCR_SELECTION &y = b.pcrSelections[i];
      if (x.hash != y.hash || x.sizeofSelect != y.sizeofSelect ||
          x.sizeofSelect > TPM2_PCR_SELECT_MAX ||
          std::memcmp(x.pcrSelect, y.pcrSelect, x.sizeofSelect) != 0) {
         return false;
      }
   }
   return true;
}

} // namespace

std::string Hex(const Bytes &bytes)
{
   static const char *digits = "0123456789abcdef";
   std::string out;
   for (uint8_t b : bytes) {
      out.push_back(digits[b >> 4]);
      out.push_back(digits[b & 15]);
   }
   return out;
}

bool FromHex(const std::string &text, Bytes &out)
{
   if (text.size() % 2 != 0) {
      return false;
   }
   out.clear();
   for (size_t i = 0; i < text.size(); i += 2) {
      int value = 0;
      for (size_t j = i; j < i + 2; ++j) {
         const char c = text[j];
         const int digit = c >= '0' && c <= '9'   ? c - '0'
                           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
         if (digit < 0) {
            return false;
         }
         value = value * 16 + digit;
      }
      out.push_back(static_cast<uint8_t>(value));
   }
   return true;
}

bool CheckAkPublic(const Bytes &marshalled, TPMT_PUBLIC &out, Bytes &name, std::string &error)
{
   TPM2B_PUBLIC pub{};
   size_t offset = 0;
   if (Tss2_MU_TPM2B_PUBLIC_Unmarshal(marshalled.data(), marshalled.size(), &offset, &pub) !=
           TSS2_RC_SUCCESS ||
       offset != marshalled.size()) {
      error = "malformed attestation key";
      return false;
   }
   const TPMT_PUBLIC &p = pub.publicArea;
   const TPMA_OBJECT needed = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                              TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_RESTRICTED |
                              TPMA_OBJECT_SIGN_ENCRYPT;
   // Only a key that never left its TPM and signs nothing but TPM-made data can
   // vouch for a quote.
   if (p.type != TPM2_ALG_ECC || p.nameAlg != TPM2_ALG_SHA256 ||
       (p.objectAttributes & needed) != needed || (p.objectAttributes & TPMA_OBJECT_DECRYPT) ||
       p.parameters.eccDetail.curveID != TPM2_ECC_NIST_P256 ||
       p.parameters.eccDetail.scheme.scheme != TPM2_ALG_ECDSA ||
       p.parameters.eccDetail.scheme.details.ecdsa.hashAlg != TPM2_ALG_SHA256) {
      error = "attestation key is not a restricted TPM signing key";
      return false;
   }
   if (!AttestLib::Tpm2::ObjectName(p, name) || !AttestLib::Tpm2::PublicToEvp(p)) {
      error = "attestation key unusable";
      return false;
   }
   out = p;
   return true;
}

TPML_PCR_SELECTION Sha256Selection(const std::set<unsigned> &pcrs)
{
   TPML_PCR_SELECTION selection{};
   selection.count = 1;
   selection.pcrSelections[0].hash = TPM2_ALG_SHA256;
   selection.pcrSelections[0].sizeofSelect = 3;
   for (unsigned pcr : pcrs) {
      if (pcr < 24) {
         selection.pcrSelections[0].pcrSelect[pcr / 8] |= static_cast<uint8_t>(1u << (pcr % 8));
      }
   }
   return selection;
}

Bytes MarshalSelection(const TPML_PCR_SELECTION &selection)
{
   Bytes out(sizeof selection + 8);
   size_t offset = 0;
   if (Tss2_MU_TPML_PCR_SELECTION_Marshal(&selection, out.data(), out.size(), &offset) !=
       TSS2_RC_SUCCESS) {
      return {};
   }
   out.resize(offset);
   return out;
}

bool VerifyQuote(const QuoteCheck &c, std::map<unsigned, Bytes> &pcrs, std::string &error)
{
   TPM2B_ATTEST attest{};
   size_t offset = 0;
   if (Tss2_MU_TPM2B_ATTEST_Unmarshal(c.attest->data(), c.attest->size(), &offset, &attest) !=
           TSS2_RC_SUCCESS ||
       offset != c.attest->size()) {
      error = "malformed quote";
      return false;
   }
   TPMS_ATTEST info{};
   offset = 0;
   if (Tss2_MU_TPMS_ATTEST_Unmarshal(attest.attestationData, attest.size, &offset, &info) !=
           TSS2_RC_SUCCESS ||
       offset != attest.size) {
      error = "malformed quote";
      return false;
   }
   TPMT_SIGNATURE signature{};
   offset = 0;
   if (Tss2_MU_TPMT_SIGNATURE_Unmarshal(c.signature->data(), c.signature->size(), &offset,
                                        &signature) != TSS2_RC_SUCCESS ||
       offset != c.signature->size()) {
      error = "malformed quote signature";
      return false;
   }

   // The signature first: nothing in the quote counts until the AK vouches for it.
   if (signature.sigAlg != TPM2_ALG_ECDSA || signature.signature.ecdsa.hash != TPM2_ALG_SHA256) {
      error = "quote signature of an unexpected kind";
      return false;
   }
   const TPMS_SIGNATURE_ECDSA &ecdsa = signature.signature.ecdsa;
   std::unique_ptr<ECDSA_SIG, SigFree> sig(ECDSA_SIG_new());
   BIGNUM *r = BN_bin2bn(ecdsa.signatureR.buffer, ecdsa.signatureR.size, nullptr);
   BIGNUM *s = BN_bin2bn(ecdsa.signatureS.buffer, ecdsa.signatureS.size, nullptr);
   if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
      BN_free(r);
      BN_free(s);
      error = "quote signature unreadable";
      return false;
   }
   unsigned char *der = nullptr;
   const int derSize = i2d_ECDSA_SIG(sig.get(), &der);
   AttestLib::Tpm2::EvpKey key = AttestLib::Tpm2::PublicToEvp(*c.ak);
   std::unique_ptr<EVP_MD_CTX, MdFree> md(EVP_MD_CTX_new());
   const bool verified =
       derSize > 0 && key && md &&
       EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
       EVP_DigestVerify(md.get(), der, static_cast<size_t>(derSize), attest.attestationData,
                        attest.size) == 1;
   OPENSSL_free(der);
   if (!verified) {
      error = "quote signature does not verify with the attestation key";
      return false;
   }

   if (info.magic != TPM2_GENERATED_VALUE || info.type != TPM2_ST_ATTEST_QUOTE) {
      error = "not a TPM quote";
      return false;
   }
   if (info.extraData.size != c.nonce->size() ||
       CRYPTO_memcmp(info.extraData.buffer, c.nonce->data(), c.nonce->size()) != 0) {
      error = "quote nonce does not match the session";
      return false;
   }
   if (!SameSelection(info.attested.quote.pcrSelect, *c.selection)) {
      error = "quote covers other PCRs than requested";
      return false;
   }

   // The reported values, in selection order, must hash to the quoted digest.
   std::vector<unsigned> order;
   const TPML_PCR_SELECTION &sel = *c.selection;
   for (uint32_t b = 0; b < sel.count; ++b) {
      if (sel.pcrSelections[b].hash != TPM2_ALG_SHA256) {
         error = "only the SHA-256 bank is supported";
         return false;
      }
      for (unsigned i = 0; i < sel.pcrSelections[b].sizeofSelect * 8u; ++i) {
         if (sel.pcrSelections[b].pcrSelect[i / 8] & (1u << (i % 8))) {
            order.push_back(i);
         }
      }
   }
   Bytes concatenated;
   offset = 0;
   pcrs.clear();
   for (unsigned index : order) {
      TPM2B_DIGEST value{};
      if (Tss2_MU_TPM2B_DIGEST_Unmarshal(c.pcrValues->data(), c.pcrValues->size(), &offset,
                                         &value) != TSS2_RC_SUCCESS ||
          value.size != SHA256_DIGEST_LENGTH) {
         error = "PCR values malformed";
         return false;
      }
      pcrs[index] = Bytes(value.buffer, value.buffer + value.size);
      concatenated.insert(concatenated.end(), value.buffer, value.buffer + value.size);
   }
   if (offset != c.pcrValues->size()) {
      error = "PCR values malformed";
      return false;
   }
   uint8_t digest[SHA256_DIGEST_LENGTH];
   SHA256(concatenated.data(), concatenated.size(), digest);
   if (info.attested.quote.pcrDigest.size != sizeof digest ||
       std::memcmp(info.attested.quote.pcrDigest.buffer, digest, sizeof digest) != 0) {
      error = "PCR values do not match the quoted digest";
      return false;
   }
   return true;
}

bool ParsePcrPolicy(const std::string &text, std::map<unsigned, Bytes> &policy, std::string &error)
{
   std::istringstream in(text);
   std::string line;
   int number = 0;
   while (std::getline(in, line)) {
      ++number;
      line = line.substr(0, line.find('#'));
      std::istringstream fields(line);
      std::string index;
      std::string value;
      std::string extra;
      if (!(fields >> index)) {
         continue;
      }
      Bytes digest;
      char *end = nullptr;
      const unsigned long pcr = std::strtoul(index.c_str(), &end, 10);
      if (!(fields >> value) || (fields >> extra) || *end != '\0' || index.empty() || pcr >= 24 ||
          !FromHex(value, digest) || digest.size() != SHA256_DIGEST_LENGTH) {
         error =
             "PCR policy line " + std::to_string(number) + ": expected \"<pcr 0-23> <sha256 hex>\"";
         return false;
      }
      policy[static_cast<unsigned>(pcr)] = digest;
   }
   return true;
}

bool CheckPcrPolicy(const std::map<unsigned, Bytes> &policy, const std::map<unsigned, Bytes> &pcrs,
                    std::string &error)
{
   for (const auto &[index, expected] : policy) {
      auto it = pcrs.find(index);
      if (it == pcrs.end()) {
         error = "PCR " + std::to_string(index) + " of the policy is not quoted";
         return false;
      }
      if (it->second != expected) {
         error = "PCR " + std::to_string(index) + " outside the policy";
         return false;
      }
   }
   return true;
}

} // namespace Attestd
