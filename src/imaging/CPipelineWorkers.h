// The worker threads the pipeline spreads a frame over.
//
// A frame is cut into bands of rows and each band runs through the stages on
// one of these threads while its rows are in that core's cache. The calling
// thread (the display thread of a camera) works as worker 0 and waits for the
// others, so a frame leaves ProcessFrame complete, as it does with one thread.
// The threads start on the first frame that can use them and are joined when
// the object goes (with the SDK object that owns it).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/DibImage.h"

namespace veltcam {

// Most threads one camera's pipeline uses, whatever the processor has.
constexpr int kMaxPipelineThreads = 64;

// The default limit: VELTCAM_PIPELINE_THREADS when it is a number from 1 to
// kMaxPipelineThreads, otherwise the processor count (1 when unknown), never
// more than kMaxPipelineThreads.
int DefaultPipelineThreads();

class CPipelineWorkers {
  public:
    // `limit` 0 takes DefaultPipelineThreads().
    explicit CPipelineWorkers(int limit = 0);
    ~CPipelineWorkers();
    CPipelineWorkers(const CPipelineWorkers&) = delete;
    CPipelineWorkers& operator=(const CPipelineWorkers&) = delete;

    // Threads a frame may use, the caller's included: 1..kMaxPipelineThreads
    // (false and nothing changed otherwise). Takes effect with the next frame;
    // safe to call while another thread runs a frame.
    bool SetThreadLimit(int limit);
    int ThreadLimit() const { return limit_.load(std::memory_order_relaxed); }

    // Runs task(index, worker) for every index in [0, count) and returns when all
    // have finished. `worker` is 0 for the calling thread and 1..ThreadLimit()-1
    // for the pool's, so a task may use per-worker scratch without locking. A
    // task's exception reaches the caller once every index has run. One
    // Run at a time: a second caller waits for the first. With one thread, or
    // when threads cannot be started, every index runs on the caller.
    using Task = std::function<void(int index, int worker)>;
    void Run(int count, const Task& task);

    // Work image of a pool worker (1..kMaxPipelineThreads-1) for the stages that
    // keep unchanged rows aside (sharpness); grows once and is kept.
    DibImage& Scratch(int worker) { return scratch_[static_cast<size_t>(worker)]; }
    // Rows a frame's bands need from each other, kept before any band runs.
    DibImage& Edges() { return edges_; }

  private:
    void StartThreads(int wanted);
    void WorkerLoop(int worker);
    // Takes the next index of run `generation`; false when none is left.
    bool Claim(uint32_t generation, int count, int& index);
    void Work(uint32_t generation, const Task* task, int count, int worker);

    std::atomic<int> limit_;
    std::mutex runLock_;  // one frame at a time

    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> threads_;  // worker i is threads_[i - 1]
    std::vector<DibImage> scratch_;
    DibImage edges_;
    uint32_t generation_ = 0;  // one per run
    int helpers_ = 0;          // pool workers taking part in the current run
    std::atomic<bool> stopping_{false};
    std::atomic<uint32_t> published_{0};  // generation_, for workers watching without the lock
    static constexpr int kWatchRounds = 64;
    const Task* task_ = nullptr;
    int count_ = 0;
    std::atomic<uint64_t> claim_{0};  // generation << 32 | next index to run
    std::atomic<int> completed_{0};   // indices of the current run finished
    std::exception_ptr failure_;      // first exception a task threw in this run
};

}  // namespace veltcam
