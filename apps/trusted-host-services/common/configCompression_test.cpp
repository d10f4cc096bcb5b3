#include "apps/trusted-host-services/common/configCompression.h"

#include <gtest/gtest.h>

#include <boost/iostreams/device/back_inserter.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include <random>

#include "runtime/hostlib/testing/log_capture.h"

namespace {

using namespace Ths::Common::Compression;
using HostlibTesting::LogCapture;

const std::string kConfig =
    "<config><log><level>info</level></log><note>Grüße – 設定 🙂</note></config>\n";

std::vector<char> Compressed(const std::string &text)
{
   std::vector<char> out;
   EXPECT_TRUE(CompressConfiguration(text, out));
   return out;
}

// Gzip of arbitrary bytes, bypassing the UTF-8 check.
std::vector<char> RawGzip(const std::string &bytes)
{
   std::vector<char> out;
   boost::iostreams::filtering_ostream chain;
   chain.push(boost::iostreams::gzip_compressor());
   chain.push(boost::iostreams::back_inserter(out));
   chain.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
   chain.reset();
   return out;
}

TEST(ConfigCompression, RoundTripsSmallLargeAndEmptyText)
{
   std::mt19937 rng(7);
   std::string large;
   for (int i = 0; i < 200000; ++i) {
      large += static_cast<char>('a' + rng() % 26);
   }
   for (const std::string &text : {kConfig, large, std::string()}) {
      std::vector<char> gz = Compressed(text);
      std::string back;
      ASSERT_TRUE(DecompressConfiguration(gz, back));
      EXPECT_EQ(back, text);
   }
}

TEST(ConfigCompression, HeaderCarriesNoNameCommentOrTime)
{
   std::vector<char> gz = Compressed("");
   ASSERT_GE(gz.size(), 18U);
   auto byte = [&](size_t i) { return static_cast<unsigned char>(gz[i]); };
   EXPECT_EQ(byte(0), 0x1f);
   EXPECT_EQ(byte(1), 0x8b);
   EXPECT_EQ(byte(2), 8);                               // deflate
   EXPECT_EQ(byte(3), 0);                               // no name, comment or extra field
   EXPECT_EQ(byte(4) | byte(5) | byte(6) | byte(7), 0); // modification time 0
   EXPECT_EQ(byte(8), 2);                               // best compression
}

TEST(ConfigCompression, NonUtf8TextIsNotCompressed)
{
   LogCapture log;
   std::vector<char> out = {'k', 'e', 'e', 'p'};
   EXPECT_FALSE(CompressConfiguration("abc\xff", out));
   EXPECT_TRUE(log.Has(110, "Request to compress non UTF-8 data"));
   EXPECT_EQ(out, (std::vector<char>{'k', 'e', 'e', 'p'}));
}

TEST(ConfigCompression, GzipOfNonUtf8ContentIsRefusedAfterDecompressing)
{
   LogCapture log;
   std::string text;
   EXPECT_FALSE(DecompressConfiguration(RawGzip("ok \xc3\x28"), text));
   EXPECT_TRUE(log.Has(110, "Configuration is not valid UTF-8 data"));
   EXPECT_EQ(text, "ok \xc3\x28");
}

// Anything but one whole gzip stream fails: noise, plain text, damaged or trailing
// bytes, and every truncation (a cut stream must never pass as a shorter text).
TEST(ConfigCompression, AnythingButAWholeStreamFails)
{
   LogCapture log;
   std::mt19937 rng(3);
   std::vector<char> noise(20000);
   for (auto &c : noise) {
      c = static_cast<char>(rng());
   }
   std::vector<char> gz = Compressed(kConfig + kConfig);
   std::vector<std::vector<char>> inputs = {
       {}, {'h', 'e', 'l', 'l', 'o'}, std::vector<char>(kConfig.begin(), kConfig.end()), noise, gz,
       gz};
   inputs[4][gz.size() - 6] ^= 0x01; // the CRC
   inputs[5].push_back('x');
   for (size_t cut = 1; cut < gz.size(); ++cut) {
      inputs.emplace_back(gz.begin(), gz.begin() + cut);
   }
   for (size_t i = 0; i < inputs.size(); ++i) {
      log.Clear();
      std::string text;
      EXPECT_FALSE(DecompressConfiguration(inputs[i], text)) << "input " << i;
      EXPECT_TRUE(log.Contains("Failed to decompress configuration: ")) << "input " << i;
   }
}

TEST(ConfigCompression, ConcatenatedMembersAreOneStream)
{
   std::vector<char> gz = Compressed("a=1\n");
   std::vector<char> second = Compressed("b=2\n");
   gz.insert(gz.end(), second.begin(), second.end());
   std::string text;
   ASSERT_TRUE(DecompressConfiguration(gz, text));
   EXPECT_EQ(text, "a=1\nb=2\n");
}

} // namespace

// A small stream that expands far beyond any configuration is refused once the
// output passes its bound, with no more than the bound produced; a text of
// exactly the bound still passes.
TEST(ConfigCompression, OutputIsBoundedAgainstGzipBombs)
{
   LogCapture log;
   std::vector<char> bomb = Compressed(std::string(kMaxDecompressedSize + 4096, 'a'));
   ASSERT_LT(bomb.size(), 64u * 1024);
   std::string text;
   EXPECT_FALSE(DecompressConfiguration(bomb, text));
   EXPECT_LE(text.size(), kMaxDecompressedSize);
   EXPECT_TRUE(log.Contains("Failed to decompress configuration: more than 16777216 bytes"));

   std::vector<char> exact = Compressed(std::string(1000, 'b'));
   text = "kept:";
   EXPECT_TRUE(DecompressConfiguration(exact, text, 1000));
   EXPECT_EQ(text, "kept:" + std::string(1000, 'b'));
   text.clear();
   EXPECT_FALSE(DecompressConfiguration(exact, text, 999));
}
