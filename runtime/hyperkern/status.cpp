#include "runtime/hyperkern/status.h"

#include <cstdio>

std::string HYK_ReturnStatusToString(HYK_ReturnStatus status)
{
   using namespace Hyperkern;
   switch (status) {
   case kStatusSuccess:
      return "Success";
   case kStatusFailure:
      return "Failure";
   case kStatusInvalidArgument:
      return "Invalid argument";
   case kStatusNotFound:
      return "Not found";
   case kStatusAlreadyExists:
      return "Already exists";
   case kStatusNotSupported:
      return "Not supported";
   case kStatusBusy:
      return "Busy, try again";
   case kStatusNoMessage:
      return "No message queued";
   case kStatusMessageTooLarge:
      return "Message too large";
   case kStatusChannelClosed:
      return "Channel closed";
   case kStatusProtocolError:
      return "Protocol error";
   case kStatusTimedOut:
      return "Timed out";
   default:
      break;
   }
   char text[32];
   snprintf(text, sizeof text, "status 0x%X", status);
   return text;
}
