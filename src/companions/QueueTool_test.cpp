#include "companions/QueueTool.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kelpd::companions {
namespace {

// Names and addresses come from mail files: whatever bytes they hold, a JSON
// line stays one valid line and a table row stays one row.
TEST(QueueTool, HostileTextStaysInsideItsJsonStringAndTableRow) {
  QueuedMail m;
  m.name = "a\"b\\c.eml";
  m.directory = "outgoing";
  m.sender = std::string("x\ny\x01\xff", 5);
  m.recipients = {"r1@x", "r\t2@y"};
  m.state = "new";
  m.age_seconds = 7200;
  const std::string json = FormatMailJson({m});
  EXPECT_EQ(json,
            "{\"name\":\"a\\\"b\\\\c.eml\",\"directory\":\"outgoing\",\"age_seconds\":7200,"
            "\"size\":0,\"sender\":\"x\\u000ay\\u0001\\u00ff\",\"recipients\":[\"r1@x\","
            "\"r\\u00092@y\"],\"state\":\"new\",\"last_error\":\"\"}\n");
  const std::string table = FormatMailTable({m});
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 2) << table;
  EXPECT_NE(table.find("<x?y?\xff> -> r1@x, r?2@y"), std::string::npos) << table;
  EXPECT_NE(table.find(" 2h "), std::string::npos) << table;
}

}  // namespace
}  // namespace kelpd::companions
