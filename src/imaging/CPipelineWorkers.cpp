#include "imaging/CPipelineWorkers.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace veltcam {

int DefaultPipelineThreads() {
    if (const char* env = std::getenv("VELTCAM_PIPELINE_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && n >= 1 && n <= kMaxPipelineThreads) {
            return static_cast<int>(n);
        }
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int>(cores), 1, kMaxPipelineThreads);
}

CPipelineWorkers::CPipelineWorkers(int limit)
    : limit_(limit >= 1 && limit <= kMaxPipelineThreads ? limit : DefaultPipelineThreads()),
      scratch_(kMaxPipelineThreads) {}

CPipelineWorkers::~CPipelineWorkers() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
}

bool CPipelineWorkers::SetThreadLimit(int limit) {
    if (limit < 1 || limit > kMaxPipelineThreads) return false;
    limit_.store(limit, std::memory_order_relaxed);
    return true;
}

void CPipelineWorkers::StartThreads(int wanted) {
    // Threads only ever grow: a lower limit leaves the extra ones asleep.
    while (static_cast<int>(threads_.size()) < wanted - 1) {
        const int worker = static_cast<int>(threads_.size()) + 1;
        try {
            threads_.emplace_back([this, worker] { WorkerLoop(worker); });
        } catch (const std::system_error&) {
            return;  // the frame runs on the threads there are
        }
    }
}

void CPipelineWorkers::Drain(int worker) {
    try {
        for (int i = next_.fetch_add(1); i < count_; i = next_.fetch_add(1)) (*task_)(i, worker);
    } catch (...) {
        // Rethrown on the calling thread once every worker is out, as if the
        // frame had run there alone; the remaining bands are skipped.
        next_.store(count_);
        std::lock_guard<std::mutex> hold(lock_);
        if (!failure_) failure_ = std::current_exception();
    }
}

void CPipelineWorkers::WorkerLoop(int worker) {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        wake_.wait(hold, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        if (worker > helpers_) continue;  // not needed for this run
        hold.unlock();
        Drain(worker);
        hold.lock();
        if (--pending_ == 0) done_.notify_one();
    }
}

void CPipelineWorkers::Run(int count, const std::function<void(int index, int worker)>& task) {
    if (count <= 0) return;
    std::lock_guard<std::mutex> one(runLock_);
    const int threads = std::min(ThreadLimit(), count);
    if (threads > 1) StartThreads(threads);
    const int helpers = std::min(threads - 1, static_cast<int>(threads_.size()));
    if (helpers == 0) {
        for (int i = 0; i < count; ++i) task(i, 0);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        task_ = &task;
        count_ = count;
        next_.store(0);
        helpers_ = helpers;
        pending_ = helpers;
        ++generation_;
    }
    wake_.notify_all();
    Drain(0);
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait(hold, [&] { return pending_ == 0; });
    task_ = nullptr;
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

}  // namespace veltcam
