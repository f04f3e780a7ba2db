#include "common/UniqueHandle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Helper mode: open a file without sharing, tell the parent through a named event, and keep the
// file open until the parent ends this process.
int HoldFileOpen(const char* path, const char* readyEventName) {
    UniqueFile file(
        ::CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return 3;
    UniqueHandle ready(::OpenEventA(EVENT_MODIFY_STATE, FALSE, readyEventName));
    if (!ready)
        return 4;
    ::SetEvent(ready.get());
    ::WaitForSingleObject(::GetCurrentProcess(), 120000);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--hold-file") == 0)
        return HoldFileOpen(argv[2], argv[3]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
