#include "tools/zarnactl/cli_support.h"

#include <algorithm>

#include <CLI/CLI.hpp>

#include "runtime/ruvo/transport/pico_http_client_transport.h"
#include "tools/zarnactl/human_output.h"

namespace Zarnactl {

int Usage(std::ostream &err, const std::string &what)
{
   err << "zarnactl: " << Printable(what) << "\nRun with --help for more information.\n";
   return kExitUsage;
}

bool NounIsOneOf(const std::vector<std::string> &args,
                 std::initializer_list<std::string_view> nouns)
{
   for (size_t i = 0; i < args.size(); ++i) {
      const std::string &a = args[i];
      if (a == "--tcp" || a == "--socket" || a == "--token-key") {
         ++i; // its value
         continue;
      }
      if (!a.empty() && a[0] == '-') {
         continue;
      }
      return std::find(nouns.begin(), nouns.end(), a) != nouns.end();
   }
   return false;
}

std::optional<int> ParseOrExit(CLI::App &app, const std::vector<std::string> &args,
                               std::ostream &out, std::ostream &err)
{
   // CLI11 takes the words last first.
   std::vector<std::string> reversed(args.rbegin(), args.rend());
   try {
      app.parse(std::move(reversed));
   } catch (const CLI::ParseError &e) {
      if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
         app.exit(e, out, err);
         return kExitOk;
      }
      return Usage(err, e.what());
   }
   return std::nullopt;
}

Ruvo::Core::AsyncApiProviderPtr ConnectToAgent(boost::asio::io_context &io,
                                               const Endpoint &endpoint, std::chrono::seconds limit)
{
   Ruvo::Asio::StreamLimits limits;
   limits.readLimit = limit;
   limits.writeLimit = limit;
   if (endpoint.unixSocket) {
      return Ruvo::Transport::PicoHttp::CreateLocalClientProvider(io, endpoint.path, nullptr,
                                                                  limits);
   }
   return Ruvo::Transport::PicoHttp::CreateHttpClientProvider(
       io, endpoint.host, static_cast<uint16_t>(endpoint.port), nullptr, limits);
}

} // namespace Zarnactl
