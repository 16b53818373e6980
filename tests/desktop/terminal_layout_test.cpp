// The terminal layout: every template on an 80 x 24 terminal (23 rows for
// the dialogs, the last one is the key legend's) and on larger ones,
// controls inside their windows and apart from each other, rows kept in the
// template's order.
#include <gtest/gtest.h>

#include "frontends/common/text.h"
#include "frontends/terminal/layout.h"
#include "resources/ids.h"

namespace {

using term::CellRect;
using term::Layout;

bool overlap(const CellRect& a, const CellRect& b) {
  return a.col < b.col + b.width && b.col < a.col + a.width && a.row < b.row + b.height &&
         b.row < a.row + a.height;
}

TEST(TerminalLayout, EveryDialogFitsAStandardTerminalWithControlsApart) {
  for (int n = 0; n < dialog_template_count; ++n) {
    const DialogTemplate& t = dialog_templates[n];
    Layout l = term::layout_dialog(t, 80, 23);
    EXPECT_LE(term::outer_width(l), 80 - 1) << t.id;  // and newt's shadow
    EXPECT_LE(term::outer_height(l), 23) << t.id;
    ASSERT_EQ(static_cast<int>(l.controls.size()), t.control_count);
    for (int i = 0; i < t.control_count; ++i) {
      const CellRect& r = l.controls[static_cast<std::size_t>(i)];
      EXPECT_GE(r.col, 0);
      EXPECT_GE(r.row, 0);
      EXPECT_GE(r.width, 1);
      EXPECT_GE(r.height, 1);
      EXPECT_LE(r.col + r.width, l.width) << t.id << " control " << i;
      EXPECT_LE(r.row + r.height, l.height) << t.id << " control " << i;
      if (t.controls[i].kind == ControlKind::StaticIcon) continue;  // not drawn
      for (int j = 0; j < i; ++j) {
        if (t.controls[j].kind == ControlKind::StaticIcon) continue;
        EXPECT_FALSE(overlap(r, l.controls[static_cast<std::size_t>(j)]))
            << "template " << t.id << ": controls " << j << " and " << i << " overlap";
      }
    }
  }
}

TEST(TerminalLayout, LabelsShareTheRowOfTheirFields) {
  // Confirm dialog: each label stands on the row of the field to its right.
  for (int id : {IDD_CONFIRM_TARGET, IDD_CONFIRM_TRANSITION}) {
    const DialogTemplate* t = dialog_template_find(id);
    Layout l = term::layout_dialog(*t, 80, 23);
    for (int field = 2; field <= 6; ++field) {
      int label = field + 5;
      EXPECT_EQ(l.controls[static_cast<std::size_t>(field)].row,
                l.controls[static_cast<std::size_t>(label)].row)
          << "template " << id << " field " << t->controls[field].id;
      EXPECT_LT(l.controls[static_cast<std::size_t>(label)].col,
                l.controls[static_cast<std::size_t>(field)].col);
    }
    // Fields one under the other, buttons below them all.
    for (int field = 3; field <= 6; ++field)
      EXPECT_GT(l.controls[static_cast<std::size_t>(field)].row,
                l.controls[static_cast<std::size_t>(field - 1)].row);
    EXPECT_GT(l.controls[0].row, l.controls[6].row);
  }
}

TEST(TerminalLayout, RoomyTerminalsKeepTheUnitsAndTextsFitTheirBlocks) {
  const DialogTemplate* warning = dialog_template_find(IDD_WARNING);
  Layout l = term::layout_dialog(*warning, 200, 60);
  EXPECT_DOUBLE_EQ(l.units_per_column, term::UNITS_PER_COLUMN);
  EXPECT_DOUBLE_EQ(l.units_per_row, term::UNITS_PER_ROW);
  EXPECT_EQ(l.width, 62);   // 204 / 3.3
  EXPECT_EQ(l.height, 18);  // 143 / 8
  // The warning's longest line, 55 characters, fits its block unbroken.
  EXPECT_GE(l.controls[2].width, 55);
  EXPECT_GE(l.controls[2].height, 10);  // and its ten lines
}

TEST(TerminalLayout, NarrowTerminalsSqueezeTheWideDialogs) {
  const DialogTemplate* upload = dialog_template_find(IDD_UPLOAD);  // 303 units wide
  Layout l = term::layout_dialog(*upload, 80, 24);
  EXPECT_GT(l.units_per_column, term::UNITS_PER_COLUMN);
  EXPECT_EQ(term::outer_width(l), 79);
  const DialogTemplate* password = dialog_template_find(IDD_PASSWORD);  // 236 units high
  Layout p = term::layout_dialog(*password, 80, 24);
  EXPECT_EQ(term::outer_height(p), 24);
  EXPECT_GT(p.units_per_row, term::UNITS_PER_ROW);
}

TEST(TerminalLayout, TextsLoseTheirCarriageReturns) {
  EXPECT_EQ(frontend::plain_text("a\r\nb\r\n\r\nc"), "a\nb\n\nc");
  EXPECT_EQ(frontend::longest_line("ab\r\nabcd\r\nabc"), 4);
  EXPECT_EQ(frontend::longest_line(""), 0);
}

}  // namespace
