// Checks a geometry log of the desktop program (QEL_QT_GEOMETRY_LOG): every
// control of every dialog shown must stand where its template puts it, the
// template's dialog units converted with the base units the program measured
// on its font. Written apart from the front-end's own conversion on purpose.
//
//   qel-qt-geometry-check LOG     exit 0 when all match, 1 otherwise
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "resources/templates.h"

namespace {

int px(int units, double base, int per_base) {
  return static_cast<int>(std::lround(units * base / per_base));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qel-qt-geometry-check LOG\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  double base_x = 0, base_y = 0;
  int dialogs = 0, controls = 0, wrong = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind, word;
    int template_id = 0;
    words >> kind >> template_id;
    const DialogTemplate* t = dialog_template_find(template_id);
    if (!t) {
      std::fprintf(stderr, "unknown template in: %s\n", line.c_str());
      ++wrong;
      continue;
    }
    if (kind == "dialog") {
      ++dialogs;
      int screen_w, screen_h, fx, fy, fw, fh, cx, cy, cw, ch;
      words >> word >> base_x >> base_y >> word >> screen_w >> screen_h >> word >> fx >> fy >> fw >>
          fh >> word >> cx >> cy >> cw >> ch;
      if (cw != px(t->width, base_x, 4) || ch != px(t->height, base_y, 8)) {
        std::fprintf(stderr, "dialog %d: client %dx%d, template says %dx%d\n", template_id, cw, ch,
                     px(t->width, base_x, 4), px(t->height, base_y, 8));
        ++wrong;
      }
      continue;
    }
    if (kind != "control") continue;
    int index, id, x, y, w, h;
    words >> index >> id >> x >> y >> w >> h;
    if (index < 0 || index >= t->control_count || t->controls[index].id != id) {
      std::fprintf(stderr, "dialog %d: no control %d at index %d\n", template_id, id, index);
      ++wrong;
      continue;
    }
    const ControlTemplate& c = t->controls[index];
    ++controls;
    int ex = px(c.x, base_x, 4), ey = px(c.y, base_y, 8);
    int ew = px(c.width, base_x, 4), eh = px(c.height, base_y, 8);
    // A combo box's template height is its dropped list; the closed box is
    // one line high.
    bool height_ok = c.kind == ControlKind::ComboBox ? (h > 0 && h <= eh) : h == eh;
    if (x != ex || y != ey || w != ew || !height_ok) {
      std::fprintf(stderr, "dialog %d control %d (%s): %d,%d %dx%d, template says %d,%d %dx%d\n",
                   template_id, id, c.text, x, y, w, h, ex, ey, ew, eh);
      ++wrong;
    }
  }
  std::printf("%d dialogs, %d controls checked, %d wrong\n", dialogs, controls, wrong);
  return wrong == 0 && controls > 0 ? 0 : 1;
}
