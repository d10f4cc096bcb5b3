#include "apps/zarna/io_worker.h"

#include <exception>

#include "runtime/hostlib/log.h"

namespace Zarna {

void RunIoWorker(boost::asio::io_context &io)
{
   for (;;) {
      try {
         io.run();
         return;
      } catch (const std::exception &e) {
         Log_Level(110, "An I/O worker stopped with an exception: %s; replacing it\n", e.what());
      } catch (...) {
         Log_Level(110, "An I/O worker stopped with an unknown exception; replacing it\n");
      }
      // The throwing handler is gone with the exception, so running again
      // cannot spin on it.
      if (io.stopped()) {
         return;
      }
   }
}

} // namespace Zarna
