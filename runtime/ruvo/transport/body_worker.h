// One thread of a server's own that runs work handed to it in order: requests
// with large bodies are parsed and dispatched there, so that the I/O threads stay
// free for the small calls meanwhile.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Ruvo::Transport::PicoHttp {

class BodyWorker {
public:
   BodyWorker();
   // Work not yet started is dropped. May run on the worker's own thread (the last
   // reference can go with its last piece of work).
   ~BodyWorker();
   BodyWorker(const BodyWorker &) = delete;
   BodyWorker &operator=(const BodyWorker &) = delete;

   void Run(std::function<void()> work);

private:
   struct Queue {
      std::mutex lock;
      std::condition_variable ready;
      std::deque<std::function<void()>> work; // guarded by lock
      bool stop = false;                      // guarded by lock
   };
   static void Loop(const std::shared_ptr<Queue> &queue);

   std::shared_ptr<Queue> mQueue;
   std::thread mThread; // started by the first Run, under mQueue->lock

};

} // namespace Ruvo::Transport::PicoHttp
