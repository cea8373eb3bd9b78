// Each page as a PNG image, drawn by Cairo with grey antialiasing: what zv-render shows of a job
// when asked for images.
#include "platform/portable/gdi32/cairo/text_run.h"
#include "platform/portable/gdi32/dc.h"
#include "platform/portable/gdi32/freetype/freetype_fonts.h"
#include "platform/portable/gdi32/printer_device.h"

#include <cairo.h>

namespace zvp {

namespace {

class PngPrinter : public Device {
  public:
    PngPrinter(const PageSetup& page, std::string base)
        : caps_(printer_caps(page)), base_(std::move(base)) {}
    ~PngPrinter() override { release(); }

    const DeviceCaps& caps() const override { return caps_; }
    FontEngine& font_engine() override { return freetype_font_engine(); }

    int start_doc(const std::string&) override {
        error_.clear();
        page_number_ = 0;
        return 1;
    }

    int start_page() override {
        release();
        ++page_number_;
        surface_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, caps_.physical_width,
                                              caps_.physical_height);
        cr_ = cairo_create(surface_);
        cairo_set_source_rgb(cr_, 1, 1, 1);
        cairo_paint(cr_);
        cairo_translate(cr_, caps_.physical_offset_x, caps_.physical_offset_y);
        cairo_rectangle(cr_, 0, 0, caps_.horzres, caps_.vertres);
        cairo_clip(cr_);
        cairo_font_options_t* options = cairo_font_options_create();
        cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
        cairo_set_font_options(cr_, options);
        cairo_font_options_destroy(options);
        if (cairo_status(cr_) != CAIRO_STATUS_SUCCESS) {
            error_ = cairo_status_to_string(cairo_status(cr_));
            release();
            return SP_ERROR;
        }
        return 1;
    }

    int end_page() override {
        if (!surface_)
            return SP_ERROR;
        std::string path = base_ + "-" + std::to_string(page_number_) + ".png";
        cairo_status_t status = cairo_surface_write_to_png(surface_, path.c_str());
        release();
        if (status != CAIRO_STATUS_SUCCESS) {
            error_ = "cannot write " + path + ": " + cairo_status_to_string(status);
            return SP_ERROR;
        }
        return 1;
    }

    int end_doc() override { return 1; }
    int abort_doc() override {
        release();
        return 1;
    }

    bool draw_text(const TextRun& run) override {
        if (cr_)
            draw_text_run(cr_, run, caps_.horzres, caps_.vertres);
        return true;
    }

    std::string error() const override { return error_; }

  private:
    void release() {
        if (cr_)
            cairo_destroy(cr_);
        if (surface_)
            cairo_surface_destroy(surface_);
        cr_ = nullptr;
        surface_ = nullptr;
    }

    DeviceCaps caps_;
    std::string base_;
    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    int page_number_ = 0;
    std::string error_;
};

} // namespace

HDC create_png_printer_dc(const PageSetup& page, std::string base) {
    return create_dc(std::make_shared<PngPrinter>(page, std::move(base)));
}

} // namespace zvp
