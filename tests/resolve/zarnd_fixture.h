// Test and benchmark helper: zarnd with the providers "disk" and "tape", and
// keys made here and wrapped by zarnd's own command line before it starts, so
// that nothing but a kernel request makes the agent attest.
#pragma once

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "runtime/hostlib/base64.h"
#include "tests/fixtures/cert_factory.h"
#include "tests/support/process.h"

namespace ResolveTesting {

using namespace std::chrono_literals;
using ZarnaTesting::ChildProcess;

inline std::string Hex(const uint8_t *data, size_t size)
{
   static const char kHex[] = "0123456789abcdef";
   std::string out;
   for (size_t i = 0; i < size; ++i) {
      out += kHex[data[i] >> 4];
      out += kHex[data[i] & 0xF];
   }
   return out;
}

// A key made here, its wrapped form made by zarnd, and the fingerprint the
// cache must show for it.
struct TestKey {
   std::string provider;
   std::string wrapped;
   std::string fingerprint;
   size_t length = 0;
};

// Wrap before Start: the wrapping shares zarnd's key database.
class Zarnd {
public:
   explicit Zarnd(std::string trustKey)
       : mTrustKey(std::move(trustKey)),
         mPki(ZarnaTesting::TestPki::Make("zarnd.test", "127.0.0.1"))
   {
      ZarnaTesting::WriteTextFile(mDir.File("zarnd.pem"),
                                  mPki.leaf.Pem() + mPki.intermediate.Pem());
      mPki.leaf.Key().WritePrivatePem(mDir.File("zarnd.key"));
      ZarnaTesting::WriteTextFile(mDir.File("ca.pem"), mPki.root.Pem() + mPki.intermediate.Pem());
   }
   TestKey Wrap(const std::string &provider, size_t length)
   {
      std::vector<uint8_t> key(length);
      RAND_bytes(key.data(), static_cast<int>(length));
      std::string b64(Base64_EncodedLength(length) + 1, '\0');
      size_t b64Length = 0;
      Base64_Encode(key.data(), length, b64.data(), b64.size(), &b64Length);
      b64.resize(b64Length);
      ChildProcess wrap({Program(), "wrap", "--db", mDir.File("keys.db"), "--provider", provider,
                         "--key-b64", b64});
      const bool ended = wrap.Wait(10s).has_value();
      OPENSSL_cleanse(b64.data(), b64.size());
      TestKey made;
      made.provider = provider;
      made.length = length;
      uint8_t digest[SHA256_DIGEST_LENGTH];
      SHA256(key.data(), key.size(), digest);
      made.fingerprint = Hex(digest, sizeof digest);
      // The wrapped text is the last line the command prints.
      made.wrapped = ended ? LastLine(wrap.StderrText()) : "";
      return made;
   }
   // Again on the same port when it was started before; extra options are appended.
   bool Start(const std::vector<std::string> &extra = {})
   {
      std::vector<std::string> argv{
          Program(), "--listen", "127.0.0.1:" + std::to_string(mPort), "--cert",
          mDir.File("zarnd.pem"), "--key", mDir.File("zarnd.key"), "--trust-token-key", mTrustKey,
          "--audience", "zarnd", "--db", mDir.File("keys.db"), "--provider", "disk", "--provider",
          "tape"};
      argv.insert(argv.end(), extra.begin(), extra.end());
      mProcess.reset();
      mProcess = std::make_unique<ChildProcess>(argv);
      if (!mProcess->WaitForOutput("zarnd listening on", 10s)) {
         return false;
      }
      std::smatch m;
      const std::string out = mProcess->StderrText();
      if (std::regex_search(out, m, std::regex("listening on 127.0.0.1:([0-9]+)"))) {
         mPort = std::stoi(m[1]);
      }
      return mPort != 0;
   }
   int Port() const { return mPort; }
   std::string CaFile() const { return mDir.File("ca.pem"); }
   std::string Log() const { return mProcess ? mProcess->StderrText() : ""; }

private:
   static std::string Program() { return ZarnaTesting::BuiltProgram("peers/zarnd/zarnd"); }
   static std::string LastLine(std::string text)
   {
      while (!text.empty() && text.back() == '\n') {
         text.pop_back();
      }
      const size_t nl = text.rfind('\n');
      return nl == std::string::npos ? text : text.substr(nl + 1);
   }

   std::string mTrustKey;
   ZarnaTesting::TempDir mDir;
   ZarnaTesting::TestPki mPki;
   std::unique_ptr<ChildProcess> mProcess;
   int mPort = 0;
};

} // namespace ResolveTesting
