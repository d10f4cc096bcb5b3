// The standard error structures every service and client agrees on.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "runtime/ruvo/binding/codec.h"
#include "runtime/ruvo/data/error_value.h"
#include "runtime/ruvo/data/message.h"

namespace Com::Talvor::Ruvo::Std {

using LocalizableMessage = ::Ruvo::BaseMessage;

namespace Errors {

enum class ErrorType {
   ERROR,
   ALREADY_EXISTS,
   ALREADY_IN_DESIRED_STATE,
   CANCELED,
   CONCURRENT_CHANGE,
   FEATURE_IN_USE,
   INTERNAL_SERVER_ERROR,
   INVALID_ARGUMENT,
   INVALID_ELEMENT_CONFIGURATION,
   INVALID_ELEMENT_TYPE,
   INVALID_REQUEST,
   NOT_ALLOWED_IN_CURRENT_STATE,
   NOT_FOUND,
   OPERATION_NOT_FOUND,
   RESOURCE_BUSY,
   RESOURCE_IN_USE,
   RESOURCE_INACCESSIBLE,
   SERVICE_UNAVAILABLE,
   TIMED_OUT,
   UNABLE_TO_ALLOCATE_RESOURCE,
   UNAUTHENTICATED,
   UNAUTHORIZED,
   UNEXPECTED_INPUT,
   UNSUPPORTED,
   UNVERIFIED_PEER,
   SYSTEM_ERROR,
};

constexpr std::array<const char *, 26> RuvoEnumNames(ErrorType)
{
   return {"ERROR",
           "ALREADY_EXISTS",
           "ALREADY_IN_DESIRED_STATE",
           "CANCELED",
           "CONCURRENT_CHANGE",
           "FEATURE_IN_USE",
           "INTERNAL_SERVER_ERROR",
           "INVALID_ARGUMENT",
           "INVALID_ELEMENT_CONFIGURATION",
           "INVALID_ELEMENT_TYPE",
           "INVALID_REQUEST",
           "NOT_ALLOWED_IN_CURRENT_STATE",
           "NOT_FOUND",
           "OPERATION_NOT_FOUND",
           "RESOURCE_BUSY",
           "RESOURCE_IN_USE",
           "RESOURCE_INACCESSIBLE",
           "SERVICE_UNAVAILABLE",
           "TIMED_OUT",
           "UNABLE_TO_ALLOCATE_RESOURCE",
           "UNAUTHENTICATED",
           "UNAUTHORIZED",
           "UNEXPECTED_INPUT",
           "UNSUPPORTED",
           "UNVERIFIED_PEER",
           "SYSTEM_ERROR"};
}

// Every standard error has the same fields; only its name differs.
template <const char *const &Name>
struct StdError {
   std::vector<LocalizableMessage> messages;
   std::optional<::Ruvo::Data::StructValuePtr> data;
   std::optional<ErrorType> error_type;

   static constexpr const char *kStructName = Name;
   static constexpr const char *kErrorName = Name;
   static constexpr auto Fields()
   {
      using ::Ruvo::Binding::Field;
      return std::make_tuple(Field("messages", &StdError::messages), Field("data", &StdError::data),
                             Field("error_type", &StdError::error_type));
   }
};

namespace Names {
inline constexpr const char *kError = ::Ruvo::Data::StdErrors::kError;
inline constexpr const char *kNotFound = ::Ruvo::Data::StdErrors::kNotFound;
inline constexpr const char *kAlreadyExists = ::Ruvo::Data::StdErrors::kAlreadyExists;
inline constexpr const char *kInvalidArgument = ::Ruvo::Data::StdErrors::kInvalidArgument;
inline constexpr const char *kUnauthenticated = ::Ruvo::Data::StdErrors::kUnauthenticated;
inline constexpr const char *kUnauthorized = ::Ruvo::Data::StdErrors::kUnauthorized;
inline constexpr const char *kInternalServerError = ::Ruvo::Data::StdErrors::kInternalServerError;
inline constexpr const char *kOperationNotFound = ::Ruvo::Data::StdErrors::kOperationNotFound;
inline constexpr const char *kInvalidRequest = ::Ruvo::Data::StdErrors::kInvalidRequest;
inline constexpr const char *kSystemError = ::Ruvo::Data::StdErrors::kSystemError;
} // namespace Names

using Error = StdError<Names::kError>;
using NotFound = StdError<Names::kNotFound>;
using AlreadyExists = StdError<Names::kAlreadyExists>;
using InvalidArgument = StdError<Names::kInvalidArgument>;
using Unauthenticated = StdError<Names::kUnauthenticated>;
using Unauthorized = StdError<Names::kUnauthorized>;
using InternalServerError = StdError<Names::kInternalServerError>;
using OperationNotFound = StdError<Names::kOperationNotFound>;
using InvalidRequest = StdError<Names::kInvalidRequest>;
using SystemError = StdError<Names::kSystemError>;

// True when the error value is of the standard error E.
template <class E>
bool IsError(const ::Ruvo::Data::ErrorValuePtr &error)
{
   return error && error->GetName() == E::kErrorName;
}

} // namespace Errors

} // namespace Com::Talvor::Ruvo::Std
