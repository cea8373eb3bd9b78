// A window's device context that writes down what is drawn on it.
#include "platform/portable/testing/memory_printer.h"

#include "platform/portable/gdi32/dc.h"

namespace zvp {

RecordedRun record_run(const TextRun& run) {
    RecordedRun r;
    r.bytes.assign(run.bytes, run.count);
    r.x = run.x;
    r.y = run.y;
    r.end_x = run.char_x[run.count];
    r.char_x.assign(run.char_x, run.char_x + run.count);
    r.font = *run.font;
    r.opaque = run.opaque;
    return r;
}

namespace {

class MemoryDisplay : public Device {
  public:
    MemoryDisplay(std::vector<RecordedRun>* runs, int dpi) : runs_(runs) {
        caps_.horzres = 1920;
        caps_.vertres = 1080;
        caps_.horzsize = 508;
        caps_.vertsize = 286;
        caps_.logpixelsx = caps_.logpixelsy = dpi;
        caps_.printer = false;
    }
    const DeviceCaps& caps() const override { return caps_; }
    FontEngine& font_engine() override { return fixed_font_engine(); }
    bool draw_text(const TextRun& run) override {
        runs_->push_back(record_run(run));
        return true;
    }

  private:
    std::vector<RecordedRun>* runs_;
    DeviceCaps caps_;
};

} // namespace

HDC create_memory_display_dc(std::vector<RecordedRun>* runs, int dpi) {
    return create_dc(std::make_shared<MemoryDisplay>(runs, dpi));
}

} // namespace zvp
