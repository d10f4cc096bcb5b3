// The one failure type of the host control library.
#pragma once

#include <exception>
#include <string>

namespace HostCtl::Lib {

class HostCtlException : public std::exception {
public:
   // `message` says what failed; `detail` carries the cause (a tool's error
   // output, an errno text) and is only part of the detailed message.
   explicit HostCtlException(std::string message, std::string detail = {})
      : mMessage(std::move(message)), mDetail(std::move(detail))
   {
   }

   const char *what() const noexcept override { return mMessage.c_str(); }
   std::string GetDetailedMessage() const
   {
      return mDetail.empty() ? mMessage : mMessage + ": " + mDetail;
   }

private:
   std::string mMessage;
   std::string mDetail;
};

} // namespace HostCtl::Lib
