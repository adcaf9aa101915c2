// The single-file steps of a tree or mask operation (copy, move or delete of
// a file or link), spread over worker threads while the calling thread walks
// the ordered list and creates and removes the directories itself.
//
// The file system ends exactly as the ordered loop leaves it: a step is
// handed out only when the walk reaches its entry (so the directories it
// needs exist), Finish waits for every step handed out (the walk calls it
// before it removes a directory), and the destructor does too, so that an
// error that stops the walk is reported only after the steps before it have
// ended, and no step after it ever starts. Steps report nothing: a failing
// file step is passed over, as in the ordered loop.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"

// How many threads take file steps: the processors this process may run on,
// at most 8. With 1 the steps run in order on the calling thread.
unsigned FileStepThreads();

// Makes FileStepThreads answer `threads` (0: the machine's number again), so
// that tests can compare the workers with the ordered loop.
void SetFileStepThreads(unsigned threads);

class FileSteps {
 public:
  // `step(from, to, index, name, attributes)` carries out the file step of
  // list entry `index`, named `name` below `from`, whose attribute word the
  // walk saw as `attributes`, through `from` and `to`: the operation's own
  // trees on the calling thread, shared handles of them (see
  // platform::ShareTree) on a worker. `to` may be kNoTree.
  using Step = std::function<void(platform::TreeHandle from, platform::TreeHandle to, size_t index,
                                  const std::string& name, uint32_t attributes)>;
  FileSteps(platform::TreeHandle from, platform::TreeHandle to, Step step);
  FileSteps(const FileSteps&) = delete;
  FileSteps& operator=(const FileSteps&) = delete;
  // Waits for every step handed out, then ends the workers.
  ~FileSteps();

  // Hands out the step of entry `index`, named `name`, which lies in the
  // directory the caller calls `directory`. Consecutive entries of one
  // directory go to one worker together, so that workers seldom wait on the
  // same directory in the kernel. Blocks while the bounded queue is full.
  void Add(size_t index, uint64_t directory, std::string name, uint32_t attributes = 0);

  // Returns when every step handed out has finished.
  void Finish();

 private:
  class Pool;
  platform::TreeHandle from_;
  platform::TreeHandle to_;
  Step step_;
  std::unique_ptr<Pool> pool_;  // none: the steps run in order here
};
