#include "win/win_security.h"

// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <set>

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

std::string strangerWithRights(HANDLE h, ACCESS_MASK rights) {
  const Account& account = runningAccount();
  static const std::set<Sid> trusted = [] {
    std::set<Sid> out{wellKnown(WinLocalSystemSid), wellKnown(WinBuiltinAdministratorsSid)};
    PSID installer = nullptr;
    if (::ConvertStringSidToSidW(kTrustedInstaller, &installer)) {
      out.insert(copyOf(installer));
      ::LocalFree(installer);
    }
    return out;
  }();
  auto isTrusted = [&](const Sid& sid) {
    return sid == account.user || sid == account.owner || trusted.count(sid);
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

LockSecurity::LockSecurity(HANDLE folder) {
  const Account& account = runningAccount();
  Security security(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
  // The system, the Administrators and the running account may always; so may the folder's
  // owner, who can give itself any permission there.
  std::set<Sid> trusted{account.user, wellKnown(WinLocalSystemSid),
                        wellKnown(WinBuiltinAdministratorsSid), copyOf(security.owner)};
  trusted.erase(Sid());
  std::set<Sid> allowed = trusted, denied;
  const Sid ownerRights = wellKnown(WinCreatorOwnerRightsSid);
  eachEntry(security.dacl, [&](BYTE type, BYTE flags, ACCESS_MASK mask, const Sid& sid) {
    if (flags & INHERIT_ONLY_ACE || sid == ownerRights) return;
    if (type == ACCESS_ALLOWED_ACE_TYPE && (mask & (FILE_ADD_FILE | WRITE_DAC | WRITE_OWNER)))
      allowed.insert(sid);
    else if (type == ACCESS_DENIED_ACE_TYPE && (mask & FILE_ADD_FILE) && !trusted.count(sid))
      denied.insert(sid);
  });
  DWORD size = sizeof(ACL);
  for (const auto* list : {&denied, &allowed})
    for (const Sid& sid : *list)
      size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid.size());
  acl_.assign(size, 0);
  PACL acl = reinterpret_cast<PACL>(acl_.data());
  ::InitializeAcl(acl, size, ACL_REVISION);
  // Deny entries first, as the system reads them in order.
  for (Sid sid : denied) ::AddAccessDeniedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid.data());
  for (Sid sid : allowed) ::AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ, sid.data());
  ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE);
  // Nothing the folder passes on is added to it.
  ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

}  // namespace kelvane::win
