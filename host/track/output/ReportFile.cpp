#include "host/track/output/ReportFile.h"

#include <algorithm>

namespace track {

namespace {

std::string Failure(const char* what, const std::string& path, DWORD code) {
    return std::string(what) + " " + path + " (error " + std::to_string(code) + ")";
}

} // namespace

ReportFile::~ReportFile() {
    Discard();
}

std::string ReportFile::TemporaryName(const std::string& target) {
    return target + "." + std::to_string(::GetCurrentProcessId()) + ".partial";
}

bool ReportFile::Open(const std::string& path, std::string& error) {
    Discard();
    path_ = path;
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "cannot create " + path + ": it is a folder";
        return false;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        error = "cannot create " + path + ": the file is read-only";
        return false;
    }
    const std::string temporary = TemporaryName(path);
    file_.reset(::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
        error = Failure("cannot create", path, ::GetLastError());
        return false;
    }
    temporary_ = temporary;
    return true;
}

bool ReportFile::Write(const std::string& bytes, std::string& error) {
    size_t offset = 0;
    while (offset < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(file_.get(), bytes.data() + offset, chunk, &written, nullptr) || written == 0) {
            error = Failure("cannot write", path_, ::GetLastError());
            Discard();
            return false;
        }
        offset += written;
    }
    if (!::FlushFileBuffers(file_.get())) {
        error = Failure("cannot write", path_, ::GetLastError());
        Discard();
        return false;
    }
    file_.reset();
    if (!::MoveFileExA(temporary_.c_str(), path_.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = Failure("cannot replace", path_, ::GetLastError());
        Discard();
        return false;
    }
    temporary_.clear();
    return true;
}

void ReportFile::Discard() {
    file_.reset();
    if (!temporary_.empty())
        ::DeleteFileA(temporary_.c_str());
    temporary_.clear();
}

bool WriteWholeFile(const std::string& path, const std::string& bytes, std::string& error) {
    ReportFile file;
    return file.Open(path, error) && file.Write(bytes, error);
}

} // namespace track
