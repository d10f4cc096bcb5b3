#include "peers/attestd/token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <openssl/pem.h>

#include "runtime/authn/es256.h"
#include "runtime/hostlib/base64.h"
#include "runtime/tpm2/tpm_keys.h"

namespace Attestd {

namespace {

struct BioFree {
   void operator()(BIO *bio) const { BIO_free(bio); }
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
   std::string reason;
   if (!Brim::Authn::LoadEs256PrivateKey(privateKeyFile, mKey, reason)) {
      error = "signing key unusable: " + reason;
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

   std::string signature;
   if (!Brim::Authn::SignEs256(mKey.get(), input, signature)) {
      return {};
   }
   return input + "." + Hostlib::Base64UrlEncode(signature);
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
