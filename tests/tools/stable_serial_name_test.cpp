// The stable name init points to: which link of a by-id folder is taken for a tty, and when none is.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "stable_serial_name.h"
#include "test_root.h"

namespace {

using testing_support::PseudoTerminal;
using testing_support::TempDeviceRoot;
using testing_support::WriteFile;

TEST(StableSerialName, NamesTheFirstLinkToTheSameTtyAndNoneForALinkOrAnUnlinkedTty) {
  TempDeviceRoot scratch;
  PseudoTerminal first;
  PseudoTerminal second;
  PseudoTerminal unlinked;
  const std::string byId = scratch.path() + "/by-id";
  ASSERT_EQ(mkdir(byId.c_str(), 0755), 0);
  const std::string plain = scratch.path() + "/plain";
  WriteFile(plain, "");
  // Two adapters, the first with two names, a link left by an adapter that went, and a link to a
  // plain file.
  const struct {
    const char *name;
    std::string target;
  } links[] = {{"usb-B_second-if00-port0", second.slavePath()},
               {"usb-C_first-if00-port0", first.slavePath()},
               {"usb-A_first-if00-port0", first.slavePath()},
               {"usb-0_gone-if00-port0", "/nonexistent/ttyUSB9"},
               {"usb-D_file", plain}};
  for (const auto &link : links)
    ASSERT_EQ(symlink(link.target.c_str(), (byId + "/" + link.name).c_str()), 0) << link.name;
  const std::string chosen = scratch.path() + "/norvik-touch0";
  ASSERT_EQ(symlink(first.slavePath().c_str(), chosen.c_str()), 0);

  struct Case {
    const char *what;
    std::string port;
    std::string folder;
    std::string expected;
  } cases[] = {
      {"a tty with two links: the first in sorted order", first.slavePath(), byId, byId + "/usb-A_first-if00-port0"},
      {"the other adapter's tty: its own link only", second.slavePath(), byId, byId + "/usb-B_second-if00-port0"},
      {"a tty no link leads to", unlinked.slavePath(), byId, ""},
      {"a port given by its by-id link", byId + "/usb-A_first-if00-port0", byId, ""},
      {"a port given by another link of its own", chosen, byId, ""},
      {"no by-id folder (no USB adapter plugged in)", first.slavePath(), scratch.path() + "/missing", ""},
  };
  for (const Case &c : cases) EXPECT_EQ(StableSerialName(c.port, c.folder), c.expected) << c.what;
}

}  // namespace
