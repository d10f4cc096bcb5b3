#include "tools/zarnactl/host_port.h"

#include <algorithm>

namespace Zarnactl {
namespace {

bool HostCharsOk(std::string_view host, std::string &error)
{
   for (char c : host) {
      auto u = static_cast<unsigned char>(c);
      if (u <= 0x20 || u == 0x7f || c == '/' || c == '[' || c == ']') {
         error = "invalid character in host name";
         return false;
      }
   }
   return true;
}

} // namespace

bool ParsePort(std::string_view text, int64_t &port, std::string &error)
{
   if (text.empty() || text.size() > 5 ||
       !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      error = "bad port '" + std::string(text) + "': expected a number from 1 to 65535";
      return false;
   }
   int64_t value = 0;
   for (char c : text) {
      value = value * 10 + (c - '0');
   }
   if (value < 1 || value > 65535) {
      error = "bad port '" + std::string(text) + "': expected a number from 1 to 65535";
      return false;
   }
   port = value;
   return true;
}

bool ParseHostPort(std::string_view text, HostPort &out, std::string &error)
{
   HostPort result;
   std::string_view rest;
   if (!text.empty() && text.front() == '[') {
      size_t close = text.find(']');
      if (close == std::string_view::npos) {
         error = "missing ']' in '" + std::string(text) + "'";
         return false;
      }
      result.host = std::string(text.substr(1, close - 1));
      rest = text.substr(close + 1);
      if (!rest.empty() && rest.front() != ':') {
         error = "unexpected text after ']' in '" + std::string(text) + "'";
         return false;
      }
   } else if (std::count(text.begin(), text.end(), ':') > 1) {
      result.host = std::string(text);
   } else {
      size_t colon = text.find(':');
      result.host = std::string(text.substr(0, colon));
      if (colon != std::string_view::npos) {
         rest = text.substr(colon);
      }
   }
   if (result.host.empty()) {
      error = "missing host in '" + std::string(text) + "'";
      return false;
   }
   if (!HostCharsOk(result.host, error)) {
      error += " '" + std::string(text) + "'";
      return false;
   }
   if (!rest.empty()) {
      int64_t port = 0;
      if (!ParsePort(rest.substr(1), port, error)) {
         return false;
      }
      result.port = port;
   }
   out = std::move(result);
   return true;
}

bool ParseHost(std::string_view text, std::string &host, std::string &error)
{
   HostPort parsed;
   if (!ParseHostPort(text, parsed, error)) {
      return false;
   }
   if (parsed.port) {
      error = "host '" + std::string(text) + "' must not carry a port here; use --port";
      return false;
   }
   host = std::move(parsed.host);
   return true;
}

std::string HostForDisplay(const std::string &host)
{
   if (host.find(':') != std::string::npos) {
      return "[" + host + "]";
   }
   return host;
}

} // namespace Zarnactl
