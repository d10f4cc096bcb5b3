// zarnactl from command line to exit code: parse, read CA files, make one call to
// the agent, print the result or the error.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "runtime/ruvo/core/api_provider.h"
#include "tools/zarnactl/ca_files.h"
#include "tools/zarnactl/command_line.h"

namespace Zarnactl {

// Makes the provider that reaches the agent at the endpoint, running on io.
using ConnectFn =
    std::function<Ruvo::Core::AsyncApiProviderPtr(boost::asio::io_context &io, const Endpoint &)>;

struct AppDeps {
   std::shared_ptr<FileReader> files;
   ConnectFn connect;
};

// The real file system and plain HTTP over TCP or the Unix socket.
AppDeps SystemDeps();

// args without the program name.
int RunZarnactl(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                const AppDeps &deps);

// Where the agent is, for messages: "127.0.0.1:7890", "[::1]:7890" or the path.
std::string DescribeEndpoint(const Endpoint &endpoint);

// connect(io, endpoint); when it gives no provider, says so on err and gives null.
Ruvo::Core::AsyncApiProviderPtr ConnectOrReport(const ConnectFn &connect,
                                                boost::asio::io_context &io,
                                                const Endpoint &endpoint, std::ostream &err);

} // namespace Zarnactl
