// One line of the registry monitor's log as the capture in the setup's processes writes it, read
// back by the tracker, which sees every such line on its way to the driver. Pure: no OS call.
//
// A line has five fields separated by single tabs: process, operation, path, result, detail.
//   setup.exe:1234  SetValue   HKLM\Software\X\Name  SUCCESS     Type: REG_SZ, Length: 12
//   setup.exe:1234  DeleteKey  HKLM\Software\X       0xC0000022  Key deleted
// The library reads the same lines; the tracker reads them to tell which process wrote a value and
// why the library kept no record of one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace track {

enum class CapturedOperation {
    SetValue,  // exactly "SetValue"
    DeleteKey, // exactly "DeleteKey"
    Other,     // anything else: the library reads back neither
};

struct CapturedLine {
    std::string process;         // the whole process field, as the library tests it
    std::string image;           // the image's file name: the field before its last colon
    unsigned long processId = 0; // after the last colon; 0 when the field names no id
    CapturedOperation operation = CapturedOperation::Other;
    std::string path;       // the value's path for SetValue (key, backslash, name), the key's for DeleteKey
    std::string status;     // "SUCCESS" or the failure's NTSTATUS as text
    std::uint32_t type = 0; // a SetValue's REG_* type from the detail; 0 (REG_NONE) when it names none

    // The library keeps only lines whose status is exactly "SUCCESS"; any other status ("0xC0000022",
    // "success", an empty field) is a failed operation that changed nothing.
    bool Succeeded() const { return status == "SUCCESS"; }
};

// The line, or nothing when it is not five tab-separated fields with a non-empty last one (the
// library ignores such a line too). A process field without a colon, or whose text after the last
// colon is not a process id (decimal digits, below 2^32), is all image and names no id.
std::optional<CapturedLine> ParseCapturedLine(std::string_view line);

// Whether the library's first pass leaves out a line of `process` on `path`, as far as those two
// go: for its process field when the whole field is one of a few system programs' names (exactly,
// letter case included), begins with a file-system request's prefix or holds an NTFS metadata
// file's name; else for its path when that begins with the characters "HKCU\CLSID" (a plain,
// case-sensitive prefix: "HKCU\CLSIDX\v" too, "HKCU\Software\Classes\CLSID\..." not).
enum class LineExclusion { None, Process, ClsidPath };
LineExclusion ExclusionOf(const std::string& process, const std::string& path);

} // namespace track
