#include "host/track/undo/UndoRun.h"

#include "host/track/result/TextEncoding.h"
#include "host/track/result/UndoItems.h"
#include "host/track/undo/FileUndo.h"
#include "host/track/undo/RegistryUndo.h"
#include "host/track/undo/ServiceUndo.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <algorithm>

namespace track {

namespace {

bool ReadPlan(const std::string& path, std::string& text, std::string& error) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size)) {
        error = "cannot read the undo plan " + AnsiToUtf8(path) + " (error " +
                std::to_string(::GetLastError()) + ")";
        return false;
    }
    if (static_cast<unsigned long long>(size.QuadPart) > kMaxUndoPlanBytes) {
        error = "the undo plan " + AnsiToUtf8(path) + " is too large to be one (" +
                std::to_string(size.QuadPart) + " bytes; a plan has at most " +
                std::to_string(kMaxUndoPlanBytes) + ")";
        return false;
    }
    text.assign(static_cast<size_t>(size.QuadPart), '\0');
    for (size_t offset = 0; offset < text.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - offset, 1u << 20));
        DWORD got = 0;
        if (!::ReadFile(file.get(), &text[offset], chunk, &got, nullptr) || got == 0) {
            error = "cannot read the undo plan " + AnsiToUtf8(path) + " (error " +
                    std::to_string(::GetLastError()) + ")";
            return false;
        }
        offset += got;
    }
    return true;
}

// The folder of the plan, in UTF-8: kept copies named relative to the plan are below it.
std::string PlanFolder(const std::string& path) {
    const std::wstring wide = AnsiToWide(path);
    const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = size == 0 ? 0 : ::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    full.resize(length < size ? length : 0);
    const size_t slash = full.rfind(L'\\');
    return slash == std::wstring::npos ? std::string() : WideToUtf8(full.substr(0, slash));
}

UndoOutcome Undo(const UndoItem& item, const std::string& planFolder) {
    switch (item.action) {
    case UndoAction::DeleteValue:
    case UndoAction::RestoreValue:
    case UndoAction::RecreateValue:
    case UndoAction::DeleteKey:
    case UndoAction::RecreateKey:
        return UndoRegistryItem(item);
    case UndoAction::DeleteAddedFile:
    case UndoAction::RestoreFile:
    case UndoAction::RecreateFile:
    case UndoAction::DeleteFolder:
        return UndoFileItem(item, planFolder);
    case UndoAction::DeleteService:
        return UndoServiceItem(item);
    case UndoAction::StopService:
        return StopServiceItem(item);
    case UndoAction::Leave:
        break;
    }
    return LeftAlone(item, item.reason);
}

} // namespace

int RunUndo(const std::string& planPath, const UndoReport& report) {
    std::string text, error;
    if (!ReadPlan(planPath, text, error)) {
        report.problem(error);
        return kUndoPlanUnusable;
    }
    const ParsedUndoPlan plan = ParseUndoPlan(text);
    text.clear();
    if (!plan.errors.empty()) {
        const std::string name = AnsiToUtf8(planPath);
        for (const std::string& why : plan.errors)
            report.problem(name + ": " + why);
        report.problem("the undo plan " + name + " cannot be used as it is: nothing was changed");
        return kUndoPlanUnusable;
    }
    const std::string folder = PlanFolder(planPath);
    size_t done = 0, leftAlone = 0;
    for (const UndoItem& item : plan.items) {
        const UndoOutcome outcome = Undo(item, folder);
        ++(outcome.done ? done : leftAlone);
        report.line(outcome.line);
    }
    report.line("Undo: " + std::to_string(done) + " done, " + std::to_string(leftAlone) + " left alone.");
    return leftAlone == 0 ? kUndoAllDone : kUndoSomeLeftAlone;
}

} // namespace track
