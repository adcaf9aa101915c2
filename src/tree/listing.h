// Listing a directory tree into one flat list of paths, and the list
// transformations that copy, move and delete apply to it: duplicate removal,
// ordering by depth and removal of the source prefix. Every one is linear or
// n log n in the number of entries, and none depends on the tree's depth.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/conventions.h"
#include "platform/platform.h"

// An ordered list of paths (duplicates allowed, order meaningful). A path is
// held as a name in a directory: a listed entry is its directory's entry and
// a name, so that a listed tree of any depth takes memory linear in its
// number of entries (whole paths would take the square of its depth for a
// chain of directories). A path given whole (push_back) is held whole.
class TPathList {
 public:
  // An entry of the list's storage: a path given whole, a listed root (a
  // directory whose entries are listed below it, not itself in the list),
  // or a name below another entry.
  using Node = uint32_t;
  static constexpr Node kNoNode = UINT32_MAX;

  TPathList() = default;
  TPathList(std::initializer_list<std::string> paths);

  size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }
  void clear();
  void reserve(size_t entries);
  void swap(TPathList& other) noexcept;

  // The path of the list's entry `i`, spelled anew on each call (its
  // directory's path, a separator and its name).
  std::string operator[](size_t i) const { return PathOf(order_[i]); }
  // Appends a path given whole.
  void push_back(std::string path);

  // The storage entry behind the list's entry `i`.
  Node NodeAt(size_t i) const { return order_[i]; }

  // Adds the listed root `root` (a directory path ending in a separator,
  // which its entries' names follow directly); it is not an entry of the
  // list itself.
  Node AddRoot(std::string root);
  // Adds the name `name` below the node `directory`; with `listed` it is
  // also appended to the list, otherwise it only holds names below it (a
  // directory that was entered but not listed).
  Node AddBelow(Node directory, std::string name, bool listed);

  Node ParentOf(Node node) const { return nodes_[node].parent; }
  const std::string& NameOf(Node node) const { return nodes_[node].name; }
  bool IsRoot(Node node) const { return nodes_[node].kind == static_cast<uint32_t>(Kind::kRoot); }
  // How many names lie between the node and its listed root (0 for a root
  // and for a path given whole).
  uint32_t LevelOf(Node node) const { return nodes_[node].level; }
  // The node's path: a listed name follows its directory's path and the
  // platform's separator (or directly a root's, which ends in one).
  std::string PathOf(Node node) const;
  // The number of storage entries; nodes are numbered from 0, each after
  // the directory it lies in.
  size_t NodeCount() const { return nodes_.size(); }

  // The same entries in another order, or some of them (positions into
  // this list); the storage is shared by copy, so that names never move.
  TPathList Reordered(const std::vector<uint32_t>& positions) const;
  // Keeps only the entries whose position `keep` marks, in order.
  void KeepOnly(const std::vector<char>& keep);
  // Puts the entries in the order `places` gives (entry i goes to place
  // places[i]), without copying a name.
  void Permute(std::vector<uint32_t> places);

  // Walks the paths in order, for range-for and the standard algorithms.
  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string;
    const_iterator(const TPathList* list, size_t at) : list_(list), at_(at) {}
    std::string operator*() const { return (*list_)[at_]; }
    const_iterator& operator++() {
      ++at_;
      return *this;
    }
    difference_type operator-(const const_iterator& other) const {
      return static_cast<difference_type>(at_) - static_cast<difference_type>(other.at_);
    }
    bool operator==(const const_iterator& other) const { return at_ == other.at_; }

   private:
    const TPathList* list_;
    size_t at_;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, order_.size()}; }

  // Equal paths in the same order.
  friend bool operator==(const TPathList& a, const TPathList& b);

 private:
  enum class Kind : uint32_t { kWhole, kRoot, kListed };
  struct Entry {
    Node parent;
    uint32_t level : 30;
    uint32_t kind : 2;  // a Kind
    std::string name;
  };
  std::vector<Entry> nodes_;
  std::vector<Node> order_;
};

// The program's one list of paths, shared by the tree operations.
extern TPathList PathList;

// Spells the paths of listed entries below their root (the names from the
// root down, joined by the separator, after a fixed beginning), one after
// another, keeping what the previous one shares with the next: a walk of a
// list in any order that keeps siblings together costs time linear in the
// list, however deep the tree. One per thread.
class RelativePaths {
 public:
  RelativePaths(const TPathList& list, std::string beginning, char separator);
  // The relative path of `node` (a listed entry), valid until the next call.
  const std::string& Of(TPathList::Node node);

 private:
  const TPathList& list_;
  size_t beginning_;
  char separator_;
  std::string text_;
  std::vector<TPathList::Node> chain_;  // the nodes text_ spells, root's child first
  std::vector<size_t> ends_;            // where each one's name ends in text_
  std::vector<TPathList::Node> climb_;  // scratch
};

// The directory part of `relative`, the relative path RelativePaths spelled
// for the listed entry `node`: what precedes its own name and separator.
std::string_view DirectoryOfEntry(const std::string& relative, TPathList::Node node);

// What a listing does at a directory where another file system is mounted:
// copies read through it; deletes and moves must never act on another file
// system than their tree's, and refuse the whole tree first.
enum class MountPoints { kEnter, kRefuse };

// Appends every entry below `dir` to PathList (which it does not clear) and
// returns it: a directory's entries (files and subdirectories mixed, in the
// platform's order) come first, then each subdirectory's own listing in the
// same order. Paths carry no trailing separator. A link is listed but never
// entered (nor is `dir` itself when it is a link), so the walk never leaves
// the tree or runs in a loop. A directory that cannot be read adds nothing.
TPathList& ListTree(const std::string& dir, uint32_t attributes);

// The same for a tree the caller has open, whose root is `dir`: every
// directory is read through `tree`, never through a link. With
// MountPoints::kRefuse a directory that is a mount point raises
// EInOutError naming it, before the listing goes on.
TPathList& ListTree(platform::TreeHandle tree, const std::string& dir, uint32_t attributes,
                    MountPoints mounts = MountPoints::kEnter);

// Refuses, with EInOutError, a name a directory search of `directory` (as
// the operation names it, ending in a separator) delivered that cannot
// name an entry (see platform::IsUsableEntryName), naming it.
[[noreturn]] void RaiseUnusableName(const std::string& directory, const std::string& name);

// Makes PathList a copy of `list` without duplicates: the first occurrence
// wins and the order stays. Paths compare after ASCII lower-casing where
// names fold case (Windows), exactly otherwise (POSIX).
void DistinctPaths(const TPathList& list);
TPathList DistinctPathList(const TPathList& list, const Conventions& c);

// For each entry of `list`, 1 when it is the first occurrence of its path.
std::vector<char> FirstOccurrences(const TPathList& list, const Conventions& c);

// The number of separators in `path` (trail bytes do not count).
size_t PathDepth(const std::string& path, const Conventions& c);

// A stable reordering by depth (of the path without trailing separator):
// shallowest first for mode 1, deepest first for any other mode.
TPathList OrderByDepth(const TPathList& list, unsigned char mode);
TPathList OrderByDepth(const TPathList& list, unsigned char mode, const Conventions& c);
// The same for a list that is given up: it is reordered where it stands.
TPathList OrderByDepth(TPathList&& list, unsigned char mode);

// Each entry with the first occurrence of `prefix` removed, found without
// regard to letter case; entries without it pass unchanged.
TPathList MakeRelative(const TPathList& list, const std::string& prefix);
TPathList MakeRelative(const TPathList& list, const std::string& prefix, const Conventions& c);
