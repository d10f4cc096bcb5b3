// The body of one I/O worker: runs the shared I/O context until it is stopped.
#pragma once

#include <boost/asio/io_context.hpp>

namespace Zarna {

// A handler that throws ends only that one run: the worker logs the exception
// and runs the context again, so the endpoints never lose a worker. Returns
// once the context is stopped.
void RunIoWorker(boost::asio::io_context &io);

} // namespace Zarna
