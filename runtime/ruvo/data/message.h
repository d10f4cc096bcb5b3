// Localizable messages: an identifier, an English default text and its arguments.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace Ruvo {

// A point in time for message arguments: milliseconds since the epoch, UTC.
struct DateTime {
   int64_t epochMillis = 0;
   friend bool operator==(const DateTime &, const DateTime &) = default;
};

// A named argument: text, integer, floating point or date-time, formatted by the
// localizer.
using MessageArg = std::variant<std::string, int64_t, double, DateTime>;

// ISO 8601 UTC text with milliseconds, e.g. "2030-01-02T03:04:05.006Z".
std::string DateTimeToString(const DateTime &value);
using NamedArgs = std::map<std::string, MessageArg>;

// Default rendering of an argument, without locale conventions.
std::string MessageArgToString(const MessageArg &arg);

class BaseMessage {
public:
   BaseMessage() = default;
   BaseMessage(std::string id, std::string defaultMessage, std::vector<std::string> args = {},
               NamedArgs params = {})
      : mId(std::move(id)),
        mDefaultMessage(std::move(defaultMessage)),
        mArgs(std::move(args)),
        mParams(std::move(params))
   {
   }

   const std::string &GetId() const { return mId; }
   // The template ({1} positional, {name} named) or, once rendered, the text.
   const std::string &GetDefaultMessage() const { return mDefaultMessage; }
   const std::vector<std::string> &GetArgs() const { return mArgs; }
   const NamedArgs &GetParams() const { return mParams; }

   void SetDefaultMessage(std::string text) { mDefaultMessage = std::move(text); }
   void AddArg(std::string arg) { mArgs.push_back(std::move(arg)); }
   void SetParam(const std::string &name, MessageArg value) { mParams[name] = std::move(value); }

   // "id: text" with the arguments filled in, for logs.
   std::string ToString() const;

   friend bool operator==(const BaseMessage &a, const BaseMessage &b) = default;

private:
   std::string mId;
   std::string mDefaultMessage;
   std::vector<std::string> mArgs;
   NamedArgs mParams;
};

// Builds a message whose text the service's localizer produces later from the id.
class NamedMessageBuilder {
public:
   explicit NamedMessageBuilder(std::string id, std::string defaultMessage = {})
      : mMessage(std::move(id), std::move(defaultMessage))
   {
   }
   NamedMessageBuilder &put(const std::string &name, std::string value);
   NamedMessageBuilder &put(const std::string &name, const char *value);
   NamedMessageBuilder &put(const std::string &name, int64_t value);
   NamedMessageBuilder &put(const std::string &name, int value);
   NamedMessageBuilder &put(const std::string &name, double value);
   NamedMessageBuilder &put(const std::string &name, DateTime value);

   const BaseMessage &Build() const { return mMessage; }

private:
   BaseMessage mMessage;
};

struct CoreTag {};

// Default texts of the identifiers that a message family raises itself.
template <class Tag>
struct Message;

template <>
struct Message<CoreTag> {
   // Empty when the runtime does not raise that identifier.
   static std::string DefaultMessageForId(const std::string &id);
   // A message with the default text and positional arguments.
   static BaseMessage Make(const std::string &id, std::vector<std::string> args = {});
};

using CoreMessage = Message<CoreTag>;

// Identifiers raised by the runtime and its transport.
namespace MessageIds {
inline constexpr const char *kConnectFailed = "ruvo.connect.failed";
inline constexpr const char *kSendFailed = "ruvo.send.failed";
inline constexpr const char *kRecvFailed = "ruvo.recv.failed";
inline constexpr const char *kUnknownRequestId = "ruvo.unknown.request.id";
inline constexpr const char *kDataInvalidType = "ruvo.data.invalid.type";
inline constexpr const char *kDataMissingField = "ruvo.data.missing.field";
inline constexpr const char *kDataInvalidValue = "ruvo.data.invalid.value";
inline constexpr const char *kInterfaceUnknown = "ruvo.provider.interface.unknown";
inline constexpr const char *kInterfaceAlreadyRegistered = "ruvo.provider.interface.already.registered";
inline constexpr const char *kOperationUnknown = "ruvo.provider.operation.unknown";
inline constexpr const char *kResultAbandoned = "ruvo.provider.result.abandoned";
inline constexpr const char *kInvalidMessage = "ruvo.protocol.invalid.message";
inline constexpr const char *kMethodMismatch = "ruvo.protocol.method.mismatch";
inline constexpr const char *kInternalError = "ruvo.internal.error";
} // namespace MessageIds

} // namespace Ruvo
