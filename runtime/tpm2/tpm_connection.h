// The process-wide ESAPI connection. Callers hold the guard for a whole TPM
// exchange; a transport failure closes the connection, and the generation
// counter tells holders of object handles that those handles are gone.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include <tss2/tss2_esys.h>

namespace AttestLib::Tpm2 {

class TpmConnection {
public:
   static TpmConnection &Instance();

   std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mLock); }

   // The context, connecting first when needed; null when the TPM cannot be
   // reached. Requires the guard.
   ESYS_CONTEXT *Context();
   // The open context of that generation, without reconnecting; null when the
   // connection was closed since. Requires the guard.
   ESYS_CONTEXT *ContextOf(uint64_t generation) const
   {
      return generation == mGeneration ? mContext : nullptr;
   }
   // Increases whenever a connection is closed.
   uint64_t Generation() const { return mGeneration; }
   // Inspects a command's result: a failure below the TPM (transport, ESAPI
   // state) closes the connection. Returns rc == success. Requires the guard.
   bool Check(TSS2_RC rc, const char *what);
   void Close();

   void SetTcti(const std::string &tcti);
   std::string GetTcti();
   // Largest NV read the TPM accepts in one command.
   uint16_t NvBufferMax() const { return mNvBufferMax; }

private:
   TpmConnection() = default;

   std::mutex mLock;
   std::string mTcti = "device:/dev/tpmrm0";
   TSS2_TCTI_CONTEXT *mTctiContext = nullptr;
   ESYS_CONTEXT *mContext = nullptr;
   uint64_t mGeneration = 1;
   uint16_t mNvBufferMax = 512;
};

// Frees ESAPI outputs.
template <typename T> struct EsysPtr {
   T *p = nullptr;
   EsysPtr() = default;
   EsysPtr(const EsysPtr &) = delete;
   EsysPtr &operator=(const EsysPtr &) = delete;
   ~EsysPtr() { Esys_Free(p); }
   T **operator&() { return &p; }
   T *operator->() const { return p; }
   T &operator*() const { return *p; }
   T *get() const { return p; }
};

} // namespace AttestLib::Tpm2
