#include "runtime/ruvo/json/json_reader.h"

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "runtime/hostlib/safe_text.h"

namespace Ruvo::Protocol::Json {

namespace {

// One pass over the events of the text: each event is checked before it is
// handed to the document builder, so the document never holds more than the
// limits allow and deep or hostile input costs no recursion.
class Validator {
public:
   using json = nlohmann::json;
   using Builder = nlohmann::detail::json_sax_dom_parser<json>;

   Validator(int maxDepth, size_t maxValues, Builder &builder)
      : mMaxDepth(maxDepth), mMaxValues(maxValues), mBuilder(builder)
   {
   }

   bool null() { return Count() && mBuilder.null(); }
   bool boolean(bool value) { return Count() && mBuilder.boolean(value); }
   bool number_integer(json::number_integer_t value) { return Count() && mBuilder.number_integer(value); }
   bool number_unsigned(json::number_unsigned_t value)
   {
      if (value > static_cast<json::number_unsigned_t>(INT64_MAX)) {
         return Fail("integer outside the signed 64-bit range");
      }
      return Count() && mBuilder.number_unsigned(value);
   }
   bool number_float(json::number_float_t value, const json::string_t &text)
   {
      return std::isfinite(value) ? Count() && mBuilder.number_float(value, text) : Fail("number out of range");
   }
   bool string(json::string_t &value) { return Count() && mBuilder.string(value); }
   bool binary(json::binary_t &) { return Fail("binary data"); }
   bool start_object(std::size_t size) { return Enter(true) && mBuilder.start_object(size); }
   bool key(json::string_t &key)
   {
      // A key costs like a value once built (and is kept to find duplicates).
      if (!Count()) {
         return false;
      }
      if (!NewKey(key)) {
         return Fail("duplicate key \"" + Printable(key) + "\"");
      }
      return mBuilder.key(key);
   }
   bool end_object() { return Leave() && mBuilder.end_object(); }
   bool start_array(std::size_t size) { return Enter(false) && mBuilder.start_array(size); }
   bool end_array() { return Leave() && mBuilder.end_array(); }
   bool parse_error(std::size_t position, const std::string &, const nlohmann::detail::exception &)
   {
      return Fail("malformed JSON at byte " + std::to_string(position));
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

   // False when the current object has the key already.
   bool NewKey(const std::string &key)
   {
      Frame &frame = mFrames.back();
      if (frame.many) {
         return frame.many->insert(key).second;
      }
      const auto first = mKeys.begin() + static_cast<std::ptrdiff_t>(frame.keysFrom);
      if (std::find(first, mKeys.end(), key) != mKeys.end()) {
         return false;
      }
      if (mKeys.size() - frame.keysFrom < kScannedKeys) {
         mKeys.push_back(key);
         return true;
      }
      frame.many = std::make_unique<std::unordered_set<std::string>>(first, mKeys.end());
      frame.many->insert(key);
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
   bool Fail(std::string reason)
   {
      if (mReason.empty()) {
         mReason = std::move(reason);
      }
      return false;
   }
   static std::string Printable(const std::string &s) { return Hostlib::EscapeText(s, 64); }

   int mMaxDepth;
   size_t mMaxValues;
   Builder &mBuilder;
   size_t mValues = 0;
   std::vector<Frame> mFrames;
   std::vector<std::string> mKeys;
   std::string mReason;
};

} // namespace

bool ReadDocument(std::string_view text, const Limits &limits, nlohmann::json &out,
                  std::string &reason)
{
   if (text.size() > limits.maxBytes) {
      reason = "message larger than " + std::to_string(limits.maxBytes) + " bytes";
      return false;
   }
   nlohmann::json document;
   bool valid = false;
   {
      Validator::Builder builder(document, false);
      Validator validator(limits.maxDepth, limits.maxValues, builder);
      valid = nlohmann::json::sax_parse(text.begin(), text.end(), &validator, nlohmann::json::input_format_t::json,
                                        true, false) &&
              !builder.is_errored();
      if (!valid) {
         reason = validator.Reason().empty() ? "malformed JSON" : validator.Reason();
      }
   }
   if (!valid) {
      // What was built so far is within the limits, so dropping it is cheap.
      return false;
   }
   out = std::move(document);
   return true;
}

} // namespace Ruvo::Protocol::Json
