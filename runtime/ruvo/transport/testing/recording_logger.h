// A Ruvo logger for tests that keeps every line with its runtime level.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "runtime/ruvo/log/logger.h"

namespace Ruvo::Log::Testing {

class RecordingLogger : public Logger, public std::enable_shared_from_this<RecordingLogger> {
public:
   struct Line {
      int level;
      std::string text;
   };

   std::unique_ptr<LogRecord> CreateRecord(int level) override
   {
      return std::make_unique<Record>(shared_from_this(), level);
   }

   std::vector<Line> Lines() const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return mLines;
   }
   bool Has(int level, const std::string &text) const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return std::any_of(mLines.begin(), mLines.end(),
                         [&](const Line &l) { return l.level == level && l.text == text; });
   }
   size_t Count(const std::string &fragment) const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return static_cast<size_t>(std::count_if(mLines.begin(), mLines.end(), [&](const Line &l) {
         return l.text.find(fragment) != std::string::npos;
      }));
   }
   std::string All() const
   {
      std::lock_guard<std::mutex> guard(mLock);
      std::string all;
      for (const Line &l : mLines) {
         all += std::to_string(l.level) + " " + l.text + "\n";
      }
      return all;
   }

private:
   class Record : public LogRecord {
   public:
      Record(std::shared_ptr<RecordingLogger> owner, int level) : mOwner(std::move(owner)), mLevel(level) {}
      ~Record() override
      {
         std::lock_guard<std::mutex> guard(mOwner->mLock);
         mOwner->mLines.push_back({mLevel, mText.str()});
      }
      std::ostream &Stream() override { return mText; }

   private:
      std::shared_ptr<RecordingLogger> mOwner;
      int mLevel;
      std::ostringstream mText;
   };

   mutable std::mutex mLock;
   std::vector<Line> mLines; // guarded by mLock
};

} // namespace Ruvo::Log::Testing
