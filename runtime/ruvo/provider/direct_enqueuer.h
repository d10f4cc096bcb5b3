// Work items of a provider chain and where they run.
#pragma once

#include <functional>

namespace Ruvo::Provider {

using WorkItem = std::function<void()>;
using Enqueuer = std::function<void(WorkItem)>;

// Runs each item at once on the calling thread, before returning. An empty item
// throws std::bad_function_call, as calling an empty function does.
class DirectEnqueuer {
public:
   void Enqueue(const WorkItem &item) const { item(); }
   void operator()(const WorkItem &item) const { Enqueue(item); }
};

} // namespace Ruvo::Provider
