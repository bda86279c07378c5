// Linux-only checks of the system services: what only /proc can show.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "image_host_process.h"
#include "support/services.h"

namespace gf {
namespace {

namespace fs = std::filesystem;

TEST(InitializeServicesPosix, ProgramDirectoryHoldsTheRunningExecutable) {
  InitializeServices();
  const fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(ProgramDirectory(), exe.parent_path().string());
  EXPECT_EQ(fs::current_path(), exe.parent_path());
}

// Local ports of this machine's established connections to 127.0.0.1:port,
// from the client's side.
std::set<int> ClientPortsTo(int port) {
  std::set<int> ports;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    const size_t localColon = local.find(':');
    const size_t remoteColon = remote.find(':');
    if (localColon == std::string::npos || remoteColon == std::string::npos) continue;
    // Addresses are in the kernel's byte order, the ports in plain hex.
    if (remote.substr(0, remoteColon) != "0100007F" || state != "01") continue;
    if (std::stoi(remote.substr(remoteColon + 1), nullptr, 16) != port) continue;
    ports.insert(std::stoi(local.substr(localColon + 1), nullptr, 16));
  }
  return ports;
}

TEST(DownloaderPosix, KeepsOneConnectionFromImageToImage) {
  testing_support::ImageHost host({});
  ASSERT_TRUE(host.ok());
  char pattern[] = "/tmp/gf-services-posix-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path folder = pattern;

  Downloader downloader;
  std::set<int> used;
  for (int n = 1; n <= 4; ++n) {
    const std::string url = host.origin() + "/images/img/20103/" + std::to_string(n) + ".jpg";
    const FetchResult r = downloader.Fetch(url, (folder / (std::to_string(n) + ".jpg")).string());
    EXPECT_EQ(r.outcome, FetchOutcome::Fetched) << r.reason;
    // Kept open after the fetch, ready for the next image.
    const std::set<int> open = ClientPortsTo(host.port());
    EXPECT_EQ(open.size(), 1u) << n;
    used.insert(open.begin(), open.end());
  }
  EXPECT_EQ(used.size(), 1u);
  fs::remove_all(folder);
}

TEST(FetchPoolPosix, KeepsItsConnectionsFromTransferToTransfer) {
  testing_support::ImageHost host({});
  ASSERT_TRUE(host.ok());
  char pattern[] = "/tmp/gf-services-posix-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path folder = pattern;

  FetchPool pool({}, 2);
  std::set<int> used;
  // Two rounds of two: the second goes over the connections of the first.
  for (int round = 0; round < 2; ++round) {
    for (int n = 1; n <= 2; ++n) {
      const int number = round * 2 + n;
      pool.Start(number, host.origin() + "/images/img/20103/" + std::to_string(number) + ".jpg",
                 (folder / (std::to_string(number) + ".jpg.part")).string());
    }
    for (int n = 1; n <= 2; ++n) {
      const std::optional<PoolCompletion> done = pool.WaitAny();
      ASSERT_TRUE(done.has_value());
      EXPECT_EQ(done->result.outcome, FetchOutcome::Fetched) << done->result.reason;
    }
    const std::set<int> open = ClientPortsTo(host.port());
    EXPECT_LE(open.size(), 2u) << round;
    used.insert(open.begin(), open.end());
  }
  EXPECT_EQ(used.size(), 2u);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace gf
