// The per-user bound on devmgr's lines about its clients.
#include "host/user_lines.h"

#include "host/log.h"
#include "platform/trusted_path.h"

namespace devmgr {

void UserLines::Say(const std::string &kind, uid_t user, const std::function<std::string(unsigned held)> &line) {
  const auto now = std::chrono::steady_clock::now();
  unsigned held = 0;
  {
    std::lock_guard lock(mutex_);
    Kept &kept = kept_[{kind, user}];
    if (kept.said && now - kept.last < kInterval) {
      ++kept.unsaid;
      return;
    }
    held = kept.unsaid;
    kept = {now, true, 0};
  }
  LogError(line(held));
}

void UserLines::Say(const std::string &kind, uid_t user, const std::string &text) {
  Say(kind, user, [&](unsigned held) {
    return text + (held == 0 ? std::string()
                             : " (and " + std::to_string(held) + " more such " + (held == 1 ? "line" : "lines") +
                                   " of " + platform::UserName(user) + " since the last)");
  });
}

}  // namespace devmgr
