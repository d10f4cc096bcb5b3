// Error values and the standard error names of the runtime.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/ruvo/data/data_value.h"
#include "runtime/ruvo/data/message.h"

namespace Ruvo::Data {

class ErrorValue : public CompoundValue {
public:
   explicit ErrorValue(std::string name) : CompoundValue(DataType::Error, std::move(name)) {}

   // An error with the field "messages" holding each message, its text filled in
   // from its arguments.
   static std::shared_ptr<ErrorValue> Create(const std::string &name,
                                             const std::vector<BaseMessage> &messages);

   // The messages of the field "messages"; entries that are not messages are skipped.
   std::vector<BaseMessage> messages() const;

   DataValuePtr Copy() const override;
   std::shared_ptr<ErrorValue> CopyError() const;
};

using ErrorValuePtr = std::shared_ptr<ErrorValue>;

// A message as a value: id, default_message, args, params.
inline constexpr const char *kLocalizableMessageName = "com.talvor.ruvo.std.localizable_message";
DataValuePtr MessageToValue(const BaseMessage &message);
// False when the value is not a message structure with a text id.
bool MessageFromValue(const DataValuePtr &value, BaseMessage &out);
// The list value of a message sequence, each rendered from its arguments.
std::shared_ptr<ListValue> MessagesToValue(const std::vector<BaseMessage> &messages, bool render);

namespace StdErrors {
inline constexpr const char *kError = "com.talvor.ruvo.std.errors.error";
inline constexpr const char *kNotFound = "com.talvor.ruvo.std.errors.not_found";
inline constexpr const char *kAlreadyExists = "com.talvor.ruvo.std.errors.already_exists";
inline constexpr const char *kInvalidArgument = "com.talvor.ruvo.std.errors.invalid_argument";
inline constexpr const char *kUnauthenticated = "com.talvor.ruvo.std.errors.unauthenticated";
inline constexpr const char *kUnauthorized = "com.talvor.ruvo.std.errors.unauthorized";
inline constexpr const char *kInternalServerError = "com.talvor.ruvo.std.errors.internal_server_error";
inline constexpr const char *kOperationNotFound = "com.talvor.ruvo.std.errors.operation_not_found";
inline constexpr const char *kSystemError = "com.talvor.ruvo.std.errors.system_error";
inline constexpr const char *kInvalidRequest = "com.talvor.ruvo.std.errors.invalid_request";

// Field names shared by every standard error.
inline constexpr const char *kMessagesField = "messages";
inline constexpr const char *kDataField = "data";
inline constexpr const char *kErrorTypeField = "error_type";

// A standard error with its messages and, when given, the error type's value name.
ErrorValuePtr Make(const std::string &name, const std::vector<BaseMessage> &messages,
                   const std::string &errorTypeName = {});
} // namespace StdErrors

// An error value together with messages whose text the service's localizer
// produces when the error leaves the service.
class NativeError {
public:
   explicit NativeError(ErrorValuePtr error, std::vector<NamedMessageBuilder> builders = {})
      : mError(std::move(error)), mBuilders(std::move(builders))
   {
   }
   const ErrorValuePtr &GetError() const { return mError; }
   const std::vector<NamedMessageBuilder> &GetBuilders() const { return mBuilders; }

private:
   ErrorValuePtr mError;
   std::vector<NamedMessageBuilder> mBuilders;
};

} // namespace Ruvo::Data
