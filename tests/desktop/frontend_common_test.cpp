// What the front-ends share and no front-end's own test pins down: where a
// line ends when a text mixes its line ends, and the order of merged updates
// between an owner thread and a UI thread.
#include <gtest/gtest.h>

#include "frontends/common/text.h"
#include "frontends/common/update_merger.h"
#include "resources/ids.h"

namespace {

using frontend::split_lines;
using Lines = std::vector<std::string>;

TEST(FrontendText, EveryKindOfLineEndEndsOneLine) {
  EXPECT_EQ(split_lines(""), Lines{""});
  EXPECT_EQ(split_lines("a\r\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(split_lines("a\rb\nc"), (Lines{"a", "b", "c"}));
  // LF then CR are two line ends; CR then LF is one.
  EXPECT_EQ(split_lines("a\n\rb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(split_lines("a\r\r\nb"), (Lines{"a", "", "b"}));
  // A line end at the very end leaves an empty last line.
  EXPECT_EQ(split_lines("a\r\n"), (Lines{"a", ""}));
  EXPECT_EQ(split_lines("a\r"), (Lines{"a", ""}));
  EXPECT_EQ(frontend::plain_text("a\rb\r\n\nc\r"), "a\nb\n\nc\n");
  EXPECT_EQ(frontend::longest_line("abc\rabcde\r\nab"), 5);
}

// A device's text in a dialog: no byte of it can start an escape sequence or
// form a direction control on a UTF-8 terminal; Latin-1 letters and tabs stay.
TEST(FrontendText, ControlBytesOfDeviceTextAreReplaced) {
  const std::pair<std::string, std::string> cases[] = {
      {"QEL\x1b[2J\x07", "QEL?[2J?"},
      {"QEL\x9b"
       "2J\x7f",
       "QEL?2J?"},
      {"ab\xe2\x80\xae"
       "cd",
       "ab\xe2?\xae"
       "cd"},                                            // U+202E as UTF-8 bytes
      {"\xe2\x81\xa6x\xd8\x9c", "\xe2?\xa6x\xd8?"},      // U+2066, U+061C
      {"Caf\xe9\t5.1\xb2\r\nx", "Caf\xe9\t5.1\xb2\nx"},  // kept
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(frontend::plain_text(text), shown) << text;
}

TEST(UpdateMerger, OneDeliveryAtATimeCarriesTheNewestValues) {
  int a = 0, b = 0;
  const auto first = reinterpret_cast<DialogHandle>(&a);
  const auto second = reinterpret_cast<DialogHandle>(&b);
  frontend::UpdateMerger merger;

  // The first change asks for a delivery; the next ones ride along.
  EXPECT_TRUE(merger.position(first, IDC_PROGRESS, 1));
  EXPECT_FALSE(merger.range(first, IDC_PROGRESS, 0, 50));
  EXPECT_FALSE(merger.position(first, IDC_PROGRESS, 2));
  EXPECT_FALSE(merger.caption(first, "block 1"));
  EXPECT_FALSE(merger.caption(first, "block 2"));
  // Another dialog has its own delivery.
  EXPECT_TRUE(merger.caption(second, "other"));
  EXPECT_EQ(merger.merged(), 4);

  auto update = merger.take(first);
  ASSERT_TRUE(update);
  EXPECT_EQ(update->caption, "block 2");
  ASSERT_EQ(update->bars.size(), 1u);
  EXPECT_EQ(update->bars[IDC_PROGRESS].range, std::make_pair(0, 50));
  EXPECT_EQ(update->bars[IDC_PROGRESS].position, 2);

  // Taken: the next change needs a delivery of its own, carrying only itself.
  EXPECT_TRUE(merger.position(first, IDC_PROGRESS, 3));
  update = merger.take(first);
  ASSERT_TRUE(update);
  EXPECT_FALSE(update->caption);
  EXPECT_FALSE(update->bars[IDC_PROGRESS].range);
  EXPECT_EQ(update->bars[IDC_PROGRESS].position, 3);

  // A closed dialog's delivery, still queued, finds nothing.
  merger.forget(second);
  EXPECT_FALSE(merger.take(second));
  EXPECT_EQ(merger.delivered(), 2);
}

}  // namespace
