#include "output/wire_text.h"

#include <cstdint>

namespace whorlgen::output {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the UTF-8 sequence at `at` and its code point; 0 when the
// bytes there are not a well-formed, shortest-form sequence.
std::size_t DecodeOne(std::string_view text, std::size_t at, char32_t& code) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  std::size_t length = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size())
    return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<std::uint8_t>(text[at + i]);
    if ((next & 0xC0) != 0x80)
      return 0;
    code = (code << 6) | (next & 0x3F);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (code < minimum || code > 0x10FFFF || surrogate)
    return 0;
  return length;
}

bool Unprintable(char32_t code) {
  const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
  // Marks and embeddings, overrides and isolates that reorder what follows.
  const bool bidi = code == 0x061C || code == 0x200E || code == 0x200F ||
                    (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
  const bool separator = code == 0x2028 || code == 0x2029;  // line breaks in disguise
  return control || bidi || separator;
}

}  // namespace

std::string PrintableText(std::string_view raw, std::size_t maxChars) {
  std::string clean;
  std::size_t kept = 0;
  for (std::size_t at = 0; at < raw.size() && kept < maxChars;) {
    char32_t code = 0;
    const std::size_t length = DecodeOne(raw, at, code);
    if (length == 0) {
      clean += kReplacement;
      ++kept;
      ++at;
      continue;
    }
    if (!Unprintable(code)) {
      clean.append(raw.substr(at, length));
      ++kept;
    }
    at += length;
  }
  return clean;
}

}  // namespace whorlgen::output
