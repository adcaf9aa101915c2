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
#include <string_view>

#include "platform/platform.h"

// How many threads take file steps: the processors this process may run on,
// at most 8. With 1 the steps run in order on the calling thread.
unsigned FileStepThreads();

// Makes FileStepThreads answer `threads` (0: the machine's number again), so
// that tests can compare the workers with the ordered loop.
void SetFileStepThreads(unsigned threads);

class FileSteps {
 public:
  // One file step as the walk hands it out: the entry `name` below the
  // tree `from`, whose attribute word the walk saw as `attributes`, to
  // `toName` below `to` (kNoTree for a delete). On the calling thread these
  // are the operation's own trees and names below their roots; on a worker,
  // trees of the entry's directory and of its counterpart (see
  // platform::ShareTree) and the entry's name alone. `directory` and
  // `toDirectory` are those directories below the operation's own trees,
  // each ending in a separator ("" for a root), and `leaf` the entry's own
  // name: with them the step can show whole paths in the log.
  struct Step {
    platform::TreeHandle from;
    const std::string& name;
    platform::TreeHandle to;
    const std::string& toName;
    uint32_t attributes;
    std::string_view directory;
    std::string_view toDirectory;
    std::string_view leaf;
  };
  using Action = std::function<void(const Step& step)>;

  // The counterpart of a directory below `from` is the directory of the
  // same relative name below `toRoot` (a directory below `to`; "" for its
  // root).
  FileSteps(platform::TreeHandle from, platform::TreeHandle to, std::string toRoot, Action action);
  FileSteps(const FileSteps&) = delete;
  FileSteps& operator=(const FileSteps&) = delete;
  // Waits for every step handed out, then ends the workers.
  ~FileSteps();

  // Hands out the step of the entry `name` in the directory `directory`
  // below `from` ("" for its root). Consecutive entries of one directory go
  // to one worker together, with handles of that directory and its
  // counterpart taken here for them and let go when they are done: a step
  // costs the same at any depth, workers seldom wait on the same directory
  // in the kernel, and none holds a directory open that the walk may
  // remove next. Blocks while the bounded queue is full.
  void Add(std::string_view directory, std::string name, uint32_t attributes = 0);

  // Returns when every step handed out has finished.
  void Finish();

 private:
  class Pool;
  platform::TreeHandle from_;
  platform::TreeHandle to_;
  std::string toRoot_;
  Action action_;
  std::unique_ptr<Pool> pool_;  // none: the steps run in order here
};

// `directory` and `name` joined by the platform's separator (an empty
// directory or an empty name joins nothing).
std::string JoinedName(std::string_view directory, std::string_view name);
