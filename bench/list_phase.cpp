// The list phase of a tree copy, alone, on a real directory: listing,
// duplicate removal, depth ordering and relative names, exactly as the copy
// runs them. Run under callgrind to count instructions per entry.
//   list_phase DIR
#include <cstdio>
#include <string>

#include "tree/listing.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: list_phase DIR\n");
    return 2;
  }
  const std::string source = std::string(argv[1]) + "/";
  ListTree(source, 0x3F);
  DistinctPaths(PathList);
  PathList = OrderByDepth(std::move(PathList), 1);
  const TPathList relative = MakeRelative(PathList, source);
  std::printf("%zu\n", relative.size());
  return 0;
}
