// Members are independent and MD5 is the cost, so make and check hash them
// side by side, a thread per core, in the order that balances the cores
// (largest first), while the caller takes the results in its own order.
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/jobs.h"

namespace kb {

struct job_pool::state {
  std::vector<std::size_t> order;
  std::function<void(std::size_t)> job;
  std::vector<char> done;                  // by job number: 0 free, 1 taken, 2 done
  std::vector<std::exception_ptr> failed;  // by job number, rethrown by wait()
  std::size_t next = 0;                    // the next place in order to hand out
  std::mutex mu;
  std::condition_variable finished;
  std::vector<std::thread> threads;

  // Runs the next free job; called and returns with the lock held.
  void take(std::unique_lock<std::mutex>& lock) {
    const std::size_t k = order[next++];
    if (done[k] != 0) return;
    done[k] = 1;
    lock.unlock();
    run(k);
    lock.lock();
    done[k] = 2;
    finished.notify_all();
  }

  // A job's failure (an allocation, say) belongs to the thread that waits
  // for it, which ends the run through its one error path.
  void run(std::size_t k) {
    try {
      job(k);
    } catch (...) {
      failed[k] = std::current_exception();
    }
  }
};

job_pool::job_pool(std::vector<std::size_t> order, std::function<void(std::size_t)> job)
    : s_(std::make_unique<state>()) {
  s_->done.assign(order.size(), 0);
  s_->failed.assign(order.size(), nullptr);
  s_->order = std::move(order);
  s_->job = std::move(job);
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  try {
    for (std::size_t t = 0; t < std::min<std::size_t>(cores, s_->order.size()); ++t) {
      s_->threads.emplace_back([s = s_.get()] {
        std::unique_lock<std::mutex> lock(s->mu);
        while (s->next < s->order.size()) s->take(lock);
      });
    }
  } catch (const std::system_error&) {
    // No thread to be had: wait() runs what nobody took.
  }
}

job_pool::~job_pool() {
  {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->next = s_->order.size();
  }
  for (auto& t : s_->threads) t.join();
}

bool job_pool::ready(std::size_t k) {
  std::lock_guard<std::mutex> lock(s_->mu);
  return s_->done[k] == 2;
}

void job_pool::wait(std::size_t k) {
  while (!wait_for(k, 1000)) {
  }
  if (s_->failed[k]) std::rethrow_exception(s_->failed[k]);
}

bool job_pool::wait_for(std::size_t k, int ms) {
  std::unique_lock<std::mutex> lock(s_->mu);
  if (s_->done[k] == 0) {  // nobody is free to do it: do it here
    s_->done[k] = 1;
    lock.unlock();
    s_->run(k);
    lock.lock();
    s_->done[k] = 2;
    s_->finished.notify_all();
  }
  s_->finished.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s_->done[k] == 2; });
  return s_->done[k] == 2;
}

}  // namespace kb
