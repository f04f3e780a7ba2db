#include "host/track/run/WriterLines.h"

#include "driver/RegmonProtocol.h"
#include "registry/LogFraming.h"

#include <string>
#include <vector>

namespace track {

namespace {

// Far more than the store holds (REGMON_WRITER_LINES_CAPACITY / REGMON_READ_SIZE reads): a driver
// that keeps answering cannot hold the tracker here.
constexpr int kMaxReadsAtOnce = 256;

bool IsLeadByte(unsigned char byte) {
    return ::IsDBCSLeadByteEx(CP_ACP, byte) != FALSE;
}

// The count of a marker line ("REGSYS.SYS<TAB>LinesLost<TAB>...<TAB>12 lines were not logged..."),
// or 0 for any other line.
std::uint64_t LostCountOf(std::string_view line) {
    const std::string_view prefix = REGMON_LOST_MARKER_PREFIX;
    if (line.substr(0, prefix.size()) != prefix)
        return 0;
    std::uint64_t count = 0;
    for (size_t i = prefix.size(); i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
        count = count * 10 + static_cast<std::uint64_t>(line[i] - '0');
    return count;
}

} // namespace

WriterLines::WriterLines() : writes_(IsLeadByte) {}

void WriterLines::Take(std::string_view line) {
    const std::uint64_t lost = LostCountOf(line);
    if (lost != 0)
        lost_ += lost;
    else
        writes_.Add(line);
}

void WriterLines::Read() {
    if (unavailable_)
        return;
    if (!device_)
        device_.reset(::CreateFileA(REGMON_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device_) {
        unavailable_ = true;
        return;
    }
    std::vector<char> block(REGMON_READ_SIZE);
    for (int read = 0; read < kMaxReadsAtOnce; ++read) {
        DWORD returned = 0;
        if (!::DeviceIoControl(device_.get(), IOCTL_READ_WRITER_LINES, nullptr, 0, block.data(),
                               static_cast<DWORD>(block.size()), &returned, nullptr)) {
            // A driver without writer lines, or one that predates them, says so at once; any other
            // failure may pass, and the next read tries again.
            const DWORD error = ::GetLastError();
            unavailable_ = error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
            return;
        }
        if (returned == 0)
            return;
        RawLineList lines;
        AppendLogRecords(block.data(), returned, block.size(), lines);
        for (std::string_view line : lines)
            Take(line);
    }
}

std::vector<CaptureGap> WriterLineGaps(std::uint64_t lost) {
    if (lost == 0)
        return {};
    return {CaptureGap{"REGSYS.SYS", 0,
                       std::to_string(lost) +
                           " registry operations were logged without their process's id: the driver's "
                           "store of writer lines was full, and their values may name no process"}};
}

} // namespace track
