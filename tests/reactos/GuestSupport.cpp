#include "tests/reactos/GuestSupport.h"

#include "registry/LogFraming.h"
#include "registry/RawLineList.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

namespace guest {

std::string Ansi(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int bytes =
        ::WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(size_t(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        ::WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), &result[0], bytes, nullptr, nullptr);
    return result;
}

bool SplitLogLine(const std::string& text, LogLine& line) {
    std::string* const fields[] = {&line.process, &line.operation, &line.path, &line.result, &line.detail};
    size_t start = 0;
    for (size_t i = 0; i < 5; ++i) {
        const size_t tab = text.find('\t', start);
        if ((tab == std::string::npos) != (i == 4))
            return false;
        *fields[i] = text.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
        start = tab + 1;
    }
    line.text = text;
    return true;
}

void DeleteTree(HKEY root, const std::wstring& subKey) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, &opened) == ERROR_SUCCESS) {
        UniqueKey key(opened);
        std::vector<std::wstring> children;
        wchar_t name[256];
        for (DWORD index = 0;; ++index) {
            DWORD length = sizeof name / sizeof name[0];
            if (::RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            children.emplace_back(name, length);
        }
        for (const std::wstring& child : children)
            DeleteTree(root, subKey + L"\\" + child);
    }
    ::RegDeleteKeyW(root, subKey.c_str());
}

namespace {

std::wstring UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    return std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
}

} // namespace

ScratchKey::ScratchKey(HKEY root, const char* rootName, const std::string& tag, const std::wstring& parent)
    : root_(root), rootName_(rootName), parent_(parent),
      subKey_(parent + L"\\" + std::wstring(tag.begin(), tag.end()) + L"-" + UniqueSuffix()) {
    Create(L"");
}

ScratchKey::~ScratchKey() {
    DeleteTree(root_, subKey_);
    ::RegDeleteKeyW(root_, parent_.c_str()); // only once no other key is below it
}

std::string ScratchKey::LogPath(const std::wstring& below) const {
    return rootName_ + "\\" + Ansi(subKey_) + "\\" + Ansi(below);
}

UniqueKey ScratchKey::Create(const std::wstring& child) const {
    HKEY key = nullptr;
    const LONG created =
        ::RegCreateKeyExW(root_, Below(child).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (created != ERROR_SUCCESS)
        throw std::runtime_error("cannot create " + Ansi(Below(child)) + ": error " +
                                 std::to_string(created));
    return UniqueKey(key);
}

GuestDevice::GuestDevice()
    : handle_(::CreateFileA(REGMON_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {
    lastError_ = handle_.valid() ? 0 : ::GetLastError();
}

bool GuestDevice::Control(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize) {
    bytesReturned_ = 0;
    const BOOL ok = ::DeviceIoControl(handle_.get(), code, const_cast<void*>(input), inputSize, output,
                                      outputSize, &bytesReturned_, nullptr);
    lastError_ = ok ? 0 : ::GetLastError();
    return ok != FALSE;
}

std::vector<std::string> GuestDevice::TakeAll(DWORD readCode) {
    std::vector<char> block(REGMON_READ_SIZE);
    RawLineList lines;
    while (Control(readCode, nullptr, 0, block.data(), DWORD(block.size())) && bytesReturned_ != 0)
        AppendLogRecords(block.data(), bytesReturned_, block.size(), lines);
    std::vector<std::string> texts;
    for (std::string_view line : lines)
        texts.emplace_back(line);
    return texts;
}

bool GuestDevice::State(REGMON_CAPTURE_STATE& state) {
    ZeroMemory(&state, sizeof state);
    return Control(IOCTL_QUERY_CAPTURE_STATE, nullptr, 0, &state, sizeof state) &&
           bytesReturned_ == sizeof state;
}

bool ServiceExists() {
    UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    return manager && UniqueService(::OpenServiceA(manager.get(), REGMON_SERVICE_NAME, SERVICE_QUERY_STATUS));
}

std::string DescribeCounts(const REGMON_CAPTURE_STATE& state) {
    return "lostLogFull=" + std::to_string(state.linesLostLogFull) +
           " forbidden=" + std::to_string(state.linesForbidden) +
           " unconvertible=" + std::to_string(state.linesUnconvertible) +
           " unmapped=" + std::to_string(state.linesUnmapped) +
           " nameQueriesFailed=" + std::to_string(state.nameQueriesFailed) +
           " unpaired=" + std::to_string(state.linesUnpaired) +
           " deletionsUnchecked=" + std::to_string(state.deletionsUnchecked);
}

std::string ThisImageName() {
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
    const std::string full(path, length < sizeof path ? length : 0);
    const size_t slash = full.find_last_of("\\/");
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

void Report(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    ::OutputDebugStringA((text + "\n").c_str());
}

} // namespace guest
