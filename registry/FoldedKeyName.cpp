#include "registry/FoldedKeyName.h"

namespace registry_names {

std::string FoldedKeyName(const std::string& name, LeadByteTest isLeadByte) {
    std::string folded = name;
    for (size_t i = 0; i < folded.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(folded[i]);
        if (byte >= 'A' && byte <= 'Z')
            folded[i] = static_cast<char>(byte - 'A' + 'a');
        else if (isLeadByte(byte) && i + 1 < folded.size())
            ++i;
    }
    return folded;
}

} // namespace registry_names
