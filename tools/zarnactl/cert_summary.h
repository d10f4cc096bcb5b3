// One line about a PEM certificate for people: subject, issuer and expiry.
#pragma once

#include <string>

namespace Zarnactl {

struct CertSummary {
   std::string subject;
   std::string issuer;
   std::string notAfter; // e.g. "Jan  2 03:04:05 2031 GMT"
};

// False when the text is not one parseable PEM certificate.
bool SummarizeCertificate(const std::string &pem, CertSummary &out);

} // namespace Zarnactl
