#include "runtime/ruvo/data/message.h"

#include <array>
#include <utility>

#include "runtime/ruvo/data/format.h"

namespace Ruvo {

namespace {

using Entry = std::pair<const char *, const char *>;

// {1}, {2}: the positional arguments that the raiser supplies.
constexpr std::array<Entry, 14> kCoreMessages = {{
   {MessageIds::kConnectFailed, "Cannot connect to the server: {1}"},
   {MessageIds::kSendFailed, "Cannot send the message: {1}"},
   {MessageIds::kRecvFailed, "Cannot receive the message: {1}"},
   {MessageIds::kUnknownRequestId, "{1}: the response carries an unknown request identifier"},
   {MessageIds::kDataInvalidType, "Invalid data type of {1}: expected {2}, found {3}"},
   {MessageIds::kDataMissingField, "Missing field {1}"},
   {MessageIds::kDataInvalidValue, "Invalid value for {1}: {2}"},
   {MessageIds::kInterfaceUnknown, "Unknown interface {1}"},
   {MessageIds::kInterfaceAlreadyRegistered, "Interface {1} is already registered"},
   {MessageIds::kOperationUnknown, "Unknown operation {1} of interface {2}"},
   {MessageIds::kResultAbandoned, "The operation {1} ended without a result"},
   {MessageIds::kInvalidMessage, "Invalid JSON-RPC message: {1}"},
   {MessageIds::kMethodMismatch, "Operation identifier {1} in the header differs from {2} in the payload"},
   {MessageIds::kInternalError, "Internal error: {1}"},
}};

} // namespace

std::string BaseMessage::ToString() const
{
   return mId + ": " + FormatTemplate(mDefaultMessage, mArgs, mParams);
}

NamedMessageBuilder &NamedMessageBuilder::put(const std::string &name, std::string value)
{
   mMessage.SetParam(name, std::move(value));
   return *this;
}

NamedMessageBuilder &NamedMessageBuilder::put(const std::string &name, const char *value)
{
   return put(name, std::string(value));
}

NamedMessageBuilder &NamedMessageBuilder::put(const std::string &name, int64_t value)
{
   mMessage.SetParam(name, value);
   return *this;
}

NamedMessageBuilder &NamedMessageBuilder::put(const std::string &name, int value)
{
   return put(name, static_cast<int64_t>(value));
}

NamedMessageBuilder &NamedMessageBuilder::put(const std::string &name, double value)
{
   mMessage.SetParam(name, value);
   return *this;
}

NamedMessageBuilder &NamedMessageBuilder::put(const std::string &name, DateTime value)
{
   mMessage.SetParam(name, value);
   return *this;
}

std::string Message<CoreTag>::DefaultMessageForId(const std::string &id)
{
   for (const auto &entry : kCoreMessages) {
      if (id == entry.first) {
         return entry.second;
      }
   }
   return {};
}

BaseMessage Message<CoreTag>::Make(const std::string &id, std::vector<std::string> args)
{
   return BaseMessage(id, DefaultMessageForId(id), std::move(args));
}

} // namespace Ruvo
