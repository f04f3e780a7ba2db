// A capture as the tracker's JSON gives it, read back for a comparison: what was on the machine
// after the setup, by path. Captures written before the JSON carried added files' sizes are read
// as they are: those sizes are then unknown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace track {

struct CapturedFile {
    std::string path;
    bool removed = false; // the setup removed a file that was there before
    bool sizeKnown = false;
    std::uint64_t size = 0;
};

struct CapturedValue {
    std::string path;
    std::string type;     // "REG_SZ", ...
    std::string data;     // what is compared: the decoded text for strings, the Base64 bytes otherwise
    std::string shown;    // the data for a person
    bool deleted = false; // the setup deleted it
    std::string process;
};

struct Capture {
    std::string file; // the JSON's name, as given
    std::string command;
    std::vector<CapturedFile> files;
    std::vector<CapturedValue> values;
    std::vector<std::string> warnings; // what the capture itself says it missed
};

// Reads `json` (the text of `file`); on failure `error` is one line naming the file and why.
bool ReadCapture(const std::string& file, const std::string& json, Capture& capture, std::string& error);

} // namespace track
