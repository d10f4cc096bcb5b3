// Test fixtures for attestation: a software TPM manufactured with an EK
// certificate by its own local CA (in a temporary directory, so no machine
// state is touched), and the attestd service as a child process.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/tpm2/tpm2.h"
#include "tests/fixtures/cert_factory.h"
#include "tests/support/process.h"

namespace AttestTesting {

bool HaveSwtpm();

// A TPM state with an EK certificate, made once per test program and copied
// for each instance (manufacturing takes a second).
struct ManufacturedTpm {
   std::string stateDir;   // tpm2-00.permall
   std::string ekCaBundle; // the local CA's root and issuer certificates (PEM file)
   std::string error;
   static const ManufacturedTpm &Get();
};

class SwtpmInstance {
public:
   // A fresh copy of the manufactured state; not started.
   SwtpmInstance();
   ~SwtpmInstance();
   bool Start();
   // SIGKILL, as a crash would.
   void Kill();
   bool Running();
   std::string Tcti() const;
   int Port() const { return mPort; }
   const std::string &EkCaBundle() const { return ManufacturedTpm::Get().ekCaBundle; }
   std::string Log() const { return mProcess ? mProcess->StderrText() : ""; }

private:
   ZarnaTesting::TempDir mDir;
   int mPort = 0;
   std::optional<ZarnaTesting::ChildProcess> mProcess;
};

// attestd on a free loopback port with a fresh TLS certificate and signing key.
class AttestdProcess {
public:
   // Listening on `address` (in its certificate), started through `launcher`
   // (for example "ip netns exec NAME") when given.
   explicit AttestdProcess(std::string address = "127.0.0.1",
                           std::vector<std::string> launcher = {});
   // Extra arguments follow the required ones; false when it did not come up.
   bool Start(const std::vector<std::string> &ekArgs, const std::vector<std::string> &extra = {});
   void Stop();
   int Port() const { return mPort; }
   std::vector<std::string> TrustedCas() const
   {
      return {mPki.root.Pem(), mPki.intermediate.Pem()};
   }
   std::string SigningPublicKeyFile() const { return mDir.File("signing.pem.pub"); }
   std::string Log() const { return mProcess ? mProcess->StderrText() : ""; }
   const ZarnaTesting::TempDir &Dir() const { return mDir; }

private:
   ZarnaTesting::TempDir mDir;
   std::string mAddress;
   std::vector<std::string> mLauncher;
   ZarnaTesting::TestPki mPki;
   int mPort = 0;
   std::optional<ZarnaTesting::ChildProcess> mProcess;
};

// A started software TPM that the TPM library in this process talks to.
class SwtpmTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      if (!HaveSwtpm()) {
         GTEST_SKIP() << "skipped: swtpm not installed (scripts/bootstrap)";
      }
      ASSERT_EQ(ManufacturedTpm::Get().error, "");
      ASSERT_TRUE(tpm.Start()) << tpm.Log();
      AttestLib::Tpm2::SetTcti(tpm.Tcti());
   }
   void TearDown() override { AttestLib::Tpm2::SetTcti(AttestLib::Tpm2::kDefaultTcti); }

   SwtpmInstance tpm;
};

// The payload claims of a compact JWT as JSON text ("" when malformed).
std::string JwtPayload(const std::string &token);
// True when the token's ES256 signature verifies with the PEM public key file.
bool VerifyEs256(const std::string &token, const std::string &publicKeyFile);

} // namespace AttestTesting
