// Where things stand in the terminal and how texts are shaped to fit them.
//
// Dialog units to character cells: 8 units per row, and 3.3 per column
// rather than 4: the templates' unit is a quarter of an average letter of a
// proportional font, and their texts are broken for that font, whose
// everyday text runs narrower than its average letter; a terminal cell is
// one letter of any kind. A dialog too large for the terminal is squeezed
// to fit. Depends only on the template and the terminal's size, since the
// dialog layer asks for the size before any text is set.
//
// Texts: one-line fields aligned as their controls say, text blocks that
// scroll when their text does not fit, message boxes sized to their text.
// Pure code: no newt here, so it can be tested alone.
#pragma once
#include <string>
#include <vector>

#include "resources/templates.h"

namespace term {

struct CellRect {
  int col = 0, row = 0, width = 0, height = 0;  // inside the window's border
};

struct Layout {
  double units_per_column = 4.0;
  double units_per_row = 8.0;
  int width = 0, height = 0;       // inner size, in cells
  std::vector<CellRect> controls;  // template order
};

inline constexpr double UNITS_PER_COLUMN = 3.3;
inline constexpr double UNITS_PER_ROW = 8.0;

// Whether a control spans several rows (text blocks), or stands on one.
bool spans_rows(const ControlTemplate& control);

// columns, rows: the terminal's size.
Layout layout_dialog(const DialogTemplate& dialog, int columns, int rows);

// The outer size (border included) the dialog layer gets as "pixels".
inline int outer_width(const Layout& l) { return l.width + 2; }
inline int outer_height(const Layout& l) { return l.height + 2; }

// One line of text placed in a field of the given width, as the control's
// style aligns it (CTL_TEXT_*); always exactly width characters, so that a
// shorter new text covers the old one.
std::string aligned_line(const std::string& text, int width, unsigned style);

// Lines a text takes in a box of that width once wrapped.
int wrapped_lines(const std::string& text, int width);

// How a read-only text block is drawn: a text that does not fit its box
// scrolls (newt puts the scroll bar beside the text, in two more columns)
// and gives up its last row to a hint that there is more.
struct TextBlock {
  int width = 0, height = 0;  // of the text itself
  bool scroll = false;
};
// r: the block's cells; window_width: the inner width of its window.
TextBlock text_block(const std::string& text, const CellRect& r, int window_width);

// Each line of a text already wrapped to width, centred in it (newt only
// wraps flush left).
std::string centre_lines(const std::string& wrapped, int width);

// A message box: its inner size, and where its outer top-left stands.
struct BoxLayout {
  int x = 0, y = 0;
  int width = 0, height = 0;
};
// columns, rows: the terminal's size, less the key legend's row.
BoxLayout layout_message_box(const std::string& text, const std::string& title, int columns,
                             int rows);

}  // namespace term
