// The library's lifetime in a host process: loaded and freed at run time, with and without a
// recorder, while capturing, and at process exit with a recorder still alive.
#include "include/IOrvaneInc.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using CreateFn = IOrvaneInc* (*)(IOrvaneInc::OV_TYPE);
using DestroyFn = void (*)(IOrvaneInc**);

// The library loaded by hand, with its factory and destroyer found by their decorated names.
class LoadedLibrary {
public:
    LoadedLibrary() : module_(::LoadLibraryA("Orvane.dll")) {
        if (module_) {
            create_ = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(
                ::GetProcAddress(module_.get(), "_ZN10IOrvaneInc12CreateOrvaneENS_7OV_TYPEE")));
            destroy_ = reinterpret_cast<DestroyFn>(reinterpret_cast<void*>(
                ::GetProcAddress(module_.get(), "_ZN10IOrvaneInc13DestroyOrvaneEPPS_")));
        }
    }
    bool loaded() const { return module_ && create_ && destroy_; }
    IOrvaneInc* Create(IOrvaneInc::OV_TYPE type) const { return create_(type); }
    void Destroy(IOrvaneInc*& object) const { destroy_(&object); }
    void Free() { module_.reset(); }

private:
    UniqueModule module_;
    CreateFn create_ = nullptr;
    DestroyFn destroy_ = nullptr;
};

bool ServiceExists(const char* name) {
    UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return false;
    UniqueService service(::OpenServiceA(manager.get(), name, SERVICE_QUERY_STATUS));
    return service.valid();
}

// A "REGMON" service entry that this test made itself, removed at the end.
class PlaceholderService {
public:
    PlaceholderService() {
        UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueService service(::CreateServiceA(
            manager.get(), "REGMON", "REGMON", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\windows\\system32\\drivers\\REGSYS.SYS", nullptr,
            nullptr, nullptr, nullptr, nullptr));
    }
    ~PlaceholderService() {
        UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueService service(::OpenServiceA(manager.get(), "REGMON", SERVICE_ALL_ACCESS));
        if (service)
            ::DeleteService(service.get());
    }
};

TEST(Unload, WithoutARecorderNothingIsDestroyed) {
    PlaceholderService placeholder;
    ASSERT_TRUE(ServiceExists("REGMON"));
    LoadedLibrary library;
    ASSERT_TRUE(library.loaded());
    IOrvaneInc* empty = library.Create(IOrvaneInc::OV_EMPTY);
    ASSERT_NE(empty, nullptr);
    library.Destroy(empty);
    library.Free();
    EXPECT_TRUE(ServiceExists("REGMON")) << "an unload without a recorder must leave the service alone";
}

TEST(Unload, AfterARecorderTheServiceIsRemovedAndTheLibraryLoadsAgain) {
    for (int round = 0; round < 2; ++round) {
        LoadedLibrary library;
        ASSERT_TRUE(library.loaded());
        IOrvaneInc* recorder = library.Create(IOrvaneInc::OV_RECORDER);
        ASSERT_NE(recorder, nullptr);
        EXPECT_TRUE(ServiceExists("REGMON"));
        recorder->Start();
        recorder->Stop();
        library.Destroy(recorder);
        EXPECT_TRUE(ServiceExists("REGMON")) << "the monitor outlives the recorder";
        library.Free();
        EXPECT_FALSE(ServiceExists("REGMON")) << "round " << round;
    }
}

TEST(Unload, WhileTheMonitorIsCapturingNoTickOutlivesTheLibrary) {
    LoadedLibrary library;
    ASSERT_TRUE(library.loaded());
    IOrvaneInc* recorder = library.Create(IOrvaneInc::OV_RECORDER);
    ASSERT_NE(recorder, nullptr);
    recorder->Start();
    library.Destroy(recorder); // the shared monitor goes on capturing, its timer set on this thread
    library.Free();
    EXPECT_FALSE(ServiceExists("REGMON"));
    // Ticks come every 500 ms: dispatching for three periods gives a stray one the chance to reach
    // the unloaded library, which would end this process.
    testing_support::PumpMessagesUntil([] { return false; }, 1500);
}

// Helper mode: start tracking and leave the process without stopping or destroying anything.
int ExitWhileTracking() {
    LoadedLibrary library;
    if (!library.loaded())
        return 3;
    IOrvaneInc* recorder = library.Create(IOrvaneInc::OV_RECORDER);
    if (recorder == nullptr)
        return 4;
    recorder->Start();
    testing_support::PumpPendingMessages();
    return 0; // ExitProcess runs the library's teardown with the loader lock held
}

TEST(Unload, ProcessExitWithALiveRecorderNeitherHangsNorCrashes) {
    UniqueHandle child = testing_support::StartSelf("--exit-while-tracking");
    ASSERT_TRUE(child);
    ASSERT_EQ(::WaitForSingleObject(child.get(), 120000), WAIT_OBJECT_0) << "the process did not end";
    DWORD code = 0;
    ::GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(ServiceExists("REGMON")) << "process exit removes the service too";
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--exit-while-tracking") == 0)
        return ExitWhileTracking();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
