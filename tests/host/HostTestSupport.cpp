#include "tests/host/HostTestSupport.h"

#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

#include <atomic>

namespace host_tests {

namespace {

std::string CaptureFileName(const char* tag) {
    static std::atomic<unsigned> counter{0};
    char path[MAX_PATH];
    ::GetTempPathA(sizeof path, path);
    return std::string(path) + "orvane-host-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(counter++) + "-" + tag + ".txt";
}

UniqueFile InheritableOutput(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return UniqueFile(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Sets variables for the child and puts the old values back when it goes out of scope.
class EnvironmentOverride {
public:
    explicit EnvironmentOverride(const std::map<std::string, std::string>& values) {
        for (const auto& [name, value] : values) {
            char old[4096];
            const DWORD length = ::GetEnvironmentVariableA(name.c_str(), old, sizeof old);
            saved_.emplace_back(name,
                                length > 0 && length < sizeof old ? std::string(old, length) : std::string());
            ::SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
        }
    }
    ~EnvironmentOverride() {
        for (const auto& [name, value] : saved_)
            ::SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
    }

private:
    std::vector<std::pair<std::string, std::string>> saved_;
};

} // namespace

ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs,
                         const std::map<std::string, std::string>& environment) {
    ProcessResult result;
    const std::string outPath = CaptureFileName("out"), errPath = CaptureFileName("err");
    {
        UniqueFile out = InheritableOutput(outPath), err = InheritableOutput(errPath);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out.get();
        startup.hStdError = err.get();
        PROCESS_INFORMATION info{};
        std::string line = commandLine;
        EnvironmentOverride override(environment);
        result.started = ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &info) != FALSE;
        if (!result.started) {
            result.startError = ::GetLastError();
        } else {
            UniqueHandle process(info.hProcess), thread(info.hThread);
            result.finished = ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
            if (!result.finished) {
                ::TerminateProcess(process.get(), 1);
                ::WaitForSingleObject(process.get(), 10000);
            }
            ::GetExitCodeProcess(process.get(), &result.exitCode);
        }
    }
    result.out = ReadWholeFile(outPath);
    result.err = ReadWholeFile(errPath);
    ::DeleteFileA(outPath.c_str());
    ::DeleteFileA(errPath.c_str());
    return result;
}

std::string ReadWholeFile(const std::string& path) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string contents;
    if (!file)
        return contents;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        contents.append(buffer, read);
    return contents;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool CopyInto(const std::string& source, const std::string& folder, const std::string& name) {
    const std::string target =
        folder + "\\" + (name.empty() ? source.substr(source.find_last_of("\\/") + 1) : name);
    return ::CopyFileA(source.c_str(), target.c_str(), FALSE) != FALSE;
}

std::string BinFolder() {
    return FolderOf(test_support::ThisExecutable());
}

std::string WindowsPath(const std::string& path) {
    std::string windows = path;
    for (char& c : windows) {
        if (c == '/')
            c = '\\';
    }
    return windows;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> ReportSection(const std::string& report, const std::string& heading) {
    std::vector<std::string> section;
    bool inside = false;
    for (const std::string& line : Lines(report)) {
        if (!inside) {
            inside = line.rfind(heading + " (", 0) == 0;
            continue;
        }
        if (line.empty())
            break;
        section.push_back(line.size() >= 2 ? line.substr(2) : line);
    }
    return section;
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

bool ReadRegistryValue(HKEY root, const std::string& subKey, const std::string& name, DWORD& type,
                       std::vector<std::uint8_t>& data, REGSAM view) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ | view, &raw) != ERROR_SUCCESS)
        return false;
    UniqueKey key(raw);
    DWORD size = 0;
    if (::RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    data.resize(size);
    if (::RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return false;
    data.resize(size);
    return true;
}

} // namespace host_tests
