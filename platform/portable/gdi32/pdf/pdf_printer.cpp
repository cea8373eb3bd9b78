// A printer whose documents are PDF files, written as the pages end. The content streams work in
// device units (the page is scaled by 72/dpi and flipped so y runs down), and every glyph is
// placed at the integer position GDI gave it: a text run is one text object at its first
// character, with the character spacing set so that each advance is the run's device advance.
#include "platform/portable/gdi32/codepages.h"
#include "platform/portable/gdi32/dc.h"
#include "platform/portable/gdi32/freetype/freetype_fonts.h"
#include "platform/portable/gdi32/pdf/pdf_fonts.h"
#include "platform/portable/gdi32/pdf/pdf_output.h"
#include "platform/portable/gdi32/printer_device.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zvp {

namespace {

// The slant of a synthetic italic, as FreeType and Cairo make it: 12 degrees.

std::string points(double mm) {
    std::string s;
    append_real(s, mm / 25.4 * 72, 4);
    return s;
}

// The time a document is stamped with: SOURCE_DATE_EPOCH when set, so builds and tests can make
// identical files, or now.
std::time_t document_time() {
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
        char* end = nullptr;
        long long v = std::strtoll(epoch, &end, 10);
        if (*epoch && !*end && v >= 0)
            return static_cast<std::time_t>(v);
    }
    return std::time(nullptr);
}

void append_color(std::string& out, COLORREF c, const char* op) {
    for (int shift : {0, 8, 16}) {
        append_real(out, ((c >> shift) & 0xFF) / 255.0, 4);
        out += ' ';
    }
    out += op;
    out += '\n';
}

// What the content stream has set so far on this page, so each operator is written only when its
// value changes.
struct PageState {
    COLORREF color = 0; // fill and stroke; black is PDF's initial colour
    const DocumentFont* font = nullptr;
    int size = 0;
    double scale = 100; // Tz
    double spacing = 0; // Tc, as written
    int render = 0;     // Tr
    double line_width = 1;
    // The open text object: where its line matrix stands and where the last run left the pen
    // (both in device units).
    bool in_text = false, positioned = false;
    int line_x = 0, line_y = 0, pen_x = 0;
};

// A value as a reader gets it back from the content stream. Runs repeat the same few values, so
// the last one is remembered rather than formatted and parsed again for every run.
class WrittenReal {
  public:
    explicit WrittenReal(int decimals = 6) : decimals_(decimals) {}
    double operator()(double value) {
        if (value != value_) {
            value_ = value;
            written_ = written_real(value, decimals_);
        }
        return written_;
    }

  private:
    int decimals_;
    double value_ = std::nan(""), written_ = 0;
};

// An underline waiting for the text object to end (paths cannot be drawn in one).
struct Bar {
    COLORREF color;
    int x, y, width, height;
};

class PdfPrinter : public Device {
  public:
    PdfPrinter(const PageSetup& page, std::unique_ptr<PdfSink> sink)
        : page_(page), caps_(printer_caps(page)), sink_(std::move(sink)), out_(*sink_) {
        width_ = points(page.width_mm);
        height_ = points(page.height_mm);
        // The sink asks whatever abort procedure the device context has when it asks, set before
        // the document or after.
        sink_->keep_going = [this] { return !keep_going || keep_going(); };
    }

    const DeviceCaps& caps() const override { return caps_; }
    FontEngine& font_engine() override { return freetype_font_engine(); }

    int start_doc(const std::string& name) override {
        error_.clear();
        broken_ = false;
        if (doc_open_)
            abort_doc();
        if (!sink_->open(name)) {
            error_ = sink_error("cannot open the output");
            return SP_ERROR;
        }
        title_ = name;
        created_ = document_time();
        fonts_.clear();
        page_objects_.clear();
        out_.begin("1.4");
        catalog_ = out_.new_object();
        pages_ = out_.new_object();
        resources_ = out_.new_object();
        info_ = out_.new_object();
        doc_open_ = true;
        if (!out_.flush()) {
            fail("cannot write the document");
            abort_doc();
            return SP_ERROR;
        }
        return sink_->job_id() > 0 ? sink_->job_id() : 1;
    }

    int start_page() override {
        if (!doc_open_ || out_.failed() || broken_)
            return SP_ERROR;
        content_.clear();
        state_ = PageState{};
        content_ += "q\n";
        append_real(content_, 72.0 / page_.dpi, 10);
        content_ += " 0 0 ";
        append_real(content_, -72.0 / page_.dpi, 10);
        content_ += " 0 ";
        content_ += height_;
        content_ += " cm\n";
        if (caps_.physical_offset_x || caps_.physical_offset_y) {
            content_ += "1 0 0 1 ";
            append_ints(content_, {caps_.physical_offset_x, caps_.physical_offset_y});
            content_ += " cm\n";
        }
        append_ints(content_, {0, 0, caps_.horzres, caps_.vertres});
        content_ += " re W n\n";
        page_open_ = true;
        return 1;
    }

    int end_page() override {
        if (!page_open_)
            return SP_ERROR;
        page_open_ = false;
        if (broken_)
            return SP_ERROR;
        end_text();
        content_ += "Q\n";
        int contents = out_.new_object(), page = out_.new_object();
        out_.stream_object(contents, "", content_);
        std::string& o = out_.begin_object(page);
        o += "<< /Type /Page /Parent ";
        append_ref(o, pages_);
        o += " /Resources ";
        append_ref(o, resources_);
        o += " /Contents ";
        append_ref(o, contents);
        o += " >>";
        out_.end_object();
        page_objects_.push_back(page);
        // The page goes to the printer now: nothing of it stays here.
        if (!out_.flush()) {
            fail("cannot write the page");
            return SP_ERROR;
        }
        return 1;
    }

    int end_doc() override {
        if (!doc_open_)
            return SP_ERROR;
        if (broken_) {
            abort_doc();
            return SP_ERROR;
        }
        if (page_open_)
            end_page();
        fonts_.write(out_, resources_);
        write_page_tree();
        write_catalog_and_info();
        out_.end(catalog_, info_, document_id());
        doc_open_ = false;
        if (out_.failed()) {
            fail(out_.problem().empty() ? "cannot write the document" : out_.problem());
            sink_->abort();
            return SP_ERROR;
        }
        if (!sink_->finish()) {
            error_ = sink_error("cannot finish the document");
            sink_->abort();
            return SP_ERROR;
        }
        fonts_.clear();
        return 1;
    }

    int abort_doc() override {
        doc_open_ = page_open_ = false;
        fonts_.clear();
        content_.clear();
        bars_.clear();
        sink_->abort();
        return 1;
    }

    std::string error() const override { return error_; }
    bool print_to_file(const std::string& path) override { return sink_->print_to_file(path); }

    bool draw_text(const TextRun& run) override {
        if (!page_open_ || broken_)
            return false;
        GlyphSpan span = visible_glyphs(run, caps_.horzres, caps_.vertres);
        if (span.first >= span.last)
            return true;
        const FontMetrics& m = run.realized->metrics();
        int left = run.char_x[span.first], right = run.char_x[span.last];
        if (run.opaque) {
            end_text();
            set_color(run.bk_color);
            rectangle(left, run.y, right - left, m.ascent + m.descent);
        }
        set_color(run.text_color);
        const auto* font = dynamic_cast<const FreeTypeFont*>(run.realized);
        if (!font || font->face().file.empty())
            return broken("no TrueType font for \"" + std::string(run.font->lfFaceName) +
                          "\" is installed");
        if (!show_glyphs(run, span, *font))
            return false;
        if (run.font->lfUnderline)
            bars_.push_back({run.text_color, left, run.baseline + m.underline_offset, right - left,
                             m.underline_thickness});
        return true;
    }

  private:
    // Ends the text object, if one is open, and draws the bars that waited for it.
    void end_text() {
        if (state_.in_text)
            content_ += "ET\n";
        state_.in_text = state_.positioned = false;
        for (const Bar& b : bars_) {
            set_color(b.color);
            rectangle(b.x, b.y, b.width, b.height);
        }
        bars_.clear();
    }

    // Moves the pen to (x, y): nothing when the last run ended there, a relative move of the line
    // matrix when it can, else a whole text matrix (flipped, as the page is, so glyphs stand up).
    void move_to(int x, int y) {
        if (!state_.in_text) {
            content_ += "BT\n";
            state_.in_text = true;
        }
        if (state_.positioned && y == state_.line_y && x == state_.pen_x)
            return;
        if (state_.positioned) {
            append_ints(content_, {x - state_.line_x, state_.line_y - y});
            content_ += " Td\n";
        } else {
            content_ += "1 0 0 -1 ";
            append_ints(content_, {x, y});
            content_ += " Tm\n";
        }
        state_.positioned = true;
        state_.line_x = x;
        state_.line_y = y;
    }

    void set_color(COLORREF c) {
        if (c == state_.color)
            return;
        append_color(content_, c, "rg");
        append_color(content_, c, "RG");
        state_.color = c;
    }

    void rectangle(int x, int y, int w, int h) {
        append_ints(content_, {x, y, w, h});
        content_ += " re f\n";
    }

    // Text that cannot be drawn spoils the document: its pages and its end fail too, so the job is
    // never taken as printed, whatever the caller makes of the failed TextOutA.
    bool broken(const std::string& why) {
        broken_ = true;
        error_ = why;
        return false;
    }

    bool show_glyphs(const TextRun& run, GlyphSpan span, const FreeTypeFont& font) {
        std::string why;
        DocumentFont* f = fonts_.find(out_, font, why);
        if (!f)
            return broken(why);
        auto byte = [&](int i) { return static_cast<unsigned char>(run.bytes[i]); };
        for (int i = span.first; i < span.last; ++i)
            f->used.set(byte(i));

        int size = font.ppem();
        if (f != state_.font || size != state_.size) {
            content_ += "/F";
            append_int(content_, f->resource);
            content_ += ' ';
            append_int(content_, size);
            content_ += " Tf\n";
            state_.font = f;
            state_.size = size;
        }
        double scale = written_scale_(font.x_scale() * 100);
        if (scale != state_.scale) {
            append_real(content_, scale);
            content_ += " Tz\n";
            state_.scale = scale;
        }
        double th = scale / 100;
        set_render(font.face().synthetic_bold, size);

        // One advance for the whole run when every character has the same device advance and the
        // same width in the font; then Tc alone makes each advance exact.
        int step = run.char_x[span.first + 1] - run.char_x[span.first];
        int width = f->widths[byte(span.first)];
        bool uniform = true;
        for (int i = span.first; i < span.last && uniform; ++i)
            uniform = run.char_x[i + 1] - run.char_x[i] == step && f->widths[byte(i)] == width;
        if (uniform) {
            double spacing = written_spacing_(step / th - width * size / 1000.0);
            if (spacing != state_.spacing) {
                append_real(content_, spacing);
                content_ += " Tc\n";
                state_.spacing = spacing;
            }
        }

        move_to(run.char_x[span.first], run.baseline);
        state_.pen_x = run.char_x[span.last];
        if (uniform) {
            append_codes(run, span.first, span.last);
            content_ += " Tj\n";
        } else {
            show_adjusted(run, span, *f, size, th);
        }
        return true;
    }

    // Each glyph moved from where the font puts it to where GDI did, the last one too, so the pen
    // ends where the run does.
    void show_adjusted(const TextRun& run, GlyphSpan span, const DocumentFont& f, int size,
                       double th) {
        auto byte = [&](int i) { return static_cast<unsigned char>(run.bytes[i]); };
        content_ += '[';
        int from = span.first;
        for (int i = span.first; i < span.last; ++i) {
            double natural = f.widths[byte(i)] * size / 1000.0 + state_.spacing;
            double wanted = (run.char_x[i + 1] - run.char_x[i]) / th;
            double adjust = (natural - wanted) * 1000.0 / size;
            if (std::fabs(adjust) > 1e-9 || i + 1 == span.last) {
                append_codes(run, from, i + 1);
                from = i + 1;
                if (std::fabs(adjust) > 1e-9)
                    append_real(content_, adjust);
            }
        }
        content_ += "] TJ\n";
    }

    // The bytes [from, to) as two-byte codes (the CID is the byte) in a literal string.
    void append_codes(const TextRun& run, int from, int to) {
        content_ += '(';
        for (int i = from; i < to; ++i) {
            content_ += '\0';
            append_literal_byte(content_, run.bytes[i]);
        }
        content_ += ')';
    }

    // Synthetic bold strokes the outlines as well as filling them, as wide as FreeType's
    // emboldening makes them.
    void set_render(bool bold, int size) {
        int render = bold ? 2 : 0;
        if (bold) {
            double width = written_stroke_(synthetic_bold_strength(size));
            if (width != state_.line_width) {
                append_real(content_, width, 3);
                content_ += " w\n";
                state_.line_width = width;
            }
        }
        if (render != state_.render) {
            append_int(content_, render);
            content_ += " Tr\n";
            state_.render = render;
        }
    }

    void write_page_tree() {
        std::string& o = out_.begin_object(pages_);
        o += "<< /Type /Pages /MediaBox [0 0 ";
        o += width_;
        o += ' ';
        o += height_;
        o += "] /Count ";
        append_int(o, static_cast<long>(page_objects_.size()));
        o += " /Kids [";
        for (size_t i = 0; i < page_objects_.size(); ++i) {
            if (i)
                o += (i % 16) ? " " : "\n";
            append_ref(o, page_objects_[i]);
        }
        o += "] >>";
        out_.end_object();
    }

    void write_catalog_and_info() {
        std::string& c = out_.begin_object(catalog_);
        c += "<< /Type /Catalog /Pages ";
        append_ref(c, pages_);
        c += " >>";
        out_.end_object();

        char date[32];
        std::tm utc{};
        gmtime_r(&created_, &utc);
        std::strftime(date, sizeof date, "D:%Y%m%d%H%M%SZ", &utc);
        std::string& o = out_.begin_object(info_);
        o += "<< /Title ";
        // Document names come in the ANSI code page where they are not UTF-8.
        append_text_string(o, title_, code_page_table(1250));
        o += " /Creator (zvspool) /Producer (zvspool " ZV_VERSION ") /CreationDate (";
        o += date;
        o += ") >>";
        out_.end_object();
    }

    // The file identifier: a hash of what distinguishes this document.
    std::string document_id() const {
        uint64_t a = 1469598103934665603ull, b = 0x9E3779B97F4A7C15ull;
        auto mix = [&](uint64_t v) {
            a = (a ^ v) * 1099511628211ull;
            b = (b ^ (v + a)) * 0xFF51AFD7ED558CCDull;
        };
        for (char c : title_)
            mix(static_cast<unsigned char>(c));
        mix(static_cast<uint64_t>(created_));
        mix(page_objects_.size());
        mix(out_.compressed_bytes());
        char hex[40];
        std::snprintf(hex, sizeof hex, "%016llX%016llX", static_cast<unsigned long long>(a),
                      static_cast<unsigned long long>(b));
        return hex;
    }

    void fail(const std::string& fallback) { error_ = sink_error(fallback); }

    std::string sink_error(const std::string& fallback) const {
        std::string why = sink_->error();
        return why.empty() ? fallback : why;
    }

    PageSetup page_;
    DeviceCaps caps_;
    std::unique_ptr<PdfSink> sink_;
    PdfOutput out_;
    PdfFonts fonts_;
    std::string width_, height_; // the sheet in points, as the media box gives it
    std::string title_;
    std::time_t created_ = 0;
    int catalog_ = 0, pages_ = 0, resources_ = 0, info_ = 0;
    std::vector<int> page_objects_;
    std::string content_;
    PageState state_;
    std::vector<Bar> bars_;
    WrittenReal written_scale_, written_spacing_, written_stroke_{3};
    bool doc_open_ = false, page_open_ = false;
    bool broken_ = false; // text of the document could not be drawn
    std::string error_;
};

} // namespace

std::shared_ptr<Device> pdf_printer_device(const PageSetup& page, std::unique_ptr<PdfSink> sink) {
    return std::make_shared<PdfPrinter>(page, std::move(sink));
}

HDC create_pdf_printer_dc(const PageSetup& page, std::unique_ptr<PdfSink> sink) {
    return create_dc(pdf_printer_device(page, std::move(sink)));
}

} // namespace zvp
