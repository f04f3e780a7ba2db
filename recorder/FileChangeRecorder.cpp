#include "recorder/FileChangeRecorder.h"

#include "registry/RegistryMonitor.h"
#include "watcher/DelayedDirectoryChangeHandler.h"

#include "stand-ins/tavish/ITavishInc.h"

#include "common/Wow64.h"

namespace {

// The folders a setup installs into, in watching order.
const char* const kFolderTokens[] = {"{pf}", "{win}", "{menu}", "{desk}", "{user_menu}", "{user_desk}"};

const std::set<IConfInfoInc::_ConfInfo>& NoRegistryChanges() {
    static const std::set<IConfInfoInc::_ConfInfo> empty;
    return empty;
}

// A folder name without its trailing backslashes, in upper case, for telling one folder from another
// as the file system does.
std::string FolderKey(std::string folder) {
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    if (!folder.empty())
        ::CharUpperBuffA(folder.data(), static_cast<DWORD>(folder.size()));
    return folder;
}

bool IsExistingFolder(const std::string& folder) {
    const DWORD attributes = ::GetFileAttributesA(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Under WoW64 the program-files folder of the list is the 32-bit one; a 64-bit setup installs into
// the native one, which is therefore watched as well, after the others, unless it is one of them or
// does not exist. The system does not redirect it, so its notifications name real paths.
std::string ExtraNativeProgramFiles(const std::list<std::string>& watched) {
    const std::string native = NativeProgramFilesFolder();
    if (native.empty() || !IsExistingFolder(native))
        return std::string();
    const std::string key = FolderKey(native);
    for (const std::string& folder : watched) {
        if (FolderKey(folder) == key)
            return std::string();
    }
    return native;
}

} // namespace

CFileChangeRecorder::CFileChangeRecorder() : watcher_(true, NF_MATCH_FILE_NAME) {
    for (const char* token : kFolderTokens)
        watchedFolders_.push_back(ITavishInc::TrailPath(token, ""));
    std::string native = ExtraNativeProgramFiles(watchedFolders_);
    if (!native.empty())
        watchedFolders_.push_back(std::move(native));
}

CFileChangeRecorder::~CFileChangeRecorder() {
    // Ends every watch still running; notifications delivered meanwhile land in the intact sets.
    watcher_.UnwatchAllDirectories();
}

// Start and Stop dispatch messages while the watcher waits, so a host handler may destroy the
// recorder in the middle of either; the destruction then waits until the operation is through.
void CFileChangeRecorder::Start() {
    EnterOperation();
    StartTracking();
    LeaveOperation();
}

void CFileChangeRecorder::Stop() {
    EnterOperation();
    StopTracking();
    LeaveOperation();
}

void CFileChangeRecorder::Destroy() {
    if (operationsInProgress_ > 0)
        destroyWhenIdle_ = true;
    else
        delete this;
}

void CFileChangeRecorder::LeaveOperation() {
    if (--operationsInProgress_ == 0 && destroyWhenIdle_)
        delete this;
}

void CFileChangeRecorder::StartTracking() {
    for (const std::string& folder : watchedFolders_)
        watcher_.WatchDirectory(folder, FILE_NOTIFY_CHANGE_FILE_NAME, this, TRUE, nullptr, nullptr);
    if (g_registryMonitor != nullptr)
        g_registryMonitor->Start(target_, targetName_);
}

void CFileChangeRecorder::StopTracking() {
    // Each unwatch returns once its watch's queued notifications have been delivered here.
    for (const std::string& folder : watchedFolders_) {
        if (watcher_.IsWatchingDirectory(folder))
            watcher_.UnwatchDirectory(folder);
    }
    if (g_registryMonitor != nullptr)
        g_registryMonitor->Stop();
    SettleAddedFiles();
}

// A path that went away at any time during tracking is not part of the product, nor is anything in
// an installer's driver cache.
void CFileChangeRecorder::SettleAddedFiles() {
    for (const std::string& path : addedFiles_) {
        if (path.find(kInstallerDriverFragment) != std::string::npos)
            removedFiles_.insert(path);
    }
    for (const std::string& path : removedFiles_)
        addedFiles_.erase(path);
    removedFiles_.clear();
}

void CFileChangeRecorder::SetTarget(int target, const std::string& targetName) {
    target_ = target;
    targetName_ = targetName;
}

const std::set<std::string>& CFileChangeRecorder::GetFileChanges() {
    return addedFiles_;
}

const std::set<IConfInfoInc::_ConfInfo>& CFileChangeRecorder::GetRegistryChanges() {
    return g_registryMonitor != nullptr ? g_registryMonitor->GetChanges() : NoRegistryChanges();
}

void CFileChangeRecorder::On_FileAdded(const std::string& path) {
    addedFiles_.insert(path);
}

void CFileChangeRecorder::On_FileRemoved(const std::string& path) {
    removedFiles_.insert(path);
}

void CFileChangeRecorder::On_FileNameChanged(const std::string& oldPath, const std::string& newPath) {
    removedFiles_.insert(oldPath);
    addedFiles_.insert(newPath);
}

void CFileChangeRecorder::On_FileModified(const std::string&) {}

void CFileChangeRecorder::On_WatchStarted(DWORD, const std::string&) {}

void CFileChangeRecorder::On_WatchStopped(const std::string&) {}
