// UTF-8 <-> UTF-16, for everything of the emulation that turns the
// platform's wide strings into host text and back (registry files, library
// names, tool and test output).
#pragma once

#include <string>
#include <string_view>

namespace cehost {

// Lenient: what does not convert becomes U+FFFD (an unpaired surrogate, or
// each byte of a malformed UTF-8 sequence).
std::u16string Utf16(std::string_view utf8);
std::string Utf8(std::u16string_view utf16);

// Strict: false on a malformed sequence, an overlong form, a surrogate or a
// code point above U+10FFFF (`out` then holds what came before).
bool DecodeUtf8(std::string_view in, std::u16string* out);
// Converts all of `in`; false when it held an unpaired surrogate (written as
// U+FFFD).
bool EncodeUtf8(std::u16string_view in, std::string* out);

}  // namespace cehost
