#include "control/printable.h"

#include <algorithm>

namespace whorlgen::control {

namespace {

constexpr std::string_view kEllipsis = "\u2026";

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t CharacterCount(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text)
    count += IsContinuationByte(c) ? 0 : 1;
  return count;
}

// Characters [from, to) of the text, control characters as blanks.
void AppendCharacters(std::string& out, std::string_view text, std::size_t from, std::size_t to) {
  std::size_t index = 0;
  for (std::size_t start = 0; start < text.size() && index < to; ++index) {
    std::size_t end = start + 1;
    while (end < text.size() && IsContinuationByte(text[end]))
      ++end;
    if (index >= from) {
      const auto first = static_cast<unsigned char>(text[start]);
      if (first < 0x20 || first == 0x7F)
        out += ' ';
      else
        out += text.substr(start, end - start);
    }
    start = end;
  }
}

}  // namespace

std::string Printable(std::string_view text, std::size_t maxChars) {
  const std::size_t count = CharacterCount(text);
  std::string shown;
  if (count <= maxChars || maxChars < 2) {
    AppendCharacters(shown, text, 0, std::min(count, maxChars));
    return shown;
  }
  const std::size_t tail = (maxChars - 1) / 2;
  const std::size_t head = maxChars - 1 - tail;
  AppendCharacters(shown, text, 0, head);
  shown += kEllipsis;
  AppendCharacters(shown, text, count - tail, count);
  return shown;
}

}  // namespace whorlgen::control
