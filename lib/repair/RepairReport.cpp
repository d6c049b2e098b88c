#include "repair/RepairReport.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>

#include "os/Os.h"
#include "platform/Diagnostics.h"

namespace gwu {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct ReportState {
    std::mutex mutex;
    std::unique_ptr<std::FILE, FileCloser> file;
    bool opened = false;  // the one attempt of this run has been made
    bool failed = false;  // a failure has been reported on the monitor
    std::string folder;   // set by a test; empty: the folder the host names
};

ReportState& State() {
    static ReportState state;
    return state;
}

void ReportFailure(ReportState& state, const char* what, int cause) {
    if (!state.failed) {
        state.failed = true;
        MonPrintf("Repair report %s %s failed: %d", RepairReport::kFileName, what, cause);
    }
}

}  // namespace

void RepairReport::Line(const std::string& line) {
    ReportState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.opened) {
        state.opened = true;
        // The host names the folder; by default the report goes beside the host's executable.
        std::string folder = state.folder.empty() ? GetRepairReportFolder() : state.folder;
        if (folder.empty()) {
            folder = os::ExecutableFolder();
        }
        // Binary mode: the CR LF line ends are written as they are on every platform.
        const std::string path = os::JoinPath(folder, kFileName);
        const int injected = os::CheckFileOp(os::FileOp::Open, path);
        if (injected == 0) {
            state.file.reset(std::fopen(path.c_str(), "wb"));
        }
        if (!state.file) {
            ReportFailure(state, "create", injected != 0 ? injected : errno);
        }
    }
    if (!state.file) {
        return;
    }
    const std::string text = line + "\r\n";
    const int injected = os::CheckFileOp(os::FileOp::Write, kFileName);
    if (injected != 0 ||
        std::fwrite(text.data(), 1, text.size(), state.file.get()) != text.size() ||
        std::fflush(state.file.get()) != 0) {
        ReportFailure(state, "write", injected != 0 ? injected : errno);
    }
}

void RepairReport::RestartForTesting(const std::string& folder) {
    ReportState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.file.reset();
    state.opened = false;
    state.failed = false;
    state.folder = folder;
}

}  // namespace gwu
