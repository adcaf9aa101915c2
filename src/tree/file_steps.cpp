#include "tree/file_steps.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
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

// Owns a tree handle a batch works through.
class OwnedTree {
 public:
  OwnedTree() = default;
  explicit OwnedTree(platform::TreeHandle handle) : handle_(handle) {}
  OwnedTree(OwnedTree&& other) noexcept : handle_(std::exchange(other.handle_, platform::kNoTree)) {}
  OwnedTree& operator=(OwnedTree&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  ~OwnedTree() {
    if (handle_ != platform::kNoTree) platform::CloseTree(handle_);
  }
  platform::TreeHandle get() const { return handle_; }

 private:
  platform::TreeHandle handle_ = platform::kNoTree;
};

}  // namespace

unsigned FileStepThreads() {
  const unsigned forced = threadsOverride.load();
  if (forced != 0) return forced;
  return std::clamp(platform::UsableProcessors(), 1u, kMostThreads);
}

void SetFileStepThreads(unsigned threads) { threadsOverride.store(threads); }

std::string JoinedName(std::string_view directory, std::string_view name) {
  if (directory.empty()) return std::string(name);
  if (name.empty()) return std::string(directory);
  std::string joined;
  joined.reserve(directory.size() + 1 + name.size());
  joined.append(directory).push_back(platform::NativeConventions().separator);
  return joined.append(name);
}

namespace {

// `directory` with a separator at its end, as a step shows it ("" stays "").
std::string WithSeparator(std::string_view directory) {
  std::string text(directory);
  if (!text.empty()) text.push_back(platform::NativeConventions().separator);
  return text;
}

}  // namespace

// Worker threads over a bounded queue of batches. A worker that finds the
// queue empty sleeps on a condition; the walk that finds it full does too.
class FileSteps::Pool {
  struct Entry {
    std::string name;
    uint32_t attributes;
  };
  struct Batch {
    std::string directory;  // below the operation's `from`, without a final separator
    std::string shownDirectory;
    std::string shownToDirectory;
    OwnedTree from;
    OwnedTree to;
    std::vector<Entry> entries;
  };

 public:
  Pool(unsigned threads, platform::TreeHandle from, platform::TreeHandle to, const std::string& toRoot,
       const Action& action)
      : from_(from), to_(to), toRoot_(toRoot), action_(action), capacity_(kBatchesPerWorker * threads) {
    try {
      for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
    } catch (...) {
      Stop();  // the threads that did start end again
      throw;
    }
  }
  ~Pool() { Stop(); }

  void Add(std::string_view directory, std::string name, uint32_t attributes) {
    if (!batch_.entries.empty() && (batch_.entries.size() == kBatchEntries || directory != batch_.directory)) {
      HandOut();
    }
    if (batch_.entries.empty()) batch_.directory = directory;
    batch_.entries.push_back({std::move(name), attributes});
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

  // The walk takes the handles a batch works through: its resolution of the
  // directory is at hand, and a tree serves one thread.
  void HandOut() {
    if (batch_.entries.empty()) return;
    const std::string toDirectory = JoinedName(toRoot_, batch_.directory);
    batch_.shownDirectory = WithSeparator(batch_.directory);
    batch_.shownToDirectory = WithSeparator(toDirectory);
    uint32_t error = 0;
    batch_.from = OwnedTree(platform::ShareTree(from_, batch_.directory, error));
    if (to_ != platform::kNoTree) batch_.to = OwnedTree(platform::ShareTree(to_, toDirectory, error));
    if (batch_.from.get() == platform::kNoTree || (to_ != platform::kNoTree && batch_.to.get() == platform::kNoTree)) {
      // No handle of the directory to be had (gone meanwhile, or no
      // descriptor left): its steps run here, as the ordered loop runs
      // them, and fail or not as they would there.
      for (const Entry& entry : batch_.entries) {
        const std::string name = JoinedName(batch_.directory, entry.name);
        const std::string toName = JoinedName(toDirectory, entry.name);
        action_({from_, name, to_, toName, entry.attributes, batch_.shownDirectory, batch_.shownToDirectory,
                 entry.name});
      }
      batch_ = Batch{};
      return;
    }
    {
      std::unique_lock<std::mutex> hold(lock_);
      room_.wait(hold, [this] { return queue_.size() < capacity_; });
      queue_.push_back(std::move(batch_));
      ++outstanding_;
    }
    batch_ = Batch{};
    work_.notify_one();
  }

  void Work() {
    for (;;) {
      Batch batch;
      {
        std::unique_lock<std::mutex> hold(lock_);
        work_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        batch = std::move(queue_.front());
        queue_.pop_front();
      }
      room_.notify_one();
      try {
        for (const Entry& entry : batch.entries) {
          action_({batch.from.get(), entry.name, batch.to.get(), entry.name, entry.attributes, batch.shownDirectory,
                   batch.shownToDirectory, entry.name});
        }
      } catch (...) {
        std::lock_guard<std::mutex> hold(lock_);
        if (!failure_) failure_ = std::current_exception();
      }
      // The batch's log lines go out, and its directory is let go, before
      // anyone learns it has finished: the walk may remove it next.
      WriteHeldSteps();
      batch = Batch{};
      {
        std::lock_guard<std::mutex> hold(lock_);
        --outstanding_;
      }
      idle_.notify_all();
    }
  }

  const platform::TreeHandle from_;
  const platform::TreeHandle to_;
  const std::string& toRoot_;
  const Action& action_;
  const size_t capacity_;
  std::vector<std::thread> workers_;
  std::mutex lock_;
  std::condition_variable work_;  // a batch is waiting, or the pool stops
  std::condition_variable room_;  // the queue has room
  std::condition_variable idle_;  // a batch has finished
  std::deque<Batch> queue_;
  size_t outstanding_ = 0;  // batches handed out and not finished
  bool stopping_ = false;
  std::exception_ptr failure_;
  Batch batch_;  // the batch being gathered (touched by the walk alone)
};

FileSteps::FileSteps(platform::TreeHandle from, platform::TreeHandle to, std::string toRoot, Action action)
    : from_(from), to_(to), toRoot_(std::move(toRoot)), action_(std::move(action)) {
  const unsigned threads = FileStepThreads();
  if (threads <= 1) return;
  try {
    pool_ = std::make_unique<Pool>(threads, from_, to_, toRoot_, action_);
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

void FileSteps::Add(std::string_view directory, std::string name, uint32_t attributes) {
  if (pool_) {
    pool_->Add(directory, std::move(name), attributes);
    return;
  }
  const std::string toDirectory = JoinedName(toRoot_, directory);
  const std::string fullName = JoinedName(directory, name);
  const std::string toName = JoinedName(toDirectory, name);
  action_({from_, fullName, to_, toName, attributes, WithSeparator(directory), WithSeparator(toDirectory), name});
}

void FileSteps::Finish() {
  if (pool_) pool_->Finish();
}
