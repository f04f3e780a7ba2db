// The driver's guarded copy into a caller's buffer, run in user mode, where the same exception
// machinery as in the kernel turns a fault on the target into a failed copy.
#include "driver/UserCopy.h"

#include "common/Win32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Two pages: the first writable, the second of the given protection.
class TwoPages {
public:
    explicit TwoPages(DWORD secondProtection) {
        base_ =
            static_cast<char*>(::VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (base_ != nullptr && !::VirtualProtect(base_ + kPage, kPage, secondProtection, &old)) {
            ::VirtualFree(base_, 0, MEM_RELEASE);
            base_ = nullptr;
        }
    }
    ~TwoPages() {
        if (base_ != nullptr)
            ::VirtualFree(base_, 0, MEM_RELEASE);
    }
    TwoPages(const TwoPages&) = delete;
    TwoPages& operator=(const TwoPages&) = delete;

    static constexpr size_t kPage = 4096;
    char* first() const { return base_; }
    char* second() const { return base_ + kPage; }

private:
    char* base_ = nullptr;
};

std::vector<char> Pattern(size_t size) {
    std::vector<char> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = char('A' + i % 26);
    return bytes;
}

TEST(UserCopy, CopiesEveryByteToAWritableTarget) {
    const std::vector<char> source = Pattern(1000);
    std::vector<char> target(1000, 0);
    EXPECT_TRUE(RegsysCopyToUser(target.data(), source.data(), source.size()));
    EXPECT_EQ(target, source);
    EXPECT_TRUE(RegsysCopyToUser(target.data(), source.data(), 0));
}

TEST(UserCopy, FailsOnAnUnmappedTarget) {
    const std::vector<char> source = Pattern(64);
    EXPECT_FALSE(RegsysCopyToUser(reinterpret_cast<void*>(uintptr_t(1)), source.data(), source.size()));
    TwoPages pages(PAGE_NOACCESS);
    ASSERT_NE(pages.first(), nullptr);
    EXPECT_FALSE(RegsysCopyToUser(pages.second(), source.data(), source.size()));
}

TEST(UserCopy, FailsOnAReadOnlyTarget) {
    const std::vector<char> source = Pattern(64);
    TwoPages pages(PAGE_READONLY);
    ASSERT_NE(pages.first(), nullptr);
    EXPECT_FALSE(RegsysCopyToUser(pages.second(), source.data(), source.size()));
    EXPECT_EQ(pages.second()[0], 0);
}

// The copy runs into the guard page part way: what fits before it is written, and the call fails.
TEST(UserCopy, FailsPartWayAndKeepsRunning) {
    const std::vector<char> source = Pattern(256);
    TwoPages pages(PAGE_NOACCESS);
    ASSERT_NE(pages.first(), nullptr);
    char* target = pages.second() - 100;
    EXPECT_FALSE(RegsysCopyToUser(target, source.data(), source.size()));
    EXPECT_EQ(std::memcmp(target, source.data(), 100), 0);
    // The thread goes on as before: the next copy, and the next fault, are handled the same.
    for (int i = 0; i < 100; ++i) {
        ASSERT_FALSE(RegsysCopyToUser(target, source.data(), source.size()));
        ASSERT_TRUE(RegsysCopyToUser(pages.first(), source.data(), source.size()));
    }
}

} // namespace
