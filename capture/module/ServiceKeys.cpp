#include "capture/module/ServiceKeys.h"

#include "capture/OldState.h"
#include "capture/module/KeyName.h"
#include "common/UniqueHandle.h"

#include <cwchar>
#include <utility>

namespace capture {

namespace {

constexpr ACCESS_MASK kReadAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
// A link below a service's key is not followed out of it.
constexpr ULONG kReadAttributes = OBJ_CASE_INSENSITIVE | OBJ_OPENLINK;

bool SameName(const std::wstring& one, const std::wstring& other) {
    return _wcsicmp(one.c_str(), other.c_str()) == 0;
}

bool SameValue(const ValueData& one, const ValueData& other) {
    // Data too large to read is never taken for unchanged: the call is reported rather than lost.
    return one.type == other.type && one.length == other.length && one.read && other.read &&
           one.data == other.data;
}

class TreeReader {
public:
    TreeReader(const NtCalls& nt, ServiceKeyTree& tree) : nt_(nt), tree_(tree) {}

    void Read(HANDLE key, const std::wstring& kernelName, unsigned depth) {
        if (tree_.keys.size() >= kServiceKeyBound) {
            tree_.complete = false;
            return;
        }
        tree_.keys.push_back(ServiceKeyTree::Key{kernelName, {}});
        ReadValues(key, tree_.keys.size() - 1);
        for (ULONG index = 0;; ++index) {
            std::wstring name;
            const NTSTATUS status = EnumerateSubkey(nt_, key, index, name);
            if (status == kStatusNoMoreEntries)
                return;
            if (status < 0 || depth >= kServiceDepthBound) {
                tree_.complete = false;
                return;
            }
            NTSTATUS opened = 0;
            const UniqueHandle subkey = OpenKeyBelow(nt_, key, name, kReadAccess, kReadAttributes, opened);
            if (!subkey) {
                tree_.complete = false;
                continue;
            }
            Read(subkey.get(), kernelName + L"\\" + name, depth + 1);
        }
    }

private:
    void ReadValues(HANDLE key, size_t keyIndex) {
        for (ULONG index = 0;; ++index) {
            if (values_ >= kServiceValueBound) {
                tree_.complete = false;
                return;
            }
            ValueData value;
            const NTSTATUS status = EnumerateValue(nt_, key, index, kMaxKeptValueBytes, buffer_, value);
            if (status == kStatusNoMoreEntries)
                return;
            if (status < 0) {
                tree_.complete = false;
                return;
            }
            tree_.keys[keyIndex].values.push_back(std::move(value));
            ++values_;
        }
    }

    const NtCalls& nt_;
    ServiceKeyTree& tree_;
    std::vector<uint8_t> buffer_;
    size_t values_ = 0;
};

const ServiceKeyTree::Key* FindKey(const ServiceKeyTree& tree, const std::wstring& kernelName) {
    for (const ServiceKeyTree::Key& key : tree.keys) {
        if (SameName(key.kernelName, kernelName))
            return &key;
    }
    return nullptr;
}

const ValueData* FindValue(const ServiceKeyTree::Key* key, const std::wstring& name) {
    if (key == nullptr)
        return nullptr;
    for (const ValueData& value : key->values) {
        if (SameName(value.name, name))
            return &value;
    }
    return nullptr;
}

} // namespace

std::wstring ServiceKeyPath(const std::wstring& serviceName) {
    return L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
}

ServiceKeyTree ReadServiceKey(const NtCalls& nt, const std::wstring& serviceName) {
    ServiceKeyTree tree;
    // A name with a separator would name another key than the service's: the service manager
    // refuses such names, and so is nothing read for one.
    if (serviceName.empty() || serviceName.find_first_of(L"\\/") != std::wstring::npos)
        return tree;
    NTSTATUS status = 0;
    // Opened through CurrentControlSet, a link: the kernel name is the physical key behind it.
    const UniqueHandle key =
        OpenKeyBelow(nt, nullptr, ServiceKeyPath(serviceName), kReadAccess, OBJ_CASE_INSENSITIVE, status);
    if (!key) {
        tree.complete = status == kStatusNameNotFound || status == kStatusPathNotFound;
        return tree;
    }
    const std::wstring kernelName = QueryKeyName(nt.queryKey, key.get());
    if (kernelName.empty()) {
        tree.complete = false;
        return tree;
    }
    tree.exists = true;
    TreeReader(nt, tree).Read(key.get(), kernelName, 0);
    return tree;
}

ServiceKeyChanges CompareServiceKeys(const ServiceKeyTree& before, const ServiceKeyTree& after) {
    ServiceKeyChanges changes;
    for (const ServiceKeyTree::Key& key : after.keys) {
        const ServiceKeyTree::Key* old = FindKey(before, key.kernelName);
        if (old == nullptr)
            changes.keysCreated.push_back(key.kernelName);
        for (const ValueData& value : key.values) {
            const ValueData* oldValue = FindValue(old, value.name);
            if (oldValue == nullptr || !SameValue(*oldValue, value))
                changes.values.push_back(ServiceKeyChanges::Value{key.kernelName, oldValue, &value});
        }
        if (old == nullptr)
            continue;
        for (const ValueData& oldValue : old->values) {
            if (FindValue(&key, oldValue.name) == nullptr)
                changes.values.push_back(ServiceKeyChanges::Value{key.kernelName, &oldValue, nullptr});
        }
    }
    for (const ServiceKeyTree::Key& key : before.keys) {
        if (FindKey(after, key.kernelName) == nullptr)
            changes.keysDeleted.push_back(key.kernelName);
    }
    return changes;
}

} // namespace capture
