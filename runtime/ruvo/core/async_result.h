// The completion handle an implementation or a stub caller receives: completed
// exactly once, with a value or an error.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/hostlib/mutex.h"
#include "runtime/ruvo/core/method_result.h"
#include "runtime/ruvo/data/error_value.h"

namespace Ruvo {

// The value type of operations that return nothing.
struct Void {
   friend bool operator==(const Void &, const Void &) { return true; }
};

template <class T>
struct Outcome {
   std::optional<T> value;
   Data::ErrorValuePtr error;
   // Messages whose text the localizer of the completing service still has to
   // produce; only with an error.
   std::vector<NamedMessageBuilder> pendingMessages;

   bool IsError() const { return error != nullptr; }
};

namespace Detail {
// The error delivered for a result that was dropped without being completed.
Data::ErrorValuePtr AbandonedResultError();
// A second completion is a programming error: fatal in debug builds, ignored otherwise.
void ReportSecondCompletion();
} // namespace Detail

// Completes the caller with an internal error when the last handle of an
// uncompleted result goes away (an implementation that returned, or threw,
// without completing), so that no caller waits forever.
struct AsyncResultTerminateCbPolicy {
   template <class T>
   static void OnAbandoned(const std::function<void(Outcome<T> &&)> &done)
   {
      Outcome<T> outcome;
      outcome.error = Detail::AbandonedResultError();
      done(std::move(outcome));
   }
};

template <class T, class Policy = AsyncResultTerminateCbPolicy>
class AsyncResult {
public:
   using ValueType = T;
   using DoneCb = std::function<void(Outcome<T> &&)>;
   using ProgressCb = std::function<void(const Core::Progress &)>;

   explicit AsyncResult(DoneCb done, ProgressCb progress = {})
      : mState(std::make_shared<State>(std::move(done), std::move(progress)))
   {
   }

   void SetResult(T value)
   {
      Outcome<T> outcome;
      outcome.value = std::move(value);
      Complete(std::move(outcome));
   }
   template <class U = T, class = std::enable_if_t<std::is_same_v<U, Void>>>
   void SetResult()
   {
      SetResult(Void{});
   }
   void SetError(Data::ErrorValuePtr error)
   {
      Outcome<T> outcome;
      outcome.error = error ? std::move(error) : Data::StdErrors::Make(Data::StdErrors::kError, {});
      Complete(std::move(outcome));
   }
   void SetError(const Data::NativeError &error)
   {
      Outcome<T> outcome;
      outcome.error = error.GetError() ? error.GetError()
                                       : Data::StdErrors::Make(Data::StdErrors::kError, {});
      outcome.pendingMessages = error.GetBuilders();
      Complete(std::move(outcome));
   }
   void SetProgress(const Core::Progress &progress) const
   {
      ProgressCb cb;
      {
         Hostlib::MutexLock guard(mState->lock);
         if (mState->done) {
            return;
         }
         cb = mState->progress;
      }
      if (cb) {
         cb(progress);
      }
   }
   bool IsDone() const
   {
      Hostlib::MutexLock guard(mState->lock);
      return mState->done;
   }

private:
   struct State {
      State(DoneCb d, ProgressCb p) : done(false), onDone(std::move(d)), progress(std::move(p)) {}
      ~State()
      {
         if (!done && onDone) {
            Policy::template OnAbandoned<T>(onDone);
         }
      }
      Hostlib::Mutex lock;
      bool done ZARNA_GUARDED_BY(lock);
      DoneCb onDone;       // taken out once, under lock, by the completing thread
      ProgressCb progress; // read under lock
   };

   void Complete(Outcome<T> &&outcome)
   {
      DoneCb cb;
      bool first = false;
      {
         Hostlib::MutexLock guard(mState->lock);
         if (!mState->done) {
            first = true;
            mState->done = true;
            cb = std::move(mState->onDone);
            mState->onDone = nullptr;
         }
      }
      if (!first) {
         Detail::ReportSecondCompletion();
         return;
      }
      if (cb) {
         cb(std::move(outcome));
      }
   }

   std::shared_ptr<State> mState;
};

} // namespace Ruvo
