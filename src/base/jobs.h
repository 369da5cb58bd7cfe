// Worker threads for independent jobs whose results the caller takes in an
// order of its own.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace kb {

// Runs job(k) for every k in order, a thread per core (or, when none can be
// had, in wait()), so that the caller can take the results in its own order;
// what a job writes is the caller's once wait(k) returns, and an exception
// a job threw is thrown again there. The destructor waits for the jobs
// under way and drops those not begun.
class job_pool {
 public:
  job_pool(std::vector<std::size_t> order, std::function<void(std::size_t)> job);
  ~job_pool();
  job_pool(const job_pool&) = delete;
  job_pool& operator=(const job_pool&) = delete;

  bool ready(std::size_t k);
  void wait(std::size_t k);
  // wait(k) for at most ms milliseconds; whether job k is done.
  bool wait_for(std::size_t k, int ms);

 private:
  struct state;
  std::unique_ptr<state> s_;
};

}  // namespace kb
