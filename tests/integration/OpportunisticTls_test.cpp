// TLS towards the real MTA: "TLS.Mode: encrypt" sends over TLS and says so in
// the log, "TLS.Mode: none" sends in clear although the server offers
// STARTTLS, and a smarthost's certificate is checked where asked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/PostfixInstance.h"
#include "support/ServiceTree.h"
#include "support/TempDir.h"

namespace {

using kelpd::testing::CertificateKind;
using kelpd::testing::PostfixInstance;
using kelpd::testing::PostfixOptions;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

std::string Mail(const std::string& id) {
  return "X-Envelope-From: <alice@local.kelpd.test>\r\nX-Envelope-To: <bob@remote.kelpd.test>\r\n"
         "Message-ID: <" +
         id + ">\r\nSubject: " + id + "\r\n\r\nbody of " + id + "\r\n";
}

TEST(OpportunisticTls, EncryptSendsOverTlsAndNoneInClear) {
  const std::string missing = PostfixInstance::MissingPrerequisite();
  if (!missing.empty()) GTEST_SKIP() << missing;
  PostfixOptions peer;
  peer.starttls = true;
  PostfixInstance mta(peer);
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;

  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"alice"};
  options.smarthosts = "*:\t127.0.0.1:" + std::to_string(mta.port()) + "\n";
  const std::vector<std::string> common = {"AutoTransport:\t1", "AutoTransport.Threads:\t1",
                                           "FQDN:\tkelpd.kelpd.test", "TimeOut:\t30"};
  options.settings = common;
  options.settings.push_back("TLS.Mode:\tencrypt");
  ServiceTree tree(options);
  ASSERT_TRUE(tree.Start(&error)) << error;
  tree.QueueMail("1.eml", Mail("tls1@local.kelpd.test"));
  ASSERT_TRUE(mta.WaitForDelivered(1, 30s)) << mta.Log() << tree.Log();
  EXPECT_THAT(mta.Delivered()[0].data, HasSubstr("with ESMTPS id"));
  ASSERT_TRUE(tree.WaitForLog("bytes sent, encrypted with TLSv1.", 10s)) << tree.Log();
  EXPECT_EQ(tree.Stop(30s), 0);

  std::vector<std::string> plain = common;
  plain.push_back("TLS.Mode:\tnone");
  tree.WriteConfiguration(plain);
  ASSERT_TRUE(tree.Start(&error)) << error;
  tree.QueueMail("2.eml", Mail("tls2@local.kelpd.test"));
  ASSERT_TRUE(mta.WaitForDelivered(2, 30s)) << mta.Log() << tree.Log();
  EXPECT_THAT(mta.Delivered()[1].data, HasSubstr("with ESMTP id"));
  ASSERT_TRUE(tree.WaitForLog("bytes sent, without TLS", 10s)) << tree.Log();
}

TEST(OpportunisticTls, SmarthostCertificatesAreChecked) {
  const std::string missing = PostfixInstance::MissingPrerequisite();
  if (!missing.empty()) GTEST_SKIP() << missing;
  PostfixOptions peer;
  peer.starttls = true;
  PostfixInstance good(peer);
  peer.certificate = CertificateKind::kWrongName;
  PostfixInstance misnamed(peer);
  std::string error;
  ASSERT_TRUE(good.Start(&error)) << error;
  ASSERT_TRUE(misnamed.Start(&error)) << error;

  // Both certificates are trusted: only the name tells them apart.
  kelpd::testing::TempDir dir;
  const std::string trusted =
      dir.WriteFile("trusted.pem", kelpd::testing::ReadFile(good.certificate().ca) +
                                       kelpd::testing::ReadFile(misnamed.certificate().ca));
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"alice"};
  options.smarthosts = "good.kelpd.test:\tlocalhost:" + std::to_string(good.port()) +
                       "\nbad.kelpd.test:\tlocalhost:" + std::to_string(misnamed.port()) + "\n";
  options.settings = {"AutoTransport:\t1", "FQDN:\tkelpd.kelpd.test", "TimeOut:\t30",
                      "TLS.Mode:\tnone",   "TLS.Verify:\tsmarthosts", "TLS.CAFile:\t" + trusted};
  ServiceTree tree(options);
  ASSERT_TRUE(tree.Start(&error)) << error;
  tree.QueueMail("1.eml",
                 "X-Envelope-From: <alice@local.kelpd.test>\r\nX-Envelope-To: "
                 "<bob@bad.kelpd.test>\r\nSubject: bad\r\n\r\nbody\r\n");
  tree.QueueMail("2.eml",
                 "X-Envelope-From: <alice@local.kelpd.test>\r\nX-Envelope-To: "
                 "<bob@good.kelpd.test>\r\nSubject: good\r\n\r\nbody\r\n");
  // Checked hosts get TLS whatever TLS.Mode says.
  ASSERT_TRUE(good.WaitForDelivered(1, 30s)) << good.Log() << tree.Log();
  EXPECT_THAT(good.Delivered()[0].data, HasSubstr("with ESMTPS id"));
  ASSERT_TRUE(tree.WaitForLog("certificate was not accepted: hostname mismatch", 30s))
      << tree.Log();
  EXPECT_TRUE(misnamed.Delivered().empty());
}

}  // namespace
