// attestd's command line.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "peers/attestd/attest_service.h"

namespace Attestd {

inline constexpr const char *kUsage =
    "usage: attestd --listen HOST:PORT --cert FILE --key FILE (--ek-ca FILE... | --ek-allow "
    "SHA256...)\n"
    "               --signing-key FILE [--token-lifetime SECS] [--audience TEXT] [--issuer TEXT]\n"
    "               [--grant PROVIDER]... [--pcrs LIST] [--pcr-policy FILE]\n"
    "               [--fault "
    "none|error|garbage|wrong-id|close|unfinished|no-document|two-documents|\n"
    "                        wrong-type|empty-token|no-exp|expired|far-exp|delay:MS]\n"
    "       attestd keygen --out FILE\n";

struct Options {
   std::string host;
   int port = 0;
   std::string certFile;
   std::string keyFile;
   std::vector<std::string> ekCaFiles;
   std::set<std::string> ekAllow;
   std::string signingKey;
   std::string pcrPolicyFile;
   ServiceConfig service;
};

// False with the reason ("help" for --help).
bool ParseOptions(const std::vector<std::string> &args, Options &out, std::string &error);

} // namespace Attestd
