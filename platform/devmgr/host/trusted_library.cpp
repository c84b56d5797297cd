// Mapping a library through the descriptor that passed the trust check ("/proc/self/fd/N"), so
// that what is mapped is the file that was checked. A library so mapped sees "/proc/self/fd" as
// its own folder, so the libraries its run path finds in its real folder ($ORIGIN) are mapped the
// same way beforehand, where the loader then finds them by their names.
#include "host/trusted_library.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "platform/trusted_path.h"

namespace devmgr {
namespace {

// Deeper chains of libraries needing libraries from their own folder are left to the loader.
constexpr int kMaxDepth = 8;
constexpr size_t kMaxStringTable = size_t{1} << 24;

bool ReadAt(int fd, void *to, size_t size, off_t at) {
  return pread(fd, to, size, at) == static_cast<ssize_t>(size);
}

// The DT_NEEDED names of the ELF object open on fd when its DT_RUNPATH or DT_RPATH lists its own
// folder; nothing when it lists none, or the file is not a shared object of this machine's class.
std::vector<std::string> OwnFolderDependencies(int fd) {
  ElfW(Ehdr) header{};
  if (!ReadAt(fd, &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32) ||
      header.e_phentsize != sizeof(ElfW(Phdr)))
    return {};
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!ReadAt(fd, segments.data(), segments.size() * sizeof(ElfW(Phdr)), static_cast<off_t>(header.e_phoff)))
    return {};
  const ElfW(Phdr) *dynamic = nullptr;
  for (const ElfW(Phdr) &segment : segments)
    if (segment.p_type == PT_DYNAMIC) dynamic = &segment;
  if (dynamic == nullptr) return {};
  std::vector<ElfW(Dyn)> entries(dynamic->p_filesz / sizeof(ElfW(Dyn)));
  if (!ReadAt(fd, entries.data(), entries.size() * sizeof(ElfW(Dyn)), static_cast<off_t>(dynamic->p_offset)))
    return {};
  ElfW(Addr) table = 0;
  size_t tableSize = 0;
  std::vector<size_t> needed, runPaths;
  for (const ElfW(Dyn) &entry : entries) {
    if (entry.d_tag == DT_NULL) break;
    if (entry.d_tag == DT_STRTAB) table = entry.d_un.d_ptr;
    if (entry.d_tag == DT_STRSZ) tableSize = entry.d_un.d_val;
    if (entry.d_tag == DT_NEEDED) needed.push_back(entry.d_un.d_val);
    if (entry.d_tag == DT_RUNPATH || entry.d_tag == DT_RPATH) runPaths.push_back(entry.d_un.d_val);
  }
  if (tableSize == 0 || tableSize > kMaxStringTable) return {};
  off_t tableOffset = -1;
  for (const ElfW(Phdr) &segment : segments)
    if (segment.p_type == PT_LOAD && table >= segment.p_vaddr && table - segment.p_vaddr + tableSize <= segment.p_filesz)
      tableOffset = static_cast<off_t>(segment.p_offset + (table - segment.p_vaddr));
  std::string strings(tableSize, '\0');
  if (tableOffset < 0 || !ReadAt(fd, strings.data(), tableSize, tableOffset)) return {};
  auto text = [&](size_t at) { return at < strings.size() ? std::string(strings.c_str() + at) : std::string(); };
  bool searchesOwnFolder = false;
  for (size_t at : runPaths) {
    std::string list = text(at) + ":";
    for (size_t start = 0, end; (end = list.find(':', start)) != std::string::npos; start = end + 1) {
      std::string folder = list.substr(start, end - start);
      if (folder == "$ORIGIN" || folder == "${ORIGIN}") searchesOwnFolder = true;
    }
  }
  std::vector<std::string> names;
  if (!searchesOwnFolder) return names;
  for (size_t at : needed) {
    std::string name = text(at);
    if (!name.empty() && name.find('/') == std::string::npos) names.push_back(name);
  }
  return names;
}

std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int CollectName(dl_phdr_info *info, size_t, void *names) {
  static_cast<std::set<std::string> *>(names)->insert(info->dlpi_name != nullptr ? info->dlpi_name : "");
  return 0;
}

// dlopen takes a name it has mapped before for that mapping, without opening anything, so the
// descriptor's path must not be the name of a library mapped earlier through a descriptor whose
// number was reused since. Returns fd or a duplicate that qualifies (closing fd), or -1.
int UnclaimedDescriptor(int fd) {
  std::set<std::string> names;
  dl_iterate_phdr(CollectName, &names);
  int candidate = fd;
  while (names.count(ProcPath(candidate)) != 0) {
    int next = fcntl(fd, F_DUPFD_CLOEXEC, candidate + 1);
    if (candidate != fd) close(candidate);
    candidate = next;
    if (candidate < 0) break;
  }
  if (candidate != fd) close(fd);
  return candidate;
}

MappedLibrary Map(const std::string &path, int depth) {
  MappedLibrary result;
  int fd = platform::OpenTrustedFile(path, &result.why);
  if (fd < 0) {
    result.refused = true;
    return result;
  }
  const std::string folder = path.substr(0, path.rfind('/'));
  for (const std::string &needed : depth < kMaxDepth ? OwnFolderDependencies(fd) : std::vector<std::string>{}) {
    if (void *mapped = dlopen(needed.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
      dlclose(mapped);
      continue;
    }
    const std::string beside = folder + "/" + needed;
    struct stat entry {};
    if (lstat(beside.c_str(), &entry) != 0) continue;  // the loader's own search may still find it
    // Stays mapped: the library is about to need it.
    MappedLibrary dependency = Map(beside, depth + 1);
    if (dependency.module == nullptr) {
      close(fd);
      dependency.why = "it needs " + beside + ", and " + dependency.why;
      return dependency;
    }
  }
  fd = UnclaimedDescriptor(fd);
  if (fd < 0) {
    result.why = std::string("cannot duplicate its descriptor: ") + std::strerror(errno);
    return result;
  }
  const std::string mappedPath = ProcPath(fd);
  result.module = dlopen(mappedPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (result.module == nullptr) {
    const char *reason = dlerror();
    result.why = reason != nullptr ? reason : "unknown error";
    // The loader names the descriptor's path; the reader knows the file by its own.
    for (size_t at = result.why.find(mappedPath); at != std::string::npos; at = result.why.find(mappedPath, at + path.size()))
      result.why.replace(at, mappedPath.size(), path);
  }
  close(fd);
  return result;
}

}  // namespace

MappedLibrary MapTrustedLibrary(const std::string &path) { return Map(path, 0); }

}  // namespace devmgr
