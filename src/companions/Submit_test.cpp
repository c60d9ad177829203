#include "companions/Submit.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "companions/QueueFile.h"
#include "companions/SysExits.h"
#include "mail/Mail.h"
#include "platform/FileLock.h"
#include "support/ChildProcess.h"
#include "support/MailParts.h"
#include "support/TempDir.h"

namespace kelpd::companions {
namespace {

using kelpd::testing::EmlPaths;
using kelpd::testing::RunChild;
using kelpd::testing::TempDir;

TEST(SubmitArgs, OptionsJoinedOrSeparateThenRecipients) {
  SubmitOptions o;
  std::string error;
  ASSERT_TRUE(ParseSubmitArgs(
      {"-fcarol@x.example", "-t", "-q", "/q", "-c", "other.cfg", "a@b", "-c"}, o, error))
      << error;
  EXPECT_TRUE(o.sender_given);
  EXPECT_EQ(o.sender, "carol@x.example");
  EXPECT_TRUE(o.from_headers);
  EXPECT_EQ(o.queue_dir, "/q");
  EXPECT_EQ(o.config_name, "other.cfg");
  // Options end at the first recipient: a later "-c" is a recipient word.
  EXPECT_EQ(o.recipients, (std::vector<std::string>{"a@b", "-c"}));

  SubmitOptions empty_sender;
  ASSERT_TRUE(ParseSubmitArgs({"-f", "", "--", "-odd@x"}, empty_sender, error));
  EXPECT_TRUE(empty_sender.sender_given);
  EXPECT_EQ(empty_sender.sender, "");
  EXPECT_EQ(empty_sender.recipients, (std::vector<std::string>{"-odd@x"}));
}

TEST(SubmitArgs, RejectsUnknownOptionsAndMissingValues) {
  std::string error;
  SubmitOptions a, b;
  EXPECT_FALSE(ParseSubmitArgs({"-x", "a@b"}, a, error));
  EXPECT_NE(error.find("unknown option -x"), std::string::npos);
  EXPECT_FALSE(ParseSubmitArgs({"-f"}, b, error));
  EXPECT_NE(error.find("needs a value"), std::string::npos);
}

// kelpd-submit run as the suite's users run it: a child process reading its
// standard input, with its own configuration and lock directories.
class SubmitProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = dir_.MakeDir("queue");
    dir_.WriteFile("config/kelpd.cfg", "QueueDir:\t" + queue_ + "\nFQDN:\tmail.test\n");
    ::setenv("MAILCONFIGDIR", dir_.Join("config").c_str(), 1);
    ::setenv("MAILLOCKDIR", dir_.Join("locks").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("MAILCONFIGDIR");
    ::unsetenv("MAILLOCKDIR");
  }
  kelpd::testing::ChildResult Run(std::vector<std::string> args, const std::string& input) {
    args.insert(args.begin(), KELPD_SUBMIT_BINARY);
    return RunChild(args, input);
  }
  // The one queued file, read back as the delivery agent reads it.
  CMail LoadOnly(std::string* raw = nullptr) {
    const auto files = EmlPaths(queue_);
    EXPECT_EQ(files.size(), 1u);
    CMail mail;
    kelpd::platform::FileResult err;
    if (files.size() == 1) {
      EXPECT_TRUE(mail.Load(files[0], err, false));
      if (raw != nullptr) *raw = kelpd::testing::ReadFile(files[0]);
    }
    return mail;
  }

  TempDir dir_;
  std::string queue_;
};

TEST_F(SubmitProgram, ThreeRecipientsInOneFile) {
  const auto r = Run({"-f", "Carol <carol@remote.example>", "alice@demo.example",
                      "bob@demo.example,dave@other.example"},
                     "From: Carol <carol@remote.example>\nSubject: Lunch\n\nSee you at noon.\n");
  ASSERT_EQ(r.exit_code, kExitOk) << r.err;
  EXPECT_EQ(r.out, "");
  std::string raw;
  CMail mail = LoadOnly(&raw);
  EXPECT_EQ(mail.GetSender(), "carol@remote.example");
  EXPECT_EQ(
      kelpd::testing::RecipientsOf(mail),
      (std::vector<std::string>{"alice@demo.example", "bob@demo.example", "dave@other.example"}));
  EXPECT_EQ(mail.GetSubject(), "Lunch");
  EXPECT_EQ(mail.BodyView(), "See you at noon.\r\n");
  EXPECT_FALSE(mail.GetMessageID().empty());  // added: the sender gave none
  EXPECT_EQ(raw.rfind("X-Envelope-From: carol@remote.example\r\nX-Envelope-To: ", 0), 0u);
  // Nothing but the finished file is left in the directory.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(queue_),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(SubmitProgram, RecipientsFromHeadersWithBccRemoved) {
  const auto r = Run({"-t", "-f", "carol@remote.example", "-v"},
                     "To: Alice <alice@demo.example>, \"Bob, B.\" <bob@demo.example>\n"
                     "Cc: carol@remote.example\nBcc: secret@hidden.example,\n alice@demo.example\n"
                     "Subject: Plans\nMessage-ID: <plans-1@remote.example>\n\nBody\n");
  ASSERT_EQ(r.exit_code, kExitOk) << r.err;
  std::string raw;
  CMail mail = LoadOnly(&raw);
  EXPECT_EQ(r.out, EmlPaths(queue_)[0] + "\n");
  EXPECT_EQ(kelpd::testing::RecipientsOf(mail),
            (std::vector<std::string>{"alice@demo.example", "bob@demo.example",
                                      "carol@remote.example", "secret@hidden.example"}));
  EXPECT_EQ(mail.m_strBcc, "");
  EXPECT_EQ(raw.find("secret@hidden.example", raw.find("\r\n", raw.find("X-Envelope-To"))),
            std::string::npos);
  EXPECT_EQ(raw.find("Bcc"), std::string::npos);
  EXPECT_EQ(mail.GetMessageID(), "plans-1@remote.example");
}

TEST_F(SubmitProgram, NullSenderInBothSpellings) {
  for (const std::string sender : {"", "<>"}) {
    for (const auto& f : EmlPaths(queue_)) std::filesystem::remove(f);
    const auto r = Run({"-f", sender, "alice@demo.example"}, "Subject: bounce\n\ntext\n");
    ASSERT_EQ(r.exit_code, kExitOk) << r.err;
    std::string raw;
    CMail mail = LoadOnly(&raw);
    EXPECT_EQ(mail.GetSender(), "");
    EXPECT_EQ(raw.rfind("X-Envelope-From: \r\n", 0), 0u);
    // A null sender gives no From line of our making.
    EXPECT_EQ(raw.find("From: <"), std::string::npos);
  }
}

TEST_F(SubmitProgram, LoneDotLinesAreStoredDoubledAndTextIsKept) {
  // No header section at all: the first line must stay body, not a header.
  const auto r =
      Run({"-f", "carol@remote.example", "alice@demo.example"}, "first line\n.\nafter the dot\n.");
  ASSERT_EQ(r.exit_code, kExitOk) << r.err;
  CMail mail = LoadOnly();
  EXPECT_EQ(mail.BodyView(), "first line\r\n..\r\nafter the dot\r\n..\r\n");
}

TEST_F(SubmitProgram, FailuresGiveSysexitsCodesAndMessages) {
  auto r = Run({"-f", "carol@remote.example"}, "Subject: x\n\nbody\n");
  EXPECT_EQ(r.exit_code, kExitUsage);
  EXPECT_EQ(r.err, "kelpd-submit: no recipients\n");

  r = Run({"-t", "-f", "carol@remote.example"}, "To: undisclosed-recipients:;\n\nbody\n");
  EXPECT_EQ(r.exit_code, kExitUsage);

  r = Run({"-f", "carol@remote.example", "not an address"}, "x\n");
  EXPECT_EQ(r.exit_code, kExitUsage);
  EXPECT_NE(r.err.find("bad recipient address"), std::string::npos);

  r = Run({"-t", "-f", "carol@remote.example"}, "To: a@b, c d@e\n\nbody\n");
  EXPECT_EQ(r.exit_code, kExitDataErr);

  r = Run({"-q", dir_.Join("missing"), "-f", "", "alice@demo.example"}, "x\n");
  EXPECT_EQ(r.exit_code, kExitCantCreat);
  EXPECT_NE(r.err.find("queue directory \"" + dir_.Join("missing") + "\" is missing"),
            std::string::npos);

  r = Run({"-c", "nothere.cfg", "-f", "", "alice@demo.example"}, "x\n");
  EXPECT_EQ(r.exit_code, kExitConfig);

  r = Run({"-z"}, "");
  EXPECT_EQ(r.exit_code, kExitUsage);
  EXPECT_TRUE(EmlPaths(queue_).empty());

  r = Run({"--help"}, "");
  EXPECT_EQ(r.exit_code, kExitOk);
  EXPECT_NE(r.out.find("usage: kelpd-submit"), std::string::npos);
}

TEST_F(SubmitProgram, QueueDirectoryOptionNeedsNoConfiguration) {
  ::setenv("MAILCONFIGDIR", dir_.Join("nowhere").c_str(), 1);
  const auto r = Run({"-q", queue_, "-f", "carol@remote.example", "alice@demo.example"}, "x\n");
  ASSERT_EQ(r.exit_code, kExitOk) << r.err;
  EXPECT_EQ(EmlPaths(queue_).size(), 1u);
}

// A queued file is written only under its name's lock: while another
// program holds it the write waits and then gives up without a trace; once
// the lock is free the file appears whole.
TEST_F(SubmitProgram, AQueueFileIsWrittenOnlyUnderItsLock) {
  const int saved_wait = CMail::LockWaitMs();
  CMail::SetLockWaitMs(200);
  const std::string path = queue_ + "/held.eml";
  kelpd::platform::NamedLock holder(CMail::LockNameOf(path));
  ASSERT_EQ(holder.Lock(1000), kelpd::platform::LockResult::kAcquired);
  kelpd::platform::FileResult err;
  EXPECT_EQ(WriteQueueFile(path, "queued\r\n", err), QueueWriteResult::kLockTimeout);
  EXPECT_TRUE(EmlPaths(queue_).empty());
  holder.Unlock();
  EXPECT_EQ(WriteQueueFile(path, "queued\r\n", err), QueueWriteResult::kWritten);
  EXPECT_EQ(kelpd::testing::ReadFile(path), "queued\r\n");
  EXPECT_EQ(WriteQueueFile(path, "other\r\n", err), QueueWriteResult::kExists);
  EXPECT_EQ(kelpd::testing::ReadFile(path), "queued\r\n");
  CMail::SetLockWaitMs(saved_wait);
}

}  // namespace
}  // namespace kelpd::companions
