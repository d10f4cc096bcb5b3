#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "runtime/hostlib/base64.h"
#include "runtime/hostlib/unicode.h"
#include <vector>

#include "runtime/ruvo/core/method_result.h"
#include "runtime/ruvo/data/error_value.h"
#include "runtime/ruvo/data/value_emitter.h"
#include "runtime/ruvo/json/value_codec.h"

namespace Ruvo::Protocol::Json {

using namespace Ruvo::Data;

namespace {

bool AppendDouble(double d, std::string &out)
{
   if (!std::isfinite(d)) {
      return false;
   }
   char buf[64];
   auto res = std::to_chars(buf, buf + sizeof buf, d);
   std::string_view text(buf, static_cast<size_t>(res.ptr - buf));
   out += text;
   // Keep it a floating-point literal so that untyped readers see a double.
   if (text.find_first_of(".e") == std::string_view::npos) {
      out += ".0";
   }
   return true;
}

bool AppendBinary(const Binary &bytes, std::string &out)
{
   std::string text(Base64_EncodedLength(bytes.size()) + 1, '\0');
   size_t length = 0;
   if (!Base64_Encode(bytes.data(), bytes.size(), text.data(), text.size(), &length)) {
      return false;
   }
   text.resize(length);
   out += '"';
   out += text;
   out += '"';
   return true;
}

class Writer {
public:
   Writer(std::string &out, int maxDepth) : mOut(out), mMaxDepth(maxDepth) {}

   bool Write(const DataValue &value, int depth)
   {
      if (depth > mMaxDepth) {
         return Fail("value nested deeper than " + std::to_string(mMaxDepth));
      }
      switch (value.GetType()) {
      case DataType::Void: mOut += "null"; return true;
      case DataType::Boolean:
         mOut += static_cast<const BooleanValue &>(value).GetValue() ? "true" : "false";
         return true;
      case DataType::Integer:
         mOut += std::to_string(static_cast<const IntegerValue &>(value).GetValue());
         return true;
      case DataType::Double: return WriteDouble(static_cast<const DoubleValue &>(value).GetValue());
      case DataType::String: return WriteString(static_cast<const StringValue &>(value).GetValue());
      case DataType::Secret:
         return WriteString(static_cast<const SecretValue &>(value).GetValue().Expose());
      case DataType::Binary: return WriteBinary(static_cast<const BinaryValue &>(value).GetValue());
      case DataType::Optional: {
         const auto &opt = static_cast<const OptionalValue &>(value);
         if (!opt.IsSet()) {
            mOut += "null";
            return true;
         }
         return Write(*opt.GetValue(), depth + 1);
      }
      case DataType::List: return WriteList(static_cast<const ListValue &>(value), depth);
      case DataType::Structure: return WriteFields(static_cast<const CompoundValue &>(value), depth);
      case DataType::Error: {
         const auto &error = static_cast<const ErrorValue &>(value);
         mOut += "{\"name\":";
         if (!WriteString(error.GetName())) {
            return false;
         }
         mOut += ",\"fields\":";
         if (!WriteFields(error, depth + 1)) {
            return false;
         }
         mOut += '}';
         return true;
      }
      }
      return Fail("unknown value type");
   }

   bool WriteString(std::string_view text)
   {
      return AppendString(text, mOut) ? true : Fail("text is not valid UTF-8");
   }

   const std::string &Reason() const { return mReason; }

private:
   bool Fail(std::string reason)
   {
      if (mReason.empty()) {
         mReason = std::move(reason);
      }
      return false;
   }

   bool WriteDouble(double d)
   {
      return AppendDouble(d, mOut) ? true : Fail("number is not finite");
   }

   bool WriteBinary(const Binary &bytes)
   {
      return AppendBinary(bytes, mOut) ? true : Fail("binary value cannot be encoded");
   }

   bool WriteList(const ListValue &list, int depth)
   {
      mOut += '[';
      bool first = true;
      for (const auto &item : list.Items()) {
         if (!first) {
            mOut += ',';
         }
         first = false;
         if (!item) {
            mOut += "null";
         } else if (!Write(*item, depth + 1)) {
            return false;
         }
      }
      mOut += ']';
      return true;
   }

   bool WriteFields(const CompoundValue &compound, int depth)
   {
      mOut += '{';
      bool first = true;
      for (const auto &[name, field] : compound.Fields()) {
         if (!field || (field->GetType() == DataType::Optional &&
                        !static_cast<const OptionalValue &>(*field).IsSet())) {
            continue; // absent optional fields are omitted
         }
         if (!first) {
            mOut += ',';
         }
         first = false;
         if (!WriteString(name)) {
            return false;
         }
         mOut += ':';
         if (!Write(*field, depth + 1)) {
            return false;
         }
      }
      mOut += '}';
      return true;
   }

   std::string &mOut;
   int mMaxDepth;
   std::string mReason;
};

// JSON text from a native value's calls, the same text the writer makes of its
// data value. Where the writer could refuse (text that is not UTF-8, numbers that
// are not finite, nesting deeper than the limit), the emitter gives up, and the
// caller writes the data value instead, refusal and reason included.
class JsonEmitter final : public ValueEmitter {
public:
   JsonEmitter(std::string &out, int maxDepth) : mOut(out), mMaxDepth(maxDepth) {}

   bool Ok() const { return mOk; }

   void Null() override
   {
      if (Value()) {
         mOut += "null";
      }
   }
   void Boolean(bool value) override
   {
      if (Value()) {
         mOut += value ? "true" : "false";
      }
   }
   void Integer(int64_t value) override
   {
      if (Value()) {
         char buf[24];
         auto res = std::to_chars(buf, buf + sizeof buf, value);
         mOut.append(buf, static_cast<size_t>(res.ptr - buf));
      }
   }
   void Double(double value) override { mOk = Value() && AppendDouble(value, mOut); }
   void Text(std::string_view text) override { mOk = Value() && AppendString(text, mOut); }
   void Bytes(const Binary &bytes) override { mOk = Value() && AppendBinary(bytes, mOut); }
   void Tree(const DataValue &value) override
   {
      if (Value()) {
         Writer writer(mOut, mMaxDepth);
         mOk = writer.Write(value, mDepth);
      }
   }
   void BeginOptional() override { Open(Frame::Optional, nullptr); }
   void EndOptional() override { Close(nullptr); }
   void BeginList() override { Open(Frame::List, "["); }
   void EndList() override { Close("]"); }
   void BeginStructure() override { Open(Frame::Structure, "{"); }
   void EndStructure() override { Close("}"); }
   void Field(std::string_view name) override
   {
      if (!mOk) {
         return;
      }
      Frame &frame = mFrames.back();
      if (!frame.first) {
         mOut += ',';
      }
      frame.first = false;
      mOk = AppendString(name, mOut);
      mOut += ':';
   }

private:
   struct Frame {
      enum Kind { Optional, List, Structure } kind;
      bool first;
   };

   // Starts a value at the current depth: within the limit, and separated from
   // the list item before it.
   bool Value()
   {
      if (!mOk || mDepth > mMaxDepth) {
         mOk = false;
         return false;
      }
      if (!mFrames.empty() && mFrames.back().kind == Frame::List) {
         if (!mFrames.back().first) {
            mOut += ',';
         }
         mFrames.back().first = false;
      }
      return true;
   }
   void Open(Frame::Kind kind, const char *text)
   {
      if (Value()) {
         if (text != nullptr) {
            mOut += text;
         }
         mFrames.push_back({kind, true});
         ++mDepth;
      }
   }
   void Close(const char *text)
   {
      if (mOk) {
         if (text != nullptr) {
            mOut += text;
         }
         mFrames.pop_back();
         --mDepth;
      }
   }

   std::string &mOut;
   int mMaxDepth;
   int mDepth = 0;
   bool mOk = true;
   std::vector<Frame> mFrames;
};

// True when every byte is printable ASCII other than '"' and '\\': such text is
// valid UTF-8 and goes out as it is. Eight bytes at a time where it can.
bool IsPlain(std::string_view text)
{
   constexpr uint64_t kOnes = 0x0101010101010101ULL;
   constexpr uint64_t kHigh = 0x8080808080808080ULL;
   auto hasZero = [](uint64_t w) { return (w - kOnes) & ~w & kHigh; };
   size_t i = 0;
   for (; text.size() - i >= sizeof(uint64_t); i += sizeof(uint64_t)) {
      uint64_t w;
      std::memcpy(&w, text.data() + i, sizeof w);
      // Bytes of 0x80 and above, below 0x20, quotes and backslashes.
      if (((w & kHigh) | ((w - kOnes * 0x20) & ~w & kHigh) | hasZero(w ^ (kOnes * '"')) |
           hasZero(w ^ (kOnes * '\\'))) != 0) {
         return false;
      }
   }
   for (; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') {
         return false;
      }
   }
   return true;
}

} // namespace

bool AppendString(std::string_view text, std::string &out)
{
   if (IsPlain(text)) {
      out.reserve(out.size() + text.size() + 2);
      out += '"';
      out.append(text);
      out += '"';
      return true;
   }
   if (!Unicode_IsBufferValid(text.data(), text.size(), STRING_ENCODING_UTF8)) {
      return false;
   }
   static const char kHex[] = "0123456789abcdef";
   out.reserve(out.size() + text.size() + 2);
   out += '"';
   // Runs of characters that need no escape go in at once.
   size_t run = 0;
   for (size_t i = 0; i < text.size(); ++i) {
      auto c = static_cast<unsigned char>(text[i]);
      if (c >= 0x20 && c != '"' && c != '\\') {
         continue;
      }
      out.append(text.data() + run, i - run);
      run = i + 1;
      switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
         out += "\\u00";
         out += kHex[c >> 4];
         out += kHex[c & 0xf];
      }
   }
   out.append(text.data() + run, text.size() - run);
   out += '"';
   return true;
}

bool AppendTyped(const Core::TypedOutput &output, std::string &out, int maxDepth)
{
   size_t mark = out.size();
   JsonEmitter emitter(out, maxDepth);
   output.Emit(emitter);
   if (!emitter.Ok()) {
      out.resize(mark);
      return false;
   }
   return true;
}

bool AppendValue(const DataValue &value, std::string &out, std::string &reason, int maxDepth)
{
   size_t mark = out.size();
   Writer writer(out, maxDepth);
   if (!writer.Write(value, 0)) {
      out.resize(mark);
      reason = writer.Reason();
      return false;
   }
   return true;
}

} // namespace Ruvo::Protocol::Json
