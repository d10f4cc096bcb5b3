#include "runtime/ruvo/binding/codec_context.h"

namespace Ruvo::Binding {

std::string CodecContext::Path() const
{
   std::string path;
   for (const auto &segment : mPath) {
      if (!path.empty() && segment[0] != '[') {
         path += '.';
      }
      path += segment;
   }
   return path.empty() ? std::string("value") : path;
}

void CodecContext::Add(BaseMessage message)
{
   // The first problem explains the failure; later ones are consequences.
   if (mMessages.empty()) {
      mMessages.push_back(std::move(message));
   }
}

bool CodecContext::InvalidType(const char *expected, const Data::DataValuePtr &found)
{
   Add(CoreMessage::Make(MessageIds::kDataInvalidType,
                         {Path(), expected, found ? Data::DataTypeName(found->GetType()) : "nothing"}));
   return false;
}

bool CodecContext::InvalidType(const char *expected, const std::string &found)
{
   Add(CoreMessage::Make(MessageIds::kDataInvalidType, {Path(), expected, found}));
   return false;
}

bool CodecContext::MissingField(const std::string &name)
{
   PathScope scope(*this, name);
   Add(CoreMessage::Make(MessageIds::kDataMissingField, {Path()}));
   return false;
}

bool CodecContext::InvalidValue(const std::string &reason)
{
   Add(CoreMessage::Make(MessageIds::kDataInvalidValue, {Path(), reason}));
   return false;
}

} // namespace Ruvo::Binding
