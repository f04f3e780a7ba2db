#pragma once

#include "include/IOrvaneInc.h"

// The implementation that records nothing. It never changes, so any thread may use it.
class CEmptyRecorder : public IOrvaneInc {
public:
    void Start() override {}
    void Stop() override {}
    void SetTarget(int, const std::string&) override {}
    const std::set<std::string>& GetFileChanges() override { return fileChanges; }
    const std::set<IConfInfoInc::_ConfInfo>& GetRegistryChanges() override { return registryChanges; }

private:
    std::set<std::string> fileChanges;
    std::set<IConfInfoInc::_ConfInfo> registryChanges;
};
