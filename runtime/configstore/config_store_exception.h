// Failures of the configuration store: a numeric code from CSErrorCodes and a text.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace BrimConfigStore {

// Codes 1001..1105; gaps are reserved. Each code has one message format with at
// most one "%s".
enum CSErrorCodes : int32_t {
   CS_ERR_DB_OPEN = 1001,
   CS_ERR_DB_READONLY = 1002,
   CS_ERR_DB_CORRUPT = 1003,
   CS_ERR_DB_SCHEMA = 1004,
   CS_ERR_DB_FULL = 1005,
   CS_ERR_DB_BUSY = 1006,
   CS_ERR_DB_IO = 1007,
   CS_ERR_DB_NOT_REGULAR = 1008,
   CS_ERR_TRANSACTION = 1010,
   CS_ERR_INVALID_OBJECT_ID = 1020,
   CS_ERR_INVALID_KEY = 1021,
   CS_ERR_INVALID_NAMESPACE = 1022,
   CS_ERR_OBJECT_EXISTS = 1030,
   CS_ERR_OBJECT_NOT_FOUND = 1031,
   CS_ERR_SUBOBJECT_NOT_FOUND = 1032,
   CS_ERR_VALUE_NOT_FOUND = 1033,
   CS_ERR_VALUE_TYPE = 1034,
   CS_ERR_CONSTRAINT = 1040,
   CS_ERR_INSTANCE_ID = 1050,
   CS_ERR_INTERNAL = 1105,
};

// The message format of a code; the internal-error format for unknown codes.
const char *CSErrorFormat(int32_t code);

class ConfigStoreException : public std::exception {
public:
   // Text: the code's format with "%s" replaced by `argument`, then ": detail"
   // when a detail is given.
   ConfigStoreException(int32_t code, const std::string &argument, const std::string &detail = {});

   int32_t GetCode() const noexcept { return mCode; }
   const std::string &GetText() const noexcept { return mText; }
   const char *what() const noexcept override { return mText.c_str(); }

private:
   int32_t mCode;
   std::string mText;
};

} // namespace BrimConfigStore
