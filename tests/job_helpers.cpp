#include "job_helpers.h"

#include "platform/portable/testing/hooks.h"
#include "render/print_job.h"
#include "spool/poller.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace zvtest {

zvp::MemoryPrinterSetup printer_300dpi() {
    zvp::MemoryPrinterSetup s;
    s.dpi_x = s.dpi_y = 300;
    s.horzres = 2480;
    s.vertres = 3508;
    return s;
}

int print_bytes(HDC dc, const std::string& bytes, JobPrintState* state) {
    TempDir dir;
    dir.write("job.zv", bytes);
    FILE* f = std::fopen(dir.file("job.zv").c_str(), "rb");
    JobPrintState fresh;
    JobPrintState* job = state != nullptr ? state : &fresh;
    print_job_stream(dc, f, NULL, job);
    std::fclose(f);
    return job->end == JOB_WHOLE ? 0 : 1;
}

std::vector<int> print_jobs(zvp::MemoryPrinter& printer, const std::vector<std::string>& jobs,
                            JobPrintState* state) {
    JobPrintState fresh;
    JobPrintState* carried = state != nullptr ? state : &fresh;
    std::vector<int> results;
    for (const auto& job : jobs) {
        HDC dc = printer.create_dc();
        DOCINFOA doc{};
        doc.cbSize = sizeof doc;
        doc.lpszDocName = "ZV: Printing";
        if (StartDocA(dc, &doc) > 0) {
            results.push_back(print_bytes(dc, job, carried));
            EndDoc(dc);
        }
        DeleteDC(dc);
    }
    return results;
}

void PrinterFailure::apply(const std::shared_ptr<zvp::MemoryPrinter>& printer) const {
    zvp::use_memory_printer(no_printer ? nullptr : printer);
    if (!no_printer)
        printer->fail(call, 1, 0);
}

std::vector<PrinterFailure> printer_failures() {
    using zvp::PrinterCall;
    return {{"NoDefaultPrinter", true, PrinterCall::start_doc},
            {"DocumentRefused", false, PrinterCall::start_doc},
            {"PageRefused", false, PrinterCall::start_page},
            {"TextNotDrawn", false, PrinterCall::draw_text},
            {"PageNotEnded", false, PrinterCall::end_page},
            {"DocumentNotEnded", false, PrinterCall::end_doc}};
}

std::string failure_name(const testing::TestParamInfo<PrinterFailure>& info) {
    return info.param.name;
}

void PrintTo(const PrinterFailure& failure, std::ostream* out) {
    *out << failure.name;
}

std::vector<std::string> describe(const zvp::RecordedPage& page) {
    std::vector<std::string> out;
    for (const auto& run : page.runs)
        out.push_back(std::to_string(run.x) + "," + std::to_string(run.y) + ":" + run.bytes);
    return out;
}

#ifdef _WIN32
static const char STATE_VARIABLE[] = "LOCALAPPDATA";
static void set_variable(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
}
#else
static const char STATE_VARIABLE[] = "XDG_STATE_HOME";
static void set_variable(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}
#endif

void InTempWorkingDir::SetUp() {
    zvp::reset_for_testing();
    spooler = std::make_unique<Spooler>();
    spooler->settings.quiet_ms = 0;
    spooler->settings.refusal_backoff_ms = 0;
    old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const char* state = std::getenv(STATE_VARIABLE);
    old_state_ = state ? state : "";
    set_variable(STATE_VARIABLE, dir.file("state"));
    zvp::use_memory_printer(printer);
}

void InTempWorkingDir::TearDown() {
    end_spooler(spooler.get());
    std::filesystem::current_path(old_cwd);
    set_variable(STATE_VARIABLE, old_state_);
    zvp::use_memory_printer(nullptr);
}

int InTempWorkingDir::poll_folder() {
    return poll_spool_directory(spooler.get());
}

void InTempWorkingDir::restart() {
    SpoolerSettings settings = spooler->settings;
    end_spooler(spooler.get());
    spooler = std::make_unique<Spooler>();
    spooler->settings = settings;
}

void InTempWorkingDir::add_job(const std::string& name, const std::string& bytes) {
    std::filesystem::create_directories("ZV");
    dir.write("ZV/" + name, bytes);
    age(name);
}

void InTempWorkingDir::age(const std::string& name, int seconds) {
    std::filesystem::last_write_time("ZV/" + name, std::filesystem::file_time_type::clock::now() -
                                                       std::chrono::seconds(seconds));
}

TempDir::TempDir() {
    static std::mt19937_64 random{std::random_device{}()};
    auto base = std::filesystem::temp_directory_path();
    do
        path_ = (base / ("zvtest." + std::to_string(random()))).string();
    while (!std::filesystem::create_directory(path_));
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& bytes) const {
    std::ofstream(file(name), std::ios::binary) << bytes;
}

#ifdef _WIN32
LogCapture::LogCapture() {
    std::remove("zvspool.log");
}
LogCapture::~LogCapture() = default;
std::string LogCapture::text() {
    return read_file("zvspool.log");
}
#else
LogCapture::LogCapture() {
    testing::internal::CaptureStderr();
}
LogCapture::~LogCapture() {
    testing::internal::GetCapturedStderr();
}
std::string LogCapture::text() {
    captured_ += testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    return captured_;
}
#endif

int LogCapture::count(const std::string& part) {
    std::istringstream lines(text());
    int n = 0;
    for (std::string line; std::getline(lines, line);)
        n += line.find(part) != std::string::npos;
    return n;
}

int LogCapture::count(std::initializer_list<std::string> facts) {
    return lines_with(text(), facts);
}

int lines_with(const std::string& text, std::initializer_list<std::string> facts) {
    std::istringstream lines(text);
    int n = 0;
    for (std::string line; std::getline(lines, line);) {
        bool all = true;
        for (const std::string& fact : facts)
            all = all && line.find(fact) != std::string::npos;
        n += all;
    }
    return n;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

#ifndef _WIN32
int run_command(const std::string& command, std::string* output) {
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
        text.append(buffer, n);
    int status = pclose(p);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

} // namespace zvtest
