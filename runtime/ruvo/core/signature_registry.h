// Input and result types of every operation a binding knows, by method text, so
// that readers of untyped wire data can produce exactly the values the binding
// expects (secrets stay secrets, binary is decoded, enumerations are checked).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/hostlib/mutex.h"
#include "runtime/ruvo/data/type_desc.h"

namespace Ruvo::Core {

struct OperationSignature {
   const Data::TypeDesc *input = nullptr;
   const Data::TypeDesc *result = nullptr;
};

class SignatureRegistry {
public:
   static SignatureRegistry &Instance();

   // A later registration of the same method replaces the earlier one.
   void Register(const std::string &methodText, OperationSignature signature);
   std::optional<OperationSignature> Find(std::string_view methodText) const;

private:
   mutable Hostlib::Mutex mLock;
   std::map<std::string, OperationSignature, std::less<>> mSignatures ZARNA_GUARDED_BY(mLock);
};

} // namespace Ruvo::Core
