#include "peers/attestd/options.h"

namespace Attestd {

namespace {

bool Number(const std::string &text, int64_t min, int64_t max, int64_t &out)
{
   if (text.empty() || text.size() > 12 ||
       text.find_first_not_of("0123456789") != std::string::npos) {
      return false;
   }
   out = std::stoll(text);
   return out >= min && out <= max;
}

bool PcrList(const std::string &text, std::set<unsigned> &out)
{
   out.clear();
   size_t start = 0;
   while (start <= text.size()) {
      const size_t comma = text.find(',', start);
      const std::string item =
          text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      const size_t dash = item.find('-');
      int64_t first = 0;
      int64_t last = 0;
      if (dash == std::string::npos) {
         if (!Number(item, 0, 23, first)) {
            return false;
         }
         last = first;
      } else if (!Number(item.substr(0, dash), 0, 23, first) ||
                 !Number(item.substr(dash + 1), 0, 23, last) || last < first) {
         return false;
      }
      for (int64_t pcr = first; pcr <= last; ++pcr) {
         out.insert(static_cast<unsigned>(pcr));
      }
      if (comma == std::string::npos) {
         break;
      }
      start = comma + 1;
   }
   return !out.empty();
}

} // namespace

bool ParseOptions(const std::vector<std::string> &args, Options &out, std::string &error)
{
   for (size_t i = 0; i < args.size(); ++i) {
      const std::string &name = args[i];
      if (name == "--help" || name == "-h") {
         error = "help";
         return false;
      }
      if (i + 1 >= args.size()) {
         error = "missing value for " + name;
         return false;
      }
      const std::string &value = args[++i];
      int64_t number = 0;
      if (name == "--listen") {
         const size_t colon = value.rfind(':');
         if (colon == std::string::npos || colon == 0 ||
             !Number(value.substr(colon + 1), 0, 65535, number)) {
            error = "--listen wants HOST:PORT";
            return false;
         }
         out.host = value.substr(0, colon);
         if (out.host.size() > 2 && out.host.front() == '[' && out.host.back() == ']') {
            out.host = out.host.substr(1, out.host.size() - 2);
         }
         out.port = static_cast<int>(number);
      } else if (name == "--cert") {
         out.certFile = value;
      } else if (name == "--key") {
         out.keyFile = value;
      } else if (name == "--ek-ca") {
         out.ekCaFiles.push_back(value);
      } else if (name == "--ek-allow") {
         out.ekAllow.insert(value);
      } else if (name == "--signing-key") {
         out.signingKey = value;
      } else if (name == "--token-lifetime") {
         if (!Number(value, 1, 7 * 24 * 3600, number)) {
            error = "--token-lifetime wants seconds between 1 and 604800";
            return false;
         }
         out.service.tokenLifetimeSec = number;
      } else if (name == "--audience") {
         out.service.audience = value;
      } else if (name == "--issuer") {
         out.service.issuer = value;
      } else if (name == "--grant") {
         out.service.grants.push_back(value);
      } else if (name == "--pcrs") {
         if (!PcrList(value, out.service.pcrs)) {
            error = "--pcrs wants a list such as 0-7 or 0,2,4 (PCRs 0 to 23)";
            return false;
         }
      } else if (name == "--pcr-policy") {
         out.pcrPolicyFile = value;
      } else if (name == "--fault") {
         if (!ParseFault(value, out.service.fault)) {
            error = "unknown --fault " + value;
            return false;
         }
      } else {
         error = "unknown option " + name;
         return false;
      }
   }
   if (out.host.empty() || out.certFile.empty() || out.keyFile.empty() || out.signingKey.empty()) {
      error = "--listen, --cert, --key and --signing-key are required";
      return false;
   }
   if (out.ekCaFiles.empty() && out.ekAllow.empty()) {
      error = "give --ek-ca or --ek-allow";
      return false;
   }
   return true;
}

} // namespace Attestd
