// The PDF syntax writer: numbers, strings, deflate, and a file whose cross-reference table points
// at its objects however the bytes were flushed on the way.
#include "tests/job_helpers.h"

#include "platform/portable/gdi32/codepages.h"
#include "platform/portable/gdi32/pdf/pdf_output.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <random>
#include <regex>

namespace {

using zvp::append_real;

std::string real(double value, int decimals = 6) {
    std::string s;
    append_real(s, value, decimals);
    return s;
}

TEST(PdfOutput, NumbersAsPdfWritesThem) {
    std::string ints;
    zvp::append_ints(ints, {0, -5, 4960, 7015});
    EXPECT_EQ(ints, "0 -5 4960 7015");
    std::string ref;
    zvp::append_ref(ref, 12);
    EXPECT_EQ(ref, "12 0 R");

    EXPECT_EQ(real(0.12), "0.12");
    EXPECT_EQ(real(-0.12), "-0.12");
    EXPECT_EQ(real(100.0 / 3), "33.333333");
    EXPECT_EQ(real(-1), "-1");
    EXPECT_EQ(real(2.5, 3), "2.5");
    EXPECT_EQ(real(1e-9), "0");
    EXPECT_EQ(real(-1e-9), "0"); // never "-0"
    EXPECT_EQ(real(1229.0 / 2048 * 1000, 3), "600.098");
    // What a reader gets back is what the writer rounded to, so advances can be corrected for it.
    EXPECT_DOUBLE_EQ(zvp::written_real(100.0 / 3), 33.333333);
    EXPECT_DOUBLE_EQ(zvp::written_real(0.0416666666, 3), 0.042);
}

TEST(PdfOutput, StringsEscapedAndDocumentTextAsUtf16) {
    std::string literal;
    zvp::append_literal(literal, std::string("a(b)c\\d\r\n\x80\0z", 12));
    EXPECT_EQ(literal, std::string("(a\\(b\\)c\\\\d\\r\\n\x80\0z)", 19));

    const auto& cp1250 = zvp::code_page_table(1250);
    auto text = [&](std::string_view s) {
        std::string out;
        zvp::append_text_string(out, s, cp1250);
        return out;
    };
    EXPECT_EQ(text("ZV: Printing"), "(ZV: Printing)");
    EXPECT_EQ(text("(1)"), "(\\(1\\))");
    EXPECT_EQ(text("ł\xC4\x85k"), "<FEFF01420105006B>");   // UTF-8 "łąk"
    EXPECT_EQ(text("\xb3\xb9k"), "<FEFF01420105006B>");    // the same in code page 1250
    EXPECT_EQ(text("\xF0\x9F\x98\x80"), "<FEFFD83DDE00>"); // beyond the BMP: a pair
    EXPECT_EQ(text("a\xC5"), "<FEFF00610139>");            // cut short: code page 1250
    EXPECT_EQ(text("\xC0\x80"), "<FEFF015420AC>");         // overlong: not UTF-8
    EXPECT_EQ(text("\xED\xA0\x80"), "<FEFF00ED00A020AC>"); // a surrogate: not UTF-8
}

TEST(PdfOutput, DeflateRoundTrip) {
    std::mt19937 random(7);
    std::string data;
    for (int i = 0; i < 200000; ++i)
        data += i % 3 ? char('a' + random() % 4) : char(random());
    zvp::Deflater deflater(zvp::PdfOutput::kDeflateLevel);
    for (const std::string& input : {data, std::string()}) {
        std::string packed;
        ASSERT_TRUE(deflater.compress(input, packed));
        std::string back(input.size(), '\0');
        size_t size = 0;
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        EXPECT_EQ(libdeflate_zlib_decompress(d, packed.data(), packed.size(), back.data(),
                                             back.size(), &size),
                  LIBDEFLATE_SUCCESS);
        libdeflate_free_decompressor(d);
        back.resize(size);
        EXPECT_EQ(back, input);
    }
}

class StringSink : public zvp::PdfSink {
  public:
    bool open(const std::string&) override { return true; }
    bool write(const unsigned char* data, size_t size) override {
        if (fail_after_ >= 0 && writes_ >= fail_after_)
            return false;
        bytes.append(reinterpret_cast<const char*>(data), size);
        ++writes_;
        return true;
    }
    bool finish() override { return true; }
    void abort() override {}

    std::string bytes;
    int writes_ = 0, fail_after_ = -1;
};

// A file of small objects and large streams, some stored, some compressed, flushed at odd points.
void write_document(zvp::PdfOutput& out) {
    std::mt19937 random(11);
    out.begin("1.4");
    int catalog = out.new_object(), pages = out.new_object();
    std::vector<int> kids;
    for (int p = 0; p < 3; ++p) {
        int contents = out.new_object(), page = out.new_object();
        std::string stream = "q\n";
        for (int i = 0; i < 30000; ++i)
            stream += std::to_string(random() % 1000) + (i % 8 ? " " : " Td\n");
        stream += "Q\n";
        out.stream_object(contents, "", stream, p != 1);
        std::string& o = out.begin_object(page);
        o += "<< /Type /Page /Parent ";
        zvp::append_ref(o, pages);
        o += " /Contents ";
        zvp::append_ref(o, contents);
        o += " >>";
        out.end_object();
        kids.push_back(page);
        if (p == 0)
            out.flush();
    }
    std::string& o = out.begin_object(pages);
    o += "<< /Type /Pages /MediaBox [0 0 595 842] /Count 3 /Kids [";
    for (int k : kids) {
        zvp::append_ref(o, k);
        o += ' ';
    }
    o += "] >>";
    out.end_object();
    std::string& c = out.begin_object(catalog);
    c += "<< /Type /Catalog /Pages ";
    zvp::append_ref(c, pages);
    c += " >>";
    out.end_object();
    int info = out.new_object();
    out.begin_object(info) += "<< /Title (t) >>";
    out.end_object();
    out.end(catalog, info, "0123456789ABCDEF0123456789ABCDEF");
    out.flush();
}

TEST(PdfOutput, CrossReferencePointsAtEveryObject) {
    StringSink sink;
    zvp::PdfOutput out(sink);
    write_document(out);
    ASSERT_FALSE(out.failed());
    EXPECT_GT(sink.writes_, 3) << "large pages go out in pieces";

    const std::string& pdf = sink.bytes;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(pdf, m, std::regex("startxref\n(\\d+)\n%%EOF\n$")));
    size_t xref = std::stoul(m[1]);
    ASSERT_EQ(pdf.compare(xref, 7, "xref\n0 "), 0);
    size_t count = std::stoul(pdf.substr(xref + 7));
    ASSERT_EQ(count, 10u);
    size_t entries = pdf.find('\n', xref + 5) + 1 + 20; // past the free entry
    for (size_t n = 1; n < count; ++n) {
        size_t offset = std::stoul(pdf.substr(entries + (n - 1) * 20, 10));
        std::string head = std::to_string(n) + " 0 obj\n";
        EXPECT_EQ(pdf.compare(offset, head.size(), head), 0) << "object " << n;
    }

    zvtest::TempDir dir;
    dir.write("out.pdf", pdf);
    std::string check;
    EXPECT_EQ(zvtest::run_command("qpdf --check " + dir.file("out.pdf") + " 2>&1", &check), 0)
        << check;
}

TEST(PdfOutput, AnObjectNeverWrittenFailsTheFile) {
    StringSink sink;
    zvp::PdfOutput out(sink);
    out.begin("1.4");
    int catalog = out.new_object();
    out.new_object(); // numbered, never written
    out.begin_object(catalog) += "<< /Type /Catalog >>";
    out.end_object();
    out.end(catalog, catalog, "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_TRUE(out.failed());
    EXPECT_EQ(out.problem(), "object 2 of the PDF file was never written");
    out.flush();
    EXPECT_EQ(sink.bytes.find("xref"), std::string::npos) << "no cross-reference is written";
}

TEST(PdfOutput, AFailedWriteStaysFailed) {
    StringSink sink;
    sink.fail_after_ = 1;
    zvp::PdfOutput out(sink);
    write_document(out);
    EXPECT_TRUE(out.failed());
    EXPECT_FALSE(out.flush());
    EXPECT_EQ(sink.writes_, 1);
}

} // namespace
