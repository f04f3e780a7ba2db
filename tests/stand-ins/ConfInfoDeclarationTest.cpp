// Kelmira.dll and its users each declare the change record for themselves: the stand-in may not
// include the project's headers. The two declarations are one binary contract, so they must agree
// field for field: name, type, place and default. Kelmira's is read into a namespace of its own, so
// that the two are different types here and neither definition hides the other.
#include "include/IConfInfoInc.h"

#define IConfInfoInc KelmiraDeclaration
#include "stand-ins/kelmira/KelmiraConfInfo.h"
#undef IConfInfoInc

#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

namespace {

using LibraryRecord = IConfInfoInc::_ConfInfo;
using KelmiraRecord = KelmiraDeclaration::_ConfInfo;

template <class Record, class Field>
std::ptrdiff_t PlaceOf(const Record& record, const Field& field) {
    return reinterpret_cast<const char*>(&field) - reinterpret_cast<const char*>(&record);
}

#define EXPECT_SAME_FIELD(field)                                                                             \
    do {                                                                                                     \
        static_assert(std::is_same_v<decltype(LibraryRecord::field), decltype(KelmiraRecord::field)>,        \
                      #field " differs in type");                                                            \
        EXPECT_EQ(PlaceOf(library, library.field), PlaceOf(kelmira, kelmira.field)) << #field;               \
        EXPECT_EQ(library.field, kelmira.field) << #field " differs in its default";                         \
    } while (false)

TEST(ConfInfoDeclarations, KelmirasCopyMatchesTheLibrarysFieldForField) {
    static_assert(sizeof(LibraryRecord) == sizeof(KelmiraRecord), "a field was added to one copy only");
    static_assert(alignof(LibraryRecord) == alignof(KelmiraRecord));
    const LibraryRecord library{};
    const KelmiraRecord kelmira{};
    EXPECT_SAME_FIELD(kind);
    EXPECT_SAME_FIELD(path);
    EXPECT_SAME_FIELD(data);
    EXPECT_SAME_FIELD(valueType);
    EXPECT_SAME_FIELD(extra);
    EXPECT_SAME_FIELD(flag);
}

} // namespace
