// Names one operation of one interface; the text form is "<interface id>.<operation>".
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace Ruvo::Core {

class MethodIdentifier {
public:
   MethodIdentifier() = default;
   MethodIdentifier(std::string interfaceId, std::string operation)
      : mInterfaceId(std::move(interfaceId)), mOperation(std::move(operation))
   {
   }
   // The operation is what follows the last "."; false when there is no ".", when
   // the text is longer than kMaxTextBytes, or when it is not made of identifiers
   // (letters, digits, "_") joined by single dots. Method texts come from callers and
   // end up in log lines and op-ids, so anything else is refused where it is read.
   static bool FromString(std::string_view text, MethodIdentifier &out);
   static constexpr size_t kMaxTextBytes = 256;

   const std::string &GetInterfaceId() const { return mInterfaceId; }
   const std::string &GetOperation() const { return mOperation; }
   std::string ToString() const { return mInterfaceId + "." + mOperation; }

   friend bool operator==(const MethodIdentifier &, const MethodIdentifier &) = default;

private:
   std::string mInterfaceId;
   std::string mOperation;
};

using MethodIdentifierPtr = std::shared_ptr<const MethodIdentifier>;

} // namespace Ruvo::Core
