// orvane-sample-setup: a small setup of our own for trying the tracker. It installs a sample
// application (files below the program-files folder and on the common desktop, registry values
// under HKLM\Software and HKCU\Software), and takes everything away again with --uninstall;
// --v2 installs version 2.0.0 instead, for comparing two captures.
#include "host/sample-setup/SampleSetup.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 1)
        return sample::Install();
    if (argc == 2 && std::strcmp(argv[1], "--v2") == 0)
        return sample::Install(true);
    if (argc == 2 && std::strcmp(argv[1], "--uninstall") == 0)
        return sample::Uninstall();
    const bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "/?") == 0);
    std::fprintf(help ? stdout : stderr,
                 "usage: orvane-sample-setup [--v2 | --uninstall]\n"
                 "Installs the Orvane Sample application (version 2.0.0 with --v2), or removes it\n"
                 "again with --uninstall.\n"
                 "Run it under orvane-track to see what a setup leaves on the machine.\n");
    return help ? 0 : 2;
}
