#include "runtime/ruvo/l10n/localizer.h"

#include <gtest/gtest.h>

#include "runtime/ruvo/data/format.h"
#include "runtime/ruvo/l10n/l10n_category.h"

namespace {

using namespace Ruvo::L10n;

std::string Source(const std::string &id, std::string_view, std::error_code &)
{
   if (id == "svc.invalid_port") {
      return "Invalid port {port}.";
   }
   if (id == "svc.not_found") {
      return "Not found {service}.";
   }
   return "Unknown message.";
}

TEST(Localizer, FillsNamedArgumentsFromTheSourceTemplate)
{
   Localizer localizer({"en_US"}, Source);
   LocaleSpec locale;
   std::error_code ec;
   auto m = localizer.Localize(Ruvo::NamedMessageBuilder("svc.invalid_port").put("port", 70000).Build(),
                               locale, ec);
   EXPECT_EQ(m.GetDefaultMessage(), "Invalid port 70000.");
   EXPECT_FALSE(ec);
   EXPECT_EQ(std::get<int64_t>(m.GetParams().at("port")), 70000);

   locale.formatLocale = "en_US";
   m = localizer.Localize(Ruvo::NamedMessageBuilder("svc.invalid_port").put("port", -1234567).Build(),
                          locale, ec);
   EXPECT_EQ(m.GetDefaultMessage(), "Invalid port -1,234,567.");

   m = localizer.Localize(Ruvo::NamedMessageBuilder("svc.not_found").Build(), LocaleSpec{}, ec);
   EXPECT_EQ(m.GetDefaultMessage(), "Not found {service}.");
   EXPECT_EQ(ec, Ruvo::FormatError::NamedArgumentNotFound);
}

TEST(Localizer, FallsBackToDefaultTextThenToTheId)
{
   Localizer localizer({"en_US"}, nullptr);
   std::error_code ec;
   auto m = localizer.Localize(Ruvo::BaseMessage("x", "Own {1}", {"text"}), LocaleSpec{}, ec);
   EXPECT_EQ(m.GetDefaultMessage(), "Own text");
   m = localizer.Localize(Ruvo::BaseMessage("only.id", ""), LocaleSpec{}, ec);
   EXPECT_EQ(m.GetDefaultMessage(), "only.id");
   EXPECT_EQ(ec, L10nError::UnknownMessageId);
   EXPECT_EQ(ec.message(), "Unknown message ID - no formatString");
   EXPECT_STREQ(ec.category().name(), "Ruvo Localization Error");
}

TEST(Localizer, SelectsTheCallersLanguageOrTheDefault)
{
   Localizer localizer({"en_US", "de_DE"}, Source);
   std::error_code ec;
   LocaleSpec locale;
   locale.languages = {"fr_FR", "de"};
   EXPECT_EQ(localizer.SelectLanguage(locale, ec), "de_DE");
   EXPECT_FALSE(ec);
   locale.languages = {"fr"};
   EXPECT_EQ(localizer.SelectLanguage(locale, ec), "en_US");
   EXPECT_EQ(ec, L10nError::LocaleNotSupported);
}

TEST(Localizer, RenderAppendsBuiltMessagesToACopyOfTheError)
{
   Localizer localizer({"en_US"}, Source);
   auto error = Ruvo::Data::StdErrors::Make(Ruvo::Data::StdErrors::kNotFound,
                                            {Ruvo::BaseMessage("first", "First")}, "NOT_FOUND");
   auto rendered = localizer.Render(
      error, {Ruvo::NamedMessageBuilder("svc.not_found").put("service", "abc")}, LocaleSpec{});
   ASSERT_EQ(rendered->messages().size(), 2u);
   EXPECT_EQ(rendered->messages()[1].GetDefaultMessage(), "Not found abc.");
   EXPECT_EQ(error->messages().size(), 1u);
   EXPECT_TRUE(rendered->HasField("error_type"));

   auto plain = RenderWithoutLocalizer(
      error, {Ruvo::NamedMessageBuilder("ruvo.provider.interface.unknown").put("x", "y")});
   EXPECT_EQ(plain->messages()[1].GetDefaultMessage(), "Unknown interface {1}");
}

TEST(LocaleSpecHelpers, ParsesHeaderValuesAndRefusesGarbage)
{
   std::vector<std::string> langs;
   ASSERT_TRUE(LocaleSpecHelpers::ParseAcceptLanguage("de;q=0.5, en-US ,fr;q=0.9", langs));
   EXPECT_EQ(langs, (std::vector<std::string>{"en_US", "fr", "de"}));
   for (const char *bad : {"", "en;q=2", "e n", "en-", "\r\n", "toolongtag9", ";q=1"}) {
      EXPECT_FALSE(LocaleSpecHelpers::ParseAcceptLanguage(bad, langs)) << bad;
   }
   EXPECT_TRUE(LocaleSpecHelpers::IsValidFormatLocale("C"));
   EXPECT_TRUE(LocaleSpecHelpers::IsValidFormatLocale("en_US"));
   EXPECT_FALSE(LocaleSpecHelpers::IsValidFormatLocale("en US"));

   Ruvo::Core::ExecutionContext ctx;
   ctx.GetApplicationContext()["acceptLanguage"] = "de-DE";
   ctx.GetApplicationContext()["formatLocale"] = "en-US";
   auto spec = LocaleSpecHelpers::ExtractLocaleSpec(ctx);
   EXPECT_EQ(spec.languages, std::vector<std::string>{"de_DE"});
   EXPECT_EQ(spec.formatLocale, "en_US");
   EXPECT_EQ(spec.timeZone, "Etc/UTC");
}

TEST(Formatters, DateTimeAndUnsupportedLocales)
{
   std::error_code ec;
   LocaleSpec locale;
   EXPECT_EQ(StandardDateTimeFormatter({1700000000123}, locale, ec), "2023-11-14T22:13:20.123Z");
   EXPECT_FALSE(ec);
   locale.formatLocale = "de_DE";
   EXPECT_EQ(StandardIntegerFormatter(1000, locale, ec), "1000");
   EXPECT_EQ(ec, L10nError::FormatLocaleNotSupported);
   locale.formatLocale = "en";
   ec.clear();
   EXPECT_EQ(StandardDoubleFormatter(12345.5, locale, ec), "12,345.5");
}

} // namespace
