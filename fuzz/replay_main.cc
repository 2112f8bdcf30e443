// Runs a fuzz target over saved inputs without libFuzzer, so that any compiler
// and any sanitizer build can replay the corpus and the inputs that once
// failed as an ordinary test.
//   replay_<target> DIR|FILE...
// Every regular file below each directory is one input. A crash or a sanitizer
// finding ends the process as it would under libFuzzer; exits 1 when an
// argument cannot be read or when no input was found at all.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool collect(const fs::path& root, std::vector<fs::path>& inputs) {
  std::error_code error;
  if (fs::is_regular_file(root, error)) {
    inputs.push_back(root);
    return true;
  }
  if (!fs::is_directory(root, error)) return false;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error)) inputs.push_back(it->path());
  }
  return !error;
}

bool replay(const fs::path& input) {
  std::ifstream in(input, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  if (in.bad()) return false;
  // A buffer of exactly the input's size, so that a read past its end is
  // caught by AddressSanitizer as it is under libFuzzer.
  auto data = std::make_unique<std::uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), data.get());
  LLVMFuzzerTestOneInput(data.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!collect(argv[i], inputs)) {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& input : inputs) {
    // Named first, so that the input that crashes is the last one printed.
    std::fprintf(stderr, "replay: %s\n", input.c_str());
    if (!replay(input)) {
      std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
      return 1;
    }
  }
  std::printf("replay: %zu inputs\n", inputs.size());
  return 0;
}
