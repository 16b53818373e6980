#include "frontends/terminal/layout.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace term {

std::string plain_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i] == '\r' ? '\n' : text[i];
  }
  return out;
}

int longest_line(const std::string& text) {
  int longest = 0, current = 0;
  for (char c : plain_text(text)) {
    if (c == '\n') {
      current = 0;
      continue;
    }
    longest = std::max(longest, ++current);
  }
  return longest;
}

bool spans_rows(const ControlTemplate& c) {
  bool text = c.kind == ControlKind::StaticText ||
              (c.kind == ControlKind::Edit && (c.style & CTL_MULTI_LINE));
  return text && c.height >= 16;
}

namespace {

constexpr double SAME_ROW_UNITS = 3;

int round_cells(double value) { return static_cast<int>(std::lround(value)); }

double middle(const ControlTemplate& c) {
  return c.y + (c.kind == ControlKind::ComboBox ? 12 : c.height) / 2.0;
}

}  // namespace

Layout layout_dialog(const DialogTemplate& d, int columns, int rows) {
  Layout l;
  // Two cells of border, and a column of shadow that newt draws.
  const int max_width = std::max(10, columns - 3);
  const int max_height = std::max(5, rows - 2);
  l.units_per_column = std::max(UNITS_PER_COLUMN, d.width / static_cast<double>(max_width));
  l.units_per_row = std::max(UNITS_PER_ROW, d.height / static_cast<double>(max_height));
  l.width = std::min(max_width, std::max(1, round_cells(d.width / l.units_per_column)));
  l.height = std::min(max_height, std::max(1, round_cells(d.height / l.units_per_row)));

  for (int i = 0; i < d.control_count; ++i) {
    const ControlTemplate& c = d.controls[i];
    CellRect r;
    r.col = round_cells(c.x / l.units_per_column);
    r.width = std::max(1, round_cells(c.width / l.units_per_column));
    if (spans_rows(c)) {
      r.row = round_cells(c.y / l.units_per_row);
      r.height = std::max(1, round_cells(c.height / l.units_per_row));
    } else {
      // One row, the one the control's middle falls in. A combo box's
      // template height is its dropped list: its middle is that of a
      // one-line box.
      r.row = static_cast<int>(middle(c) / l.units_per_row);
      r.height = 1;
    }
    // A label and the field beside it have middles a unit or two apart,
    // which a row boundary may split: they share the first one's row.
    if (!spans_rows(c)) {
      for (int j = 0; j < i; ++j) {
        const ControlTemplate& other = d.controls[j];
        if (!spans_rows(other) && std::abs(middle(other) - middle(c)) <= SAME_ROW_UNITS) {
          r.row = l.controls[static_cast<std::size_t>(j)].row;
          break;
        }
      }
    }
    r.col = std::clamp(r.col, 0, l.width - 1);
    r.row = std::clamp(r.row, 0, l.height - 1);
    r.width = std::min(r.width, l.width - r.col);
    r.height = std::min(r.height, l.height - r.row);
    l.controls.push_back(r);
  }
  return l;
}

}  // namespace term
