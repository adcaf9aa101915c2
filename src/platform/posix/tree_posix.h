// An open tree of the POSIX layer: what a TreeHandle stands for.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/fd_posix.h"
#include "platform/posix/resolver_posix.h"

namespace platform::posix {

// Everything an operation keeps while it works beneath one directory. It
// belongs to that operation (and to one thread) alone.
struct Tree {
  Tree(int rootFd, std::string rootPath) : resolver(rootFd), root(std::move(rootPath)) {}

  // The status that FileAttributes saw last, kept for the step that usually
  // follows it on the same name (is it a directory? then delete the file):
  // that step then needs no query of its own.
  struct Look {
    bool valid = false;
    std::string name;
    struct stat status {};
  };

  // The look at `name`, taken: true and `status` filled when the last
  // attribute query was about this very name.
  bool TakeLook(std::string_view name, struct stat& status) {
    const bool fresh = look.valid && look.name == name;
    look.valid = false;
    if (fresh) status = look.status;
    return fresh;
  }

  // The mount the root is on, asked for once (see IsMountPoint): its mount
  // ID where the kernel tells one, else its device.
  struct Mount {
    bool known = false;
    bool byMountId = false;
    uint64_t id = 0;
  };

  Resolver resolver;
  std::string root;  // the path it was opened with
  Look look;
  Mount rootMount;
  ClosingBatch closing;  // declared last: closes its files before the resolver goes
};

inline Tree& TreeOf(TreeHandle handle) { return *static_cast<Tree*>(handle); }

// Opens `path` as a tree root. The links on the way are followed, as the
// caller named them; the last name is followed only with `followLast` (a
// root that is a link is otherwise refused, kErrorPathNotFound). Paths of
// any length. nullptr with `error` set on failure.
Tree* OpenTreeAt(std::string_view path, bool followLast, uint32_t& error);

// A path split into a tree over its directory and its last name, for the
// services that take whole paths. A last name of "." or ".." (or none: "/")
// makes the whole path the tree, and the name empty.
class PathPlace {
 public:
  explicit PathPlace(std::string_view path);
  PathPlace(const PathPlace&) = delete;
  PathPlace& operator=(const PathPlace&) = delete;
  ~PathPlace() { delete tree_; }

  bool ok() const { return tree_ != nullptr; }
  uint32_t error() const { return error_; }
  Tree& tree() const { return *tree_; }
  const std::string& name() const { return name_; }

 private:
  Tree* tree_ = nullptr;
  std::string name_;
  uint32_t error_ = 0;
};

// The attribute word of an entry (Windows' meaning, derived): directory
// 0x10; a link 0x400 plus 0x10 when it leads to a directory, else 0x20;
// a regular file 0x20, plus read-only 0x01 when its owner may not write
// it; a named pipe, socket or device node 0x20 and 0x40; hidden 0x02 for
// a name that begins with ".".
uint32_t AttributeWord(mode_t mode, std::string_view name, bool linkToDirectory);

}  // namespace platform::posix
