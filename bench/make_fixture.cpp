// Builds the benchmark inputs quickly (a million files in seconds, where a
// shell loop would take minutes).
//   make_fixture tree N DIR    N files of 1 KiB in 10 x 100 directories (T shape)
//   make_fixture flat N DIR    N files of 1 KiB in DIR, alternately *.txt and *.dat
//   make_fixture nm N DIR      about N files in a node_modules-like tree,
//                              depth 8 to 15, about 5 files per directory
//   make_fixture big N DIR     N files of 256 MiB
//   make_fixture deep N DIR    a chain of N nested directories, a file in each
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

void Fail(const std::string& what) {
  std::perror(what.c_str());
  std::exit(1);
}

void MakeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) Fail(path);
}

void WriteFile(const std::string& path, const char* data, size_t size, size_t repeat = 1) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) Fail(path);
  for (size_t i = 0; i < repeat; ++i) {
    if (write(fd, data, size) != static_cast<ssize_t>(size)) Fail(path);
  }
  close(fd);
}

const std::string& Kilobyte() {
  static const std::string data(1024, 'x');
  return data;
}

void Tree(size_t files, const std::string& root) {
  MakeDir(root);
  const size_t perDirectory = std::max<size_t>(1, files / 1000);
  size_t made = 0;
  for (int a = 0; a < 10 && made < files; ++a) {
    const std::string top = root + "/a" + std::to_string(a);
    MakeDir(top);
    for (int b = 0; b < 100 && made < files; ++b) {
      const std::string dir = top + "/b" + std::to_string(b);
      MakeDir(dir);
      for (size_t f = 0; f < perDirectory && made < files; ++f, ++made) {
        WriteFile(dir + "/f" + std::to_string(f) + ".txt", Kilobyte().data(), 1024);
      }
    }
  }
}

void Flat(size_t files, const std::string& root) {
  MakeDir(root);
  for (size_t i = 0; i < files; ++i) {
    WriteFile(root + "/f" + std::to_string(i) + (i % 2 ? ".dat" : ".txt"), Kilobyte().data(), 1024);
  }
}

// Packages hold a few files and nested packages; each chain of nesting
// goes 8 to 15 levels down, as dependency trees do.
void NodeModules(size_t files, const std::string& root) {
  MakeDir(root);
  std::mt19937 random(42);
  size_t made = 0;
  for (int package = 0; made < files; ++package) {
    std::string dir = root + "/pkg" + std::to_string(package);
    const int depth = 8 + static_cast<int>(random() % 8);
    for (int level = 0; level < depth && made < files; ++level) {
      MakeDir(dir);
      for (int f = 0; f < 5 && made < files; ++f, ++made) {
        static const char* names[] = {"index.js", "package.json", "README.md", "LICENSE", "util.js"};
        WriteFile(dir + "/" + names[f], Kilobyte().data(), 200 + random() % 824);
      }
      dir += level % 2 ? "/lib" : "/node_modules";
    }
  }
}

void Big(size_t files, const std::string& root) {
  MakeDir(root);
  std::vector<char> chunk(1 << 20);
  std::mt19937 random(7);
  for (char& ch : chunk) ch = static_cast<char>(random());
  for (size_t i = 0; i < files; ++i) {
    WriteFile(root + "/big" + std::to_string(i) + ".bin", chunk.data(), chunk.size(), 256);
  }
}

void Deep(size_t levels, const std::string& root) {
  MakeDir(root);
  // Relative steps keep each name short, however deep the chain goes.
  int dir = open(root.c_str(), O_DIRECTORY);
  for (size_t i = 0; i < levels; ++i) {
    if (mkdirat(dir, "d", 0777) != 0) Fail("mkdirat");
    int next = openat(dir, "d", O_DIRECTORY);
    close(dir);
    dir = next;
    int fd = openat(dir, "f.txt", O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 || write(fd, Kilobyte().data(), 1024) != 1024) Fail("deep file");
    close(fd);
  }
  close(dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_fixture tree|flat|nm|big|deep N DIR\n");
    return 2;
  }
  const std::string shape = argv[1];
  const size_t n = std::strtoull(argv[2], nullptr, 10);
  const std::string root = argv[3];
  if (shape == "tree") Tree(n, root);
  else if (shape == "flat") Flat(n, root);
  else if (shape == "nm") NodeModules(n, root);
  else if (shape == "big") Big(n, root);
  else if (shape == "deep") Deep(n, root);
  else return 2;
  return 0;
}
