#include "include/IOrvaneInc.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    IOrvaneInc* object = IOrvaneInc::CreateOrvane(IOrvaneInc::OV_EMPTY);
    if (object == nullptr) {
        std::fprintf(stderr, "orvane-probe: the library built no object\n");
        return 1;
    }
    std::printf("created an empty tracking object: %zu files, %zu registry values\n",
                object->GetFileChanges().size(), object->GetRegistryChanges().size());

    const char* defaults[] = {"C:\\windows\\system32\\kernel32.dll",
                              "C:\\windows\\win.ini",
                              "C:\\windows\\Temp\\",
                              "C:\\Program Files\\App\\missing.exe",
                              "C:\\windows\\system32\\CatRoot2\\x.cat",
                              "C:\\windows"};
    auto ask = [&](const std::string& path) {
        std::printf("  %-45s %s\n", path.c_str(), object->IsEliminatePath(path) ? "eliminate" : "keep");
    };
    if (argc > 1) {
        for (int i = 1; i < argc; ++i)
            ask(argv[i]);
    } else {
        for (const char* path : defaults)
            ask(path);
    }
    IOrvaneInc::DestroyOrvane(&object);
    std::printf("destroyed: pointer is %s\n", object == nullptr ? "null" : "NOT null");
    return 0;
}
