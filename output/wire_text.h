#pragma once
// Text that arrives from a device (a unit's name, a server's reason) before
// it goes into a message for the operator: only printable characters are
// kept, so a unit cannot move the cursor, ring the bell, reverse the reading
// order of the message around its name or hide part of it.

#include <cstddef>
#include <string>
#include <string_view>

namespace whorlgen::output {

// `raw` as UTF-8 without C0 and C1 control characters, DEL, the Unicode
// bidirectional controls and marks, and malformed sequences (each becomes
// U+FFFD); at most `maxChars` characters are kept.
std::string PrintableText(std::string_view raw, std::size_t maxChars = 64);

}  // namespace whorlgen::output
