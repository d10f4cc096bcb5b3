// Load generation and measurement for the whole-system benchmarks.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace ZarnaBench {

struct Sample {
   double perSecond = 0; // successful operations
   double p50Ms = 0;
   double p99Ms = 0;
   size_t failed = 0;
};

// One operation of a worker; false when it failed.
using Operation = std::function<bool()>;

// Runs `workers` threads for `seconds`. Each thread first calls makeWorker (on
// that thread) for its operation, then runs it back to back until the time is
// up; a null operation counts as one failure and ends that thread.
Sample RunLoad(int workers, double seconds, const std::function<Operation()> &makeWorker);

// Connections per second that `openssl s_time -connect 127.0.0.1:PORT OPTIONS`
// makes in `seconds` (OPTIONS such as "-new" or "-reuse -tls1_2"), trusting
// caFile; 0 (with its output on stderr) when it gives no count.
double SessionsPerSecond(int port, const std::string &caFile, int seconds,
                         const std::string &options);

} // namespace ZarnaBench
