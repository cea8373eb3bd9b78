// The single-byte code pages that font character sets select, as Unicode.
#pragma once

#include <array>
#include <string>

namespace zvp {

// Code page of a LOGFONTA character set: 238 -> 1250, 204 -> 1251, everything else -> 1252.
int code_page_for_charset(int charset);

// Unicode of every byte of a code page. Bytes the code page leaves undefined keep their own value
// (the C1 controls U+0080..U+009F and so on), as the platform's tables do.
const std::array<char32_t, 256>& code_page_table(int code_page);

// Bytes of a code page as UTF-8.
std::string to_utf8(const std::string& bytes, int code_page);

} // namespace zvp
