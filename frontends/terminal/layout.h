// Dialog units to character cells: 8 units per row, and 3.3 per column
// rather than 4: the templates' unit is a quarter of an average letter of a
// proportional font, and their texts are broken for that font, whose
// everyday text runs narrower than its average letter; a terminal cell is
// one letter of any kind. A dialog too large for the terminal is squeezed
// to fit. Depends only on the template and the terminal's size, since the
// dialog layer asks for the size before any text is set. Pure code: no newt
// here, so it can be tested alone.
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

// Texts of the program break lines with CR LF; newt wants LF.
std::string plain_text(const std::string& text);
// The longest line of a text, in characters.
int longest_line(const std::string& text);

inline constexpr double UNITS_PER_COLUMN = 3.3;
inline constexpr double UNITS_PER_ROW = 8.0;

// Whether a control spans several rows (text blocks), or stands on one.
bool spans_rows(const ControlTemplate& control);

// columns, rows: the terminal's size.
Layout layout_dialog(const DialogTemplate& dialog, int columns, int rows);

// The outer size (border included) the dialog layer gets as "pixels".
inline int outer_width(const Layout& l) { return l.width + 2; }
inline int outer_height(const Layout& l) { return l.height + 2; }

}  // namespace term
