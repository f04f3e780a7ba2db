// Random notifications, for random kernels and capture states, walked through the callback's
// decisions as the driver takes them: the action table says what to do, and a pending table keeps
// what a pre-notification remembered by thread until its post. Checked: no action for a class
// outside the four handled or a kernel of unknown kind; nothing starts while capture is off; every
// record remembered is claimed by its own post or handed back displaced, exactly once.
#include "driver/NotifyAction.h"
#include "driver/PendingTable.h"
#include "driver/RegmonProtocol.h"
#include "tests/fuzz/FuzzRunner.h"

#include <map>
#include <memory>
#include <random>
#include <set>
#include <utility>

namespace {

bool Handled(int notifyClass) {
    return notifyClass == NOTIFY_CLASS_PRE_DELETE_KEY || notifyClass == NOTIFY_CLASS_PRE_SET_VALUE_KEY ||
           notifyClass == NOTIFY_CLASS_POST_DELETE_KEY || notifyClass == NOTIFY_CLASS_POST_SET_VALUE_KEY;
}

int RandomClass(std::mt19937& random) {
    switch (std::uniform_int_distribution<int>(0, 5)(random)) {
    case 0:
        return NOTIFY_CLASS_PRE_DELETE_KEY;
    case 1:
        return NOTIFY_CLASS_PRE_SET_VALUE_KEY;
    case 2:
        return NOTIFY_CLASS_POST_DELETE_KEY;
    case 3:
        return NOTIFY_CLASS_POST_SET_VALUE_KEY;
    case 4:
        return std::uniform_int_distribution<int>(-2, 60)(random);
    default:
        return int(random());
    }
}

bool CheckOneCase(std::mt19937& random) {
    const unsigned kernel = std::uniform_int_distribution<unsigned>(0, 5)(random);
    auto table = std::make_unique<PendingTable>();
    PendingTableInit(table.get());
    // Records are numbers; the model keeps, per thread, the record and object its pre left.
    std::map<uintptr_t, std::pair<uintptr_t, uintptr_t>> kept;
    std::set<uintptr_t> outstanding;
    uintptr_t nextRecord = 1;
    const int steps = std::uniform_int_distribution<int>(1, 400)(random);
    for (int step = 0; step < steps; ++step) {
        const int notifyClass = RandomClass(random);
        const bool capturing = random() % 4 != 0;
        const uintptr_t thread = std::uniform_int_distribution<uintptr_t>(1, 200)(random);
        const uintptr_t object = std::uniform_int_distribution<uintptr_t>(1, 3)(random);
        const NotifyAction action = NotifyActionFor(notifyClass, kernel);
        if (action != NOTIFY_IGNORE && (!Handled(notifyClass) || kernel < REGMON_NOTIFY_PRE_ONLY ||
                                        kernel > REGMON_NOTIFY_POST_WITH_PRE_INFO))
            return false;
        if (action == NOTIFY_IGNORE || (NotifyActionStartsRecord(action) && !capturing))
            continue;
        if (action == NOTIFY_REMEMBER_BY_THREAD) {
            const uintptr_t record = nextRecord++;
            void* displaced =
                PendingTableRemember(table.get(), thread, object, reinterpret_cast<void*>(record));
            const auto same = kept.find(thread);
            if (same != kept.end()) {
                if (reinterpret_cast<uintptr_t>(displaced) != same->second.first)
                    return false;
            } else if (displaced != nullptr &&
                       outstanding.count(reinterpret_cast<uintptr_t>(displaced)) == 0) {
                return false;
            } else if (displaced == nullptr && outstanding.size() >= PENDING_TABLE_SLOTS) {
                return false;
            }
            if (displaced != nullptr) {
                outstanding.erase(reinterpret_cast<uintptr_t>(displaced));
                for (auto it = kept.begin(); it != kept.end(); ++it) {
                    if (it->second.first == reinterpret_cast<uintptr_t>(displaced)) {
                        kept.erase(it);
                        break;
                    }
                }
            }
            kept[thread] = {record, object};
            outstanding.insert(record);
        } else if (action == NOTIFY_LOG_REMEMBERED_BY_THREAD) {
            void* claimed = PendingTableClaim(table.get(), thread, object);
            const auto same = kept.find(thread);
            const bool expected = same != kept.end() && same->second.second == object;
            if (expected != (claimed != nullptr))
                return false;
            if (expected) {
                if (reinterpret_cast<uintptr_t>(claimed) != same->second.first)
                    return false;
                outstanding.erase(same->second.first);
                kept.erase(same);
            }
        }
    }
    // Draining hands back every record still kept, once.
    while (void* record = PendingTableClaimOldest(table.get())) {
        if (outstanding.erase(reinterpret_cast<uintptr_t>(record)) != 1)
            return false;
    }
    return outstanding.empty();
}

} // namespace

FUZZ_ENTRY("notify-action", CheckOneCase)
