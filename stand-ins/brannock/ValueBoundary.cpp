#include "stand-ins/brannock/ValueBoundary.h"

namespace brannock {

std::vector<size_t> NameSeparators(const std::string& path, LeadByteTest isLeadByte) {
    std::vector<size_t> separators;
    for (size_t i = 0; i < path.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(path[i]);
        if (byte == '\\')
            separators.push_back(i);
        else if (isLeadByte(byte) && i + 1 < path.size())
            ++i;
    }
    return separators;
}

namespace {

void AssignAt(const std::string& belowRoot, size_t separator, std::string& subKey, std::string& valueName) {
    subKey.assign(belowRoot, 0, separator);
    valueName.assign(belowRoot, separator + 1, std::string::npos);
}

} // namespace

void SplitAtValue(const std::string& belowRoot, LeadByteTest isLeadByte, const ValueLocator& holdsValue,
                  std::string& subKey, std::string& valueName) {
    const std::vector<size_t> separators = NameSeparators(belowRoot, isLeadByte);
    for (auto at = separators.rbegin(); at != separators.rend(); ++at) {
        AssignAt(belowRoot, *at, subKey, valueName);
        if (holdsValue(subKey, valueName))
            return;
    }
    subKey.clear();
    valueName = belowRoot;
    if (holdsValue(subKey, valueName) || separators.empty())
        return;
    AssignAt(belowRoot, separators.back(), subKey, valueName);
}

} // namespace brannock
