#include "frontends/terminal/layout.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "frontends/common/text.h"

namespace term {

using frontend::plain_text;

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

std::string aligned_line(const std::string& text, int width, unsigned style) {
  std::string line = plain_text(text);
  std::replace(line.begin(), line.end(), '\n', ' ');
  if (static_cast<int>(line.size()) > width) line.resize(static_cast<std::size_t>(width));
  int room = width - static_cast<int>(line.size());
  int before = (style & CTL_TEXT_RIGHT) ? room : (style & CTL_TEXT_CENTER) ? room / 2 : 0;
  return std::string(static_cast<std::size_t>(before), ' ') + line +
         std::string(static_cast<std::size_t>(room - before), ' ');
}

int wrapped_lines(const std::string& text, int width) {
  int total = 0;
  for (const std::string& line : frontend::split_lines(text)) {
    int length = static_cast<int>(line.size());
    total += std::max(1, (length + width - 1) / std::max(1, width));
  }
  return total;
}

TextBlock text_block(const std::string& text, const CellRect& r, int window_width) {
  TextBlock b{r.width, r.height, false};
  if (wrapped_lines(text, r.width) <= r.height) return b;
  b.scroll = true;
  b.width = std::max(1, std::min(r.width, window_width - r.col - 2));
  if (r.height >= 2) b.height = r.height - 1;
  return b;
}

std::string centre_lines(const std::string& wrapped, int width) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = wrapped.find('\n', start);
    std::string line = wrapped.substr(start, end == std::string::npos ? end : end - start);
    int pad = std::max(0, (width - static_cast<int>(line.size())) / 2);
    out += std::string(static_cast<std::size_t>(pad), ' ') + line;
    if (end == std::string::npos) return out;
    out += '\n';
    start = end + 1;
  }
}

BoxLayout layout_message_box(const std::string& text, const std::string& title, int columns,
                             int rows) {
  BoxLayout box;
  int width = std::max(frontend::longest_line(text), static_cast<int>(title.size()) + 4);
  box.width = std::clamp(width + 4, 20, std::max(20, columns - 3));
  box.height = std::min(wrapped_lines(text, box.width - 4) + 2, std::max(4, rows - 2));
  box.x = (columns - box.width - 2) / 2;
  box.y = (rows - box.height - 2) / 2;
  return box;
}

}  // namespace term
