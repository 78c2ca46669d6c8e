#pragma once
// Walks an ILDA file section by section, as another program reading it would.

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace whorlgen {

struct IldaSection {
  int format;
  int records;
  int frameNumber;
  int total;
};

inline std::vector<unsigned char> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every section up to and including the end section (record count 0).
inline std::vector<IldaSection> IldaSections(const std::filesystem::path& path) {
  const std::vector<unsigned char> bytes = ReadWholeFile(path);
  std::vector<IldaSection> sections;
  std::size_t at = 0;
  while (at + 32 <= bytes.size()) {
    const unsigned char* h = &bytes[at];
    const IldaSection s{h[7], h[24] * 256 + h[25], h[26] * 256 + h[27], h[28] * 256 + h[29]};
    sections.push_back(s);
    at += 32 + 8 * static_cast<std::size_t>(s.records);
    if (s.records == 0)
      break;
  }
  EXPECT_EQ(at, bytes.size()) << path << ": bytes after the end section, or a section cut short";
  return sections;
}

}  // namespace whorlgen
