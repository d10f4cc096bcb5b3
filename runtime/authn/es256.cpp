#include "runtime/authn/es256.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>

namespace Brim::Authn {

namespace {

// Key files are a few hundred bytes; anything much larger is not one.
constexpr size_t kMaxKeyFileBytes = 64 * 1024;

struct BioFree {
   void operator()(BIO *b) const { BIO_free(b); }
};
struct MdCtxFree {
   void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};
struct SigFree {
   void operator()(ECDSA_SIG *s) const { ECDSA_SIG_free(s); }
};
struct BnFree {
   void operator()(BIGNUM *b) const { BN_free(b); }
};

EcKeyPtr Own(EVP_PKEY *key)
{
   return EcKeyPtr(key, EVP_PKEY_free);
}

bool IsP256(EVP_PKEY *key)
{
   if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) {
      return false;
   }
   char group[64] = {};
   size_t len = 0;
   if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len) !=
       1) {
      return false;
   }
   return std::string_view(group, len) == "prime256v1" || std::string_view(group, len) == "P-256";
}

bool ReadSmallFile(const std::string &path, std::string &out, std::string &error)
{
   std::ifstream in(path, std::ios::binary);
   if (!in) {
      error = "cannot open " + path + ": " + std::strerror(errno);
      return false;
   }
   std::array<char, 4096> buf;
   out.clear();
   while (in.read(buf.data(), buf.size()) || in.gcount() > 0) {
      out.append(buf.data(), static_cast<size_t>(in.gcount()));
      if (out.size() > kMaxKeyFileBytes) {
         error = path + " is too large for a key file";
         return false;
      }
   }
   if (in.bad()) {
      error = "cannot read " + path;
      return false;
   }
   return true;
}

bool WriteNewFile(const std::string &path, const std::string &text, mode_t mode, std::string &error)
{
   int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
   if (fd < 0) {
      error = "cannot create " + path + ": " + std::strerror(errno);
      return false;
   }
   // The umask must not loosen or tighten what was asked for.
   bool ok = fchmod(fd, mode) == 0;
   size_t done = 0;
   while (ok && done < text.size()) {
      ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) {
         continue;
      }
      ok = n > 0;
      done += ok ? static_cast<size_t>(n) : 0;
   }
   ok = fsync(fd) == 0 && ok;
   if (close(fd) != 0 || !ok) {
      error = "cannot write " + path + ": " + std::strerror(errno);
      unlink(path.c_str());
      return false;
   }
   return true;
}

std::string PemOf(EVP_PKEY *key, bool priv)
{
   std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
   if (!bio) {
      return {};
   }
   int ok = priv ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                 : PEM_write_bio_PUBKEY(bio.get(), key);
   if (ok != 1) {
      return {};
   }
   char *data = nullptr;
   long len = BIO_get_mem_data(bio.get(), &data);
   return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

} // namespace

bool ParseEs256PublicKey(std::string_view pem, EcKeyPtr &out, std::string &error)
{
   std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
   EVP_PKEY *key = bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr;
   ERR_clear_error();
   if (key == nullptr) {
      error = "not a PEM public key";
      return false;
   }
   out = Own(key);
   if (!IsP256(key)) {
      error = "not a P-256 (ES256) key";
      return false;
   }
   return true;
}

bool LoadEs256PublicKey(const std::string &path, EcKeyPtr &out, std::string &error)
{
   std::string pem;
   if (!ReadSmallFile(path, pem, error)) {
      return false;
   }
   if (!ParseEs256PublicKey(pem, out, error)) {
      error = path + ": " + error;
      return false;
   }
   return true;
}

bool LoadEs256PrivateKey(const std::string &path, EcKeyPtr &out, std::string &error)
{
   std::string pem;
   if (!ReadSmallFile(path, pem, error)) {
      return false;
   }
   std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
   EVP_PKEY *key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
   OPENSSL_cleanse(pem.data(), pem.size());
   ERR_clear_error();
   if (key == nullptr) {
      error = path + ": not a PEM private key";
      return false;
   }
   out = Own(key);
   if (!IsP256(key)) {
      error = path + ": not a P-256 (ES256) key";
      return false;
   }
   return true;
}

bool GenerateEs256KeyFiles(const std::string &privatePath, std::string &error)
{
   EVP_PKEY *raw = EVP_EC_gen("P-256");
   if (raw == nullptr) {
      ERR_clear_error();
      error = "cannot generate a P-256 key";
      return false;
   }
   EcKeyPtr key = Own(raw);
   std::string priv = PemOf(key.get(), true);
   std::string pub = PemOf(key.get(), false);
   if (priv.empty() || pub.empty()) {
      error = "cannot encode the key";
      return false;
   }
   bool ok = WriteNewFile(privatePath, priv, 0600, error);
   OPENSSL_cleanse(priv.data(), priv.size());
   if (!ok) {
      return false;
   }
   if (!WriteNewFile(privatePath + ".pub", pub, 0644, error)) {
      unlink(privatePath.c_str());
      return false;
   }
   return true;
}

bool SignEs256(EVP_PKEY *key, std::string_view data, std::string &signature)
{
   std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
   size_t derLen = 0;
   if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
       EVP_DigestSign(ctx.get(), nullptr, &derLen,
                      reinterpret_cast<const unsigned char *>(data.data()), data.size()) != 1) {
      ERR_clear_error();
      return false;
   }
   std::string der(derLen, '\0');
   if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(der.data()), &derLen,
                      reinterpret_cast<const unsigned char *>(data.data()), data.size()) != 1) {
      ERR_clear_error();
      return false;
   }
   const auto *p = reinterpret_cast<const unsigned char *>(der.data());
   std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLen)));
   if (!sig) {
      ERR_clear_error();
      return false;
   }
   signature.assign(kEs256SignatureBytes, '\0');
   auto *out = reinterpret_cast<unsigned char *>(signature.data());
   return BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, 32) == 32 &&
          BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + 32, 32) == 32;
}

bool VerifyEs256(EVP_PKEY *key, std::string_view data, std::string_view signature)
{
   if (key == nullptr || signature.size() != kEs256SignatureBytes) {
      return false;
   }
   const auto *raw = reinterpret_cast<const unsigned char *>(signature.data());
   std::unique_ptr<BIGNUM, BnFree> r(BN_bin2bn(raw, 32, nullptr));
   std::unique_ptr<BIGNUM, BnFree> s(BN_bin2bn(raw + 32, 32, nullptr));
   std::unique_ptr<ECDSA_SIG, SigFree> sig(ECDSA_SIG_new());
   if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
      ERR_clear_error();
      return false;
   }
   r.release(); // owned by sig now
   s.release();
   unsigned char *der = nullptr;
   int derLen = i2d_ECDSA_SIG(sig.get(), &der);
   if (derLen <= 0) {
      ERR_clear_error();
      return false;
   }
   std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
   bool ok =
       ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
       EVP_DigestVerify(ctx.get(), der, static_cast<size_t>(derLen),
                        reinterpret_cast<const unsigned char *>(data.data()), data.size()) == 1;
   OPENSSL_free(der);
   ERR_clear_error();
   return ok;
}

} // namespace Brim::Authn
