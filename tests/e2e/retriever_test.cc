// The example retriever of contrib/, as an operator installs it: started by hand
// and by the daemon, with a /dev of the test's own that receives what it logs.
#include <dirent.h>

#include <algorithm>
#include <cstdlib>

#include "support/daemon_fixture.h"

namespace brantwick::testing {
namespace {

struct ExampleRetriever : DaemonTest {
  std::string spool = dir.file("spool");
  std::string script = std::string(CONTRIB_DIR) + "/retrieve-config";

  run_result by_hand(const std::vector<std::string>& args) {
    std::vector<std::string> full{"env", "BRANTWICK_SPOOL=" + spool, script};
    full.insert(full.end(), args.begin(), args.end());
    return run_in_private_dev(log.dev, full);
  }

  // The recorded requests, by file name; a request being written is not one yet.
  std::vector<std::pair<std::string, std::string>> requests() const {
    std::vector<std::pair<std::string, std::string>> found;
    DIR* d = opendir(spool.c_str());
    if (d == nullptr) return found;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      found.emplace_back(name, read_file(spool + "/" + name));
    }
    closedir(d);
    std::sort(found.begin(), found.end());
    return found;
  }

  void TearDown() override { unsetenv("BRANTWICK_SPOOL"); }
};

TEST_F(ExampleRetriever, RecordsEveryRequestUnderANameOfItsOwn) {
  const std::string detail =
      "412: *Mar  3 10:15:02.123: %SYS-5-CONFIG_I: Configured from console by admin\n";
  // Twice for one device at once, as two checks in a row may start it.
  for (const std::string device : {"edge1", "edge1", "2001:db8::7"}) {
    const run_result done = by_hand({device, detail});
    EXPECT_EQ(done.status, 0) << done.stderr_text;
  }
  const auto found = requests();
  ASSERT_EQ(found.size(), 3u);
  const std::string recorded = "detail: " + detail;  // its line end dropped, one added
  EXPECT_EQ(found[0].first.rfind("2001:db8::7.", 0), 0u) << found[0].first;
  EXPECT_EQ(found[0].second, "device: 2001:db8::7\n" + recorded);
  for (std::size_t i : {1, 2}) {
    EXPECT_EQ(found[i].first.rfind("edge1.", 0), 0u) << found[i].first;
    EXPECT_EQ(found[i].second, "device: edge1\n" + recorded);
  }
  EXPECT_NE(found[1].first, found[2].first);
}

TEST_F(ExampleRetriever, RefusesANameThatIsNoHostOrAddress) {
  // What a forged message could put in the device field, to reach a path or an
  // option of the fetch.
  for (const std::string device :
       {"", "..", "../../etc/cron.d/x", ".hidden", "a/b", "-oProxyCommand=sh",
        "edge1;reboot", "edge 1", "$(id)", "edge1\n"}) {
    SCOPED_TRACE("device [" + device + "]");
    const run_result done = by_hand({device, "detail"});
    EXPECT_EQ(done.status, 1);
    EXPECT_NE(done.stderr_text.find("refusing device name"), std::string::npos)
        << done.stderr_text;
    ASSERT_TRUE(wait_for(log, "refusing device name '" + device + "'", 60s));
    const auto said = with_text(log, "refusing device name '" + device + "'");
    EXPECT_EQ(said.back().ident, "retrieve-config");
    EXPECT_EQ(said.back().pid, done.pid);
    EXPECT_EQ(said.back().facility, 3 << 3);  // daemon
    EXPECT_EQ(said.back().severity, sev_warning);
    EXPECT_EQ(requests(), (std::vector<std::pair<std::string, std::string>>{}));
  }
}

TEST_F(ExampleRetriever, RecordsWhatTheDaemonHandsOn) {
  setenv("BRANTWICK_SPOOL", spool.c_str(), 1);
  retriever = script;
  write_file(logfile,
             device_line("edge2", "77: *Mar  3 10:15:09.900: %LINK-3-UPDOWN: down") +
                 change_line("edge1", " on vty0 (192.0.2.1)") +
                 change_line("core1", " on vty1 (192.0.2.7)"));
  start();
  ASSERT_TRUE(wait_for(log, "Executing '" + script + "'", 60s, 2));
  wait_until([&] { return requests().size() >= 2; }, 30s, 50ms);
  const auto found = requests();
  ASSERT_EQ(found.size(), 2u);
  const std::string tail =
      ": *Mar  3 10:15:02.123: %SYS-5-CONFIG_I: Configured from console by admin";
  EXPECT_EQ(found[0].second,
            "device: core1\ndetail: 412" + tail + " on vty1 (192.0.2.7)\n");
  EXPECT_EQ(found[1].second,
            "device: edge1\ndetail: 412" + tail + " on vty0 (192.0.2.1)\n");
}

}  // namespace
}  // namespace brantwick::testing
