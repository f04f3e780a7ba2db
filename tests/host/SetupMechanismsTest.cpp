// orvane-track on the ways real setups change the machine besides writing the registry themselves:
// services made, changed and deleted through the service manager (a setup's own calls, sc.exe, an
// INF's AddService), an INF install with AddReg, DelReg and CopyFiles, and .reg files imported with
// regedit and reg. The service manager writes a service's key from its own process; every value it
// writes for the setup is reported, named after the process that asked for it.
#include "common/UniqueHandle.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/PeerBuild.h"
#include "tests/host/ReportValues.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <shlobj.h>
#include <winsvc.h>

#include <string>
#include <vector>

namespace {

using host_tests::ExpectedValue;
using host_tests::TrackedRun;
using test_support::QuoteArgument;

constexpr char kServicesKey[] = "System\\CurrentControlSet\\Services\\";
constexpr char kReportedServices[] = "HKLM\\System\\CurrentControlSet\\Services\\";
constexpr char kFamilyKey[] = "Software\\OrvaneFamily";
// Every service a case makes starts with this, so that the clean-up finds them all.
const char* const kServices[] = {"OrvaneMechNew",      "OrvaneMechOld",      "OrvaneMechDoomed",
                                 "OrvaneMechSc",       "OrvaneMechGone",     "OrvaneMechInf",
                                 "OrvaneMsiService32", "OrvaneMsiService64", "OrvaneBadExisting",
                                 "OrvaneUndoMade",     "OrvaneUndoTouched",  "OrvaneUndoRunning"};

std::string FamilySetup() {
    return host_tests::BinFolder() + "\\orvane-family-setup.exe";
}

// The service `name` opened with `access`; null where the service manager does not know it.
UniqueService OpenTestService(const char* name, DWORD access) {
    const UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    return UniqueService(manager ? ::OpenServiceA(manager.get(), name, access) : nullptr);
}

// Whether the service manager knows the service: the undo must make it forget a service it removed.
bool ServiceKnown(const char* name) {
    return OpenTestService(name, SERVICE_QUERY_STATUS).valid();
}

bool KeyExists(const std::string& key) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened) !=
        ERROR_SUCCESS)
        return false;
    ::RegCloseKey(opened);
    return true;
}

std::string Tracker() {
    return host_tests::BinFolder() + "\\orvane-track.exe";
}

bool ServiceRuns(const char* name) {
    const UniqueService service = OpenTestService(name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    return service && ::QueryServiceStatus(service.get(), &status) &&
           status.dwCurrentState == SERVICE_RUNNING;
}

// Asked to stop first: a running service would stay until it ends, whatever its key.
void DeleteServiceIfThere(const char* name) {
    const UniqueService service = OpenTestService(name, DELETE | SERVICE_STOP);
    if (!service)
        return;
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    ::DeleteService(service.get());
}

// Every value a key of the live registry holds, as the report should name it.
std::vector<ExpectedValue> LiveValues(HKEY root, const std::string& key, const std::string& reportedKey) {
    std::vector<ExpectedValue> values;
    HKEY opened = nullptr;
    if (::RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameLength = sizeof name, type = 0, size = 0;
        std::string data(64 * 1024, '\0');
        size = static_cast<DWORD>(data.size());
        if (::RegEnumValueA(opened, index, name, &nameLength, nullptr, &type,
                            reinterpret_cast<BYTE*>(&data[0]), &size) != ERROR_SUCCESS)
            break;
        data.resize(size);
        values.push_back(host_tests::ReportedAs(reportedKey + std::string(name, nameLength), type, data));
    }
    ::RegCloseKey(opened);
    return values;
}

std::vector<ExpectedValue> LiveServiceValues(const std::string& service) {
    return LiveValues(HKEY_LOCAL_MACHINE, kServicesKey + service, kReportedServices + service + "\\");
}

const json::Value* Reported(const json::Value& report, const char* array, const std::string& path) {
    for (const json::Value& value : report[array].items) {
        if (_stricmp(value["path"].text.c_str(), path.c_str()) == 0)
            return &value;
    }
    return nullptr;
}

class SetupMechanisms : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        for (const char* service : kServices)
            DeleteServiceIfThere(service);
        host_tests::RemoveKey(HKEY_CURRENT_USER, kFamilyKey);
    }

    // Runs the family setup with `steps`, untracked, for what the machine had before.
    void Prepare(const std::string& steps) {
        const host_tests::ProcessResult prepared =
            host_tests::RunProcess(QuoteArgument(FamilySetup()) + " " + steps);
        ASSERT_TRUE(prepared.finished);
        ASSERT_EQ(prepared.exitCode, 0u) << prepared.err;
    }

    TrackedRun Track(const std::string& steps) {
        return host_tests::TrackToJson(Tracker(), dir_ / "mechanisms.json", "",
                                       QuoteArgument(FamilySetup()) + " " + steps);
    }

    static void ExpectTracked(const TrackedRun& run) {
        ASSERT_TRUE(run.process.finished);
        ASSERT_EQ(run.process.exitCode, 0u) << run.process.out << run.process.err;
        ASSERT_TRUE(run.parsed) << run.process.out << run.process.err;
        EXPECT_EQ(host_tests::CaptureGaps(run.report), "");
        EXPECT_EQ(run.report["oldStateGaps"].items.size(), 0u);
    }

    // The service's key holds exactly what the report gives, each value named after `process`.
    static void ExpectServiceReported(const TrackedRun& run, const std::string& service,
                                      const std::string& process) {
        const std::vector<ExpectedValue> live = LiveServiceValues(service);
        ASSERT_FALSE(live.empty()) << service << " has no key";
        EXPECT_TRUE(host_tests::ReportsExactly(run.report, live, {kReportedServices + service + "\\"}));
        for (const ExpectedValue& value : live) {
            const json::Value* reported = Reported(run.report, "registry", value.path);
            if (reported != nullptr) {
                EXPECT_EQ((*reported)["process"].text, process) << value.path;
            }
        }
    }

    test_support::TempDir dir_{"mechanisms"};
};

TEST_F(SetupMechanisms, ServicesMadeChangedAndDeletedThroughTheServiceManagerAreReported) {
    Prepare("service OrvaneMechOld service OrvaneMechDoomed");
    const TrackedRun run = Track("service OrvaneMechNew disable OrvaneMechOld unservice OrvaneMechDoomed");
    ExpectTracked(run);
    ExpectServiceReported(run, "OrvaneMechNew", "orvane-family-setup.exe");
    const std::string created = std::string(kReportedServices) + "OrvaneMechNew\\";
    EXPECT_TRUE(host_tests::ReportsAll(
        run.report,
        {host_tests::ReportedAs(created + "Description", REG_SZ,
                                host_tests::StringBytes("Orvane family service")),
         host_tests::ReportedAs(created + "DisplayName", REG_SZ,
                                host_tests::StringBytes("Orvane family OrvaneMechNew")),
         host_tests::ReportedAs(created + "Start", REG_DWORD, host_tests::DwordBytes(SERVICE_DEMAND_START)),
         host_tests::ReportedAs(created + "Type", REG_DWORD,
                                host_tests::DwordBytes(SERVICE_WIN32_OWN_PROCESS))}));

    // A service that was there: its changed value with the old data, nothing else of it.
    const std::string old = std::string(kReportedServices) + "OrvaneMechOld\\";
    const std::vector<std::string> oldReported = host_tests::ReportedBelow(run.report, old);
    EXPECT_EQ(oldReported, std::vector<std::string>{old + "Start"});
    const json::Value* start = Reported(run.report, "registry", old + "Start");
    ASSERT_NE(start, nullptr);
    EXPECT_EQ((*start)["change"].text, "changed");
    EXPECT_EQ((*start)["before"]["data"].text, "AwAAAA=="); // 3, demand start
    EXPECT_EQ((*start)["value"].text, "4");

    // A service deleted: every value it had, as deleted, with its old data.
    const std::string doomed = std::string(kReportedServices) + "OrvaneMechDoomed\\";
    const json::Value* description = Reported(run.report, "registry", doomed + "Description");
    ASSERT_NE(description, nullptr) << run.process.out;
    EXPECT_EQ((*description)["change"].text, "deleted");
    EXPECT_EQ((*description)["before"]["data"].text,
              "TwByAHYAYQBuAGUAIABmAGEAbQBpAGwAeQAgAHMAZQByAHYAaQBjAGUAAAA=");
    bool keyDeleted = false;
    for (const json::Value& key : run.report["keysDeleted"].items)
        keyDeleted =
            keyDeleted || _stricmp(key.text.c_str(), (doomed.substr(0, doomed.size() - 1)).c_str()) == 0;
    EXPECT_TRUE(keyDeleted) << run.process.out;
}

// sc.exe asks the service manager as a setup's own batch file would. Wine's sc has no "config":
// "description" changes a made service through ChangeServiceConfig2 there.
TEST_F(SetupMechanisms, ServicesMadeWithScAreReportedAndOnesDeletedAgainAreEliminated) {
    const TrackedRun run = Track(
        "run \"sc create OrvaneMechSc binPath= C:\\orvane-sc.exe start= auto\" "
        "run \"sc description OrvaneMechSc Described\" "
        "run \"sc create OrvaneMechGone binPath= C:\\orvane-gone.exe\" run \"sc delete OrvaneMechGone\"");
    ExpectTracked(run);
    ExpectServiceReported(run, "OrvaneMechSc", "sc.exe");
    const std::string sc = std::string(kReportedServices) + "OrvaneMechSc\\";
    EXPECT_TRUE(host_tests::ReportsAll(
        run.report,
        {host_tests::ReportedAs(sc + "ImagePath", REG_SZ, host_tests::StringBytes("C:\\orvane-sc.exe")),
         host_tests::ReportedAs(sc + "Start", REG_DWORD, host_tests::DwordBytes(SERVICE_AUTO_START)),
         host_tests::ReportedAs(sc + "Description", REG_SZ, host_tests::StringBytes("Described"))}));

    // Made and deleted again within the setup: nothing is left, and each value says why.
    const std::string gone = std::string(kReportedServices) + "OrvaneMechGone\\";
    const json::Value* imagePath = Reported(run.report, "eliminatedRegistry", gone + "ImagePath");
    ASSERT_NE(imagePath, nullptr) << run.process.out;
    EXPECT_EQ((*imagePath)["reason"].text, "its key was deleted later in the setup");
    EXPECT_EQ((*imagePath)["process"].text, "sc.exe");
    EXPECT_EQ(Reported(run.report, "registry", gone + "ImagePath"), nullptr);
}

// An INF install through the system's rundll32, which loads the service manager's library only
// when it loads setupapi: its AddReg, DelReg, CopyFiles and AddService are all reported.
TEST_F(SetupMechanisms, AnInfInstallHasItsValuesFilesAndServiceReported) {
    Prepare("write Doomed");
    const std::string payload = "orvane-mechanisms-" + std::to_string(::GetCurrentProcessId()) + ".txt";
    test_support::WriteTextFile(dir_ / payload, "from an INF\r\n");
    const std::string inf = dir_ / "mechanisms.inf";
    test_support::WriteTextFile(
        inf, "[Version]\r\nSignature=\"$Windows NT$\"\r\n"
             "[DefaultInstall]\r\nAddReg=Values\r\nDelReg=Gone\r\nCopyFiles=Payload\r\n"
             "[DefaultInstall.Services]\r\nAddService=OrvaneMechInf,,InfService\r\n"
             "[InfService]\r\nDisplayName=\"Orvane INF service\"\r\nServiceType=16\r\nStartType=3\r\n"
             "ErrorControl=1\r\nServiceBinary=%11%\\orvane-inf-service.exe\r\nDescription=\"From an INF\"\r\n"
             "[Values]\r\nHKCU,\"Software\\OrvaneFamily\",\"FromInf\",0x00000000,\"inf value\"\r\n"
             "HKCU,\"Software\\OrvaneFamily\",\"InfList\",0x00010000,\"one\",\"two\"\r\n"
             "[Gone]\r\nHKCU,\"Software\\OrvaneFamily\",\"Doomed\"\r\n"
             "[Payload]\r\n" +
                 payload +
                 "\r\n[DestinationDirs]\r\nPayload=11\r\n"
                 "[SourceDisksNames]\r\n1=\"disk\"\r\n[SourceDisksFiles]\r\n" +
                 payload + "=1\r\n");
    char system[MAX_PATH];
    ASSERT_GT(::GetSystemDirectoryA(system, MAX_PATH), 0u);
    const std::string copied = std::string(system) + "\\" + payload;
    // The report names files physically: a 32-bit installer's copy into system32 on 64-bit Windows
    // lands in syswow64.
    std::string reported = copied;
    if (sizeof(void*) == 4 && host_tests::WindowsIs64Bit()) {
        char wow64[MAX_PATH];
        ASSERT_GT(::GetSystemWow64DirectoryA(wow64, MAX_PATH), 0u);
        reported = std::string(wow64) + "\\" + payload;
    }
    const TrackedRun run = Track("inf " + QuoteArgument(inf));
    ::DeleteFileA(copied.c_str());
    ExpectTracked(run);
    ExpectServiceReported(run, "OrvaneMechInf", "rundll32.exe");
    const std::string family = "HKCU\\Software\\OrvaneFamily\\";
    EXPECT_TRUE(host_tests::ReportsAll(
        run.report, {host_tests::ReportedAs(family + "FromInf", REG_SZ, host_tests::StringBytes("inf value")),
                     host_tests::ReportedAs(family + "InfList", REG_MULTI_SZ,
                                            host_tests::MultiStringBytes({"one", "two"})),
                     host_tests::ReportedAs(std::string(kReportedServices) + "OrvaneMechInf\\Description",
                                            REG_SZ, host_tests::StringBytes("From an INF"))}));
    const json::Value* doomed = Reported(run.report, "registry", family + "Doomed");
    ASSERT_NE(doomed, nullptr) << run.process.out;
    EXPECT_EQ((*doomed)["change"].text, "deleted");
    bool fileReported = false;
    for (const json::Value& file : run.report["files"].items)
        fileReported = fileReported || _stricmp(file.text.c_str(), reported.c_str()) == 0;
    EXPECT_TRUE(fileReported) << run.process.out;
}

// A .reg file imported silently by regedit and by reg: every value of every type, as written.
TEST_F(SetupMechanisms, RegFilesImportedWithRegeditAndRegAreReported) {
    const std::string regFile = dir_ / "import.reg";
    test_support::WriteTextFile(regFile,
                                "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\OrvaneFamily\\Regedit]\r\n"
                                "\"Text\"=\"from regedit\"\r\n\"Number\"=dword:0000002a\r\n"
                                "\"Bytes\"=hex:01,02,03\r\n\"Path\"=hex(2):25,54,45,4d,50,25,00\r\n");
    const std::string regImport = dir_ / "reg-import.reg";
    test_support::WriteTextFile(regImport,
                                "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\OrvaneFamily\\Reg]\r\n"
                                "\"Text\"=\"from reg\"\r\n\"List\"=hex(7):61,00,62,00,00\r\n");
    const TrackedRun run = Track("run " + QuoteArgument("regedit.exe /s " + QuoteArgument(regFile)) +
                                 " run " + QuoteArgument("reg.exe import " + QuoteArgument(regImport)));
    ExpectTracked(run);
    const std::string key = "HKCU\\Software\\OrvaneFamily\\";
    EXPECT_TRUE(host_tests::ReportsExactly(
        run.report,
        {host_tests::ReportedAs(key + "Regedit\\Text", REG_SZ, host_tests::StringBytes("from regedit")),
         host_tests::ReportedAs(key + "Regedit\\Number", REG_DWORD, host_tests::DwordBytes(42)),
         host_tests::ReportedAs(key + "Regedit\\Bytes", REG_BINARY, std::string("\x01\x02\x03", 3)),
         host_tests::ReportedAs(key + "Regedit\\Path", REG_EXPAND_SZ, host_tests::StringBytes("%TEMP%")),
         host_tests::ReportedAs(key + "Reg\\Text", REG_SZ, host_tests::StringBytes("from reg")),
         host_tests::ReportedAs(key + "Reg\\List", REG_MULTI_SZ, host_tests::MultiStringBytes({"a", "b"}))},
        {key}));
    const json::Value* text = Reported(run.report, "registry", key + "Regedit\\Text");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ((*text)["process"].text, "regedit.exe");
}

// What the service manager refuses is refused the same with the capture in the process: the same
// answer and last error for each call, nothing reported, nothing said missing.
TEST_F(SetupMechanisms, CallsTheServiceManagerRefusesAnswerAsWithoutTheCapture) {
    Prepare("service OrvaneBadExisting");
    const std::string plain = dir_ / "plain.txt", tracked = dir_ / "tracked.txt";
    Prepare("badservices " + QuoteArgument(plain));
    const TrackedRun run = Track("badservices " + QuoteArgument(tracked));
    ExpectTracked(run);
    const std::string answers = host_tests::ReadWholeFile(plain);
    EXPECT_NE(answers.find("CreateServiceW(existing) 0 1073"), std::string::npos) << answers;
    EXPECT_EQ(host_tests::ReadWholeFile(tracked), answers);
    EXPECT_TRUE(host_tests::ReportedBelow(run.report, kReportedServices).empty()) << run.process.out;
    EXPECT_EQ(run.report["keysCreated"].items.size(), 0u) << run.process.out;
}

// The undo deletes a service's key value by value, and then has the service manager forget the
// service, which it would otherwise know until the system restarts. A service changed since the
// setup keeps its key and stays known, and the undo says what it left.
TEST_F(SetupMechanisms, TheUndoHasTheServiceManagerForgetAServiceOnlyOnceItsKeyIsGone) {
    const std::string script = dir_ / "undo.cmd";
    const TrackedRun run = host_tests::TrackToJson(
        Tracker(), dir_ / "undo.json", "--undo-script " + QuoteArgument(script),
        QuoteArgument(FamilySetup()) + " service OrvaneUndoMade service OrvaneUndoTouched");
    ExpectTracked(run);
    ASSERT_TRUE(ServiceKnown("OrvaneUndoMade"));
    // Changed after the setup, by someone else: not what the setup left.
    HKEY touched = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServicesKey) + "OrvaneUndoTouched").c_str(),
                              0, KEY_SET_VALUE | KEY_WOW64_64KEY, &touched),
              ERROR_SUCCESS);
    const char display[] = "changed since";
    ::RegSetValueExA(touched, "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>(display),
                     sizeof display);
    ::RegCloseKey(touched);

    const host_tests::ProcessResult undo = host_tests::RunProcess("cmd.exe /c " + QuoteArgument(script));
    ASSERT_TRUE(undo.finished);
    EXPECT_EQ(undo.exitCode, 2u) << undo.out << undo.err; // something was left alone
    EXPECT_NE(undo.out.find("deleted service OrvaneUndoMade"), std::string::npos) << undo.out;
    EXPECT_NE(undo.out.find("left alone: service OrvaneUndoTouched (its key is still there"),
              std::string::npos)
        << undo.out;
    EXPECT_FALSE(KeyExists(std::string(kServicesKey) + "OrvaneUndoMade"));
    EXPECT_FALSE(ServiceKnown("OrvaneUndoMade"));
    EXPECT_TRUE(KeyExists(std::string(kServicesKey) + "OrvaneUndoTouched"));
    EXPECT_TRUE(ServiceKnown("OrvaneUndoTouched"));
}

// A service the setup installed and started runs its program from a folder the undo empties: the
// undo stops it first, so that the program can go, and the service manager forgets it at the end.
TEST_F(SetupMechanisms, TheUndoStopsARunningServiceOfTheSetupBeforeItRemovesItsProgram) {
    const std::string program = test_support::KnownFolder(CSIDL_PROGRAM_FILES) + "\\orvane-undo-running-" +
                                std::to_string(::GetCurrentProcessId()) + ".exe";
    const std::string script = dir_ / "undo.cmd";
    const TrackedRun run = host_tests::TrackToJson(
        Tracker(), dir_ / "undo.json", "--undo-script " + QuoteArgument(script),
        QuoteArgument(FamilySetup()) + " startservice OrvaneUndoRunning " + QuoteArgument(program));
    ExpectTracked(run);
    ASSERT_TRUE(ServiceRuns("OrvaneUndoRunning"));
    ASSERT_EQ(::GetFileAttributesA(program.c_str()) == INVALID_FILE_ATTRIBUTES, false);

    const host_tests::ProcessResult undo = host_tests::RunProcess("cmd.exe /c " + QuoteArgument(script));
    ASSERT_TRUE(undo.finished);
    EXPECT_EQ(undo.exitCode, 0u) << undo.out << undo.err;
    const size_t stopped = undo.out.find("stopped service OrvaneUndoRunning");
    const size_t removed = undo.out.find("deleted file " + program);
    EXPECT_NE(stopped, std::string::npos) << undo.out;
    EXPECT_NE(removed, std::string::npos) << undo.out;
    EXPECT_LT(stopped, removed) << undo.out;
    EXPECT_NE(undo.out.find("deleted service OrvaneUndoRunning"), std::string::npos) << undo.out;
    EXPECT_EQ(::GetFileAttributesA(program.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(KeyExists(std::string(kServicesKey) + "OrvaneUndoRunning"));
    EXPECT_FALSE(ServiceKnown("OrvaneUndoRunning"));
    ::DeleteFileA(program.c_str());
}

// A scheduled task: Wine's Task Scheduler service keeps it as a file below system32\tasks, written
// from its own process, and no registry value; the file is below a watched folder and is reported.
TEST_F(SetupMechanisms, AScheduledTaskIsReportedAsTheFileTheSchedulerKeepsItIn) {
    const std::string task = "OrvaneMechTask" + std::to_string(::GetCurrentProcessId());
    const std::string xml = dir_ / "task.xml";
    test_support::WriteTextFile(
        xml, "<?xml version=\"1.0\"?>\r\n"
             "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
             "  "
             "<Triggers><TimeTrigger><StartBoundary>2030-01-01T00:00:00</StartBoundary></TimeTrigger></"
             "Triggers>\r\n"
             "  <Actions><Exec><Command>C:\\orvane-task.exe</Command></Exec></Actions>\r\n"
             "</Task>\r\n");
    const TrackedRun run =
        Track("run " + QuoteArgument("schtasks.exe /create /tn " + task + " /xml " + QuoteArgument(xml)));
    host_tests::RunProcess("schtasks.exe /delete /tn " + task + " /f");
    ExpectTracked(run);
    char system[MAX_PATH];
    ASSERT_GT(::GetSystemDirectoryA(system, MAX_PATH), 0u);
    const std::string file = std::string(system) + "\\tasks\\" + task;
    bool reported = false;
    for (const json::Value& added : run.report["files"].items)
        reported = reported || _stricmp(added.text.c_str(), file.c_str()) == 0;
    EXPECT_TRUE(reported) << run.process.out;
}

// A package whose ServiceInstall table installs a service: under Wine msiexec runs the package's
// InstallServices action itself, and asks the service manager for the service.
class ServicePackage : public SetupMechanisms {
protected:
    static std::string Package() {
        return host_tests::BinFolder() + "\\orvane-service-package" + std::to_string(host_tests::OwnBits()) +
               ".msi";
    }

    void TearDown() override {
        host_tests::RunProcess("msiexec.exe /x " + QuoteArgument(Package()) + " /qn");
        SetupMechanisms::TearDown();
    }
};

TEST_F(ServicePackage, AServiceThePackageInstallsIsReported) {
    if (::GetFileAttributesA(Package().c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << Package() << " was not built (wixl is missing)";
    const TrackedRun run =
        Track("run " + QuoteArgument("msiexec.exe /i " + QuoteArgument(Package()) + " /qn"));
    ExpectTracked(run);
    const std::string service = "OrvaneMsiService" + std::to_string(host_tests::OwnBits());
    ExpectServiceReported(run, service, "msiexec.exe");
    EXPECT_TRUE(host_tests::ReportsAll(
        run.report, {host_tests::ReportedAs(kReportedServices + service + "\\Description", REG_SZ,
                                            host_tests::StringBytes("Installed by a package")),
                     host_tests::ReportedAs(kReportedServices + service + "\\Start", REG_DWORD,
                                            host_tests::DwordBytes(SERVICE_DEMAND_START))}));
}

// regsvr32 registers a COM server from its own process, of the server's bitness: for a server of
// the other bitness, the system's regsvr32 starts its other self.
class ComServers : public SetupMechanisms {
protected:
    static constexpr const char* kClass = "CLSID\\{4F525646-0000-4000-8000-534552564552}";

    static std::string Server(const std::string& bin) { return bin + "\\orvane-family-server.dll"; }

    void TearDown() override {
        for (const std::string& bin : {host_tests::BinFolder(), host_tests::PeerBinFolder()})
            host_tests::RunProcess("regsvr32.exe /s /u " + QuoteArgument(Server(bin)));
        SetupMechanisms::TearDown();
    }

    // The report's value whose path ends in `tail`, wherever the server's bitness put its class.
    static const json::Value* ReportedEndingIn(const json::Value& report, const std::string& tail) {
        for (const json::Value& value : report["registry"].items) {
            const std::string& path = value["path"].text;
            if (path.size() >= tail.size() &&
                _stricmp(path.c_str() + path.size() - tail.size(), tail.c_str()) == 0)
                return &value;
        }
        return nullptr;
    }

    TrackedRun ExpectRegistered(const std::string& bin) {
        TrackedRun run = Track("run " + QuoteArgument("regsvr32.exe /s " + QuoteArgument(Server(bin))));
        ExpectTracked(run);
        const std::string inproc = std::string(kClass) + "\\InprocServer32\\";
        const json::Value* path = ReportedEndingIn(run.report, inproc);
        const json::Value* model = ReportedEndingIn(run.report, inproc + "ThreadingModel");
        EXPECT_NE(path, nullptr) << run.process.out;
        EXPECT_NE(model, nullptr) << run.process.out;
        if (path == nullptr || model == nullptr)
            return run;
        EXPECT_EQ(_stricmp((*path)["value"].text.c_str(), Server(bin).c_str()), 0) << (*path)["value"].text;
        EXPECT_EQ((*model)["value"].text, "Both");
        EXPECT_EQ((*model)["change"].text, "new");
        EXPECT_EQ((*model)["process"].text, "regsvr32.exe");
        EXPECT_NE(ReportedEndingIn(run.report, std::string(kClass) + "\\"), nullptr) << run.process.out;
        return run;
    }
};

TEST_F(ComServers, AServerOfTheTrackersBitnessRegisteredWithRegsvr32IsReported) {
    const TrackedRun run = ExpectRegistered(host_tests::BinFolder());
    // Written through HKEY_CLASSES_ROOT: the machine's classes, in the physical key the report names
    // (a 32-bit server's on 64-bit Windows lies in the 32-bit programs' view).
    const json::Value* classDefault = ReportedEndingIn(run.report, std::string(kClass) + "\\");
    ASSERT_NE(classDefault, nullptr) << run.process.out;
    const std::string reported = (*classDefault)["path"].text;
    const std::string classKey = reported.substr(5, reported.size() - 6); // without "HKLM\" and the last "\"
    std::vector<ExpectedValue> live = LiveValues(HKEY_LOCAL_MACHINE, classKey, "HKLM\\" + classKey + "\\");
    const std::vector<ExpectedValue> inproc = LiveValues(HKEY_LOCAL_MACHINE, classKey + "\\InprocServer32",
                                                         "HKLM\\" + classKey + "\\InprocServer32\\");
    live.insert(live.end(), inproc.begin(), inproc.end());
    EXPECT_EQ(live.size(), 3u);
    const std::string classes = "HKLM\\" + classKey.substr(0, classKey.rfind('\\') + 1);
    EXPECT_TRUE(host_tests::ReportsExactly(run.report, live, {classes}));
}

TEST_F(ComServers, AServerOfTheOtherBitnessRegisteredWithRegsvr32IsReported) {
    const std::string why = host_tests::WhyNoOtherBitness("orvane-family-setup.exe");
    if (!why.empty())
        GTEST_SKIP() << why;
    ExpectRegistered(host_tests::PeerBinFolder());
}

} // namespace
