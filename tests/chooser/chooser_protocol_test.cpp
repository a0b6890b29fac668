// The chooser's line protocol: what the library writes reads back the same whatever the texts
// hold, and a line that breaks the protocol is refused rather than half taken.
#include "chooser_protocol.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace npc::chooser {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

TEST(chooser_protocol, a_request_reads_back_as_written_whatever_its_texts_hold) {
  request shown;
  shown.title = "npcorvane: 100% sure?";
  shown.heading = "https://evil.example\nSHOW\nITEM x\tforged";
  shown.label.choose = "_Auswählen";
  shown.label.token = "Tab\there";
  shown.timeout_s = 42;
  shown.items = {{"k1", "Name\x01with control", "CN=CA,O=%41", "2027-01-01", "reader\r\n2", ""},
                 {"k2", "Ada", "issuer", "2020-01-01", "token", "Expired"}};
  const std::string written = write_request(shown);
  // One line per field that the hostile texts could not split.
  ASSERT_EQ(lines_of(written).size(), 2u + 7u + 1u + 2u + 1u);
  request_reader reader;
  for (const std::string& line : lines_of(written)) ASSERT_TRUE(reader.feed(line)) << reader.error();
  ASSERT_TRUE(reader.complete());
  const request& read = reader.result();
  EXPECT_EQ(read.title, shown.title);
  // Line breaks and tabs arrive as spaces: they neither split the line nor show as breaks.
  EXPECT_EQ(read.heading, "https://evil.example SHOW ITEM x forged");
  EXPECT_EQ(read.label.token, "Tab here");
  EXPECT_EQ(read.items[0].name, "Name with control");
  EXPECT_EQ(read.items[0].token, "reader  2");
  EXPECT_EQ(read.label.choose, shown.label.choose);
  EXPECT_EQ(read.timeout_s, 42);
  ASSERT_EQ(read.items.size(), 2u);
  EXPECT_EQ(read.items[0].issuer, "CN=CA,O=%41");
  EXPECT_TRUE(read.items[0].choosable());
  EXPECT_FALSE(read.items[1].choosable());
  EXPECT_EQ(read.items[1].note, "Expired");
}

TEST(chooser_protocol, a_line_that_breaks_the_protocol_is_refused) {
  const std::string item = "ITEM k\tname\tissuer\tuntil\ttoken\t";
  const struct {
    std::vector<std::string> lines;
    const char* error;
  } table[] = {
      {{item, "SHOW", "TITLE late"}, "a line after SHOW"},
      {{"DELETE everything"}, "an unknown command"},
      {{"LABEL sign _Sign"}, "an unknown LABEL"},
      {{"ITEM k\tname\tissuer\tuntil\ttoken"}, "an ITEM without its six fields"},
      {{"ITEM k\tname\tissuer\tuntil\ttoken\tnote\textra"}, "an ITEM without its six fields"},
      {{"ITEM \tname\tissuer\tuntil\ttoken\t"}, "an ITEM without a key"},
      {{"TITLE 50%"}, "a malformed escape"},
      {{"TITLE %G1"}, "a malformed escape"},
      {{"HEADING raw\x01 control"}, "a malformed escape"},
      {{"ITEM k\tna%zme\tissuer\tuntil\ttoken\t"}, "a malformed escape"},
      {{"TIMEOUT 0"}, "TIMEOUT is not a positive number of seconds"},
      {{"TIMEOUT 30s"}, "TIMEOUT is not a positive number of seconds"},
      {{"TIMEOUT 99999999999"}, "TIMEOUT is not a positive number of seconds"},
      {{"TITLE " + std::string(LINE_LIMIT, 'x')}, "a line longer than the limit"},
      {std::vector<std::string>(ITEM_LIMIT + 1, item), "more certificates than a chooser lists"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.lines.back().substr(0, 60));
    request_reader reader;
    bool accepted = true;
    for (const std::string& line : c.lines) accepted = accepted && reader.feed(line);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(reader.error(), c.error);
  }
}

TEST(chooser_protocol, answers) {
  const struct {
    const char* line;
    answer::kind what;
    const char* text;
  } table[] = {
      {"CHOSEN 8e8c%20a1", answer::kind::chosen, "8e8c a1"},
      {"CANCELLED", answer::kind::cancelled, ""},
      {"ERR no display to show the chooser on", answer::kind::failed, "no display to show the chooser on"},
      {"CHOSEN ", answer::kind::failed, "a malformed choice"},
      {"CHOSEN %4", answer::kind::failed, "a malformed choice"},
      {"OK npcorvane-chooser 1", answer::kind::failed, "an answer the chooser protocol does not have"},
      {"CANCELLED please", answer::kind::failed, "an answer the chooser protocol does not have"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.line);
    const answer got = read_answer(c.line);
    EXPECT_EQ(got.what, c.what);
    EXPECT_EQ(got.text, c.text);
  }
}

}  // namespace
}  // namespace npc::chooser
