#include "apps/zarna/state/attestation_record.h"

#include <ctime>
#include <map>
#include <mutex>

namespace Zarna {

namespace {

// Groups are few and a deleted group's entry is a few bytes: entries are kept,
// so a group that comes back shows its history.
constexpr size_t kMaxGroups = 4096;

std::mutex gLock;
std::map<std::string, AttestationOutcome> gOutcomes; // guarded by gLock

} // namespace

void RecordAttestationOutcome(const std::string &group, bool succeeded)
{
   AttestationOutcome outcome{succeeded, static_cast<int64_t>(time(nullptr))};
   std::lock_guard<std::mutex> guard(gLock);
   if (gOutcomes.size() >= kMaxGroups && gOutcomes.find(group) == gOutcomes.end()) {
      gOutcomes.erase(gOutcomes.begin());
   }
   gOutcomes[group] = outcome;
}

std::optional<AttestationOutcome> LastAttestationOutcome(const std::string &group)
{
   std::lock_guard<std::mutex> guard(gLock);
   auto it = gOutcomes.find(group);
   if (it == gOutcomes.end()) {
      return std::nullopt;
   }
   return it->second;
}

void ClearAttestationOutcomes()
{
   std::lock_guard<std::mutex> guard(gLock);
   gOutcomes.clear();
}

} // namespace Zarna
