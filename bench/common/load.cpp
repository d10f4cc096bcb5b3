#include "bench/common/load.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>
#include <vector>

namespace ZarnaBench {

namespace {

using Clock = std::chrono::steady_clock;

// The value at fraction p (0..1) of the sorted values; 0 for none.
double Percentile(std::vector<double> &values, double p)
{
   if (values.empty()) {
      return 0;
   }
   std::sort(values.begin(), values.end());
   const size_t at =
       std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
   return values[at];
}

} // namespace

Sample RunLoad(int workers, double seconds, const std::function<Operation()> &makeWorker)
{
   std::vector<std::vector<double>> latencies(static_cast<size_t>(workers));
   std::atomic<size_t> failed{0};
   const auto start = Clock::now();
   const auto end = start + std::chrono::duration<double>(seconds);
   std::vector<std::thread> threads;
   for (int t = 0; t < workers; ++t) {
      threads.emplace_back([&, t] {
         Operation operation = makeWorker();
         if (!operation) {
            ++failed;
            return;
         }
         while (Clock::now() < end) {
            const auto sent = Clock::now();
            if (!operation()) {
               ++failed;
               continue;
            }
            latencies[static_cast<size_t>(t)].push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
         }
      });
   }
   for (auto &thread : threads) {
      thread.join();
   }
   const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
   std::vector<double> all;
   for (const auto &l : latencies) {
      all.insert(all.end(), l.begin(), l.end());
   }
   Sample sample;
   sample.perSecond = static_cast<double>(all.size()) / elapsed;
   sample.failed = failed;
   sample.p50Ms = Percentile(all, 0.50);
   sample.p99Ms = Percentile(all, 0.99);
   return sample;
}

double SessionsPerSecond(int port, const std::string &caFile, int seconds,
                         const std::string &options)
{
   const std::string command = "openssl s_time -connect 127.0.0.1:" + std::to_string(port) + " " +
                               options + " -time " + std::to_string(seconds) + " -CAfile " +
                               caFile + " 2>&1";
   FILE *pipe = popen(command.c_str(), "r");
   if (pipe == nullptr) {
      return 0;
   }
   std::string out;
   char chunk[512];
   size_t n;
   while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
      out.append(chunk, n);
   }
   pclose(pipe);
   std::smatch m;
   if (std::regex_search(out, m, std::regex("([0-9]+) connections in ([0-9]+) real seconds")) &&
       std::stod(m[2]) > 0) {
      return std::stod(m[1]) / std::stod(m[2]);
   }
   fprintf(stderr, "openssl s_time gave no count:\n%s\n", out.c_str());
   return 0;
}

} // namespace ZarnaBench
