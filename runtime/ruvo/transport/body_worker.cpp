#include "runtime/ruvo/transport/body_worker.h"

namespace Ruvo::Transport::PicoHttp {

BodyWorker::BodyWorker() : mQueue(std::make_shared<Queue>()) {}

BodyWorker::~BodyWorker()
{
   std::deque<std::function<void()>> dropped;
   {
      std::lock_guard<std::mutex> guard(mQueue->lock);
      mQueue->stop = true;
      dropped.swap(mQueue->work);
   }
   mQueue->ready.notify_all();
   if (!mThread.joinable()) {
      return;
   }
   if (mThread.get_id() == std::this_thread::get_id()) {
      mThread.detach();
   } else {
      mThread.join();
   }
   // dropped goes last: its work may hold what holds this worker.
}

void BodyWorker::Run(std::function<void()> work)
{
   {
      std::lock_guard<std::mutex> guard(mQueue->lock);
      mQueue->work.push_back(std::move(work));
      if (!mThread.joinable()) {
         // Started on first use: most servers never see a large body. The thread
         // holds the queue, not the worker, so that it can outlive it.
         mThread = std::thread([queue = mQueue] { Loop(queue); });
      }
   }
   mQueue->ready.notify_one();
}

void BodyWorker::Loop(const std::shared_ptr<Queue> &queue)
{
   for (;;) {
      std::function<void()> work;
      {
         std::unique_lock<std::mutex> guard(queue->lock);
         queue->ready.wait(guard, [&] { return queue->stop || !queue->work.empty(); });
         if (queue->stop) {
            return;
         }
         work = std::move(queue->work.front());
         queue->work.pop_front();
      }
      work();
   }
}

} // namespace Ruvo::Transport::PicoHttp
