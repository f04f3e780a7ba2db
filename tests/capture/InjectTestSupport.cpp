#include "tests/capture/InjectTestSupport.h"

#include "capture/inject/InjectorProcess.h"
#include "tests/support/TestSupport.h"

#include <utility>

namespace inject_test {
namespace {

// How long a child ended by a test is given to go.
constexpr DWORD kEndWaitMs = 5000;

std::wstring FolderOf(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

} // namespace

std::wstring Widen(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int length =
        ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int length = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                             0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &narrow[0], length, nullptr,
                          nullptr);
    return narrow;
}

std::wstring BinFolder() {
    return FolderOf(Widen(test_support::ThisExecutable()));
}

std::wstring PeerBinFolder() {
    std::wstring folder = Widen(ORVANE_PEER_BIN_DIR);
    if (folder.empty() || folder == L"/bin")
        return std::wstring();
    for (wchar_t& c : folder) {
        if (c == L'/')
            c = L'\\';
    }
    return L"Z:" + folder; // the Unix root under Wine
}

std::wstring TargetIn(const std::wstring& folder) {
    return folder + L"\\inject-fixture-target.exe";
}

std::wstring PayloadIn(const std::wstring& folder) {
    return folder + L"\\inject-fixture-payload.dll";
}

std::wstring InjectorIn(const std::wstring& folder, int bits) {
    return folder + L"\\orvane-inject" + std::to_wstring(bits) + L".exe";
}

std::wstring TestProgramIn(const std::wstring& folder) {
    return folder + L"\\capture_inject_tests.exe";
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CopyTo(const std::wstring& from, const std::wstring& to) {
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool IsAscii(const std::wstring& text) {
    for (const wchar_t c : text) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

std::wstring ShortPathOf(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length = ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH * 2);
    return length == 0 || length >= MAX_PATH * 2 ? std::wstring() : std::wstring(buffer, length);
}

Child::Child(const std::wstring& program, const std::wstring& arguments, bool suspended) {
    std::wstring commandLine = capture::QuoteArgument(program);
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                         suspended ? CREATE_SUSPENDED : 0, nullptr, nullptr, &startup, &created)) {
        process_ = UniqueHandle(created.hProcess);
        thread_ = UniqueHandle(created.hThread);
    }
}

Child::~Child() {
    if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_.get(), 1);
        ::WaitForSingleObject(process_.get(), kEndWaitMs);
    }
}

DWORD Child::ResumeAndWait(DWORD waitMs) {
    if (thread_)
        ::ResumeThread(thread_.get());
    return Wait(waitMs);
}

DWORD Child::Wait(DWORD waitMs) {
    DWORD exitCode = kDidNotEnd;
    if (::WaitForSingleObject(process_.get(), waitMs) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process_.get(), &exitCode))
        return kDidNotEnd;
    return exitCode;
}

ScopedVariable::ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
    ::SetEnvironmentVariableW(name, value);
}

ScopedVariable::~ScopedVariable() {
    ::SetEnvironmentVariableW(name_, nullptr);
}

WideFolder::WideFolder(std::wstring path) : path_(std::move(path)) {
    made_ = ::CreateDirectoryW(path_.c_str(), nullptr) != FALSE;
}

WideFolder::~WideFolder() {
    for (const std::wstring& file : files_)
        ::DeleteFileW(file.c_str());
    if (made_)
        ::RemoveDirectoryW(path_.c_str());
}

std::wstring WideFolder::Add(const std::wstring& name, const std::wstring& from) {
    const std::wstring path = path_ + L"\\" + name;
    if (!CopyTo(from, path))
        return std::wstring();
    files_.push_back(path);
    return path;
}

std::vector<uintptr_t> AddressSpaceOf(HANDLE process) {
    std::vector<uintptr_t> regions;
    uintptr_t at = 0;
    MEMORY_BASIC_INFORMATION region{};
    while (::VirtualQueryEx(process, reinterpret_cast<void*>(at), &region, sizeof region) != 0) {
        const uintptr_t base = reinterpret_cast<uintptr_t>(region.BaseAddress);
        regions.insert(regions.end(), {base, region.RegionSize, region.State});
        if (base + region.RegionSize <= at)
            break;
        at = base + region.RegionSize;
    }
    return regions;
}

} // namespace inject_test
