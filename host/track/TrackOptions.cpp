#include "host/track/TrackOptions.h"

#include "host/track/ExitCodes.h"

#include <cstdlib>
#include <iterator>
#include <set>

namespace track {

namespace {

bool ParseNumber(const std::string& text, unsigned most, unsigned& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 7)
        return false;
    const unsigned long parsed = std::strtoul(text.c_str(), nullptr, 10);
    if (parsed > most)
        return false;
    value = static_cast<unsigned>(parsed);
    return true;
}

bool IsHelp(const std::string& arg) {
    return arg == "--help" || arg == "-h" || arg == "/?";
}

} // namespace

ParsedOptions ParseTrackOptions(const std::vector<std::string>& args) {
    ParsedOptions result;
    TrackOptions& options = result.options;
    std::set<std::string> given;
    size_t i = 0;
    auto takeValue = [&](const std::string& option, std::string& target) {
        // --undo-script is another name for --uninstall-script.
        if (!given.insert(option == "--undo-script" ? "--uninstall-script" : option).second) {
            result.error = option + " given twice";
            return false;
        }
        if (i + 1 >= args.size() || args[i + 1].empty()) {
            result.error = option + " needs a value";
            return false;
        }
        target = args[++i];
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (IsHelp(arg)) {
            options.help = true;
        } else if (arg == "--json") {
            if (!takeValue(arg, options.jsonFile))
                return result;
        } else if (arg == "--html") {
            if (!takeValue(arg, options.htmlFile))
                return result;
        } else if (arg == "--compare") {
            std::string first;
            if (!takeValue(arg, first))
                return result;
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                result.error = "--compare needs two captures: --compare A.json B.json";
                return result;
            }
            options.compare = {first, args[++i]};
        } else if (arg == "--reg") {
            if (!takeValue(arg, options.regFile))
                return result;
        } else if (arg == "--uninstall-script" || arg == "--undo-script") {
            if (!takeValue(arg, options.uninstallScript))
                return result;
        } else if (arg == "--undo") {
            if (!takeValue(arg, options.undoPlan))
                return result;
        } else if (arg == "--package") {
            if (!takeValue(arg, options.packageDir))
                return result;
        } else if (arg == "--eliminated") {
            options.listEliminated = true;
        } else if (arg == "--processes") {
            options.listProcesses = true;
        } else if (arg == "--no-old-state") {
            options.keepOldState = false;
        } else if (arg == "--settle-ms") {
            std::string text;
            if (!takeValue(arg, text))
                return result;
            if (!ParseNumber(text, kMaxSettleMs, options.settleMs)) {
                result.error = "--settle-ms takes milliseconds from 0 to " + std::to_string(kMaxSettleMs);
                return result;
            }
        } else if (arg == "--keep-files-up-to") {
            std::string text;
            if (!takeValue(arg, text))
                return result;
            if (!ParseNumber(text, kMaxKeepFilesUpToMb, options.keepFilesUpToMb)) {
                result.error =
                    "--keep-files-up-to takes megabytes from 0 to " + std::to_string(kMaxKeepFilesUpToMb);
                return result;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            result.error = "unknown option " + arg;
            return result;
        } else {
            break;
        }
    }
    options.setup.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (options.help)
        return result;
    if (!options.undoPlan.empty()) {
        if (!options.setup.empty() || !options.jsonFile.empty() || !options.regFile.empty() ||
            !options.uninstallScript.empty() || !options.packageDir.empty() || options.listEliminated ||
            !options.htmlFile.empty() || !options.compare.empty())
            result.error = "--undo PLAN stands alone: it runs no setup and writes no other output";
        return result;
    }
    if (!options.compare.empty()) {
        if (!options.setup.empty() || !options.regFile.empty() || !options.uninstallScript.empty() ||
            !options.packageDir.empty() || options.listEliminated || options.listProcesses)
            result.error = "--compare A B runs no setup: of the outputs only --json and --html go with it";
        else if (!options.jsonFile.empty() && options.jsonFile == options.htmlFile)
            result.error = "--json and --html name the same file";
        return result;
    }
    if (options.setup.empty() || options.setup.front().empty()) {
        result.error = "no setup program given";
        return result;
    }
    const std::pair<const char*, const std::string*> outputs[] = {
        {"--json", &options.jsonFile},
        {"--reg", &options.regFile},
        {"--html", &options.htmlFile},
        {"--uninstall-script", &options.uninstallScript},
        {"--package", &options.packageDir}};
    for (size_t a = 0; a < std::size(outputs); ++a) {
        for (size_t b = a + 1; b < std::size(outputs); ++b) {
            if (!outputs[a].second->empty() && *outputs[a].second == *outputs[b].second) {
                result.error =
                    std::string(outputs[a].first) + " and " + outputs[b].first + " name the same file";
                return result;
            }
        }
    }
    return result;
}

std::string HelpText() {
    auto code = [](int value, const char* meaning) {
        return "  " + std::to_string(value) + "  " + meaning + "\n";
    };
    return "usage: orvane-track [options] -- SETUP [ARGS...]\n"
           "       orvane-track --undo PLAN\n"
           "       orvane-track --compare A.json B.json [--json FILE] [--html FILE]\n"
           "\n"
           "Runs SETUP with its arguments while Orvane.dll records what it installs, waits until\n"
           "the setup and every process it started have ended, then reports the files it added\n"
           "below the program-files, Windows, Start-menu and desktop folders and the registry\n"
           "values it wrote.\n"
           "\n"
           "options:\n"
           "  --json FILE      also write the result as JSON (UTF-8) to FILE\n"
           "  --html FILE      also write the result as one self-contained HTML page (UTF-8) to\n"
           "                   FILE: sections that fold, a search box and filters, a chart of\n"
           "                   where the changes went, a warning for every gap in the capture\n"
           "  --reg FILE       also write the captured registry values to FILE as a registry\n"
           "                   script (Windows Registry Editor Version 5.00) that reproduces them\n"
           "  --undo-script FILE, --uninstall-script FILE\n"
           "                   also write FILE, a .cmd script that undoes the setup, and beside it\n"
           "                   its plan (FILE's name + \"-undo-plan.txt\"), which the script runs\n"
           "                   with --undo: added files, folders, keys and values are deleted,\n"
           "                   changed and deleted ones get their old state back\n"
           "  --undo PLAN      carry out an undo plan: each item is checked first, and whatever\n"
           "                   changed again since the setup is left alone and said so; exits 0\n"
           "                   when every item was done, 2 when some were left alone, 1 when the\n"
           "                   plan cannot be read (then nothing is changed)\n"
           "  --package DIR    copy each recorded file into DIR\\files and write DIR\\product.wxs,\n"
           "                   a Windows Installer source (wixl, WiX 3) that installs the same\n"
           "                   files and registry values\n"
           "  --eliminated     also list the added files and the registry values judged noise,\n"
           "                   and the captured values the library dropped, each with the reason\n"
           "  --processes      after each registry value, name the process that wrote it last\n"
           "                   (its image and process id)\n"
           "  --settle-ms MS   keep collecting for MS milliseconds after the setup has ended, so\n"
           "                   that late notifications arrive (default " +
           std::to_string(kDefaultSettleMs) + ", at most " + std::to_string(kMaxSettleMs) +
           ")\n"
           "  --keep-files-up-to MB\n"
           "                   keep the old content of each file the setup changes or removes, up\n"
           "                   to MB megabytes a file (default " +
           std::to_string(kDefaultKeepFilesUpToMb) +
           "; 0 keeps none)\n"
           "  --no-old-state   keep no old state at all: every change is reported with its old\n"
           "                   data unknown, and the undo leaves what existed before alone\n"
           "  --compare A.json B.json\n"
           "                   compare two captures' JSON instead of tracking: the files and\n"
           "                   values only one of them has, the values whose type or data\n"
           "                   differ, the files whose size differs. Paths are matched without\n"
           "                   regard to case, and a user's profile folder (X:\\Users\\NAME,\n"
           "                   X:\\Documents and Settings\\NAME, HKEY_USERS\\SID) and the\n"
           "                   program-files folders (X:\\Program Files, X:\\Program Files\n"
           "                   (x86), Software\\Wow6432Node) count as the same on both machines,\n"
           "                   in paths and in string data alike. The text goes to standard\n"
           "                   output, --json and --html write the comparison too. Exits 0 when\n"
           "                   the captures match, 1 when they differ, 2 when a file cannot be\n"
           "                   read or is not a capture\n"
           "  --help           show this text\n"
           "\n"
           "The setup's own output goes to standard error; standard output carries the report: wide\n"
           "characters on a console, UTF-8 when redirected. Output files are written beside their\n"
           "target and renamed into place when complete; a run that fails leaves none behind.\n"
           "\n"
           "exit status: the setup's own exit code, or\n" +
           code(kExitUsage, "the command line was not understood") +
           code(kExitLibraryNotLoadable, "Orvane.dll could not be loaded, or lacks its exports") +
           code(kExitRecorderNotCreated, "the library could not create a tracking recorder") +
           code(kExitSetupNotStarted, "the setup could not be started") +
           code(kExitReportNotWritten,
                "an output file (--json, --html, --reg, --uninstall-script, --package) could not be\n"
                "       written");
}

} // namespace track
