#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "secret_file.h"

namespace qeld {
namespace {

struct LocalFreeDeleter {
  void operator()(void* memory) const { ::LocalFree(memory); }
};

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE known[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof known;
  return ::CreateWellKnownSid(type, nullptr, known, &size) && ::EqualSid(sid, known);
}

// The groups every local account is in.
bool NamesEveryone(PSID sid) {
  return IsWellKnown(sid, WinWorldSid) || IsWellKnown(sid, WinAuthenticatedUserSid) ||
         IsWellKnown(sid, WinBuiltinUsersSid);
}

// Who may hold a secret's file open for writing: its owner, and those who can take any file.
bool MayWrite(PSID sid, PSID owner) {
  return (owner != nullptr && ::EqualSid(sid, owner)) || IsWellKnown(sid, WinLocalSystemSid) ||
         IsWellKnown(sid, WinBuiltinAdministratorsSid);
}

// An entry of the access list that grants something now (not only to files made later), as
// the allowing entry it is; nullptr for any other. Deny entries are not weighed against the
// grants: a file that needs one to stay private is refused all the same.
const ACCESS_ALLOWED_ACE* Grant(void* entry) {
  const auto* header = static_cast<const ACE_HEADER*>(entry);
  if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
    return nullptr;
  }
  return static_cast<const ACCESS_ALLOWED_ACE*>(entry);
}

PSID Trustee(const ACCESS_ALLOWED_ACE& grant) { return const_cast<DWORD*>(&grant.SidStart); }

// An account as an administrator knows it: DOMAIN\name, else its SID.
std::string AccountName(PSID sid) {
  char name[256];
  char domain[256];
  DWORD name_size = sizeof name;
  DWORD domain_size = sizeof domain;
  SID_NAME_USE use;
  if (::LookupAccountSidA(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
    // Well-known groups such as Everyone have no domain.
    return domain[0] != '\0' ? std::string(domain) + "\\" + name : std::string(name);
  }
  char* text = nullptr;
  if (!::ConvertSidToStringSidA(sid, &text)) return "another account";
  const std::unique_ptr<void, LocalFreeDeleter> owned(text);
  return text;
}

// The single place a refusal becomes text: who may do what, and the remedy.
std::string Exposed(const std::string& who_may, const char* only_owner_may) {
  return who_may + ": let only its owner " + only_owner_may +
         " it (icacls FILE /inheritance:r /grant:r %USERNAME%:R)";
}

}  // namespace

std::optional<std::string> SecretFileExposed(const std::string& path) {
  PSID owner = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const std::unique_ptr<void, LocalFreeDeleter> owned(descriptor);
  if (list == nullptr) return Exposed("readable by everyone (no access list)", "read");
  constexpr ACCESS_MASK kRead = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
  // Changing the access list or the owner leads to writing as surely as writing does.
  constexpr ACCESS_MASK kWrite =
      FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC | WRITE_OWNER;
  void* entry = nullptr;
  for (DWORD i = 0; i < list->AceCount; ++i) {
    const ACCESS_ALLOWED_ACE* grant = ::GetAce(list, i, &entry) ? Grant(entry) : nullptr;
    if (grant != nullptr && (grant->Mask & kRead) != 0 && NamesEveryone(Trustee(*grant))) {
      return Exposed("readable by Everyone or Users", "read");
    }
  }
  for (DWORD i = 0; i < list->AceCount; ++i) {
    const ACCESS_ALLOWED_ACE* grant = ::GetAce(list, i, &entry) ? Grant(entry) : nullptr;
    if (grant != nullptr && (grant->Mask & kWrite) != 0 && !MayWrite(Trustee(*grant), owner)) {
      return Exposed("writable by " + AccountName(Trustee(*grant)), "write");
    }
  }
  return std::nullopt;
}

}  // namespace qeld
