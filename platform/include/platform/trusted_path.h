// What a privileged program may act on: files and folders reached from "/" one component at a
// time, none of them a symbolic link, none of them replaceable by anyone but root, the program's
// own user or the service's account. Used wherever devmgr, or nrvctl run as root, opens or makes
// something that names code, a port, the hive or a folder of the device root.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform {

// The system account the norvik@ service runs devmgr as, and the group whose members may
// calibrate and change settings.
inline constexpr const char kServiceUser[] = "norvikd";
inline constexpr const char kMemberGroup[] = "norvik";

// root, this process's effective user, and the service's account when it exists.
bool IsTrustedOwner(uid_t owner);

// Opens the directory `path` (absolute) with O_PATH, component by component from "/": each one
// a real directory (no symbolic link), owned by a trusted owner and, when group or others may
// write it, sticky with the next component owned by a trusted owner too (as /tmp is for a folder
// made there by root). Returns the descriptor, or -1 with *why saying which component refuses
// and why, in words that fit after "cannot use PATH: ".
int OpenTrustedDirectory(const std::string &path, std::string *why);

// Opens the regular file `path` (absolute) read-only: its folder as OpenTrustedDirectory does,
// the file itself not a symbolic link, owned by a trusted owner and writable by nobody else.
int OpenTrustedFile(const std::string &path, std::string *why);

// Whether a file or folder with this owner and mode may be written only by trusted owners.
bool IsWritableOnlyByTrusted(uid_t owner, mode_t mode);

// A user's name as the password database gives it (read reentrantly), or "uid N"; printable.
std::string UserName(uid_t user);

}  // namespace platform
