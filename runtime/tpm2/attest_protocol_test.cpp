// The exchange messages: what a peer can send that must be refused before any
// field is used.
#include <gtest/gtest.h>

#include "runtime/tpm2/attest_protocol.h"

namespace {

namespace Protocol = AttestLib::Tpm2::Protocol;
using Protocol::Bytes;

Protocol::Credential SampleCredential()
{
   return Protocol::Credential{Bytes(16, 1), Bytes(70, 2), Bytes(258, 3), Bytes(32, 4),
                               Bytes(10, 5)};
}

TEST(AttestProtocolTest, MalformedContextsAreRefusedWithAReason)
{
   const Bytes good = Protocol::Encode(SampleCredential());
   Protocol::Credential out;
   std::string error;
   ASSERT_TRUE(Protocol::Decode(good, out, error)) << error;
   EXPECT_EQ(out.pcrSelection, Bytes(10, 5));

   struct Case {
      const char *what;
      Bytes bytes;
   };
   Bytes truncated(good.begin(), good.end() - 1);
   Bytes trailing = good;
   trailing.push_back(0);
   Bytes version = good;
   version[4] = 2;
   Bytes fieldCount = good;
   fieldCount[6] = 4;
   Bytes hugeField = good;
   hugeField[7] = 0xff; // first field's length runs past the end
   Bytes oversized = good;
   oversized.resize(Protocol::kMaxContextBytes + 1);
   const std::vector<Case> cases = {
       {"truncated", truncated},
       {"trailing byte", trailing},
       {"unknown version", version},
       {"field count", fieldCount},
       {"field length", hugeField},
       {"oversized", oversized},
       {"other type", Protocol::Encode(Protocol::Challenge{Bytes(16, 1)})},
       {"short session id",
        Protocol::Encode(Protocol::Credential{Bytes(15, 1), Bytes(1, 2), Bytes(1, 3), Bytes(32, 4),
                                              Bytes(1, 5)})},
       {"short nonce", Protocol::Encode(Protocol::Credential{Bytes(16, 1), Bytes(1, 2), Bytes(1, 3),
                                                             Bytes(31, 4), Bytes(1, 5)})},
       {"empty blob", Protocol::Encode(Protocol::Credential{Bytes(16, 1), Bytes(), Bytes(1, 3),
                                                            Bytes(32, 4), Bytes(1, 5)})},
       {"empty", Bytes()},
   };
   for (const Case &c : cases) {
      error.clear();
      EXPECT_FALSE(Protocol::Decode(c.bytes, out, error)) << c.what;
      EXPECT_FALSE(error.empty()) << c.what;
   }
}

} // namespace
