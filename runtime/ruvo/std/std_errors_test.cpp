#include "runtime/ruvo/std/std_errors.h"

#include <gtest/gtest.h>

#include "runtime/ruvo/std/error_factory.h"

namespace {

namespace Errors = Com::Talvor::Ruvo::Std::Errors;

TEST(StdErrors, ErrorTypeNumbersAndNames)
{
   EXPECT_EQ(static_cast<int>(Errors::ErrorType::ALREADY_EXISTS), 1);
   EXPECT_EQ(static_cast<int>(Errors::ErrorType::INVALID_ARGUMENT), 7);
   EXPECT_EQ(static_cast<int>(Errors::ErrorType::NOT_FOUND), 12);
   EXPECT_STREQ(Errors::NotFound::kErrorName, "com.talvor.ruvo.std.errors.not_found");
}

TEST(ErrorFactory, RendersUnderTheLocaleAndReadsBack)
{
   Errors::InvalidArgument error;
   error.error_type = Errors::ErrorType::INVALID_ARGUMENT;
   error.messages.push_back(Ruvo::BaseMessage("x.invalid_port", "Invalid port {port}.", {},
                                              {{"port", int64_t{65536}}}));
   Ruvo::L10n::LocaleSpec locale;
   auto value = Ruvo::Data::ErrorFactory::ToErrorValue(error, locale);
   EXPECT_EQ(value->GetName(), "com.talvor.ruvo.std.errors.invalid_argument");
   EXPECT_EQ(value->messages().at(0).GetDefaultMessage(), "Invalid port 65536.");
   EXPECT_EQ(Ruvo::Data::As<Ruvo::Data::StringValue>(
                Ruvo::Binding::UnwrapOptional(value->GetField("error_type")))
                ->GetValue(),
             "INVALID_ARGUMENT");

   Errors::InvalidArgument back;
   ASSERT_TRUE(Ruvo::Data::ErrorFactory::FromErrorValue(value, back));
   EXPECT_EQ(back.error_type, Errors::ErrorType::INVALID_ARGUMENT);
   EXPECT_EQ(back.messages.at(0).GetId(), "x.invalid_port");
   Errors::NotFound wrong;
   EXPECT_FALSE(Ruvo::Data::ErrorFactory::FromErrorValue(value, wrong));
   EXPECT_TRUE(Errors::IsError<Errors::InvalidArgument>(value));

   Errors::Error generic;
   auto plain = Ruvo::Data::ErrorFactory::ToErrorValue(generic);
   EXPECT_FALSE(Ruvo::Data::As<Ruvo::Data::OptionalValue>(plain->GetField("error_type"))->IsSet());
}

} // namespace
