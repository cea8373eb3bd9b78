#include "platform/portable/testing/memory_printer.h"

#include "platform/portable/gdi32/dc.h"
#include "platform/portable/kernel32/errors.h"
#include "platform/portable/winspool/printer_system.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace zvp {

namespace {

// A new document on the printer, open; its index.
size_t record_document(MemoryPrinter& printer, const std::string& name) {
    printer.documents.push_back(
        RecordedDocument{name, {}, RecordedDocument::State::open, std::time(nullptr), "", ""});
    return printer.documents.size() - 1;
}

class MemoryPrinterDevice : public Device {
  public:
    explicit MemoryPrinterDevice(MemoryPrinter& p) : printer_(p) {
        const MemoryPrinterSetup& s = p.setup;
        caps_.horzres = caps_.physical_width = s.horzres;
        caps_.vertres = caps_.physical_height = s.vertres;
        caps_.horzsize = s.horzsize;
        caps_.vertsize = s.vertsize;
        caps_.logpixelsx = s.dpi_x;
        caps_.logpixelsy = s.dpi_y;
        caps_.printer = true;
    }

    const DeviceCaps& caps() const override { return caps_; }
    FontEngine& font_engine() override { return fixed_font_engine(); }
    std::string error() const override { return printer_.refusal; }

    int start_doc(const std::string& name) override {
        if (!printer_.take_call(PrinterCall::start_doc))
            return SP_ERROR;
        doc_ = record_document(printer_, name);
        return static_cast<int>(doc_ + 1);
    }
    int start_page() override {
        if (!printer_.take_call(PrinterCall::start_page))
            return SP_ERROR;
        document().pages.emplace_back();
        return 1;
    }
    int end_page() override {
        if (!printer_.take_call(PrinterCall::end_page))
            return SP_ERROR;
        document().pages.back().ended = true;
        return 1;
    }
    int end_doc() override {
        if (!printer_.take_call(PrinterCall::end_doc)) {
            document().state = RecordedDocument::State::aborted;
            return SP_ERROR;
        }
        document().state = RecordedDocument::State::ended;
        return 1;
    }
    int abort_doc() override {
        printer_.take_call(PrinterCall::abort_doc);
        document().state = RecordedDocument::State::aborted;
        return 1;
    }

    bool draw_text(const TextRun& run) override;

  private:
    RecordedDocument& document() { return printer_.documents[doc_]; }

    MemoryPrinter& printer_;
    DeviceCaps caps_;
    size_t doc_ = 0;
};

// A document of data, as a print server that renders it takes it: any MIME type.
class MemoryDataSink : public PdfSink {
  public:
    MemoryDataSink(MemoryPrinter& p, std::string datatype)
        : printer_(p), datatype_(std::move(datatype)) {}
    bool open(const std::string& title) override {
        if (!printer_.take_call(PrinterCall::start_doc))
            return false;
        doc_ = record_document(printer_, title);
        printer_.documents[doc_].datatype = datatype_;
        return true;
    }
    bool write(const unsigned char* data, size_t size) override {
        if (!printer_.take_call(PrinterCall::write_data))
            return false;
        printer_.documents[doc_].data.append(reinterpret_cast<const char*>(data), size);
        return true;
    }
    bool finish() override {
        bool taken = printer_.take_call(PrinterCall::end_doc);
        printer_.documents[doc_].state =
            taken ? RecordedDocument::State::ended : RecordedDocument::State::aborted;
        return taken;
    }
    void abort() override {
        printer_.take_call(PrinterCall::abort_doc);
        printer_.documents[doc_].state = RecordedDocument::State::aborted;
    }
    std::string error() const override { return printer_.refusal; }
    int job_id() const override { return static_cast<int>(doc_ + 1); }

  private:
    MemoryPrinter& printer_;
    std::string datatype_;
    size_t doc_ = 0;
};

} // namespace

void MemoryPrinter::fail(PrinterCall call, int nth, int times) {
    failures_[call] = Failure{nth, times};
}

bool MemoryPrinter::take_call(PrinterCall call) {
    calls.push_back(call);
    if (on_call)
        on_call(call);
    if (unplugged)
        return false;
    int n = ++counts_[call];
    auto it = failures_.find(call);
    if (it == failures_.end() || n < it->second.nth)
        return true;
    return it->second.times > 0 && n >= it->second.nth + it->second.times;
}

HDC MemoryPrinter::create_dc() {
    return zvp::create_dc(std::make_shared<MemoryPrinterDevice>(*this));
}

namespace {

class MemoryPrinterSystem : public PrinterSystem {
  public:
    MemoryPrinterSystem(std::shared_ptr<MemoryPrinter> p, std::string name)
        : printer_(std::move(p)), name_(std::move(name)) {}
    Lookup default_printer(PrinterEntry& entry) override { return find_printer(name_, entry); }
    Lookup find_printer(const std::string& name, PrinterEntry& entry) override {
        if (printer_ && !printer_->offline.empty()) {
            set_last_error_message(printer_->offline);
            return Lookup::failed;
        }
        if (!printer_ || name != name_)
            return Lookup::none;
        entry = PrinterEntry{name_, "MEMORY:", "in-memory printer", "the only printer", ""};
        return Lookup::found;
    }
    std::shared_ptr<Device> open(const std::string& name) override {
        PrinterEntry entry;
        Lookup found = find_printer(name, entry);
        if (found == Lookup::found)
            return std::make_shared<MemoryPrinterDevice>(*printer_);
        if (found == Lookup::none)
            SetLastError(ERROR_INVALID_PRINTER_NAME);
        return nullptr;
    }

    std::unique_ptr<PdfSink> open_data(const std::string& name,
                                       const std::string& datatype) override {
        PrinterEntry entry;
        Lookup found = find_printer(name, entry);
        if (found == Lookup::none)
            SetLastError(ERROR_INVALID_PRINTER_NAME);
        if (found != Lookup::found)
            return nullptr;
        if (!printer_->takes_data || datatype.find('/') == std::string::npos) {
            SetLastError(ERROR_INVALID_DATATYPE);
            return nullptr;
        }
        return std::make_unique<MemoryDataSink>(*printer_, datatype);
    }

    Lookup job(const std::string& name, int id, JobEntry& job) override {
        PrinterEntry entry;
        Lookup found = find_printer(name, entry);
        if (found != Lookup::found)
            return found;
        auto it = printer_->job_states.find(id);
        bool known = id >= 1 && size_t(id) <= printer_->documents.size();
        if (!known && it == printer_->job_states.end())
            return Lookup::none;
        job.document = known ? printer_->documents[id - 1].name : "";
        job.submitted = known ? printer_->documents[id - 1].started : 0;
        if (it != printer_->job_states.end()) {
            if (!it->second.known)
                return Lookup::none;
            job.status = it->second.status;
            job.status_text = it->second.text;
            if (it->second.submitted)
                job.submitted = it->second.submitted;
        } else if (printer_->documents[id - 1].state == RecordedDocument::State::ended) {
            job.status = JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE;
            job.status_text = "printed";
        } else {
            job.status = JOB_STATUS_DELETED;
            job.status_text = "abandoned";
        }
        return Lookup::found;
    }

    Lookup reference(const std::string& name, int id, std::string& reference) override {
        PrinterEntry entry;
        Lookup found = find_printer(name, entry);
        if (found != Lookup::found)
            return found;
        if (!printer_->take_call(PrinterCall::job_reference)) {
            set_last_error_message(printer_->refusal);
            return Lookup::failed;
        }
        if (id < 1 || size_t(id) > printer_->documents.size())
            return Lookup::none;
        reference = "memory " + std::to_string(id);
        return Lookup::found;
    }

    Lookup fate(const std::string& name, const std::string& reference, int stage,
                JobFate& fate) override {
        PrinterEntry entry;
        Lookup found = find_printer(name, entry);
        if (found != Lookup::found)
            return found;
        if (!printer_->take_call(PrinterCall::job_fate)) {
            set_last_error_message(printer_->refusal);
            return Lookup::failed;
        }
        int id = std::atoi(reference.c_str() + std::strlen("memory "));
        describe(id, fate);
        auto lost = printer_->job_states.find(id);
        if (lost != printer_->job_states.end() && lost->second.lost) {
            fate.fate = stage == JOB_STAGE_HELD ? JOB_FATE_LOST : JOB_FATE_UNKNOWN;
            fate.words = "lost in a restart";
        }
        return Lookup::found;
    }

    // What the printer says of job `id`.
    void describe(int id, JobFate& fate) {
        bool whole = id >= 1 && size_t(id) <= printer_->documents.size() &&
                     printer_->documents[id - 1].state == RecordedDocument::State::ended;
        if (printer_->held.count(id) && whole) {
            fate.fate = JOB_FATE_WAITING;
            fate.words = "held";
            return;
        }
        auto it = printer_->job_states.find(id);
        if (it != printer_->job_states.end()) {
            const MemoryPrinter::JobState& s = it->second;
            fate.words = s.text;
            if (s.fate >= 0)
                fate.fate = s.fate;
            else if (!s.known)
                fate.fate = JOB_FATE_UNKNOWN;
            else if (s.status & (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE))
                fate.fate = JOB_FATE_PRINTED;
            else if (s.status & JOB_STATUS_DELETED)
                fate.fate = JOB_FATE_CANCELLED;
            else if (s.status & JOB_STATUS_ERROR)
                fate.fate = (s.status & JOB_STATUS_RESTART) ? JOB_FATE_LOST : JOB_FATE_FAILED;
            else
                fate.fate = JOB_FATE_WAITING;
            return;
        }
        if (id < 1 || size_t(id) > printer_->documents.size()) {
            fate.fate = JOB_FATE_UNKNOWN;
            fate.words = "no such job";
        } else if (printer_->documents[id - 1].state == RecordedDocument::State::ended) {
            fate.fate = JOB_FATE_PRINTED;
            fate.words = "printed";
        } else {
            fate.fate = JOB_FATE_INCOMPLETE;
            fate.words = "its document was never whole";
        }
    }

    bool cancel(const std::string& name, const std::string& reference) override {
        PrinterEntry entry;
        if (find_printer(name, entry) != Lookup::found)
            return false;
        if (!printer_->take_call(PrinterCall::cancel_job)) {
            set_last_error_message(printer_->refusal);
            return false;
        }
        JobFate now;
        describe(std::atoi(reference.c_str() + std::strlen("memory ")), now);
        if (now.fate != JOB_FATE_WAITING && now.fate != JOB_FATE_INCOMPLETE)
            return true; // done already: nothing to cancel
        int id = std::atoi(reference.c_str() + std::strlen("memory "));
        printer_->cancelled.push_back(id);
        printer_->held.erase(id);
        MemoryPrinter::JobState& s = printer_->job_states[id];
        s.status = JOB_STATUS_DELETED;
        s.fate = JOB_FATE_CANCELLED;
        s.text = "cancelled";
        return true;
    }

    bool hold(const std::string& name, const std::string& reference) override {
        return control(name, reference, PrinterCall::hold_job);
    }
    bool release(const std::string& name, const std::string& reference) override {
        return control(name, reference, PrinterCall::release_job);
    }

    Lookup printer_state(const std::string& name, const std::string& reference,
                         PrinterState& state) override {
        (void)reference;
        PrinterEntry entry;
        Lookup found = find_printer(name, entry);
        if (found != Lookup::found)
            return found;
        state.words = printer_->state_words;
        state.reasons = printer_->state_reasons;
        state.stopped = printer_->stopped;
        state.accepting = printer_->accepting;
        return Lookup::found;
    }

  private:
    bool control(const std::string& name, const std::string& reference, PrinterCall call) {
        PrinterEntry entry;
        if (find_printer(name, entry) != Lookup::found)
            return false;
        if (!printer_->take_call(call)) {
            set_last_error_message(printer_->refusal);
            return false;
        }
        int id = std::atoi(reference.c_str() + std::strlen("memory "));
        if (call == PrinterCall::hold_job) {
            printer_->held.insert(id);
            return true;
        }
        auto state = printer_->job_states.find(id);
        if (state != printer_->job_states.end() && state->second.lost) {
            SetLastError(ERROR_NOT_FOUND);
            return false;
        }
        if (!printer_->held.erase(id)) {
            set_last_error_message("job " + std::to_string(id) + " is not held");
            return false;
        }
        printer_->released.push_back(id);
        return true;
    }

    std::shared_ptr<MemoryPrinter> printer_;
    std::string name_;
};

} // namespace

bool MemoryPrinterDevice::draw_text(const TextRun& run) {
    if (!printer_.take_call(PrinterCall::draw_text))
        return false;
    document().pages.back().runs.push_back(record_run(run));
    return true;
}

void use_memory_printer(std::shared_ptr<MemoryPrinter> printer, const std::string& name) {
    set_printer_system(std::make_shared<MemoryPrinterSystem>(std::move(printer), name));
}

} // namespace zvp
