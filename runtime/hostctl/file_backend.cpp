#include "runtime/hostctl/file_backend.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include <nlohmann/json.hpp>

#include "runtime/hostctl/host_ctl_exception.h"
#include "runtime/hostctl/json_input.h"
#include "runtime/hostlib/log.h"

namespace HykCtl::System {

using HostCtl::Lib::HostCtlException;
using HostCtl::Network::Ipv4Address;
using HostCtl::Network::Ipv6Address;
using nlohmann::json;

struct FileBackend::State {
   std::map<std::string, RulesetState> rulesets;
};

namespace {

constexpr size_t kMaxFileSize = 4 * 1024 * 1024;

template <typename Address>
bool ReadAddresses(const json &ruleset, const char *key, std::vector<Address> &out)
{
   auto it = ruleset.find(key);
   if (it == ruleset.end() || !it->is_array()) {
      return false;
   }
   for (const json &item : *it) {
      if (!item.is_string() || !Address::IsValidAddress(item.get<std::string>())) {
         return false;
      }
      out.emplace_back(item.get<std::string>());
   }
   return true;
}

bool ReadFlag(const json &ruleset, const char *key, bool &out)
{
   auto it = ruleset.find(key);
   if (it == ruleset.end() || !it->is_boolean()) {
      return false;
   }
   out = it->get<bool>();
   return true;
}

void WriteAll(int fd, const std::string &data, const std::string &path)
{
   size_t done = 0;
   while (done < data.size()) {
      ssize_t n = write(fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) {
         continue;
      }
      if (n <= 0) {
         throw HostCtlException("Cannot write firewall state " + path, std::strerror(errno));
      }
      done += static_cast<size_t>(n);
   }
}

std::string DirectoryOf(const std::string &path)
{
   size_t slash = path.rfind('/');
   return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

FileBackend::State FileBackend::Read() const
{
   State state;
   int fd = open(mPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
   if (fd < 0) {
      if (errno == ENOENT) {
         return state; // no file yet: no rulesets
      }
      throw HostCtlException("Cannot read firewall state " + mPath, std::strerror(errno));
   }
   std::string text;
   struct stat st {};
   bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
   char buffer[8192];
   ssize_t n = 0;
   while (regular && text.size() <= kMaxFileSize && (n = read(fd, buffer, sizeof buffer)) != 0) {
      if (n < 0) {
         if (errno == EINTR) {
            continue;
         }
         int err = errno;
         close(fd);
         throw HostCtlException("Cannot read firewall state " + mPath, std::strerror(err));
      }
      text.append(buffer, static_cast<size_t>(n));
   }
   close(fd);
   if (!regular || text.size() > kMaxFileSize) {
      throw HostCtlException("Cannot read firewall state " + mPath, "not a regular file of sensible size");
   }

   json document;
   bool valid = HostCtl::Lib::ParseJsonInput(text, document) && document.is_object() &&
                document.value("version", json()) == json(1) && document.contains("rulesets") &&
                document["rulesets"].is_object();
   if (valid) {
      for (const auto &[id, ruleset] : document["rulesets"].items()) {
         RulesetState parsed;
         parsed.exists = true;
         valid = ruleset.is_object() && ReadFlag(ruleset, "enabled", parsed.enabled) &&
                 ReadFlag(ruleset, "allowedAll", parsed.allowedAll) &&
                 ReadAddresses(ruleset, "ipv4", parsed.ipv4) && ReadAddresses(ruleset, "ipv6", parsed.ipv6);
         if (!valid) {
            break;
         }
         state.rulesets[id] = std::move(parsed);
      }
   }
   if (!valid) {
      throw HostCtlException("Cannot read firewall state " + mPath, "the file is damaged");
   }
   return state;
}

void FileBackend::Write(const State &state) const
{
   json rulesets = json::object();
   for (const auto &[id, ruleset] : state.rulesets) {
      json ipv4 = json::array();
      json ipv6 = json::array();
      for (const auto &address : ruleset.ipv4) {
         ipv4.push_back(address.ToString());
      }
      for (const auto &address : ruleset.ipv6) {
         ipv6.push_back(address.ToString());
      }
      rulesets[id] = {{"enabled", ruleset.enabled}, {"allowedAll", ruleset.allowedAll},
                      {"ipv4", std::move(ipv4)}, {"ipv6", std::move(ipv6)}};
   }
   std::string text = json{{"version", 1}, {"rulesets", std::move(rulesets)}}.dump(2) + "\n";

   std::string temp = mPath + ".XXXXXX";
   int fd = mkostemp(temp.data(), O_CLOEXEC);
   if (fd < 0) {
      throw HostCtlException("Cannot write firewall state " + mPath, std::strerror(errno));
   }
   try {
      WriteAll(fd, text, mPath);
      if (fchmod(fd, 0600) != 0 || fsync(fd) != 0) {
         throw HostCtlException("Cannot write firewall state " + mPath, std::strerror(errno));
      }
   } catch (...) {
      close(fd);
      unlink(temp.c_str());
      throw;
   }
   if (close(fd) != 0 || rename(temp.c_str(), mPath.c_str()) != 0) {
      int err = errno;
      unlink(temp.c_str());
      throw HostCtlException("Cannot write firewall state " + mPath, std::strerror(err));
   }
   // The rename itself is durable only once the directory is.
   int dir = open(DirectoryOf(mPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
   if (dir >= 0) {
      fsync(dir);
      close(dir);
   }
}

RulesetState &FileBackend::Existing(State &state, const std::string &rulesetId) const
{
   auto it = state.rulesets.find(rulesetId);
   if (it == state.rulesets.end()) {
      throw HostCtlException("Firewall ruleset '" + rulesetId + "' does not exist in " + mPath);
   }
   return it->second;
}

RulesetState FileBackend::QueryRuleset(const std::string &rulesetId)
{
   Hostlib::MutexLock guard(mLock);
   State state = Read();
   auto it = state.rulesets.find(rulesetId);
   return it == state.rulesets.end() ? RulesetState{} : it->second;
}

void FileBackend::CreateRuleset(const std::string &rulesetId)
{
   Hostlib::MutexLock guard(mLock);
   State state = Read();
   if (state.rulesets.count(rulesetId) == 0) {
      RulesetState created;
      created.exists = true;
      state.rulesets[rulesetId] = created;
      Write(state);
   }
}

void FileBackend::SetEnabled(const std::string &rulesetId, bool enabled)
{
   Hostlib::MutexLock guard(mLock);
   State state = Read();
   Existing(state, rulesetId).enabled = enabled;
   Write(state);
}

void FileBackend::SetAllowedAll(const std::string &rulesetId, bool allowedAll)
{
   Hostlib::MutexLock guard(mLock);
   State state = Read();
   Existing(state, rulesetId).allowedAll = allowedAll;
   Write(state);
}

namespace {

// The ruleset's list for the address's family.
std::vector<Ipv4Address> &AddressList(RulesetState &ruleset, const Ipv4Address &)
{
   return ruleset.ipv4;
}
std::vector<Ipv6Address> &AddressList(RulesetState &ruleset, const Ipv6Address &)
{
   return ruleset.ipv6;
}

} // namespace

void FileBackend::AddAddress(const std::string &rulesetId, const HostCtl::Network::IpAddress &address)
{
   Hostlib::MutexLock guard(mLock);
   State state = Read();
   RulesetState &ruleset = Existing(state, rulesetId);
   bool added = std::visit(
      [&](const auto &a) {
         auto *list = &AddressList(ruleset, a);
         if (std::find(list->begin(), list->end(), a) != list->end()) {
            return false;
         }
         list->push_back(a);
         return true;
      },
      address);
   if (added) {
      Write(state);
   }
}

void FileBackend::RemoveAddress(const std::string &rulesetId, const HostCtl::Network::IpAddress &address)
{
   Hostlib::MutexLock guard(mLock);
   State state = Read();
   RulesetState &ruleset = Existing(state, rulesetId);
   bool removed = std::visit(
      [&](const auto &a) {
         auto *list = &AddressList(ruleset, a);
         auto it = std::find(list->begin(), list->end(), a);
         if (it == list->end()) {
            return false;
         }
         list->erase(it);
         return true;
      },
      address);
   if (!removed) {
      throw HostCtlException("Cannot remove " + HostCtl::Network::ToString(address) + " from ruleset " +
                             rulesetId, "not in the allowed list");
   }
   Write(state);
}

void FileBackend::ChangeAddresses(const std::string &rulesetId,
                                  const std::vector<HostCtl::Network::IpAddress> &add,
                                  const std::vector<HostCtl::Network::IpAddress> &remove)
{
   Hostlib::MutexLock guard(mLock);
   State state = Read();
   RulesetState &ruleset = Existing(state, rulesetId);
   bool changed = false;
   for (const auto &address : remove) {
      std::visit(
         [&](const auto &a) {
            auto *list = &AddressList(ruleset, a);
            auto it = std::find(list->begin(), list->end(), a);
            if (it != list->end()) {
               list->erase(it);
               changed = true;
            }
         },
         address);
   }
   for (const auto &address : add) {
      std::visit(
         [&](const auto &a) {
            auto *list = &AddressList(ruleset, a);
            if (std::find(list->begin(), list->end(), a) == list->end()) {
               list->push_back(a);
               changed = true;
            }
         },
         address);
   }
   if (changed) {
      Write(state);
   }
}

int FileBackend::RemoveLeftoverTemporaries(const std::string &path)
{
   size_t slash = path.rfind('/');
   if (slash == std::string::npos) {
      return 0;
   }
   const std::string directory = DirectoryOf(path);
   // mkostemp's pattern: the name, a dot and six characters.
   const std::string prefix = path.substr(slash + 1) + ".";
   const size_t nameLength = prefix.size() + 6;
   DIR *dir = opendir(directory.c_str());
   if (dir == nullptr) {
      return 0;
   }
   int removed = 0;
   while (dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() != nameLength || name.compare(0, prefix.size(), prefix) != 0) {
         continue;
      }
      std::string full = (directory == "/" ? "" : directory) + "/" + name;
      struct stat st {};
      if (lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
         continue;
      }
      if (unlink(full.c_str()) == 0) {
         Log_Level(125, "Removed a leftover firewall state file %s\n", full.c_str());
         ++removed;
      }
   }
   closedir(dir);
   return removed;
}

} // namespace HykCtl::System
