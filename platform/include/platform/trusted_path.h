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

// How OpenTrustedPath treats what it reaches. The defaults are the rule of OpenTrustedFile.
struct TrustedOpen {
  // The open flags of the last component (O_PATH, O_RDONLY, O_RDWR, O_WRONLY | O_APPEND, ...):
  // with O_DIRECTORY it must be a folder, otherwise a regular file. O_NOFOLLOW and O_CLOEXEC are
  // always added, and for a file O_NOCTTY and O_NONBLOCK (a FIFO or device in its place never
  // holds the program up; a regular file ignores O_NONBLOCK).
  int flags = 0;
  // Makes the last component when it is missing: a folder 0700, a file 0600, which the caller
  // then gives its mode through the descriptor. *made, when given, says whether it was made.
  bool create = false;
  bool *made = nullptr;
  // Whether the folders after the start must belong to a trusted owner, and every folder, the
  // start included, be closed to its group and others unless it is sticky (so that they cannot
  // replace what is in it; the last component's owner is checked as trustedOwner says).
  // Otherwise the folders need only be real ones, none a symbolic link.
  bool trustFolders = true;
  // Whether the last component must belong to a trusted owner.
  bool trustedOwner = true;
  // Whether a file that its group or others may write is taken.
  bool othersMayWrite = false;
  // Whether a file must have a single name (no hard link that could be another file's).
  bool oneName = false;
};

// What OpenTrustedPath refused, for callers that say it in their own words.
struct TrustedRefusal {
  enum class Kind {
    kPath,          // not absolute, names nothing, or has a "." or ".." component
    kCannotOpen,    // a call failed (error): ENOENT when a component is missing
    kCannotCreate,  // the last component could not be made
    kLink,          // a symbolic link
    kNotFolder,     // a component on the way, or a last one asked for as a folder, is not one
    kNotRegular,    // the last component is not a regular file
    kOwner,         // of an owner who is not trusted (owner)
    kOpenFolder,    // `at` is a folder that others may write and is not sticky (mode)
    kWritable,      // a file that others may write (mode)
    kNames,         // a file with more than one name (names)
  };
  Kind kind = Kind::kPath;
  std::string at;     // the component refused, as shown (the start's name, then "/" and each one)
  bool last = false;  // whether it is the last component
  int error = 0;      // what errno is left at
  uid_t owner = 0;
  mode_t mode = 0;
  unsigned long names = 0;
  std::string why;  // in words that fit after "cannot use PATH: "
};

// Opens the absolute `path` from "/", one component at a time: every component is opened
// relative to the one before without following a symbolic link and checked on its descriptor,
// as `how` asks, so nothing can be swapped between the check and the use. Returns the
// descriptor, or -1 with *refusal saying what refused and errno set to refusal->error: the error
// of the call that failed (ENOENT only when a component is missing and was not to be made),
// ELOOP for a symbolic link, ENOTDIR for a component that is not a folder, EINVAL for a path
// that names nothing or has a "." or ".." component, and EACCES for every other refusal.
int OpenTrustedPath(const std::string &path, const TrustedOpen &how, TrustedRefusal *refusal);
// The same from the open folder `start` (not closed), shown as `shown`, for a relative `path`.
int OpenTrustedPathAt(int start, const std::string &shown, const std::string &path, const TrustedOpen &how,
                      TrustedRefusal *refusal);

// Opens the directory `path` (absolute) with O_PATH by OpenTrustedPath: every component a real
// directory of a trusted owner, none that group or others may write unless it is sticky.
// Returns the descriptor, or -1 with *why saying which component refuses and why, in words that
// fit after "cannot use PATH: ", and errno as OpenTrustedPath leaves it.
int OpenTrustedDirectory(const std::string &path, std::string *why);

// Opens the regular file `path` (absolute) read-only: its folder as OpenTrustedDirectory does,
// the file itself not a symbolic link, owned by a trusted owner and writable by nobody else.
// Fails as OpenTrustedDirectory does.
int OpenTrustedFile(const std::string &path, std::string *why);

// Whether a file or folder with this owner and mode may be written only by trusted owners.
bool IsWritableOnlyByTrusted(uid_t owner, mode_t mode);

// A user's name as the password database gives it (read reentrantly), or "uid N"; printable.
std::string UserName(uid_t user);
// The user `name`'s id from the password database (read reentrantly); false when it has none.
bool UserId(const char *name, uid_t *id);

}  // namespace platform
