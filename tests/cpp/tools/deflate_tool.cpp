// Runs the deflate back end on stdin for tests written in other languages:
//   deflate_tool compress          raw DEFLATE of stdin
//   deflate_tool inflate [KEEP]    stdin inflated (the first KEEP bytes kept);
//                                  the total decoded length goes to stderr
//   deflate_tool zlib-version      the zlib this program is linked with
// A failure prints its text to stderr and exits with status 1.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "src/deflate.hpp"

namespace {

std::vector<uint8_t> read_stdin() {
  std::vector<uint8_t> bytes;
  char buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  return bytes;
}

void write_stdout(const std::vector<uint8_t>& bytes) {
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

int usage() {
  std::fprintf(stderr, "usage: deflate_tool compress | inflate [KEEP] | zlib-version\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "zlib-version") {
    std::printf("%s\n", zlibVersion());
    return 0;
  }
  if (command == "compress" && argc == 2) {
    auto result = vdx::deflate_compress(read_stdin());
    if (!result.ok()) {
      std::fprintf(stderr, "%s\n", result.error().c_str());
      return 1;
    }
    write_stdout(result.value());
    return 0;
  }
  if (command == "inflate" && argc <= 3) {
    const size_t keep = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : SIZE_MAX;
    auto result = vdx::deflate_decompress(read_stdin(), keep);
    if (!result.ok()) {
      std::fprintf(stderr, "%s\n", result.error().c_str());
      return 1;
    }
    write_stdout(result.value().bytes);
    std::fprintf(stderr, "%llu\n", static_cast<unsigned long long>(result.value().total_length));
    return 0;
  }
  return usage();
}
