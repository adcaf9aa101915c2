#include "tree/file_steps.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "main/step_log.h"
#include "prims/fs.h"

namespace {

constexpr unsigned kMostThreads = 8;
// A batch holds the consecutive entries of one directory, up to this many;
// the queue holds a few batches per worker.
constexpr size_t kBatchEntries = 128;
constexpr size_t kBatchesPerWorker = 4;

std::atomic<unsigned> threadsOverride{0};

// The directory part of a listed path, for telling where a batch ends.
std::string_view DirectoryOf(const std::string& path) {
  const char separator = platform::NativeConventions().separator;
  const size_t cut = path.rfind(separator);
  return cut == std::string::npos ? std::string_view() : std::string_view(path).substr(0, cut);
}

// Releases a shared tree handle.
struct SharedTree {
  platform::TreeHandle handle = platform::kNoTree;
  ~SharedTree() {
    if (handle != platform::kNoTree) platform::CloseTree(handle);
  }
};

}  // namespace

unsigned FileStepThreads() {
  const unsigned forced = threadsOverride.load();
  if (forced != 0) return forced;
  return std::clamp(platform::UsableProcessors(), 1u, kMostThreads);
}

void SetFileStepThreads(unsigned threads) { threadsOverride.store(threads); }

// Worker threads over a bounded queue of batches. A worker that finds the
// queue empty sleeps on a condition; the walk that finds it full does too.
class FileSteps::Pool {
  struct Entry {
    size_t index;
    uint32_t attributes;
  };

 public:
  Pool(unsigned threads, platform::TreeHandle from, platform::TreeHandle to, const Step& step)
      : step_(step), capacity_(kBatchesPerWorker * threads) {
    try {
      for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this, from, to] { Work(from, to); });
    } catch (...) {
      Stop();  // the threads that did start end again
      throw;
    }
  }
  ~Pool() { Stop(); }

  void Add(size_t index, const std::string& path, uint32_t attributes) {
    const std::string_view directory = DirectoryOf(path);
    if (!batch_.empty() && (batch_.size() == kBatchEntries || directory != batchDirectory_)) HandOut();
    if (batch_.empty()) batchDirectory_.assign(directory);
    batch_.push_back({index, attributes});
  }

  // Hands out what is gathered and waits for everything handed out. An
  // error that ended a step (memory ran out) is raised here.
  void Finish() {
    HandOut();
    std::unique_lock<std::mutex> hold(lock_);
    idle_.wait(hold, [this] { return outstanding_ == 0; });
    if (failure_) {
      std::exception_ptr failure = failure_;
      failure_ = nullptr;
      std::rethrow_exception(failure);
    }
  }

 private:
  void Stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
  }

  void HandOut() {
    if (batch_.empty()) return;
    {
      std::unique_lock<std::mutex> hold(lock_);
      room_.wait(hold, [this] { return queue_.size() < capacity_; });
      queue_.push_back(std::move(batch_));
      ++outstanding_;
    }
    batch_.clear();
    work_.notify_one();
  }

  void Work(platform::TreeHandle from, platform::TreeHandle to) {
    // Each worker resolves names through handles of its own.
    uint32_t error = 0;
    SharedTree ownFrom{platform::ShareTree(from, error)};
    SharedTree ownTo{platform::ShareTree(to, error)};
    for (;;) {
      std::vector<Entry> batch;
      {
        std::unique_lock<std::mutex> hold(lock_);
        work_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        batch = std::move(queue_.front());
        queue_.pop_front();
      }
      room_.notify_one();
      try {
        const bool shared = ownFrom.handle != platform::kNoTree && (to == platform::kNoTree || ownTo.handle != platform::kNoTree);
        for (const Entry& entry : batch) {
          // Without handles of its own (none could be had) the worker
          // still works, through the operation's, one step at a time.
          if (shared) {
            step_(ownFrom.handle, ownTo.handle, entry.index, entry.attributes);
          } else {
            std::lock_guard<std::mutex> hold(fallback_);
            step_(from, to, entry.index, entry.attributes);
          }
        }
      } catch (...) {
        std::lock_guard<std::mutex> hold(lock_);
        if (!failure_) failure_ = std::current_exception();
      }
      // The batch's log lines go out before anyone learns it has finished.
      WriteHeldSteps();
      {
        std::lock_guard<std::mutex> hold(lock_);
        --outstanding_;
      }
      idle_.notify_all();
    }
  }

  const Step& step_;
  const size_t capacity_;
  std::vector<std::thread> workers_;
  std::mutex lock_;
  std::mutex fallback_;
  std::condition_variable work_;  // a batch is waiting, or the pool stops
  std::condition_variable room_;  // the queue has room
  std::condition_variable idle_;  // a batch has finished
  std::deque<std::vector<Entry>> queue_;
  size_t outstanding_ = 0;  // batches handed out and not finished
  bool stopping_ = false;
  std::exception_ptr failure_;
  // The batch being gathered by the walk (touched by the walk alone).
  std::vector<Entry> batch_;
  std::string batchDirectory_;
};

FileSteps::FileSteps(platform::TreeHandle from, platform::TreeHandle to, Step step)
    : from_(from), to_(to), step_(std::move(step)) {
  const unsigned threads = FileStepThreads();
  if (threads <= 1) return;
  try {
    pool_ = std::make_unique<Pool>(threads, from_, to_, step_);
  } catch (const std::system_error&) {
    pool_.reset();  // no threads to be had: the steps run in order here
  }
}

FileSteps::~FileSteps() {
  if (!pool_) return;
  try {
    pool_->Finish();
  } catch (...) {
    // Already unwinding or ending: the steps have finished, which is what
    // matters here.
  }
}

void FileSteps::Add(size_t index, const std::string& path, uint32_t attributes) {
  if (pool_) {
    pool_->Add(index, path, attributes);
  } else {
    step_(from_, to_, index, attributes);
  }
}

void FileSteps::Finish() {
  if (pool_) pool_->Finish();
}
