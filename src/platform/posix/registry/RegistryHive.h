// The POSIX registry's tree of one root key in memory, and its text form on disk.
//
// The file is UTF-8 text that an administrator can read:
//
//   VelmoraRegistry 1
//   next 8
//   key 1 0 ""
//   key 2 1 "SYSTEM"
//   ...
//   key 7 5 "Application"
//   value 7 2 "Sources" 0000
//   end
//
// "next" is the id the next new key gets (ids are never reused, so an open
// key can tell that its key was deleted, even when one of the same name was
// created again). Each key line has the key's id, its depth below the root
// (the root is depth 0 and comes first; keys follow in depth-first order)
// and its name; the value lines after a key line belong to that key: type
// number, size in bytes, name, and the bytes in lower-case hex (nothing after
// the name when the size is 0). Names are quoted: printable ASCII stands for
// itself except \" and \\, every other character is written \u{hex}. The
// closing "end" line tells a whole file from a cut one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"

namespace plat::posix {

struct RegistryValue {
    std::wstring name;
    DWORD type = 0;
    std::vector<std::uint8_t> data;
};

struct RegistryNode {
    std::uint64_t id = 0;
    std::wstring name;
    RegistryNode* parent = nullptr;
    std::vector<RegistryValue> values;
    std::vector<std::unique_ptr<RegistryNode>> children;
};

// Names compare as Windows compares key and value names: letters of ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic without regard to case, all
// other characters exactly. Independent of the process's locale.
bool RegistryNamesEqual(std::wstring_view a, std::wstring_view b);

// Splits a key path at "\" into `parts` (null or empty: no parts). False for a
// path that starts with "\" or holds an empty name between two separators; one
// trailing "\" is allowed.
bool SplitRegistryPath(const wchar_t* path, std::vector<std::wstring>* parts);

class RegistryHive {
  public:
    static constexpr std::uint64_t kRootId = 1;

    // Just the root key.
    RegistryHive();
    // What a new registry folder holds: the root with
    // SYSTEM\CurrentControlSet\Services\EventLog\Application and its empty
    // "Sources" list.
    static RegistryHive Fresh();

    RegistryNode& Root() { return *m_root; }
    // The key with this id, or null when there is none (deleted).
    RegistryNode* Find(std::uint64_t id);
    RegistryNode* FindChild(RegistryNode& node, std::wstring_view name);
    RegistryNode& AddChild(RegistryNode& node, const std::wstring& name);
    void RemoveChild(RegistryNode& node, const RegistryNode* child);

    static RegistryValue* FindValue(RegistryNode& node, std::wstring_view name);
    // Replaces the value of that name (keeping the name's original case) or adds it.
    static void SetValue(RegistryNode& node, const std::wstring& name, DWORD type, std::vector<std::uint8_t> data);
    static bool DeleteValue(RegistryNode& node, std::wstring_view name);

    std::string Serialise() const;
    // False, leaving `hive` unchanged, for text that is not a whole registry file.
    static bool Parse(std::string_view text, RegistryHive* hive);

  private:
    std::unique_ptr<RegistryNode> m_root;
    std::uint64_t m_nextId = kRootId + 1;
};

}  // namespace plat::posix
