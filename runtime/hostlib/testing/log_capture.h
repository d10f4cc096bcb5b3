// Test helper: records every log line written while it lives.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "runtime/hostlib/log.h"

namespace HostlibTesting {

class LogCapture {
public:
   struct Line {
      uint32_t level;
      std::string text;
   };

   explicit LogCapture(uint32_t outputLevel = 135, bool quiet = true)
      : mSavedLevel(Log_GetOutputLevel())
   {
      Log_SetOutputLevel(outputLevel);
      if (quiet) {
         Log_SetStderr(false);
      }
      Log_SetSink([this](uint32_t level, std::string_view text) {
         std::lock_guard<std::mutex> guard(mLock);
         mLines.push_back({level, std::string(text)});
      });
   }
   ~LogCapture()
   {
      Log_SetSink(nullptr);
      Log_SetStderr(true);
      Log_SetOutputLevel(mSavedLevel);
   }
   LogCapture(const LogCapture &) = delete;
   LogCapture &operator=(const LogCapture &) = delete;

   std::vector<Line> Lines() const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return mLines;
   }
   // True when a line at this level equals the text exactly (line end removed).
   bool Has(uint32_t level, const std::string &text) const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return std::any_of(mLines.begin(), mLines.end(), [&](const Line &l) {
         return l.level == level && l.text == text;
      });
   }
   // True when some line contains the fragment.
   bool Contains(const std::string &fragment) const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return std::any_of(mLines.begin(), mLines.end(), [&](const Line &l) {
         return l.text.find(fragment) != std::string::npos;
      });
   }
   size_t Count(const std::string &fragment) const
   {
      std::lock_guard<std::mutex> guard(mLock);
      return static_cast<size_t>(std::count_if(mLines.begin(), mLines.end(), [&](const Line &l) {
         return l.text.find(fragment) != std::string::npos;
      }));
   }
   void Clear()
   {
      std::lock_guard<std::mutex> guard(mLock);
      mLines.clear();
   }

private:
   uint32_t mSavedLevel;
   mutable std::mutex mLock;
   std::vector<Line> mLines; // guarded by mLock
};

} // namespace HostlibTesting
