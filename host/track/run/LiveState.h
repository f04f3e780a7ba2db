// What the registry and the files hold now, read for ChangeClassifier once the setup has ended. The
// registry is read in the 64-bit view, as the library reads values back: the log names physical
// keys. Files are looked at as they are on disk, with WoW64's redirection off.
#pragma once

#include "host/track/run/ChangeClassifier.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <functional>
#include <string>

namespace track {

class LiveState : public CurrentState {
public:
    // `isNoiseFile` answers for a file the library never named whether the library would call it noise.
    explicit LiveState(std::function<bool(const std::wstring&)> isNoiseFile)
        : isNoiseFile_(std::move(isNoiseFile)) {}

    CurrentValue ReadValue(const std::wstring& key, const std::wstring& name) override;
    Presence Key(const std::wstring& key) override;
    CurrentFile File(const std::wstring& path) override;
    bool IsNoiseFile(const std::wstring& path) override { return isNoiseFile_ && isNoiseFile_(path); }

private:
    // The key of the last value read, kept open: values are read key by key, and each open costs a
    // round trip to the system. The setup has ended, so the key is not expected to change meanwhile.
    LSTATUS OpenForReading(const std::wstring& keyPath, HKEY& key);

    std::function<bool(const std::wstring&)> isNoiseFile_;
    std::wstring openPath_;
    UniqueKey open_;
};

} // namespace track
