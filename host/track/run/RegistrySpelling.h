// The registry's own spelling of key and value names. A name in a result is spelt as the log's
// source handed it over: the kernel gives the driver's callback a key's name in whatever letter case
// it keeps for it (upper case, on ReactOS), and a value's name comes as the writing call spelt it,
// which need not be how the registry first stored it. The registry compares names without regard
// to case and keeps the spelling of the call that made each key or value; that spelling is read back
// here, once per key, so that the reports name each item as the machine holds it.
//
// Threading: one object belongs to the thread that uses it.
#pragma once

#include "host/track/result/TrackResult.h"

#include <map>
#include <optional>
#include <string>

namespace track {

class RegistrySpelling {
public:
    // `path` as the registry spells it: the log's root ("HKLM", "HKCU", ...) as it is, then each key
    // as stored, as far as keys exist and open for reading; the rest keeps its given spelling. With
    // `endsInValue` the path ends in a value's name (empty for a key's default value), spelt as
    // stored where the key holds it. A path with an unknown root is returned as it is.
    std::wstring Spell(const std::wstring& path, bool endsInValue);

    // A key that is gone, with its last component as it was stored: the kept old state of a key the
    // setup deleted. Spell uses it for that component of any path where the registry has no key.
    void KnowGoneKey(const std::wstring& path);

private:
    // The stored name of the key `component` below `parent` (a path below the root, empty for the
    // root itself); none when it does not exist or does not open.
    std::optional<std::wstring> StoredKeyName(const std::wstring& root, const std::wstring& parent,
                                              const std::wstring& component);
    std::optional<std::wstring> StoredValueName(const std::wstring& root, const std::wstring& key,
                                                const std::wstring& name);
    // Upper-cased child name -> stored name, for every subkey or value of a key, read once.
    using Names = std::map<std::wstring, std::wstring>;
    const Names& Subkeys(const std::wstring& root, const std::wstring& key);
    const Names& Values(const std::wstring& root, const std::wstring& key);

    std::map<std::wstring, std::optional<std::wstring>> keys_; // upper-cased root\key -> stored name
    std::map<std::wstring, Names> subkeys_;                    // upper-cased root\key -> its subkeys
    std::map<std::wstring, Names> values_;                     // upper-cased root\key -> its values
    std::map<std::wstring, std::wstring> goneKeys_;            // upper-cased root\key -> stored name
};

// Respells every registry path of `result` as the registry holds it now: the values' paths (in the
// ANSI code page, as the library gives them; a spelling that page cannot hold leaves a path as it
// was), and the keys created or deleted and the values not recorded (UTF-8).
void SpellRegistryAsHeld(TrackResult& result);

} // namespace track
