#include "runtime/ruvo/data/message.h"

#include <gtest/gtest.h>

#include "runtime/ruvo/data/format.h"

namespace {

TEST(Format, FillsPositionalNamedAndEscapedBraces)
{
   std::error_code ec;
   std::string out = Ruvo::FormatTemplate("{{{1}, {2}, {3}}}", {"0", "10", "5"}, {}, nullptr, ec);
   EXPECT_EQ(out, "{0, 10, 5}");
   EXPECT_FALSE(ec);

   out = Ruvo::FormatTemplate("Port {port} {name}", {}, {{"port", int64_t{8443}}, {"name", std::string("x")}},
                              nullptr, ec);
   EXPECT_EQ(out, "Port 8443 x");
   EXPECT_FALSE(ec);
}

TEST(Format, UnfillablePlaceholdersStayAndReportTheFirstProblem)
{
   std::error_code ec;
   std::string out =
      Ruvo::FormatTemplate("Key Provider Service not found {service}.", {}, {}, nullptr, ec);
   EXPECT_EQ(out, "Key Provider Service not found {service}.");
   EXPECT_EQ(ec, Ruvo::FormatError::NamedArgumentNotFound);
   EXPECT_STREQ(ec.category().name(), "Ruvo Format Error");
   EXPECT_EQ(ec.message(), "Named argument not found.");

   out = Ruvo::FormatTemplate("{} {1} {2}", {"a"}, {}, nullptr, ec);
   EXPECT_EQ(out, "{} a {2}");
   EXPECT_EQ(ec, Ruvo::FormatError::EmptyNamedSpecifier);

   out = Ruvo::FormatTemplate("{0}{3} unterminated {", {"a"}, {}, nullptr, ec);
   EXPECT_EQ(out, "{0}{3} unterminated {");
   EXPECT_EQ(ec, Ruvo::FormatError::MoreSpecifiersThanExpected);
   EXPECT_EQ(ec.message(), "More specifiers than expected.");
   EXPECT_EQ(std::error_code(99, Ruvo::FormatCategory()).message(), "format error");
}

TEST(Format, ToolsSubstitutionUsesItsOwnCategory)
{
   std::error_code ec;
   EXPECT_EQ(Ruvo::Tools::Substitute("a {x} {y}", {{"x", "1"}}, ec), "a 1 {y}");
   EXPECT_EQ(ec, Ruvo::Tools::ToolsError::NamedArgumentNotFound);
   EXPECT_STREQ(ec.category().name(), "Ruvo Tools Error");
   Ruvo::Tools::Substitute("{}", {}, ec);
   EXPECT_EQ(ec.message(), "Empty Named specifier found.");
   EXPECT_EQ(std::error_code(7, Ruvo::Tools::ToolsCategory()).message(), "tools error");
}

TEST(CoreMessages, EveryRuntimeIdentifierHasADefaultText)
{
   for (const char *id :
        {"ruvo.connect.failed", "ruvo.send.failed", "ruvo.recv.failed", "ruvo.unknown.request.id",
         "ruvo.data.invalid.type", "ruvo.provider.interface.unknown",
         "ruvo.provider.interface.already.registered", "ruvo.provider.operation.unknown",
         "ruvo.data.missing.field", "ruvo.protocol.invalid.message"}) {
      EXPECT_FALSE(Ruvo::CoreMessage::DefaultMessageForId(id).empty()) << id;
   }
   EXPECT_EQ(Ruvo::CoreMessage::DefaultMessageForId("ruvo.nope"), "");
   Ruvo::BaseMessage m = Ruvo::CoreMessage::Make("ruvo.recv.failed", {"empty frame"});
   EXPECT_EQ(m.ToString(), "ruvo.recv.failed: Cannot receive the message: empty frame");
}

TEST(NamedMessageBuilder, CollectsTypedArguments)
{
   Ruvo::NamedMessageBuilder builder("x.y");
   builder.put("port", 65536).put("service", "abc").put("ratio", 0.25);
   const auto &m = builder.Build();
   EXPECT_EQ(m.GetId(), "x.y");
   EXPECT_EQ(m.GetDefaultMessage(), "");
   EXPECT_EQ(std::get<int64_t>(m.GetParams().at("port")), 65536);
   EXPECT_EQ(std::get<std::string>(m.GetParams().at("service")), "abc");
   EXPECT_EQ(Ruvo::MessageArgToString(m.GetParams().at("ratio")), "0.25");
}

} // namespace
