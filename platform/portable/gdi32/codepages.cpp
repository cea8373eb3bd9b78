#include "platform/portable/gdi32/codepages.h"

#include <iconv.h>
#include <map>
#include <string>

namespace zvp {

int code_page_for_charset(int charset) {
    switch (charset) {
    case 238: return 1250;
    case 204: return 1251;
    default: return 1252;
    }
}

const std::array<char32_t, 256>& code_page_table(int code_page) {
    static std::map<int, std::array<char32_t, 256>> tables;
    auto found = tables.find(code_page);
    if (found != tables.end())
        return found->second;
    std::array<char32_t, 256> table;
    for (int b = 0; b < 256; ++b)
        table[b] = static_cast<char32_t>(b);
    std::string name = "CP" + std::to_string(code_page);
    iconv_t cd = iconv_open("UTF-32LE", name.c_str());
    if (cd != reinterpret_cast<iconv_t>(-1)) {
        for (int b = 0x80; b < 256; ++b) {
            char in = static_cast<char>(b);
            unsigned char out[4];
            char* inp = &in;
            char* outp = reinterpret_cast<char*>(out);
            size_t inleft = 1, outleft = sizeof out;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (iconv(cd, &inp, &inleft, &outp, &outleft) != static_cast<size_t>(-1) && !outleft)
                table[b] = out[0] | out[1] << 8 | out[2] << 16 | char32_t(out[3]) << 24;
        }
        iconv_close(cd);
    }
    return tables.emplace(code_page, table).first->second;
}

std::string to_utf8(const std::string& bytes, int code_page) {
    const auto& table = code_page_table(code_page);
    std::string out;
    for (unsigned char b : bytes) {
        char32_t c = table[b];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace zvp
