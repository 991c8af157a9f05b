// SPDX-License-Identifier: MIT
// Texts a plug-in writes into host buffers are bytes of unknown encoding, cut at an unknown
// place. The host shows them as UTF-8 that a terminal or a JSON reader can take as it is.
#pragma once

#include <cstddef>
#include <string>

namespace plughost {

// The length of the well-formed UTF-8 sequence that starts at `bytes` and fits in `left` bytes
// (1 to 4; ASCII is 1), or 0 if there is none: overlong forms, surrogates and code points
// beyond U+10FFFF are not well-formed.
size_t utf8SequenceLength(const unsigned char* bytes, size_t left);

// The text in the first `size` bytes of `buffer`: up to its first NUL, or all of them if there
// is none. Valid UTF-8 is kept; control characters (C0, DEL and C1), each byte that is not part
// of a valid UTF-8 sequence (overlong forms, surrogates, beyond U+10FFFF, cut short) come out as
// "\xNN" per byte. Never reads past `size`.
std::string pluginText(const char* buffer, size_t size);

} // namespace plughost
