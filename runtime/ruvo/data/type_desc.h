// Type descriptions: what a parameter or result looks like, so that untyped wire
// data (JSON) can be read into exactly the values a binding expects.
#pragma once

#include <string>
#include <vector>

namespace Ruvo::Data {

enum class TypeKind {
   Void,
   Boolean,
   Integer,
   Double,
   String,
   Secret,
   Binary,
   Enum,      // a string value restricted to the listed value names
   Optional,  // element may be absent (null)
   List,      // of element
   Map,       // text keys to element, a structure value without a name
   Structure, // named, with fields
   Error,     // an error value, fields read without a description
   Dynamic,   // anything: read by the shape of the data
};

struct TypeDesc;

struct FieldDesc {
   std::string name;
   const TypeDesc *type;
};

// Descriptions are created once per type and live for the whole process, so they
// are passed around by pointer.
struct TypeDesc {
   TypeKind kind = TypeKind::Dynamic;
   std::string name;                    // structure, enumeration
   const TypeDesc *element = nullptr;   // optional, list, map
   std::vector<FieldDesc> fields;       // structure
   std::vector<std::string> enumValues; // enumeration, index = numeric value

   static const TypeDesc &Of(TypeKind scalarKind);
};

} // namespace Ruvo::Data
