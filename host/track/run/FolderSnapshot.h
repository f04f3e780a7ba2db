// Which folders existed below the watched folders before the setup ran. The library records files
// only, so this is how the tracker tells a folder the setup created (an uninstall may remove it)
// from one that was there before (it must stay, even when the setup's files were all it held).
#pragma once

#include <set>
#include <string>
#include <vector>

namespace track {

class FolderSnapshot {
public:
    // Lists every folder below the six watched folders (the folders themselves included). Folder
    // names only, no files; reparse points are not followed.
    void Take();
    // Folders holding `file` up to, not including, the first one that existed before. UTF-16 in.
    std::vector<std::wstring> CreatedFoldersOf(const std::wstring& file) const;

    size_t size() const { return folders_.size(); }

private:
    void Walk(const std::wstring& folder);
    static std::wstring Key(const std::wstring& path);

    std::set<std::wstring> folders_; // upper-cased, as the file system compares names
};

} // namespace track
