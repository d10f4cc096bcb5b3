#include "runtime/ruvo/log/logger.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

struct Sink {
   std::vector<std::pair<int, std::string>> lines;
};

class Record : public Ruvo::Log::LogRecord {
public:
   Record(Sink &sink, int level) : mSink(sink), mLevel(level) {}
   ~Record() override { mSink.lines.emplace_back(mLevel, mText.str()); }
   std::ostream &Stream() override { return mText; }

private:
   Sink &mSink;
   int mLevel;
   std::ostringstream mText;
};

class TestLogger : public Ruvo::Log::Logger {
public:
   explicit TestLogger(int minLevel) : mMinLevel(minLevel) {}
   std::unique_ptr<Ruvo::Log::LogRecord> CreateRecord(int level) override
   {
      if (level < mMinLevel) {
         return nullptr;
      }
      return std::make_unique<Record>(sink, level);
   }
   Sink sink;

private:
   int mMinLevel;
};

struct Counted {
   int *count;
};
std::ostream &operator<<(std::ostream &out, const Counted &c)
{
   ++*c.count;
   return out << "x";
}

TEST(RuvoLog, WriteJoinsPartsIntoOneLineAndSkipsFormattingWhenOff)
{
   auto logger = std::make_shared<TestLogger>(Ruvo::Log::kInfo);
   int formatted = 0;
   Ruvo::Log::Write(logger, Ruvo::Log::kDebug, "hidden ", Counted{&formatted});
   EXPECT_EQ(formatted, 0);
   EXPECT_TRUE(logger->sink.lines.empty());

   Ruvo::Log::Write(logger, Ruvo::Log::kWarning, "a", 1, ' ', Counted{&formatted});
   ASSERT_EQ(logger->sink.lines.size(), 1u);
   EXPECT_EQ(logger->sink.lines[0].first, Ruvo::Log::kWarning);
   EXPECT_EQ(logger->sink.lines[0].second, "a1 x");
   EXPECT_EQ(formatted, 1);

   Ruvo::Log::Write(nullptr, Ruvo::Log::kFatal, "no logger is fine");
}

} // namespace
