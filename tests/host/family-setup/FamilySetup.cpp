// orvane-family-setup: a setup whose registry writes are spread over a tree of processes, for the
// capture tests. It runs the steps named on its command line in order:
//
//   write NAME          HKCU\Software\OrvaneFamily\NAME = "<bits>-bit" (REG_SZ)
//   machine NAME        HKLM\Software\OrvaneFamily\NAME = "<bits>-bit" in the process's own view
//   reg                 cmd /c reg add HKCU\Software\OrvaneFamily /v FromReg /d x /f
//   inf PATH            rundll32 setupapi.dll,InstallHinfSection DefaultInstall 128 PATH, as an INF
//                       install runs it
//   shell NAME          this program again through ShellExecuteEx, as "write NAME"
//   killed NAME         this program again as "hold NAME <pid>", ended with TerminateProcess as soon
//                       as it says it has written
//   hold NAME PID       (the killed child's part) write NAME, say so, then wait to be ended
//   child EXE STEP...   EXE, a family setup of either bitness, with all the steps that follow
//   big NAME BYTES      HKCU\Software\OrvaneFamily\NAME = BYTES bytes of REG_BINARY (byte i is i*7+1)
//   prune KEY           deletes HKCU\Software\OrvaneFamily\KEY with everything below it
//   pid NAME            HKCU\Software\OrvaneFamily\NAME = this process's id (REG_DWORD)
//   clsid NAME          HKCU\CLSID\{4F525646-0000-4000-8000-46414D494C59}\NAME = "<bits>-bit" (REG_SZ)
//   delete NAME         deletes the value HKCU\Software\OrvaneFamily\NAME (RegDeleteValue)
//   overwrite PATH      replaces the file PATH (CREATE_ALWAYS) with one line of text
//   uninstall           removes both OrvaneFamily keys, in the 32-bit and the 64-bit view
//   service NAME        creates the demand-start service NAME (CreateServiceA) and gives it the
//                       description "Orvane family service" (ChangeServiceConfig2W)
//   disable NAME        sets the service NAME's start type to disabled (OpenServiceW, ChangeServiceConfigW)
//   unservice NAME      deletes the service NAME (OpenServiceA, DeleteService)
//   startservice NAME PATH  copies orvane-family-service.exe from beside this program to PATH, makes
//                       it the program of the new demand-start service NAME, starts the service and
//                       waits (at most a minute) until it runs
//   run COMMAND         runs the command line COMMAND, its output discarded, and wants exit status 0
//   badservices PATH    asks the service manager for what it must refuse (no name, a name too long or
//                       with a separator, a service that exists, bad handles) and writes what each
//                       call answered, and its last error, to PATH. (A name or handle the system
//                       cannot read is left out: Wine's marshalling crashes the program on it.)
//
// Every process a step starts is waited for. The exit status is 0 when every step did what it
// says, 1 when one failed (stderr says which), 2 for a command line it does not understand.
#include "host/track/CommandLine.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <objbase.h>
#include <shellapi.h>
#include <winsvc.h>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

constexpr char kKey[] = "Software\\OrvaneFamily";
// Below HKCU\CLSID, a key the library leaves out by its name.
constexpr char kClsidKey[] = "CLSID\\{4F525646-0000-4000-8000-46414D494C59}";
constexpr DWORD kChildDeadlineMs = 120000;
constexpr int kKilledExitCode = 9;

struct StepFailed {
    std::string what;
};

std::string Bitness() {
    return sizeof(void*) == 8 ? "64-bit" : "32-bit";
}

std::string ThisProgram() {
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
}

std::string Describe(const char* call, DWORD error) {
    return std::string(call) + " failed with error " + std::to_string(error);
}

// RegSetKeyValue, RegDeleteKeyValue and RegDeleteTree came with Vista: found when first used, so
// that the family setup also loads on XP and Server 2003, where a step needing one fails alone.
template <typename Function>
Function* Advapi32Entry(const char* name) {
    const HMODULE advapi = ::GetModuleHandleA("advapi32.dll");
    return advapi == nullptr
               ? nullptr
               : reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(advapi, name)));
}

LONG SetKeyValue(HKEY root, const char* key, const char* name, DWORD type, const void* data, DWORD size) {
    static auto* const entry =
        Advapi32Entry<LONG WINAPI(HKEY, LPCSTR, LPCSTR, DWORD, LPCVOID, DWORD)>("RegSetKeyValueA");
    return entry != nullptr ? entry(root, key, name, type, data, size) : ERROR_CALL_NOT_IMPLEMENTED;
}

LONG DeleteKeyValue(HKEY root, const char* key, const char* name) {
    static auto* const entry = Advapi32Entry<LONG WINAPI(HKEY, LPCSTR, LPCSTR)>("RegDeleteKeyValueA");
    return entry != nullptr ? entry(root, key, name) : ERROR_CALL_NOT_IMPLEMENTED;
}

LONG DeleteTree(HKEY root, const char* key) {
    static auto* const entry = Advapi32Entry<LONG WINAPI(HKEY, LPCSTR)>("RegDeleteTreeA");
    return entry != nullptr ? entry(root, key) : ERROR_CALL_NOT_IMPLEMENTED;
}

// The user's value goes through RegSetKeyValue, the machine's through RegCreateKeyEx and
// RegSetValueEx: the capture must see every API's writes.
void WriteUserValue(const std::string& name) {
    const std::string data = Bitness();
    const LONG result = SetKeyValue(HKEY_CURRENT_USER, kKey, name.c_str(), REG_SZ, data.c_str(),
                                    static_cast<DWORD>(data.size() + 1));
    if (result != ERROR_SUCCESS)
        throw StepFailed{"write " + name + ": " + Describe("RegSetKeyValue", static_cast<DWORD>(result))};
}

void WriteMachineValue(const std::string& name) {
    HKEY raw = nullptr;
    LONG result =
        ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &raw, nullptr);
    if (result != ERROR_SUCCESS)
        throw StepFailed{"machine " + name + ": " + Describe("RegCreateKeyEx", static_cast<DWORD>(result))};
    UniqueKey key(raw);
    const std::string data = Bitness();
    result = ::RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                              static_cast<DWORD>(data.size() + 1));
    if (result != ERROR_SUCCESS)
        throw StepFailed{"machine " + name + ": " + Describe("RegSetValueEx", static_cast<DWORD>(result))};
}

// HKCU\Software\NAME made with its value "Mixed Value" where it is missing, then the value written
// through the key's upper-cased path and its upper-cased name: the registry keeps the first spelling
// of each, whatever case a later write hands them over in.
void WriteInMixedCase(const std::string& name) {
    const std::string key = "Software\\" + name;
    std::string upper = key;
    for (char& c : upper)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    HKEY raw = nullptr;
    const bool made =
        ::RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_QUERY_VALUE, &raw) == ERROR_SUCCESS;
    const UniqueKey existing(made ? raw : nullptr);
    const struct {
        const std::string& key;
        const char* value;
        std::string data;
    } writes[] = {{key, "Mixed Value", "first"}, {upper, "MIXED VALUE", "second"}};
    for (const auto& write : writes) {
        if (made && &write == &writes[0])
            continue;
        LONG result = ::RegCreateKeyExA(HKEY_CURRENT_USER, write.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                        nullptr, &raw, nullptr);
        const UniqueKey opened(result == ERROR_SUCCESS ? raw : nullptr);
        if (result == ERROR_SUCCESS)
            result = ::RegSetValueExA(opened.get(), write.value, 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(write.data.c_str()),
                                      static_cast<DWORD>(write.data.size() + 1));
        if (result != ERROR_SUCCESS)
            throw StepFailed{"case " + name + ": " + Describe("RegSetValueEx", static_cast<DWORD>(result))};
    }
}

void WriteBigValue(const std::string& name, const std::string& size) {
    std::vector<unsigned char> data(std::strtoul(size.c_str(), nullptr, 10));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 1);
    const LONG result = SetKeyValue(HKEY_CURRENT_USER, kKey, name.c_str(), REG_BINARY, data.data(),
                                    static_cast<DWORD>(data.size()));
    if (result != ERROR_SUCCESS)
        throw StepFailed{"big " + name + ": " + Describe("RegSetKeyValue", static_cast<DWORD>(result))};
}

void WriteProcessId(const std::string& name) {
    const DWORD id = ::GetCurrentProcessId();
    const LONG result = SetKeyValue(HKEY_CURRENT_USER, kKey, name.c_str(), REG_DWORD, &id, sizeof id);
    if (result != ERROR_SUCCESS)
        throw StepFailed{"pid " + name + ": " + Describe("RegSetKeyValue", static_cast<DWORD>(result))};
}

void WriteClsidValue(const std::string& name) {
    const std::string data = Bitness();
    const LONG result = SetKeyValue(HKEY_CURRENT_USER, kClsidKey, name.c_str(), REG_SZ, data.c_str(),
                                    static_cast<DWORD>(data.size() + 1));
    if (result != ERROR_SUCCESS)
        throw StepFailed{"clsid " + name + ": " + Describe("RegSetKeyValue", static_cast<DWORD>(result))};
}

void DeleteUserValue(const std::string& name) {
    const LONG result = DeleteKeyValue(HKEY_CURRENT_USER, kKey, name.c_str());
    if (result != ERROR_SUCCESS)
        throw StepFailed{"delete " + name + ": " + Describe("RegDeleteKeyValue", static_cast<DWORD>(result))};
}

void PruneKey(const std::string& name) {
    const LONG result = DeleteTree(HKEY_CURRENT_USER, (std::string(kKey) + "\\" + name).c_str());
    if (result != ERROR_SUCCESS)
        throw StepFailed{"prune " + name + ": " + Describe("RegDeleteTree", static_cast<DWORD>(result))};
}

void OverwriteFile(const std::string& path) {
    const UniqueFile file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    const char text[] = "overwritten by the family setup\r\n";
    DWORD written = 0;
    if (!file || !::WriteFile(file.get(), text, sizeof text - 1, &written, nullptr))
        throw StepFailed{"overwrite " + path + ": " + Describe("CreateFile/WriteFile", ::GetLastError())};
}

// The family's services run nothing: they are only ever created, changed and deleted.
constexpr char kServiceBinary[] = "C:\\windows\\system32\\orvane-family-service.exe";
constexpr wchar_t kServiceDescription[] = L"Orvane family service";

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { ::CloseServiceHandle(handle); }
};
using UniqueService = std::unique_ptr<std::remove_pointer<SC_HANDLE>::type, ServiceHandleCloser>;

UniqueService OpenManager(const std::string& step) {
    UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT));
    if (!manager)
        throw StepFailed{step + ": " + Describe("OpenSCManager", ::GetLastError())};
    return manager;
}

void CreateFamilyService(const std::string& name) {
    const std::string step = "service " + name;
    const UniqueService manager = OpenManager(step);
    const std::string display = "Orvane family " + name;
    const UniqueService service(::CreateServiceA(manager.get(), name.c_str(), display.c_str(),
                                                 SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, kServiceBinary,
                                                 nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service)
        throw StepFailed{step + ": " + Describe("CreateServiceA", ::GetLastError())};
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kServiceDescription)};
    if (!::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description))
        throw StepFailed{step + ": " + Describe("ChangeServiceConfig2W", ::GetLastError())};
}

void DisableFamilyService(const std::string& name) {
    const std::string step = "disable " + name;
    const UniqueService manager = OpenManager(step);
    const std::wstring wide(name.begin(), name.end());
    const UniqueService service(::OpenServiceW(manager.get(), wide.c_str(), SERVICE_CHANGE_CONFIG));
    if (!service)
        throw StepFailed{step + ": " + Describe("OpenServiceW", ::GetLastError())};
    if (!::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        throw StepFailed{step + ": " + Describe("ChangeServiceConfigW", ::GetLastError())};
}

constexpr DWORD kServiceStartMs = 60000;

void StartFamilyService(const std::string& name, const std::string& path) {
    const std::string step = "startservice " + name;
    const std::string program = ThisProgram();
    const std::string source =
        program.substr(0, program.find_last_of('\\') + 1) + "orvane-family-service.exe";
    if (!::CopyFileA(source.c_str(), path.c_str(), FALSE))
        throw StepFailed{step + ": " + Describe("CopyFileA", ::GetLastError())};
    const UniqueService manager = OpenManager(step);
    const std::string quoted = "\"" + path + "\"";
    const UniqueService service(::CreateServiceA(manager.get(), name.c_str(), name.c_str(),
                                                 SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, quoted.c_str(),
                                                 nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service)
        throw StepFailed{step + ": " + Describe("CreateServiceA", ::GetLastError())};
    if (!::StartServiceA(service.get(), 0, nullptr))
        throw StepFailed{step + ": " + Describe("StartServiceA", ::GetLastError())};
    // The service manager tells a service's state only when asked.
    const DWORD start = ::GetTickCount();
    SERVICE_STATUS status{};
    while (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_START_PENDING &&
           ::GetTickCount() - start < kServiceStartMs)
        ::Sleep(50);
    if (status.dwCurrentState != SERVICE_RUNNING)
        throw StepFailed{step + ": the service did not come to run (state " +
                         std::to_string(status.dwCurrentState) + ")"};
}

void DeleteFamilyService(const std::string& name) {
    const std::string step = "unservice " + name;
    const UniqueService manager = OpenManager(step);
    const UniqueService service(::OpenServiceA(manager.get(), name.c_str(), DELETE));
    if (!service)
        throw StepFailed{step + ": " + Describe("OpenServiceA", ::GetLastError())};
    if (!::DeleteService(service.get()))
        throw StepFailed{step + ": " + Describe("DeleteService", ::GetLastError())};
}

// What each call answered and the last error it left, one line each.
class CallTranscript {
public:
    template <typename Call>
    void Note(const char* label, Call call) {
        constexpr DWORD kUntouched = 0x0BADF00D; // a last error no call leaves by chance
        ::SetLastError(kUntouched);
        const auto result = call();
        const DWORD error = ::GetLastError();
        text_ += std::string(label) + " " + (result ? "1" : "0") + " " + std::to_string(error) + "\n";
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

void AskForWhatIsRefused(const std::string& path) {
    const UniqueService manager = OpenManager("badservices");
    const std::string tooLong(300, 'o');
    const auto create = [&](const wchar_t* name) {
        return UniqueService(::CreateServiceW(manager.get(), name, name, SERVICE_ALL_ACCESS,
                                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                              SERVICE_ERROR_NORMAL, L"C:\\orvane-bad.exe", nullptr, nullptr,
                                              nullptr, nullptr, nullptr)) != nullptr;
    };
    CallTranscript calls;
    calls.Note("CreateServiceW(no name)", [&] { return create(nullptr); });
    calls.Note("CreateServiceW(name with a separator)", [&] { return create(L"OrvaneBad\\Service"); });
    calls.Note("CreateServiceW(existing)", [&] { return create(L"OrvaneBadExisting"); });
    calls.Note("CreateServiceA(name too long)", [&] {
        return UniqueService(::CreateServiceA(manager.get(), tooLong.c_str(), nullptr, SERVICE_ALL_ACCESS,
                                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                              SERVICE_ERROR_NORMAL, "C:\\orvane-bad.exe", nullptr, nullptr,
                                              nullptr, nullptr, nullptr)) != nullptr;
    });
    calls.Note("OpenServiceW(missing)", [&] {
        return UniqueService(::OpenServiceW(manager.get(), L"OrvaneBadMissing", DELETE)) != nullptr;
    });
    calls.Note("ChangeServiceConfigW(no handle)", [&] {
        return ::ChangeServiceConfigW(nullptr, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
    });
    calls.Note("ChangeServiceConfig2W(the manager's handle)", [&] {
        SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(L"never")};
        return ::ChangeServiceConfig2W(manager.get(), SERVICE_CONFIG_DESCRIPTION, &description) != FALSE;
    });
    calls.Note("DeleteService(no handle)", [&] { return ::DeleteService(nullptr) != FALSE; });
    calls.Note("DeleteService(the manager's handle)",
               [&] { return ::DeleteService(manager.get()) != FALSE; });
    // A service opened to read alone: changing it is refused, and nothing of it changes.
    calls.Note("ChangeServiceConfigW(read-only handle)", [&] {
        const UniqueService existing(
            ::OpenServiceW(manager.get(), L"OrvaneBadExisting", SERVICE_QUERY_STATUS));
        return ::ChangeServiceConfigW(existing.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
    });
    const UniqueFile file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.get(), calls.text().data(), static_cast<DWORD>(calls.text().size()),
                              &written, nullptr))
        throw StepFailed{"badservices: " + Describe("CreateFile/WriteFile", ::GetLastError())};
}

// Starts `commandLine`; its output goes nowhere when `quiet`, so that it does not mix with a
// tracker's report on the same console.
UniqueHandle Start(const std::string& step, const std::string& commandLine, bool quiet) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueFile nul;
    if (quiet) {
        nul.reset(::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inherit, OPEN_EXISTING, 0, nullptr));
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.get();
    }
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, quiet ? TRUE : FALSE, 0, nullptr, nullptr,
                          &startup, &info))
        throw StepFailed{step + ": " + Describe("CreateProcess", ::GetLastError()) + " for " + commandLine};
    UniqueHandle thread(info.hThread);
    return UniqueHandle(info.hProcess);
}

void WaitForSuccess(const std::string& step, HANDLE process) {
    if (::WaitForSingleObject(process, kChildDeadlineMs) != WAIT_OBJECT_0)
        throw StepFailed{step + ": the process it started did not end within " +
                         std::to_string(kChildDeadlineMs / 1000) + " s"};
    DWORD code = 1;
    ::GetExitCodeProcess(process, &code);
    if (code != 0)
        throw StepFailed{step + ": the process it started ended with " + std::to_string(code)};
}

void RunRegExe() {
    const UniqueHandle process =
        Start("reg", "cmd.exe /c reg add HKCU\\Software\\OrvaneFamily /v FromReg /d x /f", true);
    WaitForSuccess("reg", process.get());
}

// The system's own rundll32, by its bare name: a process of the tree named as the shell's helpers are.
// InstallHinfSection takes the rest of the line as the INF's path, unquoted.
void RunInfInstall(const std::string& inf) {
    const UniqueHandle process =
        Start("inf", "rundll32.exe setupapi.dll,InstallHinfSection DefaultInstall 128 " + inf, true);
    WaitForSuccess("inf", process.get());
}

void RunCommand(const std::string& commandLine) {
    const UniqueHandle process = Start("run " + commandLine, commandLine, true);
    WaitForSuccess("run " + commandLine, process.get());
}

void RunThroughShell(const std::string& name) {
    const std::string program = ThisProgram(), parameters = "write " + track::QuoteArgument(name);
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "open";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (!::ShellExecuteExA(&info))
        throw StepFailed{"shell " + name + ": " + Describe("ShellExecuteEx", ::GetLastError())};
    if (info.hProcess == nullptr)
        throw StepFailed{"shell " + name + ": ShellExecuteEx gave no process handle"};
    const UniqueHandle process(info.hProcess);
    WaitForSuccess("shell " + name, process.get());
}

std::string HoldEventName(const std::string& name, DWORD parentId) {
    return "orvane-family-" + std::to_string(parentId) + "-" + name;
}

void StartAndKill(const std::string& name) {
    const std::string step = "killed " + name;
    const UniqueHandle written(
        ::CreateEventA(nullptr, TRUE, FALSE, HoldEventName(name, ::GetCurrentProcessId()).c_str()));
    if (!written)
        throw StepFailed{step + ": " + Describe("CreateEvent", ::GetLastError())};
    const UniqueHandle child =
        Start(step,
              track::QuoteArgument(ThisProgram()) + " hold " + track::QuoteArgument(name) + " " +
                  std::to_string(::GetCurrentProcessId()),
              false);
    const HANDLE either[] = {written.get(), child.get()};
    const DWORD woke = ::WaitForMultipleObjects(2, either, FALSE, kChildDeadlineMs);
    if (woke != WAIT_OBJECT_0)
        throw StepFailed{step + ": the child " +
                         (woke == WAIT_OBJECT_0 + 1 ? std::string("ended") : std::string("was silent")) +
                         " before saying it had written"};
    // Right after the signal: whatever the child's capture keeps to do later is lost with it.
    ::TerminateProcess(child.get(), kKilledExitCode);
    DWORD code = 0;
    if (::WaitForSingleObject(child.get(), kChildDeadlineMs) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(child.get(), &code) || code != kKilledExitCode)
        throw StepFailed{step + ": the child did not end when it was terminated"};
}

// Waits for the parent to end it; never longer than the parent waits, so a parent that died early
// leaves nothing behind.
int Hold(const std::string& name, DWORD parentId) {
    const UniqueHandle written(
        ::OpenEventA(EVENT_MODIFY_STATE, FALSE, HoldEventName(name, parentId).c_str()));
    const UniqueHandle parent(::OpenProcess(SYNCHRONIZE, FALSE, parentId));
    if (!written || !parent) {
        std::fprintf(stderr, "orvane-family-setup: hold %s: no parent %lu to answer\n", name.c_str(),
                     static_cast<unsigned long>(parentId));
        return 1;
    }
    WriteUserValue(name);
    ::SetEvent(written.get());
    ::WaitForSingleObject(parent.get(), kChildDeadlineMs);
    std::fprintf(stderr, "orvane-family-setup: hold %s: was not ended\n", name.c_str());
    return 1;
}

void RunChild(const std::string& program, const std::vector<std::string>& steps) {
    std::string line = track::QuoteArgument(program);
    for (const std::string& step : steps)
        line += " " + track::QuoteArgument(step);
    const UniqueHandle process = Start("child " + program, line, false);
    WaitForSuccess("child " + program, process.get());
}

void Uninstall() {
    DeleteTree(HKEY_CURRENT_USER, kKey);
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY raw = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS | view, &raw) != ERROR_SUCCESS)
            continue;
        UniqueKey software(raw);
        DeleteTree(software.get(), "OrvaneFamily");
    }
}

int Usage(const std::string& problem) {
    std::fprintf(
        stderr,
        "orvane-family-setup: %s\n"
        "usage: orvane-family-setup STEP...   with steps write NAME, machine NAME, reg, inf PATH,\n"
        "       shell NAME, killed NAME, hold NAME PID, big NAME BYTES, prune KEY, overwrite PATH,\n"
        "       pid NAME, clsid NAME, delete NAME, child EXE STEP..., uninstall, service NAME,\n"
        "       disable NAME, unservice NAME, startservice NAME PATH, run COMMAND, badservices PATH,\n"
        "       case NAME\n",
        problem.c_str());
    return 2;
}

// How many operands a step takes; -1 for a word that is no step.
int OperandsOf(const std::string& step) {
    if (step == "write" || step == "machine" || step == "shell" || step == "killed" || step == "inf" ||
        step == "prune" || step == "overwrite" || step == "pid" || step == "clsid" || step == "delete" ||
        step == "service" || step == "disable" || step == "unservice" || step == "run" ||
        step == "badservices" || step == "case")
        return 1;
    if (step == "hold" || step == "big" || step == "startservice")
        return 2;
    if (step == "reg" || step == "uninstall" || step == "child")
        return 0;
    return -1;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty())
        return Usage("no steps");
    // The whole line is checked before the first step runs, so a mistake changes nothing; a
    // child's steps are the child's to check.
    for (size_t i = 0; i < args.size(); ++i) {
        const int operands = OperandsOf(args[i]);
        if (operands < 0)
            return Usage("unknown step '" + args[i] + "'");
        if (args[i] == "child") {
            if (i + 1 >= args.size())
                return Usage("'child' needs a program");
            break;
        }
        if (i + static_cast<size_t>(operands) >= args.size())
            return Usage("'" + args[i] + "' needs " + std::to_string(operands) + " operand(s)");
        if (args[i] == "hold" && args[i + 2].find_first_not_of("0123456789") != std::string::npos)
            return Usage("'hold' needs a process id, not '" + args[i + 2] + "'");
        i += static_cast<size_t>(operands);
    }
    try {
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& step = args[i];
            if (step == "write") {
                WriteUserValue(args[++i]);
            } else if (step == "machine") {
                WriteMachineValue(args[++i]);
            } else if (step == "reg") {
                RunRegExe();
            } else if (step == "inf") {
                RunInfInstall(args[++i]);
            } else if (step == "shell") {
                RunThroughShell(args[++i]);
            } else if (step == "killed") {
                StartAndKill(args[++i]);
            } else if (step == "hold") {
                const std::string name = args[++i];
                const std::string pid = args[++i];
                return Hold(name, static_cast<DWORD>(std::strtoul(pid.c_str(), nullptr, 10)));
            } else if (step == "child") {
                RunChild(args[i + 1], std::vector<std::string>(
                                          args.begin() + static_cast<std::ptrdiff_t>(i) + 2, args.end()));
                return 0;
            } else if (step == "big") {
                const std::string name = args[++i];
                WriteBigValue(name, args[++i]);
            } else if (step == "prune") {
                PruneKey(args[++i]);
            } else if (step == "pid") {
                WriteProcessId(args[++i]);
            } else if (step == "clsid") {
                WriteClsidValue(args[++i]);
            } else if (step == "delete") {
                DeleteUserValue(args[++i]);
            } else if (step == "overwrite") {
                OverwriteFile(args[++i]);
            } else if (step == "service") {
                CreateFamilyService(args[++i]);
            } else if (step == "disable") {
                DisableFamilyService(args[++i]);
            } else if (step == "unservice") {
                DeleteFamilyService(args[++i]);
            } else if (step == "startservice") {
                StartFamilyService(args[i + 1], args[i + 2]);
                i += 2;
            } else if (step == "badservices") {
                AskForWhatIsRefused(args[++i]);
            } else if (step == "run") {
                RunCommand(args[++i]);
            } else if (step == "case") {
                WriteInMixedCase(args[++i]);
            } else if (step == "uninstall") {
                Uninstall();
            }
        }
    } catch (const StepFailed& failure) {
        std::fprintf(stderr, "orvane-family-setup (%s, process %lu): %s\n", Bitness().c_str(),
                     static_cast<unsigned long>(::GetCurrentProcessId()), failure.what.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // ShellExecuteEx wants COM on the calling thread.
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const int status = Run(std::vector<std::string>(argv + 1, argv + argc));
    ::CoUninitialize();
    return status;
}
