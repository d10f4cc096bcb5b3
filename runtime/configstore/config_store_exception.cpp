#include "runtime/configstore/config_store_exception.h"

namespace BrimConfigStore {

namespace {

struct CodeFormat {
   int32_t code;
   const char *format;
};

constexpr CodeFormat kFormats[] = {
   {CS_ERR_DB_OPEN, "Failed to open database %s"},
   {CS_ERR_DB_READONLY, "Database %s is read-only"},
   {CS_ERR_DB_CORRUPT, "Database %s is corrupt"},
   {CS_ERR_DB_SCHEMA, "Database %s has an unsupported schema"},
   {CS_ERR_DB_FULL, "No space left for database %s"},
   {CS_ERR_DB_BUSY, "Database %s is locked by another process"},
   {CS_ERR_DB_IO, "I/O error on database %s"},
   {CS_ERR_DB_NOT_REGULAR, "Database path %s is not a regular file"},
   {CS_ERR_TRANSACTION, "Transaction failed on database %s"},
   {CS_ERR_INVALID_OBJECT_ID, "Invalid object id %s"},
   {CS_ERR_INVALID_KEY, "Invalid key %s"},
   {CS_ERR_INVALID_NAMESPACE, "Invalid namespace %s"},
   {CS_ERR_OBJECT_EXISTS, "Object %s already exists"},
   {CS_ERR_OBJECT_NOT_FOUND, "Object %s not found"},
   {CS_ERR_SUBOBJECT_NOT_FOUND, "Sub-object %s not found"},
   {CS_ERR_VALUE_NOT_FOUND, "Value %s not found"},
   {CS_ERR_VALUE_TYPE, "Value %s has another type"},
   {CS_ERR_CONSTRAINT, "Constraint violated in database %s"},
   {CS_ERR_INSTANCE_ID, "Could not generate an instance id%s"},
   {CS_ERR_INTERNAL, "ConfigStore internal error"},
};

} // namespace

const char *CSErrorFormat(int32_t code)
{
   for (const CodeFormat &entry : kFormats) {
      if (entry.code == code) {
         return entry.format;
      }
   }
   return "ConfigStore internal error";
}

ConfigStoreException::ConfigStoreException(int32_t code, const std::string &argument,
                                           const std::string &detail)
   : mCode(code)
{
   // Substituted by hand: the argument is data (paths, keys) and must never be
   // read as a format.
   std::string format = CSErrorFormat(code);
   size_t at = format.find("%s");
   mText = at == std::string::npos ? format : format.substr(0, at) + argument + format.substr(at + 2);
   if (!detail.empty()) {
      mText += ": " + detail;
   }
}

} // namespace BrimConfigStore
