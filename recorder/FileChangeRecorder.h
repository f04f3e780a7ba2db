// The tracking implementation of IOrvaneInc. While tracking, it watches six system folders with their
// subtrees (and, in a 32-bit process on 64-bit Windows, the native program-files folder after them)
// and collects the paths of files that appear and of files that go away; it also starts and stops
// the process's shared registry monitor. Stop settles the added set.
//
// Threading: everything runs on the host's thread that calls Start. The engine delivers the handler
// operations through its hidden window on that thread while it dispatches messages, so the two sets
// need no lock. The recorder is its own change handler and keeps its creator's reference for life,
// so the engine never deletes it.
#pragma once

#include "include/IOrvaneInc.h"
#include "watcher/DirectoryChanges.h"

#include <list>
#include <set>
#include <string>

class CRegistryMonitor;

// The process's one registry monitor: made by the factory with the first recorder, shared by every
// recorder, destroyed only when the library unloads. Defined and owned by the library's module
// object (boundary/OrvaneApp.cpp); the recorder only uses it.
extern CRegistryMonitor* g_registryMonitor;

// Files below an installer's driver cache are bookkeeping, never part of the product.
inline constexpr const char kInstallerDriverFragment[] = "InstallShield\\Driver\\8\\Intel 32";

class CFileChangeRecorder : public IOrvaneInc, public CDirectoryChangeHandler {
public:
    // Resolves the watched folders. Uses the process's shared registry monitor, g_registryMonitor;
    // while that is null (it could not be made) the recorder records files only.
    CFileChangeRecorder();
    ~CFileChangeRecorder() override;

    void Start() override;
    void Stop() override;
    void SetTarget(int target, const std::string& targetName) override;
    const std::set<std::string>& GetFileChanges() override;
    const std::set<IConfInfoInc::_ConfInfo>& GetRegistryChanges() override;

    void On_FileAdded(const std::string& path) override;
    void On_FileRemoved(const std::string& path) override;
    void On_FileNameChanged(const std::string& oldPath, const std::string& newPath) override;
    void On_FileModified(const std::string& path) override;
    void On_WatchStarted(DWORD error, const std::string& directory) override;
    void On_WatchStopped(const std::string& directory) override;

    const std::list<std::string>& GetWatchedFolders() const { return watchedFolders_; }

    // Destroys the recorder: now, or, when a host handler asks for it while Start or Stop of this
    // recorder dispatches messages further up the stack, as soon as that operation returns (it
    // still uses the recorder and its watcher on the way out).
    void Destroy();

private:
    void StartTracking();
    void StopTracking();
    void SettleAddedFiles();
    void EnterOperation() { ++operationsInProgress_; }
    // May delete the recorder: nothing of it may be touched afterwards.
    void LeaveOperation();

    int operationsInProgress_ = 0;
    bool destroyWhenIdle_ = false;

    // Declared in this order so that destruction runs the teardown in the right order: the watcher
    // ends its watches (delivering what is still queued) while both sets are intact.
    std::set<std::string> addedFiles_;
    std::set<std::string> removedFiles_;
    CDirectoryChangeWatcher watcher_;
    std::list<std::string> watchedFolders_;
    int target_ = 0;
    std::string targetName_;
};
