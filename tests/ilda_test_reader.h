#pragma once
// Walks an ILDA file section by section, as another program reading it would:
// header to header by record count until the end section, which must close
// the file. The status byte of every record is checked on the way.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace whorlgen {

struct IldaSection {
  std::size_t offset;
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
inline std::vector<IldaSection> IldaSections(const std::vector<unsigned char>& bytes) {
  std::vector<IldaSection> sections;
  std::size_t at = 0;
  for (;;) {
    if (at + 32 > bytes.size() || std::memcmp(&bytes[at], "ILDA", 4) != 0) {
      ADD_FAILURE() << "no section header at offset " << at;
      return sections;
    }
    const unsigned char* h = &bytes[at];
    const IldaSection s{at, h[7], h[24] * 256 + h[25], h[26] * 256 + h[27], h[28] * 256 + h[29]};
    sections.push_back(s);
    if (s.records == 0) {
      EXPECT_EQ(at + 32, bytes.size()) << "bytes after the end section";
      return sections;
    }
    EXPECT_EQ(s.format, 5) << "section at " << at;
    for (std::size_t i = 0; i < static_cast<std::size_t>(s.records); ++i) {
      const std::size_t status = at + 32 + i * 8 + 4;
      if (status >= bytes.size())
        break;
      if (bytes[status] != (i + 1 == static_cast<std::size_t>(s.records) ? 0x80 : 0x00)) {
        ADD_FAILURE() << "status of record " << i << " of the section at " << at;
        break;
      }
    }
    at += 32 + 8 * static_cast<std::size_t>(s.records);
  }
}

inline std::vector<IldaSection> IldaSections(const std::filesystem::path& path) {
  return IldaSections(ReadWholeFile(path));
}

}  // namespace whorlgen
