#include "runtime/ruvo/l10n/locale_spec.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace Ruvo::L10n::LocaleSpecHelpers {

namespace {

std::string_view Trim(std::string_view s)
{
   while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
      s.remove_prefix(1);
   }
   while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
      s.remove_suffix(1);
   }
   return s;
}

// language[-_]region... with alphanumeric subtags of 1..8 characters.
bool IsLanguageTag(std::string_view tag, std::string &normalized)
{
   normalized.clear();
   size_t subtagLength = 0;
   bool first = true;
   for (char c : tag) {
      if (c == '-' || c == '_') {
         if (subtagLength == 0) {
            return false;
         }
         normalized += '_';
         subtagLength = 0;
         first = false;
         continue;
      }
      bool ok = first ? std::isalpha(static_cast<unsigned char>(c)) != 0
                      : std::isalnum(static_cast<unsigned char>(c)) != 0;
      if (!ok || ++subtagLength > 8) {
         return false;
      }
      normalized += c;
   }
   return subtagLength > 0;
}

bool ParseQuality(std::string_view param, double &quality)
{
   param = Trim(param);
   if (param.size() < 3 || (param[0] != 'q' && param[0] != 'Q') || param[1] != '=') {
      return false;
   }
   std::string text(param.substr(2));
   if (text.empty() || text.size() > 5) {
      return false;
   }
   char *end = nullptr;
   quality = std::strtod(text.c_str(), &end);
   return end == text.c_str() + text.size() && quality >= 0.0 && quality <= 1.0;
}

} // namespace

bool ParseAcceptLanguage(std::string_view text, std::vector<std::string> &languages)
{
   struct Entry {
      std::string tag;
      double quality;
   };
   std::vector<Entry> entries;
   size_t start = 0;
   while (start <= text.size()) {
      size_t comma = text.find(',', start);
      std::string_view item = Trim(text.substr(start, comma == std::string_view::npos
                                                          ? std::string_view::npos
                                                          : comma - start));
      start = comma == std::string_view::npos ? text.size() + 1 : comma + 1;
      if (item.empty()) {
         continue;
      }
      double quality = 1.0;
      size_t semi = item.find(';');
      if (semi != std::string_view::npos) {
         if (!ParseQuality(item.substr(semi + 1), quality)) {
            return false;
         }
         item = Trim(item.substr(0, semi));
      }
      std::string tag;
      if (item == "*") {
         tag = "*";
      } else if (!IsLanguageTag(item, tag)) {
         return false;
      }
      if (quality > 0.0) {
         entries.push_back({tag, quality});
      }
   }
   if (entries.empty()) {
      return false;
   }
   std::stable_sort(entries.begin(), entries.end(),
                    [](const Entry &a, const Entry &b) { return a.quality > b.quality; });
   languages.clear();
   for (auto &e : entries) {
      languages.push_back(std::move(e.tag));
   }
   return true;
}

bool IsValidFormatLocale(std::string_view text)
{
   std::string normalized;
   return text == "C" || IsLanguageTag(text, normalized);
}

LocaleSpec ExtractLocaleSpec(const Core::ExecutionContext &context)
{
   LocaleSpec spec;
   if (auto accept = context.GetApplicationValue(Core::kAcceptLanguageContextKey)) {
      std::vector<std::string> languages;
      if (ParseAcceptLanguage(*accept, languages)) {
         spec.languages = std::move(languages);
      }
   }
   if (auto format = context.GetApplicationValue(Core::kFormatLocaleContextKey)) {
      std::string normalized;
      if (*format == "C") {
         spec.formatLocale = "C";
      } else if (IsLanguageTag(*format, normalized)) {
         spec.formatLocale = normalized;
      }
   }
   return spec;
}

} // namespace Ruvo::L10n::LocaleSpecHelpers
