#include "runtime/ruvo/data/type_desc.h"

#include <array>

namespace Ruvo::Data {

const TypeDesc &TypeDesc::Of(TypeKind scalarKind)
{
   static const std::array<TypeDesc, 14> kScalars = [] {
      std::array<TypeDesc, 14> all;
      for (size_t i = 0; i < all.size(); ++i) {
         all[i].kind = static_cast<TypeKind>(i);
      }
      return all;
   }();
   return kScalars[static_cast<size_t>(scalarKind)];
}

} // namespace Ruvo::Data
