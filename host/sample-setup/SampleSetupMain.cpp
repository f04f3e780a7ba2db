// orvane-sample-setup: a small setup of our own for trying the tracker. It installs a sample
// application (files below the program-files folder and on the common desktop, registry values
// under HKLM\Software and HKCU\Software), and takes everything away again with --uninstall.
#include "host/sample-setup/SampleSetup.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 1)
        return sample::Install();
    if (argc == 2 && std::strcmp(argv[1], "--uninstall") == 0)
        return sample::Uninstall();
    const bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "/?") == 0);
    std::fprintf(help ? stdout : stderr,
                 "usage: orvane-sample-setup [--uninstall]\n"
                 "Installs the Orvane Sample application, or removes it again with --uninstall.\n"
                 "Run it under orvane-track to see what a setup leaves on the machine.\n");
    return help ? 0 : 2;
}
