// Codecs of the types that need no template: scalars, void, dynamic values and
// messages.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/ruvo/binding/codec_context.h"
#include "runtime/ruvo/core/async_result.h"
#include "runtime/ruvo/data/data_value.h"
#include "runtime/ruvo/data/message.h"
#include "runtime/ruvo/data/type_desc.h"
#include "runtime/ruvo/data/value_emitter.h"

namespace Ruvo::Binding {

template <class T>
struct Codec;

#define RUVO_DECLARE_CODEC(Type)                                                               \
   template <>                                                                                 \
   struct Codec<Type> {                                                                        \
      static const Data::TypeDesc &Desc();                                                     \
      static Data::DataValuePtr ToValue(const Type &v, CodecContext &ctx);                     \
      static void Emit(const Type &v, Data::ValueEmitter &e, CodecContext &ctx);               \
      static bool FromValue(const Data::DataValuePtr &value, Type &out, CodecContext &ctx);    \
   }

RUVO_DECLARE_CODEC(bool);
RUVO_DECLARE_CODEC(int64_t);
RUVO_DECLARE_CODEC(double);
RUVO_DECLARE_CODEC(std::string);
RUVO_DECLARE_CODEC(SecretString);
RUVO_DECLARE_CODEC(Data::Binary);
RUVO_DECLARE_CODEC(Ruvo::Void);
// Any value, read by the shape of the data.
RUVO_DECLARE_CODEC(Data::DataValuePtr);
// A structure of any fields.
RUVO_DECLARE_CODEC(Data::StructValuePtr);
RUVO_DECLARE_CODEC(BaseMessage);

#undef RUVO_DECLARE_CODEC

// Index of an enumeration value given by name (or by number).
bool EnumIndexFromValue(const Data::DataValuePtr &value, const std::vector<std::string> &names,
                        size_t &index, CodecContext &ctx);

} // namespace Ruvo::Binding
