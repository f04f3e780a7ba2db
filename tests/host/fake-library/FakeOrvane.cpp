// A stand-in Orvane.dll for the tracker's tests: it exports the three members under their real
// decorated names, so the tracker loads it as it loads the real library, and plays back a result
// that the test wrote into a file. That lets the tests check what the tracker does with a result
// (reports, exit codes, waiting for the setup) independently of what the library records.
//
// ORVANE_FAKE_MODE=no-recorder  CreateOrvane builds nothing.
// ORVANE_FAKE_RESULTS=FILE      Stop reads FILE, one entry per line, fields separated by tabs:
//                               "F path" an added file, "E path" an added file judged noise,
//                               "R path type base64" a registry value.
#include "include/IOrvaneInc.h"

#include "common/Win32.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::set<std::string> g_noise;

std::string Environment(const char* name) {
    char value[1024];
    const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    for (std::string field; std::getline(stream, field, '\t');)
        fields.push_back(field);
    return fields;
}

class PlaybackRecorder : public IOrvaneInc {
public:
    void Start() override {}
    void Stop() override {
        std::ifstream results(Environment("ORVANE_FAKE_RESULTS"));
        for (std::string line; std::getline(results, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const std::vector<std::string> f = Fields(line);
            if (f.size() == 2 && (f[0] == "F" || f[0] == "E")) {
                files_.insert(f[1]);
                if (f[0] == "E")
                    g_noise.insert(f[1]);
            } else if (f.size() == 4 && f[0] == "R") {
                IConfInfoInc::_ConfInfo record;
                record.kind = "register";
                record.path = f[1];
                record.valueType = static_cast<std::uint32_t>(std::strtoul(f[2].c_str(), nullptr, 10));
                record.data = f[3];
                registry_.insert(record);
            }
        }
    }
    void SetTarget(int, const std::string&) override {}
    const std::set<std::string>& GetFileChanges() override { return files_; }
    const std::set<IConfInfoInc::_ConfInfo>& GetRegistryChanges() override { return registry_; }

private:
    std::set<std::string> files_;
    std::set<IConfInfoInc::_ConfInfo> registry_;
};

} // namespace

IOrvaneInc* IOrvaneInc::CreateOrvane(OV_TYPE type) {
    if (type != OV_RECORDER || Environment("ORVANE_FAKE_MODE") == "no-recorder")
        return nullptr;
    return new PlaybackRecorder();
}

void IOrvaneInc::DestroyOrvane(IOrvaneInc** object) {
    if (object == nullptr || *object == nullptr)
        return;
    delete *object;
    *object = nullptr;
}

bool IOrvaneInc::IsEliminatePath(const std::string& path) {
    return g_noise.count(path) != 0;
}
