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

bool CPipelineWorkers::Claim(uint32_t generation, int count, int& index) {
    uint64_t state = claim_.load();
    for (;;) {
        // A worker that wakes after its run ended finds another generation (or
        // no index left) and takes nothing.
        if (static_cast<uint32_t>(state >> 32) != generation) return false;
        const auto next = static_cast<int>(state & 0xFFFFFFFFu);
        if (next >= count) return false;
        if (claim_.compare_exchange_weak(state, state + 1)) {
            index = next;
            return true;
        }
    }
}

void CPipelineWorkers::Work(uint32_t generation, const Task* task, int count, int worker) {
    int index = 0;
    while (Claim(generation, count, index)) {
        try {
            (*task)(index, worker);
        } catch (...) {
            // Rethrown on the calling thread once every band is done, as if the
            // frame had run there alone.
            std::lock_guard<std::mutex> hold(lock_);
            if (!failure_) failure_ = std::current_exception();
        }
        if (completed_.fetch_add(1) + 1 == count) {
            std::lock_guard<std::mutex> hold(lock_);
            done_.notify_all();
        }
    }
}

void CPipelineWorkers::WorkerLoop(int worker) {
    uint32_t seen = 0;
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        // A frame runs several steps back to back (corrections, conversion):
        // watching for the next one a little while before sleeping saves the
        // wake-up, which on a busy machine costs more than a band's work.
        hold.unlock();
        for (int i = 0; i < kWatchRounds && published_.load() == seen && !stopping_.load(); ++i) {
            std::this_thread::yield();
        }
        hold.lock();
        wake_.wait(hold, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        if (worker > helpers_) continue;  // not needed for this run
        const Task* task = task_;
        const int count = count_;
        hold.unlock();
        Work(seen, task, count, worker);
        hold.lock();
    }
}

void CPipelineWorkers::Run(int count, const Task& task) {
    if (count <= 0) return;
    std::lock_guard<std::mutex> one(runLock_);
    const int threads = std::min(ThreadLimit(), count);
    if (threads > 1) StartThreads(threads);
    const int helpers = std::min(threads - 1, static_cast<int>(threads_.size()));
    if (helpers == 0) {
        for (int i = 0; i < count; ++i) task(i, 0);
        return;
    }
    uint32_t generation = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        task_ = &task;
        count_ = count;
        helpers_ = helpers;
        generation = ++generation_;
        published_.store(generation);
        completed_.store(0);
        claim_.store(uint64_t{generation} << 32);
    }
    wake_.notify_all();
    Work(generation, &task, count, 0);
    // The run ends when every band is done, not when every worker has looked in:
    // a worker the scheduler has not woken yet (the cores busy with the camera's
    // transfer) must not hold the frame back; the caller has done its bands.
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait(hold, [&] { return completed_.load() == count; });
    task_ = nullptr;
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

}  // namespace veltcam
