#include "host/track/ReportFile.h"

#include <algorithm>

namespace track {

bool ReportFile::Open(const std::string& path, std::string& error) {
    path_ = path;
    file_.reset(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
        error = "cannot create " + path + " (error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    return true;
}

bool ReportFile::Write(const std::string& bytes, std::string& error) {
    size_t offset = 0;
    while (offset < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(file_.get(), bytes.data() + offset, chunk, &written, nullptr) || written == 0) {
            error = "cannot write " + path_ + " (error " + std::to_string(::GetLastError()) + ")";
            file_.reset();
            return false;
        }
        offset += written;
    }
    file_.reset();
    return true;
}

} // namespace track
