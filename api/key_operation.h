// com.talvor.brim.kms.key_operation: generate, wrap and unwrap keys. Served by key
// provider services and, for local callers, by the agent. Key material is base64
// text held as secrets, so it never shows in a printed value.
#pragma once

#include "api/binding_support.h"

namespace Com::Talvor::Brim::Kms::KeyOperationSvc {

inline constexpr const char *kInterfaceId = "com.talvor.brim.kms.key_operation";

struct GeneratedKey {
   ::Ruvo::SecretString key;  // the new key, base64
   std::string ciphertext;  // the key wrapped by the provider, to store and unwrap later

   static constexpr const char *kStructName = "com.talvor.brim.kms.key_operation.generated_key";
   static constexpr auto Fields()
   {
      return std::make_tuple(Api::Field("key", &GeneratedKey::key),
                             Api::Field("ciphertext", &GeneratedKey::ciphertext));
   }
};

struct EncryptResult {
   std::string ciphertext;

   static constexpr const char *kStructName = "com.talvor.brim.kms.key_operation.encrypt_result";
   static constexpr auto Fields() { return std::make_tuple(Api::Field("ciphertext", &EncryptResult::ciphertext)); }
};

struct DecryptResult {
   ::Ruvo::SecretString key; // the unwrapped key, base64

   static constexpr const char *kStructName = "com.talvor.brim.kms.key_operation.decrypt_result";
   static constexpr auto Fields() { return std::make_tuple(Api::Field("key", &DecryptResult::key)); }
};

using GenerateKeyMethod = Api::Operation<"generate_key", GeneratedKey, Api::Param<std::string, "provider">,
                                         Api::Param<int64_t, "key_size">>;
using EncryptMethod = Api::Operation<"encrypt", EncryptResult, Api::Param<std::string, "provider">,
                                     Api::Param<::Ruvo::SecretString, "plaintext">>;
using DecryptMethod = Api::Operation<"decrypt", DecryptResult, Api::Param<std::string, "provider">,
                                     Api::Param<std::string, "ciphertext">>;
using Interface = Api::InterfaceDecl<"com.talvor.brim.kms.key_operation", GenerateKeyMethod, EncryptMethod,
                                     DecryptMethod>;

class AsyncServiceInterface {
public:
   virtual void GenerateKey(const std::string &provider, const int64_t &keySize,
                            Api::AsyncResult<GeneratedKey> result) = 0;
   virtual void Encrypt(const std::string &provider, const ::Ruvo::SecretString &plaintext,
                        Api::AsyncResult<EncryptResult> result) = 0;
   virtual void Decrypt(const std::string &provider, const std::string &ciphertext,
                        Api::AsyncResult<DecryptResult> result) = 0;
   virtual ~AsyncServiceInterface() = default;
};

using AsyncServiceBinder = ::Ruvo::Binding::ServiceBinder<Interface, AsyncServiceInterface,
                                        &AsyncServiceInterface::GenerateKey,
                                        &AsyncServiceInterface::Encrypt,
                                        &AsyncServiceInterface::Decrypt>;

class AsyncServiceStub : public ::Ruvo::Binding::ServiceStub<Interface> {
public:
   using ServiceStub::ServiceStub;
   void GenerateKey(const std::string &provider, int64_t keySize, const Api::ActivationPtr &activation,
                    Api::AsyncResult<GeneratedKey> result) const
   {
      Call<GenerateKeyMethod>(activation, std::move(result), provider, keySize);
   }
   void Encrypt(const std::string &provider, const ::Ruvo::SecretString &plaintext,
                const Api::ActivationPtr &activation, Api::AsyncResult<EncryptResult> result) const
   {
      Call<EncryptMethod>(activation, std::move(result), provider, plaintext);
   }
   void Decrypt(const std::string &provider, const std::string &ciphertext, const Api::ActivationPtr &activation,
                Api::AsyncResult<DecryptResult> result) const
   {
      Call<DecryptMethod>(activation, std::move(result), provider, ciphertext);
   }
};

} // namespace Com::Talvor::Brim::Kms::KeyOperationSvc
