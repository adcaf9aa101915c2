// %NAME% expansion against the plain loop it is stated as: find the first
// "%", take the name up to the next "%", replace the first occurrence of
// "%name%" with the value; stop at an unpaired "%" or at the limits.
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "prims/expand.h"
#include "prims/text.h"

namespace {

std::string Reference(std::string path) {
  size_t references = 0, valueBytes = 0;
  while (path.find('%') != std::string::npos) {
    const size_t p = path.find('%');
    const size_t q = path.find('%', p + 1);
    if (q == std::string::npos) break;
    if (references == kExpansionReferenceLimit || valueBytes > kExpansionValueLimit) break;
    const std::string name = path.substr(p + 1, q - p - 1);
    const std::string value = ReadEnvVar(name);
    path = ReplaceText(path, "%" + name + "%", value, 0, WindowsConventions());
    ++references;
    valueBytes += value.size();
  }
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("A", "1", 1);
  setenv("B", "%A%", 1);
  setenv("C", "x%", 1);
  setenv("D", "%", 1);
  setenv("PCT", "%%", 1);
  setenv("SELF", "%SELF%", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2000) return 0;
  const std::string path(reinterpret_cast<const char*>(data), size);
  if (path.find('\0') != std::string::npos) return 0;  // environment names hold no NUL
  FUZZ_CHECK(ExpandEnvRefs(path) == Reference(path));
  return 0;
}
