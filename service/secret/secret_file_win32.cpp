#include <windows.h>
// after windows.h
#include <aclapi.h>

#include <memory>

#include "secret_file.h"

namespace qeld {
namespace {

struct LocalFreeDeleter {
  void operator()(void* memory) const { ::LocalFree(memory); }
};

// The groups every local account is in.
constexpr WELL_KNOWN_SID_TYPE kEveryoneGroups[] = {WinWorldSid, WinAuthenticatedUserSid,
                                                   WinBuiltinUsersSid};

bool NamesEveryone(PSID sid) {
  for (const WELL_KNOWN_SID_TYPE type : kEveryoneGroups) {
    BYTE group[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof group;
    if (::CreateWellKnownSid(type, nullptr, group, &size) && ::EqualSid(sid, group)) return true;
  }
  return false;
}

// Whether an entry of the access list lets one of those groups read the file. Deny entries
// are not weighed against it: a file that needs one to stay private is refused all the same.
bool LetsEveryoneRead(void* entry) {
  const auto* header = static_cast<const ACE_HEADER*>(entry);
  if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
    return false;
  }
  auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
  const ACCESS_MASK read = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
  return (allowed->Mask & read) != 0 && NamesEveryone(&allowed->SidStart);
}

}  // namespace

std::optional<std::string> SecretFileExposed(const std::string& path) {
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const std::unique_ptr<void, LocalFreeDeleter> owned(descriptor);
  const std::string remedy =
      ": let only its owner read it (icacls FILE /inheritance:r /grant:r %USERNAME%:R)";
  if (list == nullptr) return "readable by everyone (no access list)" + remedy;
  for (DWORD i = 0; i < list->AceCount; ++i) {
    void* entry = nullptr;
    if (::GetAce(list, i, &entry) && LetsEveryoneRead(entry)) {
      return "readable by Everyone or Users" + remedy;
    }
  }
  return std::nullopt;
}

}  // namespace qeld
