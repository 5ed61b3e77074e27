// Reader for the reference vectors in tests/data/*.vec (see json_to_vec.py).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vdx::testing {

using VectorRecord = std::map<std::string, std::vector<std::string>>;

inline std::vector<VectorRecord> load_vectors(const std::string& name) {
  std::ifstream in(std::string(VERDALIX_TEST_DATA_DIR) + "/" + name + ".vec");
  if (!in) throw std::runtime_error("missing test vectors " + name);
  std::vector<VectorRecord> records(1);
  std::string line;
  while (std::getline(in, line)) {
    if (line == "%%") {
      records.emplace_back();
      continue;
    }
    std::vector<std::string> tokens;
    size_t pos = 0;
    while (pos < line.size()) {
      size_t end = line.find(' ', pos);
      if (end == std::string::npos) end = line.size();
      tokens.push_back(line.substr(pos, end - pos));
      pos = end + 1;
    }
    if (tokens.empty()) continue;
    std::string key = tokens.front();
    tokens.erase(tokens.begin());
    records.back()[key] = tokens;
  }
  records.pop_back();  // the one opened after the final %%
  return records;
}

inline std::vector<uint8_t> hex_bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  if (hex == "-") return out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::vector<float> hex_floats(const std::string& hex) {
  std::vector<uint8_t> bytes = hex_bytes(hex);
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

inline std::vector<int16_t> hex_int16s(const std::string& hex) {
  std::vector<uint8_t> bytes = hex_bytes(hex);
  std::vector<int16_t> out(bytes.size() / 2);
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

inline std::vector<uint32_t> float_bits(const std::vector<float>& values) {
  std::vector<uint32_t> out;
  for (float v : values) out.push_back(std::bit_cast<uint32_t>(v));
  return out;
}

}  // namespace vdx::testing
