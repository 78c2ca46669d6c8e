#pragma once
// Text that comes from outside the program (a unit's name off the wire, a
// name in a preset file, a server's reason) made fit to show: nothing in it
// may move the cursor, ring, break the line, reverse the reading order of
// what is around it, or make a message longer than the screen.

#include <cstddef>
#include <string>
#include <string_view>

namespace whorlgen::engine {

enum class TextCut {
  End,     // a name: its beginning tells it apart
  Middle,  // a path or a message: beginning and end both matter
};

// `raw` as UTF-8 fit to show: malformed sequences become U+FFFD; control
// characters (C0, DEL, C1) and line and paragraph separators become a
// blank, a run of blanks becomes one and blanks at either end go; the
// bidirectional marks (embeddings, overrides, isolates, direction marks)
// are left out. At most `maxChars` characters are kept, one of them "…"
// where the text was cut.
std::string ShownText(std::string_view raw, std::size_t maxChars, TextCut cut = TextCut::End);

}  // namespace whorlgen::engine
