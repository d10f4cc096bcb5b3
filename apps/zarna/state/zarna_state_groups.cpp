// Trust groups and their tokens.
#include <algorithm>

#include "apps/zarna/ruvo/messages.h"
#include "apps/zarna/state/zarna_state.h"
#include "runtime/hostlib/log.h"

namespace Zarna {

namespace {

template <typename Records> auto FindGroup(Records &records, const std::string &group)
{
   return std::find_if(records.begin(), records.end(),
                       [&](const std::shared_ptr<ZarnaStateInfo> &r) { return r->group == group; });
}

} // namespace

void ZarnaState::AddGroup(const std::string &group)
{
   if (FindGroup(mGroupInfo, group) != mGroupInfo.end()) {
      Log_Level(130, "There is already an instance of group %s in the groupInfo\n", group.c_str());
      return;
   }
   Log_Level(130, "Adding group %s to the groupInfo\n", group.c_str());
   auto record = std::make_shared<ZarnaStateInfo>();
   record->group = group;
   mGroupInfo.push_back(std::move(record));
}

bool ZarnaState::PickGroup(std::string &group)
{
   std::vector<const std::string *> candidates;
   for (const auto &record : mGroupInfo) {
      if (record->token.empty()) {
         candidates.push_back(&record->group);
      }
   }
   if (candidates.empty()) {
      Log_Level(130, "Did not find a group for which a token can be added.\n");
      return false;
   }
   uint32_t number = NextRandom();
   group = *candidates[number % candidates.size()];
   Log_Level(130, "Picked group %s from the configured groups\n", group.c_str());
   return true;
}

bool ZarnaState::AddTokenForGroup(const std::string &group, const std::string &token,
                                  std::shared_ptr<Tirel::System::ScheduledItem> refreshItem)
{
   MXUser::WriteLockGuard guard(mStateLock);
   auto it = FindGroup(mGroupInfo, group);
   if (it == mGroupInfo.end()) {
      Log_Level(110, "Did not find group %s in list; will not insert token\n", group.c_str());
      return false;
   }
   ZarnaStateInfo &record = **it;
   if (!record.token.empty()) {
      Log_Level(130, "Updating token for group %s in groupInfo\n", group.c_str());
   } else {
      Log_Level(130, "Adding token for group %s to groupInfo\n", group.c_str());
      mNumTokens++;
   }
   record.token = token;
   record.refreshItem = std::move(refreshItem);
   return true;
}

void ZarnaState::DeleteTokenForGroup(const std::string &group)
{
   MXUser::WriteLockGuard guard(mStateLock);
   auto it = FindGroup(mGroupInfo, group);
   if (it == mGroupInfo.end()) {
      Log_Level(125, "Did not find group %s in list; could not delete token\n", group.c_str());
      return;
   }
   ZarnaStateInfo &record = **it;
   if (record.token.empty()) {
      return;
   }
   mNumTokens--;
   record.token.clear();
   Log_Level(130, "Deleting token for group %s\n", group.c_str());
   record.refreshItem.reset();
}

void ZarnaState::GetGroups(Ruvo::Data::ErrorValuePtr &error, std::vector<ZarnaStateInfo> &groups)
{
   MXUser::ReadLockGuard guard(mStateLock);
   for (const auto &record : mGroupInfo) {
      groups.push_back(ZarnaStateInfo{record->group, record->token, nullptr});
   }
   if (groups.empty()) {
      Log_Level(110, "Veritor Components not configured.\n");
      error = MakeError(ErrorClass::Error, ErrorIds::kVeritorServicesNotConfigured);
   }
}

bool ZarnaState::RemoveGroupLocked(const std::string &group)
{
   auto it = FindGroup(mGroupInfo, group);
   if (it == mGroupInfo.end()) {
      return false;
   }
   if (!(*it)->token.empty()) {
      Log_Level(130, "Deleting token for group %s\n", group.c_str());
      mNumTokens--;
   }
   mGroupInfo.erase(it);
   return true;
}

} // namespace Zarna
