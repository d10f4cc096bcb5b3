#include "runtime/ruvo/data/format.h"

#include <charconv>
#include <cstdio>
#include <ctime>

namespace Ruvo {

namespace {

class FormatCategoryImpl : public std::error_category {
public:
   const char *name() const noexcept override { return "Ruvo Format Error"; }
   std::string message(int code) const override
   {
      switch (code) {
      case 1: return "Named argument not found.";
      case 2: return "Empty Named specifier found.";
      case 3: return "More specifiers than expected.";
      default: return "format error";
      }
   }
};

class ToolsCategoryImpl : public std::error_category {
public:
   const char *name() const noexcept override { return "Ruvo Tools Error"; }
   std::string message(int code) const override
   {
      switch (code) {
      case 1: return "Named argument not found.";
      case 2: return "Empty Named specifier found.";
      default: return "tools error";
      }
   }
};

bool IsAllDigits(std::string_view s)
{
   if (s.empty()) {
      return false;
   }
   for (char c : s) {
      if (c < '0' || c > '9') {
         return false;
      }
   }
   return true;
}

// The shared engine; `lookup` fills one specifier or returns an error code (0 = filled).
template <class Lookup>
std::string Substitute(std::string_view pattern, Lookup lookup, std::error_code &ec)
{
   ec.clear();
   std::string out;
   out.reserve(pattern.size());
   size_t i = 0;
   while (i < pattern.size()) {
      char c = pattern[i];
      if (c == '{' && i + 1 < pattern.size() && pattern[i + 1] == '{') {
         out += '{';
         i += 2;
         continue;
      }
      if (c == '}' && i + 1 < pattern.size() && pattern[i + 1] == '}') {
         out += '}';
         i += 2;
         continue;
      }
      if (c != '{') {
         out += c;
         ++i;
         continue;
      }
      size_t close = pattern.find('}', i + 1);
      if (close == std::string_view::npos) {
         out.append(pattern.substr(i));
         break;
      }
      std::string_view spec = pattern.substr(i + 1, close - i - 1);
      std::error_code err = lookup(spec, out);
      if (err) {
         out.append(pattern.substr(i, close - i + 1));
         if (!ec) {
            ec = err;
         }
      }
      i = close + 1;
   }
   return out;
}

} // namespace

const std::error_category &FormatCategory()
{
   static const FormatCategoryImpl category;
   return category;
}

std::error_code make_error_code(FormatError e)
{
   return {static_cast<int>(e), FormatCategory()};
}

namespace Tools {

const std::error_category &ToolsCategory()
{
   static const ToolsCategoryImpl category;
   return category;
}

std::error_code make_error_code(ToolsError e)
{
   return {static_cast<int>(e), ToolsCategory()};
}

std::string Substitute(std::string_view pattern, const std::map<std::string, std::string> &named,
                       std::error_code &ec)
{
   return Ruvo::Substitute(
      pattern,
      [&](std::string_view spec, std::string &out) -> std::error_code {
         if (spec.empty()) {
            return ToolsError::EmptyNamedSpecifier;
         }
         auto it = named.find(std::string(spec));
         if (it == named.end()) {
            return ToolsError::NamedArgumentNotFound;
         }
         out += it->second;
         return {};
      },
      ec);
}

} // namespace Tools

std::string MessageArgToString(const MessageArg &arg)
{
   if (const auto *s = std::get_if<std::string>(&arg)) {
      return *s;
   }
   if (const auto *i = std::get_if<int64_t>(&arg)) {
      return std::to_string(*i);
   }
   if (const auto *t = std::get_if<DateTime>(&arg)) {
      return DateTimeToString(*t);
   }
   char buf[64];
   auto res = std::to_chars(buf, buf + sizeof buf, std::get<double>(arg));
   return std::string(buf, res.ptr);
}

std::string DateTimeToString(const DateTime &value)
{
   int64_t millis = value.epochMillis % 1000;
   time_t seconds = static_cast<time_t>(value.epochMillis / 1000);
   if (millis < 0) {
      millis += 1000;
      --seconds;
   }
   struct tm tm {};
   if (gmtime_r(&seconds, &tm) == nullptr) {
      return std::to_string(value.epochMillis);
   }
   char buf[64];
   snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
            tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));
   return buf;
}

std::string FormatTemplate(std::string_view pattern, const std::vector<std::string> &positional,
                           const NamedArgs &named, const ArgRenderer &render, std::error_code &ec)
{
   return Substitute(
      pattern,
      [&](std::string_view spec, std::string &out) -> std::error_code {
         if (spec.empty()) {
            return FormatError::EmptyNamedSpecifier;
         }
         if (IsAllDigits(spec)) {
            size_t index = 0;
            auto res = std::from_chars(spec.data(), spec.data() + spec.size(), index);
            if (res.ec != std::errc() || index == 0 || index > positional.size()) {
               return FormatError::MoreSpecifiersThanExpected;
            }
            out += positional[index - 1];
            return {};
         }
         auto it = named.find(std::string(spec));
         if (it == named.end()) {
            return FormatError::NamedArgumentNotFound;
         }
         out += render ? render(it->second) : MessageArgToString(it->second);
         return {};
      },
      ec);
}

std::string FormatTemplate(std::string_view pattern, const std::vector<std::string> &positional,
                           const NamedArgs &named)
{
   std::error_code ignored;
   return FormatTemplate(pattern, positional, named, nullptr, ignored);
}

} // namespace Ruvo
