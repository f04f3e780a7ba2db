#pragma once

#include "include/IOrvaneInc.h"

// The implementation that records nothing. It never changes, so any thread may use it.
class CEmptyRecorder : public IOrvaneInc {
public:
    void Start() override {}
    void Stop() override {}
    void SetTarget(int, const std::string&) override {}
    const std::set<std::string>& GetFileChanges() override { return fileChanges_; }
    const std::set<IConfInfoInc::_ConfInfo>& GetRegistryChanges() override { return registryChanges_; }

private:
    std::set<std::string> fileChanges_;
    std::set<IConfInfoInc::_ConfInfo> registryChanges_;
};
