#include "peers/attestd/token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <nlohmann/json.hpp>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "runtime/hostlib/base64.h"
#include "runtime/tpm2/tpm_keys.h"

namespace Attestd {

namespace {

struct BioFree {
   void operator()(BIO *bio) const { BIO_free(bio); }
};
struct MdFree {
   void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
struct SigFree {
   void operator()(ECDSA_SIG *sig) const { ECDSA_SIG_free(sig); }
};

bool WriteFile(const std::string &path, const std::string &content, mode_t mode, std::string &error)
{
   const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
   if (fd < 0) {
      error = "cannot write " + path;
      return false;
   }
   // An existing file keeps its mode through O_CREAT; set it.
   bool ok = fchmod(fd, mode) == 0;
   size_t written = 0;
   while (ok && written < content.size()) {
      const ssize_t n = write(fd, content.data() + written, content.size() - written);
      ok = n > 0;
      written += ok ? static_cast<size_t>(n) : 0;
   }
   ok = (close(fd) == 0) && ok;
   if (!ok) {
      error = "cannot write " + path;
   }
   return ok;
}

} // namespace

bool TokenSigner::Load(const std::string &privateKeyFile, std::string &error)
{
   FILE *file = fopen(privateKeyFile.c_str(), "re");
   if (!file) {
      error = "cannot open signing key " + privateKeyFile;
      return false;
   }
   EVP_PKEY *key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
   fclose(file);
   if (!key) {
      ERR_clear_error();
      error = "signing key unreadable: " + privateKeyFile;
      return false;
   }
   mKey.reset(key, EVP_PKEY_free);
   char group[64] = {};
   size_t groupSize = 0;
   if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC ||
       EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, &groupSize) != 1 ||
       std::string(group) != "prime256v1") {
      error = "signing key is not a P-256 key";
      return false;
   }
   return true;
}

std::string TokenSigner::Sign(const TokenClaims &claims) const
{
   nlohmann::json payload = {{"iss", claims.issuer},   {"sub", claims.subject},
                             {"aud", claims.audience}, {"iat", claims.issuedAt},
                             {"jti", claims.id},       {"providers", claims.providers}};
   if (claims.expiry) {
      payload["exp"] = *claims.expiry;
   }
   const std::string header = R"({"alg":"ES256","typ":"JWT"})";
   const std::string body = payload.dump();
   std::string input = Hostlib::Base64UrlEncode(header) + "." + Hostlib::Base64UrlEncode(body);

   std::unique_ptr<EVP_MD_CTX, MdFree> md(EVP_MD_CTX_new());
   size_t derSize = 0;
   if (!md || EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, mKey.get()) != 1 ||
       EVP_DigestSign(md.get(), nullptr, &derSize,
                      reinterpret_cast<const unsigned char *>(input.data()), input.size()) != 1) {
      return {};
   }
   std::vector<unsigned char> der(derSize);
   if (EVP_DigestSign(md.get(), der.data(), &derSize,
                      reinterpret_cast<const unsigned char *>(input.data()), input.size()) != 1) {
      return {};
   }
   // JOSE wants the raw r||s form, each 32 bytes.
   const unsigned char *p = der.data();
   std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derSize)));
   if (!sig) {
      return {};
   }
   uint8_t raw[64];
   if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw, 32) != 32 ||
       BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw + 32, 32) != 32) {
      return {};
   }
   return input + "." +
          Hostlib::Base64UrlEncode(
              std::string_view(reinterpret_cast<const char *>(raw), sizeof raw));
}

bool GenerateKeyPair(const std::string &file, std::string &error)
{
   EVP_PKEY *raw = EVP_EC_gen("P-256");
   if (!raw) {
      error = "cannot generate a P-256 key";
      return false;
   }
   std::shared_ptr<EVP_PKEY> key(raw, EVP_PKEY_free);
   std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
   if (!bio ||
       PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
      error = "cannot encode the private key";
      return false;
   }
   char *data = nullptr;
   const long size = BIO_get_mem_data(bio.get(), &data);
   std::string privatePem(data, static_cast<size_t>(size));
   const std::string publicPem = AttestLib::Tpm2::EvpToPem(key.get());
   const bool ok =
       WriteFile(file, privatePem, 0600, error) && WriteFile(file + ".pub", publicPem, 0644, error);
   OPENSSL_cleanse(privatePem.data(), privatePem.size());
   return ok;
}

} // namespace Attestd
