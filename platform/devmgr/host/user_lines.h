// Lines about what a user's programs did (a refused connection, a request devmgr does not
// understand, an idle connection closed), said at most once a minute for each kind and user,
// with the count of those held back since: one member's flood fills neither the journal nor its
// rate limit, so the lines that name another user still come through.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace devmgr {

class UserLines {
 public:
  static constexpr std::chrono::minutes kInterval{1};

  // Says line(N), N being how many lines of this kind about `user` were held back since the last
  // one said, when none was said within kInterval; otherwise holds this one back.
  void Say(const std::string &kind, uid_t user, const std::function<std::string(unsigned held)> &line);
  // The same for a line whose count of held-back lines follows it: "TEXT (and N more such lines
  // of USER since the last)".
  void Say(const std::string &kind, uid_t user, const std::string &text);

 private:
  struct Kept {
    std::chrono::steady_clock::time_point last{};
    bool said = false;
    unsigned unsaid = 0;
  };
  std::mutex mutex_;
  std::map<std::pair<std::string, uid_t>, Kept> kept_;
};

}  // namespace devmgr
