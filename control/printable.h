#pragma once
// Text from a file or the wire, made fit to show: control characters (line
// breaks included) become blanks, and a long text keeps its beginning and
// end around an ellipsis, so no name in a damaged preset or a stray packet
// can make a message box taller or wider than the screen.

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/shown_text.h"

namespace whorlgen::control {

inline constexpr std::size_t kShownNameChars = 60;
inline constexpr std::size_t kShownMessageChars = 400;

// At most maxChars characters (counting a UTF-8 sequence as one), cut in
// the middle.
inline std::string Printable(std::string_view text, std::size_t maxChars) {
  return engine::ShownText(text, maxChars, engine::TextCut::Middle);
}

}  // namespace whorlgen::control
