#include "win/win_security.h"

// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <set>

#include "win/win_nt.h"
#include "win/win_support.h"

namespace kelvane::win {

namespace {

Sid copyOf(PSID sid) {
  if (!sid || !::IsValidSid(sid)) return {};
  return Sid(static_cast<const char*>(sid), ::GetLengthSid(sid));
}

Sid wellKnown(WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  if (!::CreateWellKnownSid(type, nullptr, sid, &size)) return {};
  return copyOf(sid);
}

// The security the system keeps on h.
struct Security {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  bool read = false;
  std::vector<BYTE> descriptor = std::vector<BYTE>(1024);
  Security(HANDLE h, SECURITY_INFORMATION what) {
    DWORD needed = 0;
    auto* at = reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptor.data());
    read = ::GetKernelObjectSecurity(h, what, at, static_cast<DWORD>(descriptor.size()), &needed);
    if (!read && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      descriptor.resize(needed);
      at = reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptor.data());
      read = ::GetKernelObjectSecurity(h, what, at, needed, &needed);
    }
    BOOL present = FALSE, defaulted = FALSE;
    read = read && ::GetSecurityDescriptorOwner(at, &owner, &defaulted) &&
           ::GetSecurityDescriptorDacl(at, &present, &dacl, &defaulted);
    if (!present) dacl = nullptr;
  }
};

// The running account as its token shows it: what it is, who owns what it makes, and the
// permissions of what it makes where nothing is inherited.
struct Account {
  Sid user, owner;
  Rights defaults;
};

ACCESS_MASK mapped(ACCESS_MASK mask) {
  GENERIC_MAPPING files{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                        FILE_ALL_ACCESS};
  ::MapGenericMask(&mask, &files);
  return mask;
}

// Calls take(type, flags, mask, sid) for each entry of acl, its mask mapped.
template <typename Take>
void eachEntry(PACL acl, Take take) {
  if (!acl) return;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!::GetAce(acl, i, reinterpret_cast<void**>(&header))) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
      continue;  // object and callback entries name no plain account
    auto* entry = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    take(header->AceType, header->AceFlags, mapped(entry->Mask), copyOf(&entry->SidStart));
  }
}

// The account sid stands for, as the system names it.
std::string nameOf(const Sid& sid) {
  if (sid.empty()) return "an account the system does not name";
  wchar_t name[256], domain[256];
  DWORD nameSize = 256, domainSize = 256;
  SID_NAME_USE use;
  Sid copy = sid;
  if (::LookupAccountSidW(nullptr, copy.data(), name, &nameSize, domain, &domainSize, &use))
    return narrow(domainSize ? std::wstring(domain) + L"\\" + name : std::wstring(name));
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(copy.data(), &text)) return "an account the system does not name";
  std::string out = narrow(text);
  ::LocalFree(text);
  return out;
}

// NT SERVICE\TrustedInstaller, which owns the system's own folders (the drive's root among
// them).
const wchar_t* const kTrustedInstaller =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

const Account& runningAccount() {
  static const Account account = [] {
    Account out;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return out;
    std::vector<BYTE> buffer(4096);
    DWORD n = 0;
    auto ask = [&](TOKEN_INFORMATION_CLASS kind) {
      return ::GetTokenInformation(token, kind, buffer.data(), static_cast<DWORD>(buffer.size()),
                                   &n);
    };
    if (ask(TokenUser)) out.user = copyOf(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    if (ask(TokenOwner)) out.owner = copyOf(reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner);
    if (ask(TokenDefaultDacl))
      eachEntry(reinterpret_cast<TOKEN_DEFAULT_DACL*>(buffer.data())->DefaultDacl,
                [&](BYTE type, BYTE, ACCESS_MASK mask, const Sid& sid) {
                  if (type == ACCESS_ALLOWED_ACE_TYPE) out.defaults[sid] |= mask;
                });
    ::CloseHandle(token);
    return out;
  }();
  return account;
}

// The accounts trusted as root is on Linux: the system's own, the Administrators and
// TrustedInstaller.
const std::set<Sid>& systemAccounts() {
  static const std::set<Sid> accounts = [] {
    std::set<Sid> out{wellKnown(WinLocalSystemSid), wellKnown(WinBuiltinAdministratorsSid)};
    PSID installer = nullptr;
    if (::ConvertStringSidToSidW(kTrustedInstaller, &installer)) {
      out.insert(copyOf(installer));
      ::LocalFree(installer);
    }
    return out;
  }();
  return accounts;
}

bool isRunningOrSystem(const Sid& sid) {
  const Account& account = runningAccount();
  return sid == account.user || sid == account.owner || systemAccounts().count(sid);
}

bool within(const Rights& rights, const Rights& allowed) {
  for (const auto& [sid, mask] : rights) {
    auto it = allowed.find(sid);
    if (mask & ~(it == allowed.end() ? 0 : it->second)) return false;
  }
  return true;
}

}  // namespace

FreshFolder::FreshFolder(HANDLE parent) {
  Security above(parent, DACL_SECURITY_INFORMATION);
  read_ = above.read;
  bool inherits = false;
  eachEntry(above.dacl, [&](BYTE type, BYTE flags, ACCESS_MASK mask, const Sid& sid) {
    if (!(flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))) return;
    inherits = true;
    if (type != ACCESS_ALLOWED_ACE_TYPE) return;
    if (flags & CONTAINER_INHERIT_ACE) grants_[sid] |= mask;
    if (!(flags & NO_PROPAGATE_INHERIT_ACE)) passes_[sid] |= mask;
  });
  if (!inherits) grants_ = runningAccount().defaults;
}

bool FreshFolder::isLike(HANDLE folder) const {
  const Account& account = runningAccount();
  Security mine(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
  // No permissions at all lets everyone do everything.
  if (!read_ || !mine.read || !mine.dacl) return false;
  Sid owner = copyOf(mine.owner);
  if (owner.empty() || (owner != account.user && owner != account.owner)) return false;
  // What the creator of a folder is given goes to its owner.
  Rights fresh = grants_;
  static const Sid creator = wellKnown(WinCreatorOwnerSid);
  if (auto it = fresh.find(creator); it != fresh.end()) fresh[owner] |= it->second;

  // What this folder grants, and passes on to what is made in it; deny entries only take away.
  Rights grants, passes;
  eachEntry(mine.dacl, [&](BYTE type, BYTE flags, ACCESS_MASK mask, const Sid& sid) {
    if (type != ACCESS_ALLOWED_ACE_TYPE) return;
    if (!(flags & INHERIT_ONLY_ACE)) grants[sid] |= mask;
    if (flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) passes[sid] |= mask;
  });
  return within(grants, fresh) && within(passes, passes_);
}

bool FreshFolder::letsOthers(ACCESS_MASK rights) const {
  if (!read_) return true;
  // What is given to the creator goes to the owner: the running account, which makes it.
  static const Sid creator = wellKnown(WinCreatorOwnerSid);
  for (const auto& [sid, mask] : grants_)
    if ((mask & rights) && sid != creator && !isRunningOrSystem(sid)) return true;
  return false;
}

std::string foreignOwnerOf(HANDLE link, HANDLE folder) {
  Security linkSecurity(link, OWNER_SECURITY_INFORMATION);
  Security folderSecurity(folder, OWNER_SECURITY_INFORMATION);
  Sid owner = linkSecurity.read ? copyOf(linkSecurity.owner) : Sid();
  if (owner.empty()) return "an account the system does not name";
  static const Sid system = wellKnown(WinLocalSystemSid);
  static const Sid administrators = wellKnown(WinBuiltinAdministratorsSid);
  if ((folderSecurity.read && owner == copyOf(folderSecurity.owner)) || owner == system ||
      owner == administrators)
    return "";
  return nameOf(owner);
}

bool ownedByRunningAccount(HANDLE h) {
  const Account& account = runningAccount();
  Security security(h, OWNER_SECURITY_INFORMATION);
  Sid owner = security.read ? copyOf(security.owner) : Sid();
  return !owner.empty() && (owner == account.user || owner == account.owner);
}

std::string strangerWithRights(HANDLE h, ACCESS_MASK rights, HANDLE alsoOwnerOf) {
  Sid also;
  if (alsoOwnerOf) {
    Security above(alsoOwnerOf, OWNER_SECURITY_INFORMATION);
    if (above.read) also = copyOf(above.owner);
  }
  auto isTrusted = [&](const Sid& sid) {
    return isRunningOrSystem(sid) || (!also.empty() && sid == also);
  };
  Security security(h, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
  if (!security.read) return "an account the system does not name";
  Sid owner = copyOf(security.owner);
  if (!isTrusted(owner)) return nameOf(owner);
  if (!security.dacl) return "Everyone";
  std::string stranger;
  // Deny entries are not weighed: a grant another account may be given back elsewhere counts.
  eachEntry(security.dacl, [&](BYTE type, BYTE flags, ACCESS_MASK mask, const Sid& sid) {
    if (stranger.empty() && type == ACCESS_ALLOWED_ACE_TYPE && !(flags & INHERIT_ONLY_ACE) &&
        (mask & rights) && !isTrusted(sid))
      stranger = nameOf(sid);
  });
  return stranger;
}

bool mayAddSubfolder(HANDLE folder) {
  const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  NTSTATUS status = 0;
  Handle h = openIn(folder, L"", {READ_CONTROL, share, FILE_OPEN, FILE_DIRECTORY_FILE}, status);
  Security security(
      h.get(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
  if (!h || !security.read) {
    h = openIn(folder, L"", {FILE_ADD_SUBDIRECTORY, share, FILE_OPEN, FILE_DIRECTORY_FILE}, status);
    return h || ::RtlNtStatusToDosError(status) != ERROR_ACCESS_DENIED;
  }
  HANDLE token = nullptr, asked = nullptr;
  bool tokens = ::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &token) &&
                ::DuplicateToken(token, SecurityIdentification, &asked);
  Handle held(token), heldAsked(asked);
  if (!tokens) return true;  // nothing to ask with: the build's own create answers
  GENERIC_MAPPING files{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                        FILE_ALL_ACCESS};
  PRIVILEGE_SET privileges;
  DWORD size = sizeof privileges, granted = 0;
  BOOL allowed = FALSE;
  return !::AccessCheck(security.descriptor.data(), asked, FILE_ADD_SUBDIRECTORY, &files,
                        &privileges, &size, &granted, &allowed) ||
         allowed;
}

LockSecurity::LockSecurity(HANDLE folder) {
  const Account& account = runningAccount();
  Security security(folder, OWNER_SECURITY_INFORMATION);
  std::set<Sid> allowed{account.user, wellKnown(WinLocalSystemSid),
                        wellKnown(WinBuiltinAdministratorsSid),
                        security.read ? copyOf(security.owner) : Sid()};
  allowed.erase(Sid());
  DWORD size = sizeof(ACL);
  for (const Sid& sid : allowed)
    size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid.size());
  acl_.assign(size, 0);
  PACL acl = reinterpret_cast<PACL>(acl_.data());
  ::InitializeAcl(acl, size, ACL_REVISION);
  // Read and write, as a file of theirs: so that they may also remove it.
  for (Sid sid : allowed)
    ::AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE,
                          sid.data());
  ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE);
  // Nothing the folder passes on is added to it.
  ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

}  // namespace kelvane::win
