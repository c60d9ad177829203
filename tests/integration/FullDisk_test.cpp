// A full disk under the running service: the spool directory (and, in a
// second case, the outgoing directory) on a small tmpfs that the test mounts,
// filled up during delivery. Mail that can't be stored goes whole to the
// error directory, no stored copy is cut short, nothing is lost, and delivery
// goes on once there is space again. Needs root (mount).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/PeerProcess.h"
#include "support/ServiceTree.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using kelpd::testing::ReadFile;
using kelpd::testing::RunTool;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;

constexpr char kDomain[] = "local.kelpd.test";

// A tmpfs of a given size, mounted for the life of the object.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& where, int megabytes) : where_(where) {
    fs::create_directories(where);
    auto result = RunTool({"mount", "-t", "tmpfs", "-o", "size=" + std::to_string(megabytes) + "m",
                           "kelpd-test", where});
    mounted_ = result.exit_code == 0;
    error_ = result.output;
  }
  ~SmallFileSystem() {
    if (mounted_) RunTool({"umount", "-l", where_});
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  bool Resize(int megabytes) {
    return RunTool({"mount", "-o", "remount,size=" + std::to_string(megabytes) + "m", where_})
               .exit_code == 0;
  }

 private:
  std::string where_;
  bool mounted_ = false;
  std::string error_;
};

std::string Mail(const std::string& to, int i, size_t body_bytes) {
  std::string id = std::to_string(i);
  std::string text = "X-Envelope-From: sender@remote.kelpd.test\r\nX-Envelope-To: " + to +
                     "\r\nSubject: disk-mail-" + id + "-x\r\n\r\ndisk-mail-" + id + "-x\r\n";
  std::string line(78, 'z');
  line += "\r\n";
  while (text.size() < body_bytes) text += line;
  return text + "trailer-" + id + "-end\r\n";
}

// Every queued mail is whole in the error directory or whole in one of the
// given directories' files.
void ExpectEveryMailWhole(const std::map<std::string, std::string>& queued, ServiceTree& tree,
                          const std::vector<std::string>& delivered_files, int* delivered,
                          int* in_error) {
  std::map<std::string, int> copies;
  for (const std::string& path : delivered_files) {
    std::string text = ReadFile(path);
    size_t at = text.find("disk-mail-");
    ASSERT_NE(at, std::string::npos) << path;
    std::string id = text.substr(at + 10, text.find("-x", at) - at - 10);
    EXPECT_NE(text.find("trailer-" + id + "-end\r\n"), std::string::npos)
        << path << " is cut short (" << text.size() << " bytes)";
    copies[id]++;
  }
  *delivered = 0;
  *in_error = 0;
  for (const auto& [name, contents] : queued) {
    std::string id = name.substr(5, name.size() - 9);
    std::string error_path = tree.error_dir() + "/" + name;
    if (fs::exists(error_path)) {
      ++*in_error;
      EXPECT_TRUE(ReadFile(error_path) == contents)
          << name << " is not whole in the error directory";
    } else if (copies[id] > 0) {
      ++*delivered;
    } else {
      ADD_FAILURE() << name << " is lost";
    }
  }
}

// Files on the small file system other than mail, settings, the user list's
// marker and the delivery figures: leftovers of writes that failed would eat
// the space that comes back.
std::vector<std::string> Leftovers(const std::string& dir) {
  std::vector<std::string> found;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    if (!it->is_regular_file()) continue;
    std::string name = it->path().filename().string();
    bool mail = name.size() > 4 && name.compare(name.size() - 4, 4, ".eml") == 0;
    if (!mail && name != "config" && name != "password" && name != ".delivery-figures")
      found.push_back(it->path().string());
  }
  return found;
}

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  }
};

TEST_F(FullDisk, SpoolFillsUpAndDeliveryResumesWithSpace) {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {};
  options.settings = {"AutoTransport:\t0"};
  ServiceTree tree(options);
  SmallFileSystem small(tree.root() + "/small", 3);
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << small.error();
  fs::create_directories(tree.root() + "/small/spool");
  tree.SetDirectory("SpoolDir", tree.root() + "/small/spool");
  tree.AddUser("alice");

  std::map<std::string, std::string> queued;
  for (int i = 0; i < 40; ++i) {
    queued["disk-" + std::to_string(i) + ".eml"] =
        Mail(std::string("alice@") + kDomain, i, 150 * 1024);
  }
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  for (const auto& [name, contents] : queued) tree.QueueMail(name, contents);
  EXPECT_TRUE(tree.WaitQueueEmpty(90s)) << tree.Log().substr(0, 20000);
  ASSERT_TRUE(tree.Running()) << tree.Log();

  std::vector<std::string> stored;
  for (const std::string& name : tree.MailboxFiles("alice"))
    stored.push_back(tree.root() + "/small/spool/alice/" + name);
  int delivered = 0, in_error = 0;
  ExpectEveryMailWhole(queued, tree, stored, &delivered, &in_error);
  std::printf("spool on a 3 MB file system: %d delivered, %d in the error directory\n", delivered,
              in_error);
  EXPECT_GT(delivered, 5);
  EXPECT_GT(in_error, 5);
  // The account settings must have survived the full disk.
  std::string settings = ReadFile(tree.root() + "/small/spool/alice/config");
  EXPECT_NE(settings.find("NextUID"), std::string::npos) << "the account settings were lost";
  EXPECT_TRUE(Leftovers(tree.root() + "/small").empty())
      << ::testing::PrintToString(Leftovers(tree.root() + "/small"));

  // Space comes back: new mail is delivered again, into fresh numbers.
  ASSERT_TRUE(small.Resize(64));
  std::map<std::string, std::string> later;
  for (int i = 100; i < 105; ++i)
    later["disk-" + std::to_string(i) + ".eml"] =
        Mail(std::string("alice@") + kDomain, i, 150 * 1024);
  for (const auto& [name, contents] : later) tree.QueueMail(name, contents);
  EXPECT_TRUE(tree.WaitQueueEmpty(30s));
  EXPECT_EQ(tree.Stop(60s), 0);
  for (const auto& [name, contents] : later)
    EXPECT_FALSE(fs::exists(tree.error_dir() + "/" + name)) << name << " failed with space free";
  EXPECT_EQ(tree.MailboxFiles("alice").size(), static_cast<size_t>(delivered) + later.size());
}

TEST_F(FullDisk, OutgoingFillsUpAndNothingIsLost) {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"alice"};
  // No remote delivery: outgoing files stay where the test can count them.
  options.settings = {"AutoTransport:\t0"};
  ServiceTree tree(options);
  SmallFileSystem small(tree.root() + "/small", 2);
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << small.error();
  fs::create_directories(tree.root() + "/small/outgoing");
  tree.SetDirectory("OutgoingDir", tree.root() + "/small/outgoing");

  std::map<std::string, std::string> queued;
  for (int i = 0; i < 30; ++i) {
    // Two remote recipients each: a mail may fail after its first copy.
    queued["disk-" + std::to_string(i) + ".eml"] =
        Mail("a" + std::to_string(i) + "@remote.kelpd.test, b" + std::to_string(i) +
                 "@remote.kelpd.test",
             i, 100 * 1024);
  }
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  for (const auto& [name, contents] : queued) tree.QueueMail(name, contents);
  EXPECT_TRUE(tree.WaitQueueEmpty(90s)) << tree.Log().substr(0, 20000);
  ASSERT_TRUE(tree.Running()) << tree.Log();
  EXPECT_EQ(tree.Stop(60s), 0);

  std::vector<std::string> written;
  for (const std::string& name : ServiceTree::EmlFiles(tree.root() + "/small/outgoing"))
    written.push_back(tree.root() + "/small/outgoing/" + name);
  int delivered = 0, in_error = 0;
  ExpectEveryMailWhole(queued, tree, written, &delivered, &in_error);
  std::printf("outgoing on a 2 MB file system: %d written, %d in the error directory\n", delivered,
              in_error);
  EXPECT_GT(delivered, 3);
  EXPECT_GT(in_error, 3);
  EXPECT_TRUE(Leftovers(tree.root() + "/small").empty())
      << ::testing::PrintToString(Leftovers(tree.root() + "/small"));
}

}  // namespace

namespace {

// The error directory on another file system than the queue (a common
// layout: the error directory on a bigger disk): a failed mail still gets
// there, whole.
TEST_F(FullDisk, ErrorDirectoryOnAnotherFileSystem) {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"alice"};
  options.settings = {"AutoTransport:\t0"};
  ServiceTree tree(options);
  SmallFileSystem other(tree.root() + "/other", 16);
  if (!other.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << other.error();
  fs::create_directories(tree.root() + "/other/error");
  tree.SetDirectory("ErrorDir", tree.root() + "/other/error");
  std::map<std::string, std::string> queued;
  queued["disk-1.eml"] = Mail(std::string("nobody@") + kDomain, 1, 10 * 1024);
  queued["disk-2.eml"] = Mail(std::string("alice@") + kDomain, 2, 10 * 1024);
  std::string error;
  ASSERT_TRUE(tree.Start(&error)) << error;
  ASSERT_TRUE(tree.WaitOperational(30s)) << tree.Log();
  for (const auto& [name, contents] : queued) tree.QueueMail(name, contents);
  EXPECT_TRUE(tree.WaitQueueEmpty(20s)) << tree.Log().substr(0, 20000);
  EXPECT_EQ(tree.Stop(60s), 0);
  EXPECT_TRUE(ReadFile(tree.root() + "/other/error/disk-1.eml") == queued["disk-1.eml"])
      << tree.Log().substr(0, 20000);
  EXPECT_EQ(tree.MailboxFiles("alice").size(), 1u);
}

}  // namespace
