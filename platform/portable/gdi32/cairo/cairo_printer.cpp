#include "platform/portable/gdi32/printer_device.h"

#include "platform/portable/gdi32/cairo/freetype_fonts.h"
#include "platform/portable/gdi32/cairo/text_run.h"
#include "platform/portable/gdi32/dc.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <cmath>

namespace zvp {

PageSetup a4_page(int dpi) {
    PageSetup p;
    p.dpi = dpi;
    return p;
}

PageSetup letter_page(int dpi) {
    PageSetup p;
    p.width_mm = 215.9;
    p.height_mm = 279.4;
    p.dpi = dpi;
    return p;
}

namespace {

// Whole device units, truncated as printer drivers give them (A4 at 600 dpi is 4960 x 7015); the
// tolerance keeps exact sizes such as Letter's 5100 from falling a unit short.
int pixels(double mm, int dpi) {
    return static_cast<int>(std::floor(mm * dpi / 25.4 + 1e-6));
}

DeviceCaps caps_for(const PageSetup& p) {
    DeviceCaps c;
    c.physical_width = pixels(p.width_mm, p.dpi);
    c.physical_height = pixels(p.height_mm, p.dpi);
    c.physical_offset_x = pixels(p.margin_left_mm, p.dpi);
    c.physical_offset_y = pixels(p.margin_top_mm, p.dpi);
    c.horzres = pixels(p.width_mm - p.margin_left_mm - p.margin_right_mm, p.dpi);
    c.vertres = pixels(p.height_mm - p.margin_top_mm - p.margin_bottom_mm, p.dpi);
    c.horzsize = static_cast<int>(c.horzres * 25.4 / p.dpi);
    c.vertsize = static_cast<int>(c.vertres * 25.4 / p.dpi);
    c.logpixelsx = c.logpixelsy = p.dpi;
    c.printer = true;
    return c;
}

class CairoPrinter : public Device {
  public:
    CairoPrinter(const PageSetup& page, std::unique_ptr<PdfSink> sink)
        : page_(page), caps_(caps_for(page)), sink_(std::move(sink)) {}
    CairoPrinter(const PageSetup& page, std::string png_base)
        : page_(page), caps_(caps_for(page)), png_base_(std::move(png_base)) {}
    ~CairoPrinter() override { release(); }

    const DeviceCaps& caps() const override { return caps_; }
    FontEngine& font_engine() override { return freetype_font_engine(); }

    int start_doc(const std::string& name) override {
        error_.clear();
        page_number_ = 0;
        if (!sink_)
            return 1;
        sink_->keep_going = keep_going;
        if (!sink_->open(name)) {
            error_ = sink_error("cannot open the output");
            return SP_ERROR;
        }
        double w = page_.width_mm / 25.4 * 72, h = page_.height_mm / 25.4 * 72;
        surface_ = cairo_pdf_surface_create_for_stream(&CairoPrinter::write_pdf, this, w, h);
        cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_TITLE, name.c_str());
        cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_CREATOR, "zvspool");
        cr_ = cairo_create(surface_);
        if (!healthy()) {
            abort_doc();
            return SP_ERROR;
        }
        return sink_->job_id() > 0 ? sink_->job_id() : 1;
    }

    int start_page() override {
        ++page_number_;
        if (!sink_) {
            surface_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, caps_.physical_width,
                                                  caps_.physical_height);
            cr_ = cairo_create(surface_);
            cairo_set_source_rgb(cr_, 1, 1, 1);
            cairo_paint(cr_);
        }
        cairo_save(cr_);
        if (sink_)
            cairo_scale(cr_, 72.0 / page_.dpi, 72.0 / page_.dpi);
        cairo_translate(cr_, caps_.physical_offset_x, caps_.physical_offset_y);
        cairo_rectangle(cr_, 0, 0, caps_.horzres, caps_.vertres);
        cairo_clip(cr_);
        cairo_font_options_t* options = cairo_font_options_create();
        if (sink_) {
            cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
            cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
        } else {
            cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
        }
        cairo_set_font_options(cr_, options);
        cairo_font_options_destroy(options);
        return healthy() ? 1 : SP_ERROR;
    }

    int end_page() override {
        cairo_restore(cr_);
        if (sink_) {
            cairo_show_page(cr_);
            return healthy() ? 1 : SP_ERROR;
        }
        std::string path = png_base_ + "-" + std::to_string(page_number_) + ".png";
        cairo_status_t status = cairo_surface_write_to_png(surface_, path.c_str());
        cairo_destroy(cr_);
        cairo_surface_destroy(surface_);
        cr_ = nullptr;
        surface_ = nullptr;
        if (status != CAIRO_STATUS_SUCCESS) {
            error_ = "cannot write " + path + ": " + cairo_status_to_string(status);
            return SP_ERROR;
        }
        return 1;
    }

    int end_doc() override {
        if (!sink_)
            return 1;
        cairo_destroy(cr_);
        cr_ = nullptr;
        cairo_surface_finish(surface_);
        bool ok = healthy();
        cairo_surface_destroy(surface_);
        surface_ = nullptr;
        if (!ok || !sink_->finish()) {
            error_ = sink_error("cannot finish the document");
            sink_->abort();
            return SP_ERROR;
        }
        return 1;
    }

    int abort_doc() override {
        release();
        if (sink_)
            sink_->abort();
        return 1;
    }

    void draw_text(const TextRun& run) override {
        if (cr_)
            draw_text_run(cr_, run, caps_.horzres, caps_.vertres);
    }

    std::string error() const override { return error_; }

  private:
    static cairo_status_t write_pdf(void* self, const unsigned char* data, unsigned size) {
        auto* p = static_cast<CairoPrinter*>(self);
        if (p->discarding_)
            return CAIRO_STATUS_WRITE_ERROR;
        return p->sink_->write(data, size) ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
    }

    bool healthy() {
        cairo_status_t status = cr_ ? cairo_status(cr_) : CAIRO_STATUS_SUCCESS;
        if (status == CAIRO_STATUS_SUCCESS && surface_)
            status = cairo_surface_status(surface_);
        if (status != CAIRO_STATUS_SUCCESS && error_.empty())
            error_ = sink_error(cairo_status_to_string(status));
        return status == CAIRO_STATUS_SUCCESS;
    }

    std::string sink_error(const std::string& fallback) {
        std::string why = sink_ ? sink_->error() : std::string();
        return why.empty() ? fallback : why;
    }

    // Drops the document in progress; nothing more of it reaches the sink.
    void release() {
        discarding_ = true;
        if (cr_)
            cairo_destroy(cr_);
        if (surface_)
            cairo_surface_destroy(surface_);
        cr_ = nullptr;
        surface_ = nullptr;
        discarding_ = false;
    }

    PageSetup page_;
    DeviceCaps caps_;
    std::unique_ptr<PdfSink> sink_;
    std::string png_base_;
    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    int page_number_ = 0;
    bool discarding_ = false;
    std::string error_;
};

} // namespace

std::shared_ptr<Device> pdf_printer_device(const PageSetup& page, std::unique_ptr<PdfSink> sink) {
    return std::make_shared<CairoPrinter>(page, std::move(sink));
}

HDC create_pdf_printer_dc(const PageSetup& page, std::unique_ptr<PdfSink> sink) {
    return create_dc(pdf_printer_device(page, std::move(sink)));
}

HDC create_png_printer_dc(const PageSetup& page, std::string base) {
    return create_dc(std::make_shared<CairoPrinter>(page, std::move(base)));
}

} // namespace zvp
