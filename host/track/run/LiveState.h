// What the registry and the files hold now, read for ChangeClassifier once the setup has ended. The
// registry is read in the 64-bit view, as the library reads values back: the log names physical
// keys. Files are looked at as they are on disk, with WoW64's redirection off.
#pragma once

#include "host/track/run/ChangeClassifier.h"

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
    std::function<bool(const std::wstring&)> isNoiseFile_;
};

} // namespace track
