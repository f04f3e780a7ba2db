#include "capture/inject/InjectorProcess.h"

#include "common/UniqueHandle.h"

namespace capture {
namespace {

// How long an injector that was ended for taking too long is given to go.
constexpr DWORD kEndWaitMs = 5000;

InjectorRun FromExitCode(DWORD exitCode) {
    InjectorRun run;
    if (exitCode > static_cast<DWORD>(kLastInjectionResult))
        return run;
    run.injection = static_cast<InjectionResult>(exitCode);
    run.outcome =
        run.injection == InjectionResult::Injected ? CaptureOutcome::Captured : CaptureOutcome::Refused;
    return run;
}

} // namespace

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    // Backslashes are literal except before a quote, where each stands for half of what is written.
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

InjectorRun RunInjector(const std::wstring& injector, DWORD processId, const std::wstring& dllPath,
                        DWORD waitMs) {
    std::wstring commandLine =
        QuoteArgument(injector) + L" " + std::to_wstring(processId) + L" " + QuoteArgument(dllPath);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(injector.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &created))
        return InjectorRun{};
    const UniqueHandle process(created.hProcess);
    const UniqueHandle thread(created.hThread);
    if (::WaitForSingleObject(process.get(), waitMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), ERROR_TIMEOUT);
        ::WaitForSingleObject(process.get(), kEndWaitMs);
        return InjectorRun{};
    }
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(process.get(), &exitCode))
        return InjectorRun{};
    return FromExitCode(exitCode);
}

} // namespace capture
