// The example retriever of contrib/, as an operator installs it: started by hand
// and by the daemon, with a /dev of the test's own that receives what it logs.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
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

TEST_F(ExampleRetriever, AcceptsHostNamesAndAddresses) {
  for (const std::string device :
       {"edge1", "core-7.example.net", "192.0.2.7", "2001:db8::1", "::1",
        "::", "2001:db8::", "1:2:3:4:5:6:7:8", "2001:DB8:0:0:8:800:200C:417A", "fe80::1",
        "::ffff:192.0.2.1", "64:ff9b::198.51.100.7", "::2:3:4:5:6:7:8"}) {
    SCOPED_TRACE("device [" + device + "]");
    const run_result done = by_hand({device, "detail\n"});
    EXPECT_EQ(done.status, 0) << done.stderr_text;
    const auto found = requests();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].first.rfind(device + ".", 0), 0u) << found[0].first;
    EXPECT_EQ(found[0].second, "device: " + device + "\ndetail: detail\n");
    std::remove((spool + "/" + found[0].first).c_str());
  }
}

TEST_F(ExampleRetriever, RefusesANameThatIsNoHostOrAddress) {
  // What a forged message could put in the device field, to reach a path or an
  // option of the fetch; a colon only in an IPv6 address, which a copy does not
  // read as a host and a path.
  for (const std::string device : {"",
                                   "..",
                                   "../../etc/cron.d/x",
                                   ".hidden",
                                   "a/b",
                                   "-oProxyCommand=sh",
                                   "-oProxyCommand=x",
                                   "edge1;reboot",
                                   "edge 1",
                                   "$(id)",
                                   "edge1\n",
                                   "host:path",
                                   "edge1:running-config",
                                   "dead:beef",
                                   "host:",
                                   ":host",
                                   "1:2:3:4:5:6:7:8:9",
                                   "1:2:3:4:5:6:7::8",
                                   "1::2::3",
                                   ":::1",
                                   "12345::1",
                                   "2001:db8::g",
                                   "::ffff:192.0.2.256",
                                   "::ffff:192.0.2",
                                   "::1.2.3.4.5",
                                   "1.2.3.4::",
                                   "fe80::1%eth0",
                                   "[2001:db8::1]",
                                   "2001:db8::1/64",
                                   "2001:db8::1:",
                                   "-::1"}) {
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

// The fetch the script shows, run with stand-ins for the programs it names: each
// gets "--" before any argument that holds the device, but for a message text.
TEST_F(ExampleRetriever, ShownFetchEndsTheOptionsBeforeTheHost) {
  const std::string text = read_file(script);
  std::string shown;
  std::size_t at = text.find("# The real fetch");
  ASSERT_NE(at, std::string::npos);
  for (at = text.find("\n#   ", at);
       at != std::string::npos && text.compare(at, 5, "\n#   ") == 0;
       at = text.find('\n', at + 1))
    shown += text.substr(at + 5, text.find('\n', at + 1) - at - 5) + "\n";
  ASSERT_NE(shown.find("scp"), std::string::npos) << shown;

  const std::string bin = dir.file("bin");
  mkdir(bin.c_str(), 0755);
  std::string runner =
      "set -u\ndevice=$1 detail=$2\n"
      "complain() { echo \"complained: $*\" >&2; exit 1; }\n";
  for (const std::string program : {"scp", "ssh", "rsync", "git", "curl"}) {
    install_retriever_stub(bin, program);
    runner += program + "() { '" + bin + "/" + program + "' \"$@\"; }\n";
  }
  write_file(dir.file("fetch"), runner + shown);

  const struct {
    std::string device;
    std::string source;  // what the copy is to fetch
  } cases[] = {
      {"edge1", "backup@edge1:running-config"},
      {"2001:db8::1", "backup@[2001:db8::1]:running-config"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    const std::string detail = "412: %SYS-5-CONFIG_I: -rf --help $(id)";
    const run_result done =
        run_in_private_dev(log.dev, {"sh", dir.file("fetch"), c.device, detail});
    EXPECT_EQ(done.status, 0) << done.stderr_text;
    const auto calls = read_retrievals(bin);
    ASSERT_GE(calls.size(), 2u);
    bool copied = false;
    for (const auto& call : calls) {
      const auto dashes = std::find(call.args.begin(), call.args.end(), "--");
      ASSERT_NE(dashes, call.args.end()) << call.args[0];
      for (auto arg = call.args.begin(); arg != dashes; ++arg) {
        const bool message = arg != call.args.begin() && *(arg - 1) == "-m";
        EXPECT_TRUE(message || (arg->find(c.device) == std::string::npos &&
                                arg->find(detail) == std::string::npos))
            << *arg;
      }
      copied = copied || (dashes + 1 != call.args.end() && dashes[1] == c.source);
    }
    EXPECT_TRUE(copied);
    for (const auto& call : calls)
      std::remove((bin + "/calls/call." + std::to_string(call.pid)).c_str());
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
