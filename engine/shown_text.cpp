#include "engine/shown_text.h"

#include <cstdint>
#include <vector>

namespace whorlgen::engine {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The next code point of `text` from `at`, which moves past it; malformed
// or overlong sequences and surrogates give U+FFFD for their first byte.
char32_t NextCodePoint(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  std::size_t length = 0;
  char32_t value = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, least = 0x10000;
  }
  if (length == 0 || at + length > text.size()) {
    ++at;
    return kReplacement;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) {
      ++at;
      return kReplacement;
    }
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++at;
    return kReplacement;
  }
  at += length;
  return value;
}

// Characters that move the cursor, ring, or start a new line: shown as a blank.
bool Control(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// Marks that reorder the text around them: left out.
bool Bidirectional(char32_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string ShownText(std::string_view raw, std::size_t maxChars, TextCut cut) {
  std::vector<char32_t> kept;
  for (std::size_t at = 0; at < raw.size();) {
    char32_t c = NextCodePoint(raw, at);
    if (Bidirectional(c))
      continue;
    if (Control(c))
      c = U' ';
    if (c == U' ' && (kept.empty() || kept.back() == U' '))
      continue;  // one blank for a run, none in front
    kept.push_back(c);
  }
  if (!kept.empty() && kept.back() == U' ')
    kept.pop_back();
  std::string out;
  if (kept.size() <= maxChars) {
    for (char32_t c : kept)
      AppendUtf8(out, c);
    return out;
  }
  if (maxChars == 0)
    return out;
  // The ellipsis takes one of the characters allowed.
  const std::size_t shown = maxChars - 1;
  const std::size_t head = cut == TextCut::End ? shown : (shown + 1) / 2;
  const std::size_t tail = shown - head;
  for (std::size_t i = 0; i < head; ++i)
    AppendUtf8(out, kept[i]);
  AppendUtf8(out, U'\u2026');
  for (std::size_t i = kept.size() - tail; i < kept.size(); ++i)
    AppendUtf8(out, kept[i]);
  return out;
}

}  // namespace whorlgen::engine
