// The bytes of a PDF file as they go out: numbered objects whose offsets are kept for the
// cross-reference table, streams compressed with deflate, and the numbers and strings of the
// syntax. Everything is passed on to the sink as soon as it is complete; only the offsets stay.
#pragma once

#include "platform/portable/gdi32/printer_device.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

struct libdeflate_compressor;

namespace zvp {

// Numbers as PDF writes them: integers, and reals with at most `decimals` places, trailing zeros
// dropped ("0.12", "83.333333", "-1").
void append_int(std::string& out, long value);
// Integers separated by spaces ("0 0 4960 7015"), as operands are written.
void append_ints(std::string& out, std::initializer_list<long> values);
// An indirect reference to object `number`: "N 0 R".
void append_ref(std::string& out, int number);
void append_real(std::string& out, double value, int decimals = 6);
// The value a reader gets back from what append_real wrote.
double written_real(double value, int decimals = 6);

// A literal string: parentheses and backslashes escaped, carriage return and line feed as \r
// and \n (a reader would turn a raw CR into LF), every other byte as it is.
void append_literal(std::string& out, std::string_view bytes);
// One byte of a literal string, escaped so.
inline void append_literal_byte(std::string& out, char c) {
    switch (c) {
    case '(':
    case ')':
    case '\\':
        out += '\\';
        out += c;
        break;
    case '\r': out += "\\r"; break;
    case '\n': out += "\\n"; break;
    default: out += c;
    }
}
// Text for a reader (document info): plain ASCII as a literal, anything else as UTF-16BE with its
// byte-order mark. `text` is UTF-8; bytes that are not are read as `fallback` (a code page table).
void append_text_string(std::string& out, std::string_view text,
                        const std::array<char32_t, 256>& fallback);

// Deflate (RFC 1950 zlib format, as /FlateDecode wants), one compressor for the whole document.
class Deflater {
  public:
    explicit Deflater(int level);
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    // `data` compressed into `out` (replacing what it held); false only when memory runs out.
    bool compress(std::string_view data, std::string& out);

  private:
    libdeflate_compressor* compressor_ = nullptr;
};

class PdfOutput {
  public:
    // The deflate level of every stream: chosen by measurement (see bench/README.md).
    static constexpr int kDeflateLevel = 3;

    explicit PdfOutput(PdfSink& sink);

    // Starts the file; object numbers 1.. are handed out from here on.
    void begin(std::string_view version);
    int new_object();
    // "N 0 obj" with the object's offset recorded; close it with end_object.
    std::string& begin_object(int number);
    void end_object();
    // A whole stream object: `dictionary` holds the entries besides /Length and /Filter.
    void stream_object(int number, std::string_view dictionary, std::string_view data,
                       bool compress = true);
    // The cross-reference table and the trailer; the file is then complete. Fails when an object
    // handed out was never written (problem() says which).
    void end(int root, int info, std::string_view id);

    // Hands what is written so far to the sink. False once any write has failed.
    bool flush();
    bool failed() const { return failed_; }
    // Why the file failed when no write did ("" otherwise).
    const std::string& problem() const { return problem_; }
    // Bytes of the streams written so far, as they are in the file.
    uint64_t compressed_bytes() const { return compressed_; }

  private:
    uint64_t offset() const { return flushed_ + pending_.size(); }

    PdfSink& sink_;
    std::string pending_;
    uint64_t flushed_ = 0;
    bool failed_ = false;
    std::string problem_;
    std::vector<uint64_t> offsets_{0}; // by object number; 0 is the free list's head
    Deflater deflater_{kDeflateLevel};
    std::string packed_;
    uint64_t compressed_ = 0;
};

} // namespace zvp
