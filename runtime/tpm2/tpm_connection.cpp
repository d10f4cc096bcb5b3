#include "runtime/tpm2/tpm_connection.h"

#include <cstdlib>

#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>

#include "runtime/hostlib/log.h"
#include "runtime/tpm2/tpm2.h"

namespace AttestLib::Tpm2 {

TpmConnection &TpmConnection::Instance()
{
   // Never destroyed: states released at exit may still flush through it.
   static TpmConnection *connection = new TpmConnection();
   return *connection;
}

ESYS_CONTEXT *TpmConnection::Context()
{
   if (mContext) {
      return mContext;
   }
   // Failures are logged by us, once, in the agent's log; the library's own
   // stderr lines would only repeat them (an explicit TSS2_LOG is kept).
   setenv("TSS2_LOG", "all+NONE", 0);
   TSS2_RC rc = Tss2_TctiLdr_Initialize(mTcti.c_str(), &mTctiContext);
   if (rc != TSS2_RC_SUCCESS) {
      Log_Level(130, "TPM: cannot open %s: %s\n", mTcti.c_str(), Tss2_RC_Decode(rc));
      mTctiContext = nullptr;
      return nullptr;
   }
   rc = Esys_Initialize(&mContext, mTctiContext, nullptr);
   if (rc != TSS2_RC_SUCCESS) {
      Log_Level(110, "TPM: cannot initialise ESAPI: %s\n", Tss2_RC_Decode(rc));
      mContext = nullptr;
      Tss2_TctiLdr_Finalize(&mTctiContext);
      return nullptr;
   }
   TPMI_YES_NO more = TPM2_NO;
   EsysPtr<TPMS_CAPABILITY_DATA> data;
   rc = Esys_GetCapability(mContext, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                           TPM2_CAP_TPM_PROPERTIES, TPM2_PT_NV_BUFFER_MAX, 1, &more, &data);
   if (!Check(rc, "GetCapability")) {
      return nullptr;
   }
   const TPML_TAGGED_TPM_PROPERTY &props = data->data.tpmProperties;
   if (props.count >= 1 && props.tpmProperty[0].property == TPM2_PT_NV_BUFFER_MAX &&
       props.tpmProperty[0].value >= 64 && props.tpmProperty[0].value <= 4096) {
      mNvBufferMax = static_cast<uint16_t>(props.tpmProperty[0].value);
   }
   return mContext;
}

bool TpmConnection::Check(TSS2_RC rc, const char *what)
{
   if (rc == TSS2_RC_SUCCESS) {
      return true;
   }
   Log_Level(110, "TPM: %s failed: %s\n", what, Tss2_RC_Decode(rc));
   // Errors of the TPM itself leave the connection usable; anything below it
   // (transport, a confused ESAPI sequence) does not.
   if ((rc & TSS2_RC_LAYER_MASK) != TSS2_TPM_RC_LAYER) {
      Close();
   }
   return false;
}

void TpmConnection::Close()
{
   if (mContext) {
      Esys_Finalize(&mContext);
      mContext = nullptr;
   }
   if (mTctiContext) {
      Tss2_TctiLdr_Finalize(&mTctiContext);
      mTctiContext = nullptr;
   }
   mGeneration++;
}

void TpmConnection::SetTcti(const std::string &tcti)
{
   if (tcti != mTcti) {
      Close();
      mTcti = tcti;
   }
}

std::string TpmConnection::GetTcti()
{
   return mTcti;
}

void SetTcti(const std::string &tcti)
{
   TpmConnection &connection = TpmConnection::Instance();
   auto guard = connection.Lock();
   connection.SetTcti(tcti.empty() ? kDefaultTcti : tcti);
}

std::string GetTcti()
{
   TpmConnection &connection = TpmConnection::Instance();
   auto guard = connection.Lock();
   return connection.GetTcti();
}

bool IsTpmAvailable()
{
   TpmConnection &connection = TpmConnection::Instance();
   auto guard = connection.Lock();
   ESYS_CONTEXT *ctx = connection.Context();
   if (!ctx) {
      return false;
   }
   // An open connection may have lost its TPM since; ask.
   TPMI_YES_NO more = TPM2_NO;
   EsysPtr<TPMS_CAPABILITY_DATA> data;
   TSS2_RC rc =
       Esys_GetCapability(ctx, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, TPM2_CAP_TPM_PROPERTIES,
                          TPM2_PT_FAMILY_INDICATOR, 1, &more, &data);
   if (!connection.Check(rc, "GetCapability")) {
      // One fresh try: the TPM may have restarted since the last command.
      ctx = connection.Context();
      if (!ctx) {
         return false;
      }
      EsysPtr<TPMS_CAPABILITY_DATA> again;
      rc = Esys_GetCapability(ctx, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                              TPM2_CAP_TPM_PROPERTIES, TPM2_PT_FAMILY_INDICATOR, 1, &more, &again);
      return connection.Check(rc, "GetCapability");
   }
   return true;
}

namespace {

bool CountHandles(TpmConnection &connection, TPM2_HANDLE first, size_t &count)
{
   ESYS_CONTEXT *ctx = connection.Context();
   if (!ctx) {
      return false;
   }
   count = 0;
   TPMI_YES_NO more = TPM2_YES;
   TPM2_HANDLE from = first;
   while (more == TPM2_YES) {
      EsysPtr<TPMS_CAPABILITY_DATA> data;
      if (!connection.Check(Esys_GetCapability(ctx, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                               TPM2_CAP_HANDLES, from, TPM2_MAX_CAP_HANDLES, &more,
                                               &data),
                            "GetCapability(handles)")) {
         return false;
      }
      const TPML_HANDLE &handles = data->data.handles;
      for (uint32_t i = 0; i < handles.count; ++i) {
         // The listing runs on into the next range; count only this one.
         if ((handles.handle[i] & TPM2_HR_RANGE_MASK) == (first & TPM2_HR_RANGE_MASK)) {
            ++count;
         } else {
            more = TPM2_NO;
         }
      }
      if (handles.count == 0) {
         break;
      }
      from = handles.handle[handles.count - 1] + 1;
   }
   return true;
}

} // namespace

bool CountLoadedHandles(size_t &transientObjects, size_t &sessions)
{
   TpmConnection &connection = TpmConnection::Instance();
   auto guard = connection.Lock();
   size_t loaded = 0;
   size_t saved = 0;
   if (!CountHandles(connection, TPM2_TRANSIENT_FIRST, transientObjects) ||
       !CountHandles(connection, TPM2_LOADED_SESSION_FIRST, loaded) ||
       !CountHandles(connection, TPM2_ACTIVE_SESSION_FIRST, saved)) {
      return false;
   }
   sessions = loaded + saved;
   return true;
}

} // namespace AttestLib::Tpm2
