#include "platform/portable/gdi32/pdf/pdf_output.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <libdeflate.h>

namespace zvp {

namespace {

// Flushed to the sink at this size even within a page, so a page of any size needs no more.
constexpr size_t kFlushAt = 64 * 1024;

char* format_real(char* first, char* last, double value, int decimals) {
    auto [end, ec] = std::to_chars(first, last, value, std::chars_format::fixed, decimals);
    if (ec != std::errc())
        return first;
    char* dot = std::find(first, end, '.');
    if (dot != end) {
        while (end[-1] == '0')
            --end;
        if (end[-1] == '.')
            --end;
    }
    if (end - first == 2 && first[0] == '-' && first[1] == '0')
        first[0] = '0', end = first + 1;
    return end;
}

void append_utf16be(std::string& out, char32_t c) {
    auto unit = [&](unsigned u) {
        static const char hex[] = "0123456789ABCDEF";
        for (int shift = 12; shift >= 0; shift -= 4)
            out += hex[(u >> shift) & 0xF];
    };
    if (c >= 0x10000) {
        c -= 0x10000;
        unit(0xD800 + (c >> 10));
        unit(0xDC00 + (c & 0x3FF));
    } else {
        unit(c);
    }
}

// The next character of UTF-8 text, or 0xFFFFFFFF where the bytes are not UTF-8.
char32_t next_utf8(std::string_view s, size_t& i) {
    auto b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= s.size())
        return 0xFFFFFFFF;
    char32_t c = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        auto t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80)
            return 0xFFFFFFFF;
        c = (c << 6) | (t & 0x3F);
    }
    static const char32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (c < least[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
        return 0xFFFFFFFF;
    i += extra + 1;
    return c;
}

} // namespace

void append_int(std::string& out, long value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, end);
}

void append_ints(std::string& out, std::initializer_list<long> values) {
    bool first = true;
    for (long v : values) {
        if (!first)
            out += ' ';
        append_int(out, v);
        first = false;
    }
}

void append_ref(std::string& out, int number) {
    append_int(out, number);
    out += " 0 R";
}

void append_real(std::string& out, double value, int decimals) {
    char buffer[64];
    out.append(buffer, format_real(buffer, buffer + sizeof buffer, value, decimals));
}

double written_real(double value, int decimals) {
    char buffer[64];
    char* end = format_real(buffer, buffer + sizeof buffer, value, decimals);
    double back = 0;
    std::from_chars(buffer, end, back);
    return back;
}

void append_literal(std::string& out, std::string_view bytes) {
    out += '(';
    for (char c : bytes)
        append_literal_byte(out, c);
    out += ')';
}

void append_text_string(std::string& out, std::string_view text,
                        const std::array<char32_t, 256>& fallback) {
    bool ascii = true;
    for (char c : text)
        ascii =
            ascii && static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
    if (ascii) {
        append_literal(out, text);
        return;
    }
    out += "<FEFF";
    for (size_t i = 0; i < text.size();) {
        char32_t c = next_utf8(text, i);
        if (c == 0xFFFFFFFF)
            c = fallback[static_cast<unsigned char>(text[i++])];
        append_utf16be(out, c);
    }
    out += '>';
}

Deflater::Deflater(int level) : compressor_(libdeflate_alloc_compressor(level)) {}

Deflater::~Deflater() {
    if (compressor_)
        libdeflate_free_compressor(compressor_);
}

bool Deflater::compress(std::string_view data, std::string& out) {
    if (!compressor_)
        return false;
    out.resize(libdeflate_zlib_compress_bound(compressor_, data.size()));
    size_t n =
        libdeflate_zlib_compress(compressor_, data.data(), data.size(), out.data(), out.size());
    out.resize(n);
    return n > 0;
}

PdfOutput::PdfOutput(PdfSink& sink) : sink_(sink) {
    pending_.reserve(kFlushAt * 2);
}

void PdfOutput::begin(std::string_view version) {
    pending_.clear();
    flushed_ = 0;
    failed_ = false;
    offsets_.assign(1, 0);
    compressed_ = 0;
    pending_ += "%PDF-";
    pending_ += version;
    // Bytes above 127 on the second line tell transfer programs that the file is binary.
    pending_ += "\n%\xE2\xE3\xCF\xD3\n";
}

int PdfOutput::new_object() {
    offsets_.push_back(0);
    return static_cast<int>(offsets_.size() - 1);
}

std::string& PdfOutput::begin_object(int number) {
    offsets_[number] = offset();
    append_int(pending_, number);
    pending_ += " 0 obj\n";
    return pending_;
}

void PdfOutput::end_object() {
    pending_ += "\nendobj\n";
    if (pending_.size() >= kFlushAt)
        flush();
}

void PdfOutput::stream_object(int number, std::string_view dictionary, std::string_view data,
                              bool compress) {
    if (compress && !deflater_.compress(data, packed_))
        compress = false;
    std::string_view body = compress ? std::string_view(packed_) : data;
    compressed_ += body.size();
    std::string& out = begin_object(number);
    out += "<< /Length ";
    append_int(out, static_cast<long>(body.size()));
    if (compress)
        out += " /Filter /FlateDecode";
    out += dictionary;
    out += " >>\nstream\n";
    if (pending_.size() + body.size() > kFlushAt && flush() && body.size() > kFlushAt) {
        // A large stream goes straight to the sink rather than through the pending bytes.
        flushed_ += body.size();
        if (!failed_ &&
            !sink_.write(reinterpret_cast<const unsigned char*>(body.data()), body.size()))
            failed_ = true;
    } else {
        pending_.append(body);
    }
    pending_ += "\nendstream";
    end_object();
}

void PdfOutput::end(int root, int info, std::string_view id) {
    // An object numbered but never written would leave the reader a cross-reference to nothing.
    for (size_t n = 1; n < offsets_.size(); ++n) {
        if (offsets_[n] == 0) {
            problem_ = "object " + std::to_string(n) + " of the PDF file was never written";
            failed_ = true;
            return;
        }
    }
    uint64_t xref = offset();
    pending_ += "xref\n0 ";
    append_int(pending_, static_cast<long>(offsets_.size()));
    pending_ += "\n0000000000 65535 f \n";
    char entry[32];
    for (size_t n = 1; n < offsets_.size(); ++n) {
        std::snprintf(entry, sizeof entry, "%010llu 00000 n \n",
                      static_cast<unsigned long long>(offsets_[n]));
        pending_ += entry;
        if (pending_.size() >= kFlushAt)
            flush();
    }
    pending_ += "trailer\n<< /Size ";
    append_int(pending_, static_cast<long>(offsets_.size()));
    pending_ += " /Root ";
    append_ref(pending_, root);
    pending_ += " /Info ";
    append_ref(pending_, info);
    pending_ += " /ID [<";
    pending_ += id;
    pending_ += "> <";
    pending_ += id;
    pending_ += ">] >>\nstartxref\n";
    append_int(pending_, static_cast<long>(xref));
    pending_ += "\n%%EOF\n";
    flush();
}

bool PdfOutput::flush() {
    if (!failed_ && !pending_.empty() &&
        !sink_.write(reinterpret_cast<const unsigned char*>(pending_.data()), pending_.size()))
        failed_ = true;
    flushed_ += pending_.size();
    pending_.clear();
    return !failed_;
}

} // namespace zvp
