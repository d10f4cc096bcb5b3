#include "tests/attest/tpm_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "runtime/authn/es256.h"
#include "runtime/hostlib/base64.h"

namespace AttestTesting {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

sockaddr_in Loopback(int port)
{
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_port = htons(static_cast<uint16_t>(port));
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   return addr;
}

bool CanConnect(int port)
{
   const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   sockaddr_in addr = Loopback(port);
   const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
   close(fd);
   return ok;
}

// True when a socket listens on the loopback port, read from the kernel's table
// so that the TPM's one client slot is not taken by asking.
bool IsListening(int port)
{
   char local[32];
   snprintf(local, sizeof local, "0100007F:%04X", static_cast<unsigned>(port));
   std::ifstream table("/proc/net/tcp");
   std::string line;
   while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, address, remote, state;
      if (fields >> slot >> address >> remote >> state && address == local && state == "0A") {
         return true;
      }
   }
   return false;
}

// True when a listening socket could be bound to the loopback port now (a port
// that refuses connections may still be taken, by an outgoing connection).
bool CanBind(int port)
{
   const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   const int one = 1;
   setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
   sockaddr_in addr = Loopback(port);
   const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
   close(fd);
   return ok;
}

std::string ReadText(const std::string &path)
{
   std::ifstream in(path);
   std::stringstream text;
   text << in.rdbuf();
   return text.str();
}

std::string Base64UrlDecode(const std::string &in)
{
   std::string out;
   Hostlib::Base64UrlDecode(in, out);
   return out;
}

} // namespace

bool HaveSwtpm()
{
   return access("/usr/bin/swtpm", X_OK) == 0 && access("/usr/bin/swtpm_setup", X_OK) == 0 &&
          access("/usr/bin/swtpm_localca", X_OK) == 0;
}

const ManufacturedTpm &ManufacturedTpm::Get()
{
   static ManufacturedTpm tpm = [] {
      ManufacturedTpm out;
      static ZarnaTesting::TempDir dir; // lives until the program ends
      const std::string ca = dir.File("ca");
      out.stateDir = dir.File("state");
      fs::create_directories(ca);
      fs::create_directories(out.stateDir);
      dir.Write("localca.conf", "statedir = " + ca + "\nsigningkey = " + ca +
                                    "/signkey.pem\nissuercert = " + ca +
                                    "/issuercert.pem\ncertserial = " + ca + "/certserial\n");
      dir.Write("localca.options", "--platform-manufacturer zarna-tests\n--platform-version 2.1\n"
                                   "--platform-model swtpm\n");
      dir.Write("setup.conf",
                "create_certs_tool = /usr/bin/swtpm_localca\ncreate_certs_tool_config = " +
                    dir.File("localca.conf") + "\ncreate_certs_tool_options = " +
                    dir.File("localca.options") + "\nactive_pcr_banks = sha256\n");
      ZarnaTesting::ChildProcess setup(
          {"/usr/bin/swtpm_setup", "--tpm2", "--tpmstate", out.stateDir, "--create-ek-cert",
           "--config", dir.File("setup.conf"), "--logfile", dir.File("setup.log")});
      auto status = setup.Wait(60s);
      if (!status || ZarnaTesting::ExitCodeOf(*status) != 0) {
         out.error = "swtpm_setup failed: " + setup.StderrText() + ReadText(dir.File("setup.log"));
         return out;
      }
      out.ekCaBundle = dir.File("ek-ca.pem");
      dir.Write("ek-ca.pem",
                ReadText(ca + "/swtpm-localca-rootca-cert.pem") + ReadText(ca + "/issuercert.pem"));
      return out;
   }();
   return tpm;
}

SwtpmInstance::SwtpmInstance()
{
   const ManufacturedTpm &made = ManufacturedTpm::Get();
   if (made.error.empty()) {
      fs::copy(made.stateDir, mDir.File("state"), fs::copy_options::recursive);
      fs::remove(mDir.File("state/.lock"));
   }
}

SwtpmInstance::~SwtpmInstance()
{
   Kill();
}

bool SwtpmInstance::Start()
{
   if (mProcess && mProcess->Running()) {
      return true;
   }
   // A first start may pick another port when the chosen one was taken meanwhile;
   // a restart keeps its port, since clients know it.
   const bool fixedPort = mPort != 0;
   // A restart may find its port briefly held (connections of the killed
   // instance closing): it tries again for a few seconds.
   for (int attempt = 0; attempt < (fixedPort ? 25 : 10); ++attempt) {
      if (fixedPort && attempt > 0) {
         std::this_thread::sleep_for(200ms);
      }
      if (!fixedPort) {
         mPort = 0;
         for (int tries = 0; mPort == 0 && tries < 50; ++tries) {
            const int port = ZarnaTesting::FreeTcpPort();
            if (port < 65535 && CanBind(port + 1)) {
               mPort = port;
            }
         }
      }
      mProcess.emplace(std::vector<std::string>{
          "/usr/bin/swtpm", "socket", "--tpm2", "--server",
          "type=tcp,port=" + std::to_string(mPort) + ",bindaddr=127.0.0.1", "--ctrl",
          "type=tcp,port=" + std::to_string(mPort + 1) + ",bindaddr=127.0.0.1", "--flags",
          "not-need-init,startup-clear", "--tpmstate", "dir=" + mDir.File("state")});
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (std::chrono::steady_clock::now() < deadline && mProcess->Running()) {
         // The control port answers first, the command port listens a moment later;
         // connecting to the command port would take the TPM's one client slot.
         if (CanConnect(mPort + 1) && IsListening(mPort)) {
            return true;
         }
         std::this_thread::sleep_for(20ms);
      }
   }
   return false;
}

void SwtpmInstance::Kill()
{
   if (mProcess && mProcess->Running()) {
      mProcess->Signal(SIGKILL);
      mProcess->Wait(5s);
   }
}

bool SwtpmInstance::Running()
{
   return mProcess && mProcess->Running();
}

std::string SwtpmInstance::Tcti() const
{
   return "swtpm:host=127.0.0.1,port=" + std::to_string(mPort);
}

AttestdProcess::AttestdProcess(std::string address, std::vector<std::string> launcher)
    : mAddress(std::move(address)), mLauncher(std::move(launcher)),
      mPki(ZarnaTesting::TestPki::Make("localhost", mAddress))
{
}

bool AttestdProcess::Start(const std::vector<std::string> &ekArgs,
                           const std::vector<std::string> &extra)
{
   ZarnaTesting::WriteTextFile(mDir.File("server.pem"),
                               ZarnaTesting::JoinPems({mPki.leaf.Pem(), mPki.intermediate.Pem()}));
   ZarnaTesting::WriteTextFile(mDir.File("server.key"), mPki.leaf.Key().PrivatePem(), true);
   const std::string program = ZarnaTesting::BuiltProgram("peers/attestd/attestd");
   if (!fs::exists(mDir.File("signing.pem"))) {
      ZarnaTesting::ChildProcess keygen({program, "keygen", "--out", mDir.File("signing.pem")});
      auto status = keygen.Wait(10s);
      if (!status || ZarnaTesting::ExitCodeOf(*status) != 0) {
         return false;
      }
   }
   mPort = ZarnaTesting::FreeTcpPort();
   std::vector<std::string> argv = mLauncher;
   for (const std::string &arg :
        {program, std::string("--listen"), mAddress + ":" + std::to_string(mPort),
         std::string("--cert"), mDir.File("server.pem"), std::string("--key"),
         mDir.File("server.key"), std::string("--signing-key"), mDir.File("signing.pem")}) {
      argv.push_back(arg);
   }
   argv.insert(argv.end(), ekArgs.begin(), ekArgs.end());
   argv.insert(argv.end(), extra.begin(), extra.end());
   mProcess.emplace(argv);
   return mProcess->WaitForOutput("ready", 10s);
}

void AttestdProcess::Stop()
{
   if (mProcess && mProcess->Running()) {
      mProcess->Signal(SIGTERM);
      mProcess->Wait(5s);
   }
}

std::string JwtPayload(const std::string &token)
{
   const size_t first = token.find('.');
   const size_t second = token.find('.', first + 1);
   if (first == std::string::npos || second == std::string::npos) {
      return {};
   }
   return Base64UrlDecode(token.substr(first + 1, second - first - 1));
}

bool VerifyEs256(const std::string &token, const std::string &publicKeyFile)
{
   const size_t dot = token.rfind('.');
   if (dot == std::string::npos) {
      return false;
   }
   Brim::Authn::EcKeyPtr key;
   std::string error;
   return Brim::Authn::LoadEs256PublicKey(publicKeyFile, key, error) &&
          Brim::Authn::VerifyEs256(key.get(), std::string_view(token).substr(0, dot),
                                   Base64UrlDecode(token.substr(dot + 1)));
}

} // namespace AttestTesting
