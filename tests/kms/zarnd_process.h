// A key provider service (zarnd) as a child process on a free loopback port, with
// its own TLS certificate, trusting the given attestation service key; `extra`
// adds providers, faults or --verbose.
#pragma once

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/fixtures/cert_factory.h"
#include "tests/support/process.h"

namespace ZarnaTesting {

// One key provider service on a free loopback port, trusting attestd's tokens.
class ZarndProcess {
public:
   ZarndProcess(const std::string &name, const std::string &trustKey,
                std::vector<std::string> extra)
       : mPki(ZarnaTesting::TestPki::Make("zarnd.test", "127.0.0.1"))
   {
      ZarnaTesting::WriteTextFile(mDir.File("zarnd.pem"),
                                  mPki.leaf.Pem() + mPki.intermediate.Pem());
      mPki.leaf.Key().WritePrivatePem(mDir.File("zarnd.key"));
      ZarnaTesting::WriteTextFile(mDir.File("ca.pem"), mPki.root.Pem() + mPki.intermediate.Pem());
      std::vector<std::string> argv = {ZarnaTesting::BuiltProgram("peers/zarnd/zarnd"),
                                       "--listen",
                                       "127.0.0.1:0",
                                       "--cert",
                                       mDir.File("zarnd.pem"),
                                       "--key",
                                       mDir.File("zarnd.key"),
                                       "--trust-token-key",
                                       trustKey,
                                       "--audience",
                                       "zarnd",
                                       "--db",
                                       mDir.File(name + ".db")};
      argv.insert(argv.end(), extra.begin(), extra.end());
      mProcess = std::make_unique<ChildProcess>(argv);
      if (mProcess->WaitForOutput("zarnd listening on", std::chrono::seconds(10))) {
         std::smatch m;
         std::string out = mProcess->StderrText();
         if (std::regex_search(out, m, std::regex("listening on 127.0.0.1:([0-9]+)"))) {
            mPort = std::stoi(m[1]);
         }
      }
   }
   int Port() const { return mPort; }
   std::string CaFile() const { return mDir.File("ca.pem"); }
   std::string Log() const { return mProcess->StderrText(); }

private:
   ZarnaTesting::TempDir mDir;
   ZarnaTesting::TestPki mPki;
   std::unique_ptr<ChildProcess> mProcess;
   int mPort = 0;
};

} // namespace ZarnaTesting
