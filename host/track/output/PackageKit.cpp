#include "host/track/output/PackageKit.h"

#include "host/track/result/Base64.h"
#include "host/track/result/RealNames.h"
#include "host/track/result/RegistryData.h"
#include "host/track/output/Reports.h"
#include "host/track/result/TextEncoding.h"
#include "host/track/result/UndoItems.h"

#include "common/UniqueHandle.h"
#include "common/Wow64.h"

#include <shlobj.h>

#include <cstdio>
#include <map>

namespace track {

namespace {

// A recorded file is read where it is on disk: under WoW64 a 64-bit setup's "system32" file is in
// the native system folder. The error of a failed copy is kept for the caller.
bool CopyRecordedFile(const std::wstring& source, const std::wstring& target) {
    const Wow64RedirectionOff nativePaths;
    return ::CopyFileW(source.c_str(), target.c_str(), TRUE) != FALSE;
}

// The package has the tracker's bitness: a 64-bit tracker sees the 64-bit program-files folder and
// registry view, and so must the package that puts them back.
constexpr bool kIs64Bit = sizeof(void*) == 8;

std::string Xml(const std::string& utf8) {
    std::string out;
    for (char c : utf8) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Windows Installer expands [property] references in registry data; brackets are written escaped.
std::string Formatted(const std::string& utf8) {
    std::string out;
    for (char c : utf8) {
        if (c == '[')
            out += "[\\[]";
        else if (c == ']')
            out += "[\\]]";
        else
            out += c;
    }
    return out;
}

// A GUID that depends only on `text`, so that the same capture gives the same source.
std::string StableGuid(const std::string& text) {
    unsigned long long a = 1469598103934665603ull, b = 1099511628211ull ^ 0x9e3779b97f4a7c15ull;
    for (unsigned char c : text) {
        a = (a ^ c) * 1099511628211ull;
        b = (b ^ c) * 0x100000001b3ull + 0x632be59bd9b4e019ull;
    }
    char guid[40];
    std::snprintf(guid, sizeof guid, "%08X-%04X-4%03X-%04X-%012llX", static_cast<unsigned>(a >> 32),
                  static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFF),
                  static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3FFF)), b & 0xFFFFFFFFFFFFull);
    return guid;
}

bool StartsWithFolder(const std::string& path, const std::string& folder) {
    if (path.size() <= folder.size() + 1 || path[folder.size()] != '\\')
        return false;
    return SameIgnoringCaseOrdinal(Utf8ToWide(path.substr(0, folder.size())), Utf8ToWide(folder));
}

// The root a file lies below, the deepest one when roots nest (the Start menu below the Windows
// folder in some set-ups); null when none.
const PackageRoot* RootOf(const std::string& path, const std::vector<PackageRoot>& roots) {
    const PackageRoot* best = nullptr;
    for (const PackageRoot& root : roots) {
        if (StartsWithFolder(path, root.path) && (best == nullptr || root.path.size() > best->path.size()))
            best = &root;
    }
    return best;
}

std::vector<std::string> Split(const std::string& relative) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t slash; (slash = relative.find('\\', start)) != std::string::npos; start = slash + 1)
        parts.push_back(relative.substr(start, slash - start));
    parts.push_back(relative.substr(start));
    return parts;
}

// A folder tree of the source: subfolders by name, and the files (index into the list) in it.
struct Folder {
    std::string id;
    std::map<std::string, Folder> children;
    std::vector<std::pair<std::string, std::string>> files; // name, source path below the kit
};

void AppendFolder(std::string& out, const Folder& folder, const std::string& indent, int& componentCount,
                  std::vector<std::string>& components) {
    for (const auto& [name, source] : folder.files) {
        const std::string id = "c" + std::to_string(++componentCount);
        components.push_back(id);
        out += indent + "<Component Id=\"" + id + "\" Guid=\"" + StableGuid(folder.id + "\\" + name) + "\"" +
               (kIs64Bit ? " Win64=\"yes\"" : "") + ">\n";
        out += indent + "  <File Id=\"f" + std::to_string(componentCount) + "\" Name=\"" + Xml(name) +
               "\" Source=\"" + Xml(source) + "\" KeyPath=\"yes\"/>\n";
        out += indent + "</Component>\n";
    }
    for (const auto& [name, child] : folder.children) {
        out += indent + "<Directory Id=\"" + child.id + "\" Name=\"" + Xml(name) + "\">\n";
        AppendFolder(out, child, indent + "  ", componentCount, components);
        out += indent + "</Directory>\n";
    }
}

std::string UpperHex(const std::vector<std::uint8_t>& bytes) {
    std::string hex;
    for (std::uint8_t b : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", b);
        hex += pair;
    }
    return hex;
}

// One registry value as a RegistryValue element, or an XML comment when it cannot be one.
std::string RegistryElement(const RegistryValue& value, const std::string& indent) {
    const std::string path = AnsiToUtf8(value.path);
    const size_t firstSlash = path.find('\\'), lastSlash = path.rfind('\\');
    const auto bytes = DecodeBase64(value.base64);
    const std::string rootName = firstSlash == std::string::npos ? std::string() : path.substr(0, firstSlash);
    const std::map<std::string, std::string> roots = {
        {"HKLM", "HKLM"}, {"HKCU", "HKCU"}, {"HKCR", "HKCR"}, {"HKEY_USERS", "HKU"}};
    const auto root = roots.find(rootName);
    const std::string leftOut = indent + "<!-- left out: " + Xml(path) + " (";
    if (root == roots.end() || lastSlash == firstSlash || !bytes)
        return leftOut + "unknown root or data) -->\n";
    std::string head = indent + "<RegistryValue Root=\"" + root->second + "\" KeyPath=\"yes\" Key=\"" +
                       Xml(path.substr(firstSlash + 1, lastSlash - firstSlash - 1)) + "\"";
    const std::string name = path.substr(lastSlash + 1);
    if (!name.empty())
        head += " Name=\"" + Xml(name) + "\"";
    std::uint64_t number = 0;
    switch (value.type) {
    case REG_SZ:
        return head + " Type=\"string\" Value=\"" + Xml(Formatted(AnsiToUtf8(StringData(*bytes)))) + "\"/>\n";
    case REG_EXPAND_SZ:
        return head + " Type=\"expandable\" Value=\"" + Xml(Formatted(AnsiToUtf8(StringData(*bytes)))) +
               "\"/>\n";
    case REG_DWORD:
        if (!NumberData(value.type, *bytes, number))
            break;
        return head + " Type=\"integer\" Value=\"" + std::to_string(number) + "\"/>\n";
    case REG_BINARY:
        return head + " Type=\"binary\" Value=\"" + UpperHex(*bytes) + "\"/>\n";
    case REG_MULTI_SZ: {
        // "[~]" separates the strings; one at the end makes even a single string a list.
        std::string list;
        for (const std::string& item : SplitMultiString(*bytes))
            list += Formatted(AnsiToUtf8(item)) + "[~]";
        return head + " Type=\"multistring\" Value=\"" + Xml(list.empty() ? "[~]" : list) + "\"/>\n";
    }
    default:
        break;
    }
    return leftOut + RegistryTypeName(value.type) + ": Windows Installer writes no such type) -->\n";
}

// A change to an environment variable that only adds an entry to the list it held: the package
// adds the same entry to whatever the target machine's variable holds, as the setup did.
struct EnvironmentChange {
    std::string name; // UTF-8
    std::string part; // UTF-8, what was added
    bool last = true; // appended; false when put first
    bool system = false;
};

// The text of string data kept before the setup: as the registry holds it (UTF-16), or in the
// ANSI code page as the library reads values.
std::vector<std::string> OldTexts(const std::vector<std::uint8_t>& bytes) {
    std::wstring wide;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto c = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
        if (c == L'\0')
            break;
        wide += c;
    }
    return {WideToUtf8(wide), AnsiToUtf8(StringData(bytes))};
}

bool FindEnvironmentChange(const RegistryValue& value, EnvironmentChange& change) {
    auto isString = [](std::uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ; };
    if (value.change != ValueChange::Changed || value.before.state != Before::Present ||
        !isString(value.type) || !isString(value.before.type))
        return false;
    const std::string path = AnsiToUtf8(value.path);
    const size_t slash = path.rfind('\\');
    std::string root, key;
    if (slash == std::string::npos || !SplitRegistryPath(path.substr(0, slash), root, key))
        return false;
    const std::wstring wideKey = Utf8ToWide(key);
    if (root == "HKCU" && SameIgnoringCaseOrdinal(wideKey, L"Environment"))
        change.system = false;
    else if (root == "HKLM" &&
             SameIgnoringCaseOrdinal(wideKey,
                                     L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment"))
        change.system = true;
    else
        return false;
    change.name = path.substr(slash + 1);
    const auto now = DecodeBase64(value.base64);
    if (change.name.empty() || !now)
        return false;
    const std::string newText = AnsiToUtf8(StringData(*now));
    for (const std::string& oldText : OldTexts(value.before.bytes)) {
        if (oldText.empty() || newText.size() <= oldText.size() + 1)
            continue;
        if (newText.compare(0, oldText.size() + 1, oldText + ";") == 0) {
            change.part = newText.substr(oldText.size() + 1);
            change.last = true;
            return true;
        }
        if (newText.compare(newText.size() - oldText.size() - 1, std::string::npos, ";" + oldText) == 0) {
            change.part = newText.substr(0, newText.size() - oldText.size() - 1);
            change.last = false;
            return true;
        }
    }
    return false;
}

// Why a value the setup found on the machine is not in the package, or empty when it is.
std::string WhyNotPackaged(const RegistryValue& value) {
    EnvironmentChange environment;
    switch (value.change) {
    case ValueChange::New:
        return std::string();
    case ValueChange::Changed:
        if (FindEnvironmentChange(value, environment))
            return std::string();
        return "it was there before the setup, which changed it: a package does not overwrite a value the "
               "machine has";
    case ValueChange::Deleted:
        return "the setup deleted it: a package does not delete a value the machine has";
    case ValueChange::Unchanged:
        return "it was there before the setup, with the same data: it is the machine's, not the product's";
    case ValueChange::OldUnknown:
        break;
    }
    return "what it held before the setup is not known: it may be the machine's own, so it is not "
           "overwritten";
}

// The component and Environment ids of an environment change; the build script names them too.
std::string EnvironmentId(const RegistryValue& value) {
    const std::string guid = StableGuid("environment " + value.path);
    return "env" + guid.substr(0, 8) + guid.substr(9, 4);
}

// The environment change as an Environment element in a component of its own.
std::string EnvironmentComponent(const RegistryValue& value, const EnvironmentChange& change,
                                 const std::string& indent) {
    const std::string id = EnvironmentId(value);
    return indent + "<Component Id=\"" + id + "\" Guid=\"" + StableGuid("environment " + value.path) + "\"" +
           (kIs64Bit ? " Win64=\"yes\"" : "") + ">\n" + indent + "  <Environment Id=\"" + id + "\" Name=\"" +
           Xml(change.name) + "\" Value=\"" + Xml(Formatted(change.part)) + "\" Part=\"" +
           (change.last ? "last" : "first") + "\" Action=\"set\" System=\"" + (change.system ? "yes" : "no") +
           "\" Permanent=\"no\"/>\n" + indent + "</Component>\n";
}

bool IsEmptyFolder(const std::string& dir) {
    WIN32_FIND_DATAA entry;
    UniqueFind find(::FindFirstFileA((dir + "\\*").c_str(), &entry));
    if (!find)
        return false;
    do {
        if (std::string(entry.cFileName) != "." && std::string(entry.cFileName) != "..")
            return false;
    } while (::FindNextFileA(find.get(), &entry));
    return true;
}

bool CreateFolders(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    if (slash != std::wstring::npos && slash > 2 && !CreateFolders(path.substr(0, slash)))
        return false;
    return ::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    {
        UniqueFind find(::FindFirstFileW((path + L"\\*").c_str(), &entry));
        if (find) {
            do {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const std::wstring child = path + L"\\" + name;
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    RemoveTree(child);
                } else {
                    ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                    ::DeleteFileW(child.c_str());
                }
            } while (::FindNextFileW(find.get(), &entry));
        }
    }
    ::RemoveDirectoryW(path.c_str());
}

bool HasEnvironmentChanges(const TrackResult& result) {
    EnvironmentChange change;
    for (const RegistryValue& value : result.registry) {
        if (FindEnvironmentChange(value, change))
            return true;
    }
    return false;
}

// wixl (0.101) stops at an Environment element: it then gets a copy of the source without them
// (each is one line), and the rows they stand for go into the package afterwards.
std::string WixlCommand(bool withoutEnvironment) {
    const std::string wixl = std::string("wixl") + (kIs64Bit ? " -a x64" : "") + " -o product.msi ";
    if (!withoutEnvironment)
        return wixl + "product.wxs\n";
    return "sed '/<Environment /d' product.wxs > product.wixl.wxs\n" + wixl + "product.wixl.wxs\n";
}

// The Environment table's rows, and the actions that carry them out, added with msibuild. The name
// carries the flags: "=" set, "-" removed again at uninstall, "*" the system's variable; "[~]" in
// the data stands for what the variable holds on the machine.
template <typename Shell>
std::string EnvironmentRows(const TrackResult& result, const Shell& shell) {
    std::string rows;
    EnvironmentChange change;
    for (const RegistryValue& value : result.registry) {
        if (!FindEnvironmentChange(value, change))
            continue;
        const std::string name = std::string("=-") + (change.system ? "*" : "") + change.name;
        const std::string data =
            change.last ? "[~];" + Formatted(change.part) : Formatted(change.part) + ";[~]";
        if ((name + data).find('\'') != std::string::npos) {
            rows += "echo \"left out of product.msi (a quote in its name or data): " +
                    shell(AnsiToUtf8(value.path)) + "\" >&2\n";
            continue;
        }
        rows += "msibuild product.msi -q \"INSERT INTO \\`Environment\\` (\\`Environment\\`, \\`Name\\`, "
                "\\`Value\\`, \\`Component_\\`) VALUES ('" +
                EnvironmentId(value) + "', '" + shell(name) + "', '" + shell(data) + "', '" +
                EnvironmentId(value) + "')\"\n";
    }
    if (rows.empty())
        return rows;
    return "msibuild product.msi -q \"CREATE TABLE \\`Environment\\` (\\`Environment\\` CHAR(72) NOT NULL, "
           "\\`Name\\` CHAR(255) NOT NULL LOCALIZABLE, \\`Value\\` CHAR(255) LOCALIZABLE, \\`Component_\\` "
           "CHAR(72) NOT NULL PRIMARY KEY \\`Environment\\`)\"\n" +
           rows +
           "msibuild product.msi -q \"INSERT INTO \\`InstallExecuteSequence\\` (\\`Action\\`, "
           "\\`Sequence\\`) "
           "VALUES ('RemoveEnvironmentStrings', 3300)\"\n"
           "msibuild product.msi -q \"INSERT INTO \\`InstallExecuteSequence\\` (\\`Action\\`, "
           "\\`Sequence\\`) "
           "VALUES ('WriteEnvironmentStrings', 5200)\"\n"
           "rm -f product.wixl.wxs\n";
}

} // namespace

std::vector<PackageRoot> MachinePackageRoots() {
    const struct {
        int csidl;
        const char* id;
        const char* token;
    } folders[] = {{CSIDL_PROGRAM_FILES, kIs64Bit ? "ProgramFiles64Folder" : "ProgramFilesFolder", "pf"},
                   {CSIDL_WINDOWS, "WindowsFolder", "win"},
                   {CSIDL_COMMON_STARTMENU, "StartMenuFolder", "menu"},
                   {CSIDL_COMMON_DESKTOPDIRECTORY, "DesktopFolder", "desk"},
                   {CSIDL_STARTMENU, "StartMenuFolder", "user_menu"},
                   {CSIDL_DESKTOPDIRECTORY, "DesktopFolder", "user_desk"}};
    std::vector<PackageRoot> roots;
    for (const auto& folder : folders) {
        wchar_t path[MAX_PATH] = {};
        if (SUCCEEDED(::SHGetFolderPathW(nullptr, folder.csidl, nullptr, SHGFP_TYPE_CURRENT, path)) &&
            path[0])
            roots.push_back(PackageRoot{WideToUtf8(path), folder.id, folder.token});
    }
    return roots;
}

std::string FormatProductWxs(const TrackResult& result, const std::vector<PackageRoot>& roots) {
    // One tree per root token; the user's and the common Start menu (and desktop) both go to the
    // one standard folder a per-machine package has.
    std::map<std::string, Folder> trees; // directory id -> tree
    std::string leftOut;
    for (const std::string& path : result.files) {
        const std::string utf8 = Utf8Path(result, path);
        const PackageRoot* root = RootOf(utf8, roots);
        if (root == nullptr) {
            leftOut += "    <!-- left out: " + Xml(utf8) + " (below none of the watched folders) -->\n";
            continue;
        }
        const std::vector<std::string> parts = Split(utf8.substr(root->path.size() + 1));
        Folder* folder = &trees[root->directoryId];
        folder->id = root->directoryId;
        std::string id = root->directoryId;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            id += "\\" + parts[i];
            Folder& child = folder->children[parts[i]];
            if (child.id.empty())
                child.id = "d" + StableGuid(id).substr(0, 8) + std::to_string(folder->children.size());
            folder = &child;
        }
        // Forward slashes: both wixl on Linux and the WiX tools on Windows take them.
        std::string source = "files/" + root->token + "/" + utf8.substr(root->path.size() + 1);
        for (char& c : source) {
            if (c == '\\')
                c = '/';
        }
        folder->files.emplace_back(parts.back(), source);
    }
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<!-- Made by orvane-track; build it with: wixl" +
        std::string(kIs64Bit ? " -a x64" : "") +
        " -o product.msi product.wxs (in this folder). From a tracked run of: " +
        Xml(AnsiToUtf8(result.setupCommand)) +
        " -->\n"
        "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n"
        "  <Product Id=\"*\" Name=\"Repackaged setup\" Manufacturer=\"orvane-track\" Version=\"1.0.0\""
        " Language=\"1033\" Codepage=\"65001\" UpgradeCode=\"" +
        StableGuid("upgrade " + result.setupCommand) +
        "\">\n"
        "    <Package InstallerVersion=\"200\" Compressed=\"yes\" InstallScope=\"perMachine\""
        " SummaryCodepage=\"65001\"/>\n"
        "    <Media Id=\"1\" Cabinet=\"product.cab\" EmbedCab=\"yes\"/>\n" +
        leftOut + "    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">\n";
    int componentCount = 0;
    std::vector<std::string> components;
    for (const auto& [id, tree] : trees) {
        out += "      <Directory Id=\"" + id + "\">\n";
        AppendFolder(out, tree, "        ", componentCount, components);
        out += "      </Directory>\n";
    }
    out += "    </Directory>\n";
    if (!result.registry.empty()) {
        out += "    <DirectoryRef Id=\"TARGETDIR\">\n";
        for (const RegistryValue& value : result.registry) {
            const std::string whyNot = WhyNotPackaged(value);
            if (!whyNot.empty()) {
                out += "      <!-- left out: " + Xml(AnsiToUtf8(value.path)) + " (" + Xml(whyNot) + ") -->\n";
                continue;
            }
            EnvironmentChange environment;
            if (value.change == ValueChange::Changed && FindEnvironmentChange(value, environment)) {
                components.push_back(EnvironmentId(value));
                out += EnvironmentComponent(value, environment, "      ");
                continue;
            }
            const std::string element = RegistryElement(value, "        ");
            if (element.find("<!--") != std::string::npos) {
                out += element.substr(2);
                continue;
            }
            const std::string id = "c" + std::to_string(++componentCount);
            components.push_back(id);
            out += "      <Component Id=\"" + id + "\" Guid=\"" + StableGuid("value " + value.path) + "\"" +
                   (kIs64Bit ? " Win64=\"yes\"" : "") + ">\n" + element + "      </Component>\n";
        }
        out += "    </DirectoryRef>\n";
    }
    out += "    <Feature Id=\"Complete\" Level=\"1\">\n";
    for (const std::string& id : components)
        out += "      <ComponentRef Id=\"" + id + "\"/>\n";
    out += "    </Feature>\n  </Product>\n</Wix>\n";
    return out;
}

std::string FormatBuildScript(const TrackResult& result) {
    // Inside sh double quotes: \\ $ ` and " are escaped; the SQL's own string quotes are '.
    auto shell = [](const std::string& text) {
        std::string out;
        for (char c : text) {
            if (c == '\\' || c == '$' || c == '`' || c == '"')
                out += '\\';
            out += c;
        }
        return out;
    };
    const std::map<std::string, int> roots = {{"HKCR", 0}, {"HKCU", 1}, {"HKLM", 2}, {"HKEY_USERS", 3}};
    std::string out =
        "#!/bin/sh\n"
        "# Builds product.msi from product.wxs with wixl (Debian: wixl, from msitools), then gives\n"
        "# REG_BINARY and REG_EXPAND_SZ values the type marks wixl leaves out, and adds the\n"
        "# environment changes wixl cannot compile, with msibuild.\n"
        "set -eu\n"
        "cd \"$(dirname \"$0\")\"\n" +
        WixlCommand(HasEnvironmentChanges(result));
    for (const RegistryValue& value : result.registry) {
        if (value.change != ValueChange::New || (value.type != REG_BINARY && value.type != REG_EXPAND_SZ))
            continue;
        const std::string path = AnsiToUtf8(value.path);
        const size_t firstSlash = path.find('\\'), lastSlash = path.rfind('\\');
        const auto bytes = DecodeBase64(value.base64);
        const auto root = roots.find(path.substr(0, firstSlash == std::string::npos ? 0 : firstSlash));
        if (root == roots.end() || lastSlash == firstSlash || !bytes)
            continue;
        const std::string data = value.type == REG_BINARY ? "#x" + UpperHex(*bytes)
                                                          : "#%" + Formatted(AnsiToUtf8(StringData(*bytes)));
        const std::string key = path.substr(firstSlash + 1, lastSlash - firstSlash - 1),
                          name = path.substr(lastSlash + 1);
        if ((data + key + name).find('\'') != std::string::npos) {
            out += "# left as wixl wrote it (a quote in the name or data): " + shell(path) + "\n";
            continue;
        }
        out += "msibuild product.msi -q \"UPDATE \\`Registry\\` SET \\`Value\\` = '" + shell(data) +
               "' WHERE \\`Root\\` = " + std::to_string(root->second) + " AND \\`Key\\` = '" + shell(key) +
               "' AND \\`Name\\` = '" + shell(name) + "'\"\n";
    }
    return out + EnvironmentRows(result, shell) + "echo \"built $(pwd)/product.msi\"\n";
}

bool CheckPackageFolder(const std::string& dir, std::string& error) {
    const DWORD attributes = ::GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || !IsEmptyFolder(dir)) {
        error = "cannot make the package in " + dir + ": it exists and is not an empty folder";
        return false;
    }
    return true;
}

bool WritePackage(const std::string& dir, const TrackResult& result, std::string& error) {
    if (!CheckPackageFolder(dir, error))
        return false;
    const std::wstring temporary =
        AnsiToWide(dir + "." + std::to_string(::GetCurrentProcessId()) + ".partial");
    RemoveTree(temporary);
    auto fail = [&](const std::string& message) {
        error = message;
        RemoveTree(temporary);
        return false;
    };
    if (!CreateFolders(temporary))
        return fail("cannot create " + dir + " (error " + std::to_string(::GetLastError()) + ")");
    const std::vector<PackageRoot> roots = MachinePackageRoots();
    for (const std::string& path : result.files) {
        const std::string utf8 = Utf8Path(result, path);
        const PackageRoot* root = RootOf(utf8, roots);
        if (root == nullptr)
            continue;
        const std::wstring target = temporary + L"\\files\\" + Utf8ToWide(root->token) + L"\\" +
                                    Utf8ToWide(utf8.substr(root->path.size() + 1));
        if (!CreateFolders(target.substr(0, target.rfind(L'\\'))) ||
            !CopyRecordedFile(Utf8ToWide(utf8), target))
            return fail("cannot copy " + utf8 + " into the package (error " +
                        std::to_string(::GetLastError()) + ")");
    }
    const std::string wxs = FormatProductWxs(result, roots);
    {
        UniqueFile file(::CreateFileW((temporary + L"\\product.wxs").c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file ||
            !::WriteFile(file.get(), wxs.data(), static_cast<DWORD>(wxs.size()), &written, nullptr) ||
            written != wxs.size())
            return fail("cannot write " + dir + "\\product.wxs (error " + std::to_string(::GetLastError()) +
                        ")");
    }
    const std::string build = FormatBuildScript(result);
    {
        UniqueFile file(::CreateFileW((temporary + L"\\build-msi.sh").c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file ||
            !::WriteFile(file.get(), build.data(), static_cast<DWORD>(build.size()), &written, nullptr) ||
            written != build.size())
            return fail("cannot write " + dir + "\\build-msi.sh (error " + std::to_string(::GetLastError()) +
                        ")");
    }
    ::RemoveDirectoryA(dir.c_str()); // an empty folder given as the target
    if (!::MoveFileW(temporary.c_str(), AnsiToWide(dir).c_str()))
        return fail("cannot rename the package into " + dir + " (error " + std::to_string(::GetLastError()) +
                    ")");
    return true;
}

} // namespace track
