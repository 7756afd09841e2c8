#pragma once

// The texts of a settings file a user would save: every box filled, two merge lines.

#include "settings/settings.h"

namespace kelvane::testing {

inline SettingsTexts sampleTexts() {
  SettingsTexts t;
  t.WhereCreate = "/srv/links/";
  t.VFS = "/srv/vfs.txt";
  t.VFSold = "/srv/vfs.orig";
  t.VirtualR = "/merged";
  t.OwnU = "anon";
  t.OwnG = "users";
  t.CHMOD = "755";
  t.Lines = "/data/iso/|linux\r\n/data/mp3/|music|rock";
  return t;
}

}  // namespace kelvane::testing
