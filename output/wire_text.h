#pragma once
// Text that arrives from a device (a host name in a scan answer, a name read
// over USB) before it is shown: nothing in it may hide, reorder or restyle
// what is around it.

#include <cstddef>
#include <string>
#include <string_view>

namespace whorlgen::output {

// `raw` as UTF-8 fit to show: invalid bytes become U+FFFD; control
// characters (C0, DEL, C1), line and paragraph separators and the
// bidirectional formatting marks (embeddings, overrides, isolates, the
// direction marks) are removed; blanks at either end are trimmed; at most
// `maxCharacters` characters are kept, the last of them "…" when it was cut.
std::string ShowableText(std::string_view raw, std::size_t maxCharacters);

}  // namespace whorlgen::output
