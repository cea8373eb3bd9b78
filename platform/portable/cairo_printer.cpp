#include "cairo_printer.h"

#include "cairo_text.h"
#include "freetype_fonts.h"
#include "gdi.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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

int pixels(double mm, int dpi) { return static_cast<int>(std::lround(mm * dpi / 25.4)); }

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

class FileSink : public PdfSink {
  public:
    explicit FileSink(std::string path) : path_(std::move(path)) {}
    ~FileSink() override { abort(); }

    bool open(const std::string&) override {
        abort();
        temp_ = path_ + ".XXXXXX";
        int fd = mkstemp(temp_.data());
        if (fd < 0 || !(file_ = fdopen(fd, "wb"))) {
            error = "cannot create " + path_ + ": " + std::strerror(errno);
            if (fd >= 0)
                close(fd);
            temp_.clear();
            return false;
        }
        return true;
    }
    bool write(const unsigned char* data, size_t size) override {
        if (file_ && std::fwrite(data, 1, size, file_) == size)
            return true;
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    bool finish() override {
        if (!file_)
            return false;
        bool ok = std::fflush(file_) == 0 && fsync(fileno(file_)) == 0;
        ok = std::fclose(file_) == 0 && ok;
        file_ = nullptr;
        if (ok)
            fchmod_default();
        if (!ok || std::rename(temp_.c_str(), path_.c_str()) != 0) {
            error = "cannot write " + path_ + ": " + std::strerror(errno);
            std::remove(temp_.c_str());
            temp_.clear();
            return false;
        }
        temp_.clear();
        return true;
    }
    void abort() override {
        if (file_)
            std::fclose(file_);
        file_ = nullptr;
        if (!temp_.empty())
            std::remove(temp_.c_str());
        temp_.clear();
    }

    std::string error;

  private:
    // mkstemp makes the file private to its owner; a finished document gets the usual mode.
    void fchmod_default() {
        mode_t mask = umask(0);
        umask(mask);
        chmod(temp_.c_str(), 0666 & ~mask);
    }

    std::string path_;
    std::string temp_;
    FILE* file_ = nullptr;
};

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
        error.clear();
        page_number_ = 0;
        if (!sink_)
            return 1;
        if (!sink_->open(name)) {
            error = sink_error("cannot open the output");
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
        return 1;
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
            error = "cannot write " + path + ": " + cairo_status_to_string(status);
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
            error = sink_error("cannot finish the document");
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

    std::string error;

  private:
    static cairo_status_t write_pdf(void* self, const unsigned char* data, unsigned size) {
        auto* p = static_cast<CairoPrinter*>(self);
        return p->sink_->write(data, size) ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
    }

    bool healthy() {
        cairo_status_t status = cr_ ? cairo_status(cr_) : CAIRO_STATUS_SUCCESS;
        if (status == CAIRO_STATUS_SUCCESS && surface_)
            status = cairo_surface_status(surface_);
        if (status != CAIRO_STATUS_SUCCESS && error.empty())
            error = sink_error(cairo_status_to_string(status));
        return status == CAIRO_STATUS_SUCCESS;
    }

    std::string sink_error(const std::string& fallback) {
        auto* file = dynamic_cast<FileSink*>(sink_.get());
        return file && !file->error.empty() ? file->error : fallback;
    }

    void release() {
        if (cr_)
            cairo_destroy(cr_);
        if (surface_) {
            // Finishing flushes into the sink, which is about to be abandoned anyway.
            cairo_surface_finish(surface_);
            cairo_surface_destroy(surface_);
        }
        cr_ = nullptr;
        surface_ = nullptr;
    }

    PageSetup page_;
    DeviceCaps caps_;
    std::unique_ptr<PdfSink> sink_;
    std::string png_base_;
    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    int page_number_ = 0;
};

} // namespace

std::unique_ptr<PdfSink> pdf_file_sink(std::string path) {
    return std::make_unique<FileSink>(std::move(path));
}

HDC create_pdf_printer_dc(const PageSetup& page, std::unique_ptr<PdfSink> sink) {
    return create_dc(std::make_shared<CairoPrinter>(page, std::move(sink)));
}

HDC create_png_printer_dc(const PageSetup& page, std::string base) {
    return create_dc(std::make_shared<CairoPrinter>(page, std::move(base)));
}

std::string cairo_printer_error(HDC dc) {
    DeviceContext* d = find_dc(dc);
    auto* printer = d ? dynamic_cast<CairoPrinter*>(d->device.get()) : nullptr;
    return printer ? printer->error : std::string();
}

} // namespace zvp
