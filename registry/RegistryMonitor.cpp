#include "registry/RegistryMonitor.h"

#include "registry/DriverService.h"
#include "registry/LogFraming.h"

#include <cstring>
#include <memory>
#include <new>

std::atomic<CRegistryMonitor*> g_timerMonitor{nullptr};

namespace {

constexpr UINT kPullPeriodMs = 500;
constexpr DWORD kTickBudgetMs = 500;

// Empty when the system directory cannot be told (or memory runs out): the monitor stays inert.
std::string DefaultDriverPath() noexcept {
    char system[256];
    const UINT length = ::GetSystemDirectoryA(system, sizeof system);
    if (length == 0 || length >= sizeof system)
        return std::string();
    try {
        return std::string(system, length) + REGMON_DRIVER_SUBPATH;
    } catch (...) {
        return std::string();
    }
}

void CopyFilterText(char (&field)[REGMON_FILTER_TEXT_SIZE], const char* text) {
    std::memcpy(field, text, std::strlen(text) + 1);
}

} // namespace

void CRegistryMonitor::OnPullTimer(void* monitor) noexcept {
    try {
        static_cast<CRegistryMonitor*>(monitor)->PullLog();
    } catch (...) {
        // Out of memory mid-block: the lines stored so far stay, the rest of that block is lost.
    }
}

CRegistryMonitor::CRegistryMonitor() : CRegistryMonitor(DefaultDriverPath()) {}

CRegistryMonitor::CRegistryMonitor(const std::string& driverPath) {
    if (driverPath.empty()) {
        driverFailure_ = ERROR_PATH_NOT_FOUND;
        return;
    }
    device_ = InstallAndOpenDriver(REGMON_SERVICE_NAME, driverPath.c_str(), &driverFailure_);
    if (!device_) {
        // Nothing usable, and no broken service left registered for the life of the process.
        StopAndDeleteService(REGMON_SERVICE_NAME);
        return;
    }
    if (!Control(IOCTL_GET_VERSION, nullptr, 0, &driverVersion_, sizeof driverVersion_) ||
        driverVersion_ != REGMON_VERSION) {
        GiveUpDriver();
        return;
    }
    SendFilter();
}

CRegistryMonitor::~CRegistryMonitor() {
    KillPullTimer();
    if (device_.valid())
        GiveUpDriver();
}

void CRegistryMonitor::GiveUpDriver() {
    device_.reset();
    StopAndDeleteService(REGMON_SERVICE_NAME);
}

void CRegistryMonitor::SendFilter() {
    CopyFilterText(filter_.text1, "*");
    CopyFilterText(filter_.text2, "");
    CopyFilterText(filter_.text3, "*");
    CopyFilterText(filter_.text4, "");
    filter_.switch1 = filter_.switch2 = filter_.switch3 = filter_.switch4 = 1;
    Control(IOCTL_SET_FILTER, &filter_, sizeof filter_, nullptr, 0);
}

bool CRegistryMonitor::Control(DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize) {
    bytesReturned_ = 0;
    return ::DeviceIoControl(device_.get(), code, input, inputSize, output, outputSize, &bytesReturned_,
                             nullptr) != FALSE;
}

void CRegistryMonitor::Start(int, const std::string&) {
    if (!device_.valid())
        return;
    KillPullTimer();
    changes_.clear();
    entries_.clear();
    rawLines_.clear();
    if (!Control(IOCTL_START_CAPTURE, nullptr, 0, nullptr, 0))
        return;
    captureBegun_ = true;
    g_timerMonitor.store(this);
    pullTimer_.Start(kPullPeriodMs, OnPullTimer, this);
}

void CRegistryMonitor::Stop() {
    if (!device_.valid())
        return;
    KillPullTimer();
    const bool captureOff = Control(IOCTL_STOP_CAPTURE, nullptr, 0, nullptr, 0);
    // A log this monitor did not begin belongs to someone else, such as a host that crashed.
    const bool logIsOurs = captureBegun_;
    captureBegun_ = false;
    try {
        // A driver still capturing may log faster than it is read: no last pull then. Otherwise
        // one tick's worth, so that Stop never holds the host's thread longer than a tick does.
        if (captureOff && logIsOurs)
            PullLog();
    } catch (...) {
        // Out of memory mid-block: the lines stored before it are still parsed.
    }
    try {
        ParseLog();
    } catch (...) {
        // Out of memory: the change set keeps what was made of the lines before.
    }
}

const std::set<IConfInfoInc::_ConfInfo>& CRegistryMonitor::GetChanges() const {
    return changes_;
}

// Also from the destructor on the thread that unloads the library, which need not be the one that
// called Start: the timer's owner handles that (see ThreadTimer).
void CRegistryMonitor::KillPullTimer() {
    pullTimer_.Stop();
    CRegistryMonitor* self = this;
    g_timerMonitor.compare_exchange_strong(self, nullptr);
}

void CRegistryMonitor::PullLog() {
    if (!device_.valid())
        return;
    const DWORD t0 = ::GetTickCount();
    // One buffer for every read, made on the first; each block is then copied once into the raw
    // lines. (Reads straight into the raw lines' fresh storage were measured slower under Wine.)
    if (!readBlock_)
        readBlock_.reset(new (std::nothrow) char[REGMON_READ_SIZE]);
    if (!readBlock_)
        return;
    for (;;) {
        if (!Control(IOCTL_READ_LOG, nullptr, 0, readBlock_.get(), REGMON_READ_SIZE) || bytesReturned_ == 0)
            return;
        AppendLogRecords(readBlock_.get(), bytesReturned_, REGMON_READ_SIZE, rawLines_);
        if (::GetTickCount() - t0 > kTickBudgetMs)
            return;
    }
}

void CRegistryMonitor::ParseLog() {
    KeepLogLines(rawLines_, entries_);
    CancelDeletedKeys(entries_);
    ReadBackValues(entries_, changes_);
}
