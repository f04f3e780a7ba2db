#include "include/IOrvaneInc.h"

#include "common/UniqueHandle.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

IOrvaneInc* Create(int type) {
    return IOrvaneInc::CreateOrvane(static_cast<IOrvaneInc::OV_TYPE>(type));
}

class OrvaneObject {
public:
    explicit OrvaneObject(int type) : object_(Create(type)) {}
    ~OrvaneObject() { IOrvaneInc::DestroyOrvane(&object_); }
    IOrvaneInc* get() const { return object_; }
    IOrvaneInc* operator->() const { return object_; }

private:
    IOrvaneInc* object_;
};

TEST(Factory, TypesOutsideTheEnumerationBuildNothing) {
    for (int type : {2, 3, 255, -1, INT_MAX, INT_MIN})
        EXPECT_EQ(Create(type), nullptr) << "type " << type;
}

TEST(Factory, EmptyTypeBuildsAnObjectWithEmptyResults) {
    OrvaneObject object(IOrvaneInc::OV_EMPTY);
    ASSERT_NE(object.get(), nullptr);
    EXPECT_TRUE(object->GetFileChanges().empty());
    EXPECT_TRUE(object->GetRegistryChanges().empty());
}

TEST(Factory, EachEmptyObjectIsItsOwn) {
    OrvaneObject first(IOrvaneInc::OV_EMPTY);
    OrvaneObject second(IOrvaneInc::OV_EMPTY);
    ASSERT_NE(first.get(), nullptr);
    ASSERT_NE(second.get(), nullptr);
    EXPECT_NE(first.get(), second.get());
    EXPECT_NE(&first->GetFileChanges(), &second->GetFileChanges());
}

TEST(EmptyRecorder, OperationsInAnyOrderChangeNothing) {
    OrvaneObject object(IOrvaneInc::OV_EMPTY);
    ASSERT_NE(object.get(), nullptr);
    const auto* files = &object->GetFileChanges();
    const auto* registry = &object->GetRegistryChanges();

    object->Stop();
    object->SetTarget(-7, std::string(5000, 'x'));
    object->Start();
    object->Start();
    object->SetTarget(0, "");
    object->Stop();
    object->Stop();

    EXPECT_EQ(&object->GetFileChanges(), files);
    EXPECT_EQ(&object->GetRegistryChanges(), registry);
    EXPECT_TRUE(files->empty());
    EXPECT_TRUE(registry->empty());
}

struct AnotherThreadContext {
    IOrvaneInc* object;
    bool empty = false;
};

DWORD WINAPI StartStopAndReadOnAnotherThread(void* raw) {
    auto* context = static_cast<AnotherThreadContext*>(raw);
    context->object->Start();
    context->object->Stop();
    context->empty =
        context->object->GetFileChanges().empty() && context->object->GetRegistryChanges().empty();
    return 0;
}

TEST(EmptyRecorder, UsableFromAnotherThread) {
    OrvaneObject object(IOrvaneInc::OV_EMPTY);
    ASSERT_NE(object.get(), nullptr);
    AnotherThreadContext context{object.get()};
    UniqueHandle thread(::CreateThread(nullptr, 0, StartStopAndReadOnAnotherThread, &context, 0, nullptr));
    ASSERT_TRUE(thread);
    EXPECT_EQ(::WaitForSingleObject(thread.get(), 30000), WAIT_OBJECT_0);
    EXPECT_TRUE(context.empty);
}

TEST(Destroy, AcceptsNullArguments) {
    IOrvaneInc::DestroyOrvane(nullptr);
    IOrvaneInc* none = nullptr;
    IOrvaneInc::DestroyOrvane(&none);
    EXPECT_EQ(none, nullptr);
}

TEST(Destroy, ClearsTheCallersPointer) {
    IOrvaneInc* object = Create(IOrvaneInc::OV_EMPTY);
    ASSERT_NE(object, nullptr);
    IOrvaneInc::DestroyOrvane(&object);
    EXPECT_EQ(object, nullptr);
    IOrvaneInc::DestroyOrvane(&object); // a second call on the cleared pointer is harmless
    EXPECT_EQ(object, nullptr);
}

} // namespace
