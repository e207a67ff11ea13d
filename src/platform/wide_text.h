// Names move between the UTF-8 used everywhere inside qmr and the UTF-16 of
// Windows' wide calls. Windows names are any sequence of 16-bit units, unpaired
// surrogates included, so the 8-bit form encodes those too (as WTF-8 does) and
// every name survives the round trip exactly. Pure text rules, no OS calls.
#pragma once

#include <string>
#include <string_view>

namespace qmr {

// UTF-16 (surrogate pairs joined, lone surrogates kept) to UTF-8.
std::string narrow_utf16(std::u16string_view wide);

// UTF-8 back to UTF-16. A byte that begins no valid sequence stands for
// itself as one unit (U+0080..U+00FF), so nothing is ever dropped.
std::u16string widen_utf8(std::string_view text);

}  // namespace qmr
