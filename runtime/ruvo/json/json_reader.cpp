#include "runtime/ruvo/json/json_reader.h"

#include "runtime/ruvo/json/arena_document.h"

#include <cmath>
#include <algorithm>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

// The tokenizer scans strings and white space 16 bytes at a time. Its loads are
// aligned and may reach up to 15 bytes past the terminating NUL: the text is
// copied with that much padding. In the packaged version those scans let the
// control characters 0x1A..0x1F through inside strings: ReadDocument refuses
// them before tokenizing (they have no place anywhere in JSON text).
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include "runtime/hostlib/safe_text.h"
#include "runtime/hostlib/unicode.h"

namespace Ruvo::Protocol::Json {

namespace {

// Numbers come as their text, converted here: the tokenizer's own conversion of
// some decimal texts is wrong in the packaged version ("0e-72" is not 0).
constexpr unsigned kParseFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
// The terminating NUL and the room for the tokenizer's last aligned load.
constexpr size_t kPadding = 16;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Where the checked events go: nlohmann-json's document builder, or an arena document.
class TreeSink {
public:
   using json = nlohmann::json;
   explicit TreeSink(json &document) : mBuilder(document, false) {}

   bool Null() { return mBuilder.null(); }
   bool Bool(bool value) { return mBuilder.boolean(value); }
   bool Integer(int64_t value) { return mBuilder.number_integer(value); }
   bool Unsigned(uint64_t value) { return mBuilder.number_unsigned(value); }
   bool Double(double value)
   {
      static const json::string_t kNoText;
      return mBuilder.number_float(value, kNoText);
   }
   bool String(std::string_view text)
   {
      std::string value(text);
      return mBuilder.string(value);
   }
   bool Key(std::string_view text)
   {
      std::string key(text);
      return mBuilder.key(key);
   }
   bool StartObject() { return mBuilder.start_object(static_cast<size_t>(-1)); }
   bool EndObject(rapidjson::SizeType) { return mBuilder.end_object(); }
   bool StartArray() { return mBuilder.start_array(static_cast<size_t>(-1)); }
   bool EndArray(rapidjson::SizeType) { return mBuilder.end_array(); }
   bool Errored() const { return mBuilder.is_errored(); }

private:
   nlohmann::detail::json_sax_dom_parser<json> mBuilder;
};

class ArenaSink {
public:
   explicit ArenaSink(ArenaDocument &document) : mDocument(document) {}

   bool Null() { return mDocument.Null(); }
   bool Bool(bool value) { return mDocument.Bool(value); }
   bool Integer(int64_t value) { return mDocument.Int64(value); }
   bool Unsigned(uint64_t value) { return mDocument.Uint64(value); }
   bool Double(double value) { return mDocument.Double(value); }
   bool String(std::string_view text)
   {
      return mDocument.String(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
   }
   bool Key(std::string_view text)
   {
      return mDocument.Key(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
   }
   bool StartObject() { return mDocument.StartObject(); }
   bool EndObject(rapidjson::SizeType members) { return mDocument.EndObject(members); }
   bool StartArray() { return mDocument.StartArray(); }
   bool EndArray(rapidjson::SizeType elements) { return mDocument.EndArray(elements); }
   bool Errored() const { return false; }

private:
   ArenaDocument &mDocument;
};

// One pass over the events of the text (the tokenizer's handler): each event is
// checked before it is handed to the document builder, so the document never
// holds more than the limits allow and deep or hostile input costs no recursion.
template <class Sink>
class Validator {
public:
   Validator(int maxDepth, size_t maxValues, Sink &sink)
      : mMaxDepth(maxDepth), mMaxValues(maxValues), mBuilder(sink)
   {
   }

   bool Null() { return Count() && mBuilder.Null(); }
   bool Bool(bool value) { return Count() && mBuilder.Bool(value); }
   // With numbers read as text the tokenizer never calls these; its interface has them.
   bool Int(int) { return Fail("number out of range"); }
   bool Uint(unsigned) { return Fail("number out of range"); }
   bool Int64(int64_t) { return Fail("number out of range"); }
   bool Uint64(uint64_t) { return Fail("number out of range"); }
   bool Double(double) { return Fail("number out of range"); }
   // Integers as such while they fit 64 bits (signed when negative, unsigned
   // otherwise), the rest as doubles, correctly rounded.
   bool RawNumber(const char *text, rapidjson::SizeType length, bool)
   {
      const char *end = text + length;
      if (std::find_if(text, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; }) == end) {
         if (*text == '-') {
            int64_t value = 0;
            if (std::from_chars(text, end, value).ec == std::errc()) {
               return Count() && mBuilder.Integer(value);
            }
         } else {
            uint64_t value = 0;
            if (std::from_chars(text, end, value).ec == std::errc()) {
               return value > static_cast<uint64_t>(INT64_MAX)
                          ? Fail("integer outside the signed 64-bit range")
                          : Count() && mBuilder.Unsigned(value);
            }
         }
      }
      // strtod rounds correctly and takes underflow to zero; the C locale keeps
      // '.' the decimal point whatever the process's locale.
      static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
      const std::string terminated(text, length);
      const double value = strtod_l(terminated.c_str(), nullptr, cLocale);
      return std::isfinite(value) ? Count() && mBuilder.Double(value) : Fail("number out of range");
   }
   bool String(const char *text, rapidjson::SizeType length, bool)
   {
      const std::string_view value(text, length);
      return Count() && Unescaped(value) && mBuilder.String(value);
   }
   bool StartObject() { return Enter(true) && mBuilder.StartObject(); }
   bool Key(const char *text, rapidjson::SizeType length, bool)
   {
      // A key costs like a value once built (and is kept to find duplicates).
      if (!Count()) {
         return false;
      }
      const std::string_view key(text, length);
      if (!Unescaped(key)) {
         return false;
      }
      if (!NewKey(key)) {
         return Fail("duplicate key \"" + Printable(key) + "\"");
      }
      return mBuilder.Key(key);
   }
   bool EndObject(rapidjson::SizeType members) { return Leave() && mBuilder.EndObject(members); }
   bool StartArray() { return Enter(false) && mBuilder.StartArray(); }
   bool EndArray(rapidjson::SizeType elements) { return Leave() && mBuilder.EndArray(elements); }

   bool Fail(std::string reason)
   {
      if (mReason.empty()) {
         mReason = std::move(reason);
      }
      return false;
   }
   const std::string &Reason() const { return mReason; }

private:
   // An object's keys: the first few in the shared stack mKeys (a scan beats a
   // hash there, and most objects have a handful), all of them in a set of the
   // frame's own beyond that.
   static constexpr size_t kScannedKeys = 16;
   struct Frame {
      bool isObject;
      size_t keysFrom;
      std::unique_ptr<std::unordered_set<std::string>> many;
   };

   // The raw text is valid UTF-8 before it is read; an escape can still spell half
   // of a surrogate pair ("\udc00"), which the tokenizer writes out as the three
   // bytes ED B0 80. Those start with ED, which is rare in real text.
   bool Unescaped(std::string_view value)
   {
      if (std::memchr(value.data(), 0xED, value.size()) != nullptr &&
          !Unicode_IsBufferValid(value.data(), value.size(), STRING_ENCODING_UTF8)) {
         return Fail("unpaired surrogate escape");
      }
      return true;
   }

   // False when the current object has the key already.
   bool NewKey(std::string_view key)
   {
      Frame &frame = mFrames.back();
      if (frame.many) {
         return frame.many->emplace(key).second;
      }
      const auto first = mKeys.begin() + static_cast<std::ptrdiff_t>(frame.keysFrom);
      if (std::find(first, mKeys.end(), key) != mKeys.end()) {
         return false;
      }
      if (mKeys.size() - frame.keysFrom < kScannedKeys) {
         mKeys.emplace_back(key);
         return true;
      }
      frame.many = std::make_unique<std::unordered_set<std::string>>(first, mKeys.end());
      frame.many->emplace(key);
      return true;
   }

   bool Count()
   {
      if (++mValues > mMaxValues) {
         return Fail("more than " + std::to_string(mMaxValues) + " values");
      }
      return true;
   }
   bool Enter(bool isObject)
   {
      if (!Count()) {
         return false;
      }
      if (static_cast<int>(mFrames.size()) >= mMaxDepth) {
         return Fail("nesting deeper than " + std::to_string(mMaxDepth));
      }
      mFrames.push_back({isObject, mKeys.size(), nullptr});
      return true;
   }
   bool Leave()
   {
      mKeys.resize(mFrames.back().keysFrom);
      mFrames.pop_back();
      return true;
   }
   static std::string Printable(std::string_view s) { return Hostlib::EscapeText(s, 64); }

   int mMaxDepth;
   size_t mMaxValues;
   Sink &mBuilder;
   size_t mValues = 0;
   std::vector<Frame> mFrames;
   std::vector<std::string> mKeys;
   std::string mReason;
};

// The offset of the first byte 0x1A..0x1F, or the size when there is none. In
// blocks, so that the compiler can test many bytes at once.
size_t FirstLateControl(std::string_view text)
{
   constexpr size_t kBlock = 64;
   for (size_t at = 0; at < text.size(); at += kBlock) {
      const size_t end = std::min(text.size(), at + kBlock);
      bool found = false;
      for (size_t i = at; i < end; ++i) {
         found |= static_cast<uint8_t>(static_cast<uint8_t>(text[i]) - 0x1A) < 6;
      }
      if (found) {
         for (size_t i = at;; ++i) {
            if (static_cast<uint8_t>(static_cast<uint8_t>(text[i]) - 0x1A) < 6) {
               return i;
            }
         }
      }
   }
   return text.size();
}

std::string Malformed(size_t offset)
{
   return "malformed JSON at byte " + std::to_string(offset + 1);
}

// The checks on the raw text; on success `padded` holds the text to tokenize and
// `skipped` the bytes of a leading byte order mark.
bool Prepare(std::string_view text, const Limits &limits, std::string &padded, size_t &skipped,
             std::string &reason)
{
   if (text.size() > limits.maxBytes) {
      reason = "message larger than " + std::to_string(limits.maxBytes) + " bytes";
      return false;
   }
   skipped = 0;
   if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
      skipped = kByteOrderMark.size(); // a leading byte order mark is allowed, as white space
   }
   const std::string_view body = text.substr(skipped);
   // JSON has no place for a raw NUL, and the tokenizer reads up to the first one.
   if (const void *nul = std::memchr(body.data(), '\0', body.size())) {
      reason = Malformed(skipped + static_cast<size_t>(static_cast<const char *>(nul) - body.data()));
      return false;
   }
   const size_t validPrefix = Unicode_ValidUtf8Prefix(body.data(), body.size());
   if (validPrefix != body.size()) {
      reason = Malformed(skipped + validPrefix);
      return false;
   }
   const size_t control = FirstLateControl(body);
   if (control != body.size()) {
      reason = Malformed(skipped + control);
      return false;
   }
   padded.reserve(body.size() + kPadding);
   padded.append(body);
   padded.append(kPadding, '\0');
   return true;
}

// Tokenizes the prepared text into the sink; false with the reason.
template <class Sink>
bool Tokenize(const std::string &padded, size_t skipped, const Limits &limits, Sink &sink,
              std::string &reason)
{
   Validator<Sink> validator(limits.maxDepth, limits.maxValues, sink);
   rapidjson::Reader reader;
   rapidjson::StringStream stream(padded.c_str());
   const rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, validator);
   if (!result.IsError() && !sink.Errored()) {
      return true;
   }
   if (!validator.Reason().empty()) {
      reason = validator.Reason();
   } else if (result.Code() == rapidjson::kParseErrorNumberTooBig) {
      reason = "number out of range";
   } else {
      reason = Malformed(skipped + result.Offset());
   }
   return false;
}

} // namespace

bool ReadDocument(std::string_view text, const Limits &limits, nlohmann::json &out,
                  std::string &reason)
{
   std::string padded;
   size_t skipped = 0;
   if (!Prepare(text, limits, padded, skipped, reason)) {
      return false;
   }
   nlohmann::json document;
   bool valid = false;
   {
      TreeSink sink(document);
      valid = Tokenize(padded, skipped, limits, sink, reason);
   }
   if (!valid) {
      // What was built so far is within the limits, so dropping it is cheap.
      return false;
   }
   out = std::move(document);
   return true;
}

bool ReadDocument(std::string_view text, const Limits &limits, ArenaDocument &out,
                  std::string &reason)
{
   std::string padded;
   size_t skipped = 0;
   if (!Prepare(text, limits, padded, skipped, reason)) {
      return false;
   }
   bool valid = false;
   auto generate = [&](ArenaDocument &document) {
      ArenaSink sink(document);
      valid = Tokenize(padded, skipped, limits, sink, reason);
      return valid;
   };
   out.Populate(generate);
   return valid;
}

} // namespace Ruvo::Protocol::Json
