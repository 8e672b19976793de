// The entry point of every end-to-end test program: the tests run in private
// namespaces, and the programs they start see no desktop of the person running them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "e2e_support.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Listing the tests (CTest does so while building) starts no server and needs no network.
  if (!GTEST_FLAG_GET(list_tests)) {
    if (std::string why = e2e::enter_private_namespaces(); !why.empty()) {
      std::fprintf(stderr,
                   "%s: cannot set up private network and mount namespaces (%s).\n"
                   "These tests run the server on the real port 113 and need them: run them as root, or "
                   "where unprivileged user namespaces are allowed.\n",
                   argc > 0 ? argv[0] : "wrenfold_e2e_tests", why.c_str());
      return 2;
    }
  }
  // A server started by a test would otherwise put its icon on the tray of
  // whoever runs the tests (a session bus socket is reachable from any network
  // namespace), or report to the service manager running them. Tests that want
  // either give the server their own.
  for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "NOTIFY_SOCKET"}) unsetenv(name);
  return RUN_ALL_TESTS();
}
