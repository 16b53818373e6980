// The dialog templates checked value by value. The expected values are
// written out here independently, not derived from the data under test.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "resources/templates.h"

namespace {

struct Frame {
  int id;
  const char* caption;
  int x, y, width, height;
  int controls;
};

const Frame frames[] = {
    {139, "QEL-5200 Firmware Upgrade", 0, 0, 204, 143, 3},
    {101, "Enter QEL IP Address", 200, 200, 165, 181, 9},
    {305, "Dialog", 0, 0, 164, 178, 9},
    {104, "Enter Password Information", 200, 200, 191, 236, 7},
    {105, "Connecting with QEL", 200, 200, 186, 55, 2},
    {103, "Confirm Upgrade", 200, 200, 172, 166, 13},
    {304, "Confirm Upgrade", 0, 0, 186, 198, 13},
    {114, "Waiting For Firmware Download Request From QEL", 0, 0, 270, 141, 3},
    {110, "Uploading Firmware To QEL", 0, 0, 303, 77, 3},
    {111, "QEL Upgrade Successful!", 0, 0, 171, 126, 4},
};

struct Expected {
  int id;
  ControlKind kind;
  const char* text;
  int x, y, width, height;
  unsigned style;
};

void expect_controls(int template_id, std::initializer_list<Expected> expected) {
  const DialogTemplate* t = dialog_template_find(template_id);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->control_count, static_cast<int>(expected.size())) << "template " << template_id;
  int i = 0;
  for (const Expected& e : expected) {
    const ControlTemplate& c = t->controls[i];
    SCOPED_TRACE("template " + std::to_string(template_id) + ", control #" + std::to_string(i));
    EXPECT_EQ(c.id, e.id);
    EXPECT_EQ(c.kind, e.kind);
    EXPECT_STREQ(c.text, e.text);
    EXPECT_EQ(c.x, e.x);
    EXPECT_EQ(c.y, e.y);
    EXPECT_EQ(c.width, e.width);
    EXPECT_EQ(c.height, e.height);
    EXPECT_EQ(c.style, e.style);
    ++i;
  }
}

using K = ControlKind;

}  // namespace

TEST(DialogTemplates, AllTenInOrderWithTheirFrames) {
  ASSERT_EQ(dialog_template_count, 10);
  for (int i = 0; i < 10; ++i) {
    const Frame& f = frames[i];
    const DialogTemplate& t = dialog_templates[i];
    SCOPED_TRACE("template " + std::to_string(f.id));
    EXPECT_EQ(t.id, f.id);
    EXPECT_EQ(dialog_template_find(f.id), &t);
    EXPECT_STREQ(t.caption, f.caption);
    EXPECT_EQ(t.x, f.x);
    EXPECT_EQ(t.y, f.y);
    EXPECT_EQ(t.width, f.width);
    EXPECT_EQ(t.height, f.height);
    EXPECT_EQ(t.control_count, f.controls);
    EXPECT_EQ(t.frame, FRAME_POPUP | FRAME_CAPTION | FRAME_SYSTEM_MENU | FRAME_MODAL);
    EXPECT_STREQ(t.font_face, "MS Sans Serif");
    EXPECT_EQ(t.font_points, 8);
  }
}

TEST(DialogTemplates, UnknownIdsAreNotFound) {
  EXPECT_EQ(dialog_template_find(0), nullptr);
  EXPECT_EQ(dialog_template_find(102), nullptr);
  EXPECT_EQ(dialog_template_find(106), nullptr);  // the icon, not a dialog
  EXPECT_EQ(dialog_template_control(dialog_template_find(139), 1007), nullptr);
  EXPECT_EQ(dialog_template_control(nullptr, 1), nullptr);
}

TEST(DialogTemplates, WarningControls) {
  expect_controls(139, {
                           {1, K::PushButton, "Continue", 41, 116, 50, 14, 0},
                           {2, K::DefaultPushButton, "Cancel", 109, 116, 50, 14, 0},
                           {1021, K::Edit, "", 12, 13, 189, 95,
                            CTL_READ_ONLY | CTL_MULTI_LINE | CTL_NO_TAB_STOP},
                       });
}

TEST(DialogTemplates, PasswordControls) {
  expect_controls(104, {
                           {1, K::DefaultPushButton, "OK", 32, 210, 50, 14, 0},
                           {2, K::PushButton, "Cancel", 104, 210, 50, 14, 0},
                           {1003, K::Edit, "", 68, 168, 85, 14, CTL_BORDER | CTL_AUTO_HSCROLL},
                           {1005, K::Edit, "", 68, 186, 85, 14,
                            CTL_BORDER | CTL_AUTO_HSCROLL | CTL_PASSWORD},
                           {-1, K::StaticText, "User", 18, 170, 44, 8, CTL_TEXT_RIGHT},
                           {-1, K::StaticText, "Password", 18, 191, 44, 8, CTL_TEXT_RIGHT},
                           {1007, K::Edit, "", 15, 9, 165, 152, CTL_READ_ONLY | CTL_MULTI_LINE},
                       });
}

TEST(DialogTemplates, ProgressDialogsControls) {
  expect_controls(105, {
                           {2, K::PushButton, "Cancel", 65, 34, 50, 14, 0},
                           {1010, K::ProgressBar, "", 22, 10, 141, 14, CTL_BORDER},
                       });
  expect_controls(114, {
                           {2, K::PushButton, "Cancel", 108, 115, 50, 14, 0},
                           {1010, K::ProgressBar, "", 38, 95, 191, 14, CTL_BORDER},
                           {1022, K::StaticText, "", 15, 9, 244, 79, CTL_TEXT_LEFT},
                       });
  expect_controls(110, {
                           {2, K::PushButton, "Cancel", 126, 52, 50, 14, 0},
                           {1010, K::ProgressBar, "", 31, 36, 242, 8, CTL_BORDER},
                           {-1, K::StaticText,
                            "Please do not unplug the power of your QEL until the Status Light "
                            "stops blinking",
                            86, 12, 137, 22, CTL_TEXT_CENTER},
                       });
}

TEST(DialogTemplates, SuccessControls) {
  expect_controls(111, {
                           {1, K::DefaultPushButton, "OK", 59, 94, 50, 14, 0},
                           {1004, K::Edit, "", 15, 69, 136, 14,
                            CTL_READ_ONLY | CTL_BORDER | CTL_TEXT_CENTER},
                           {1007, K::Edit, "", 29, 9, 111, 33, CTL_READ_ONLY | CTL_MULTI_LINE},
                           {-1, K::StaticText, "qel.example", 82, 50, 53, 8, CTL_TEXT_LEFT},
                       });
}

TEST(DialogTemplates, ConfirmVariantsShareIdsKindsTextsAndStyles) {
  const unsigned field = CTL_READ_ONLY | CTL_BORDER;
  expect_controls(103, {
                           {1, K::DefaultPushButton, "Upgrade", 33, 143, 50, 14, 0},
                           {2, K::PushButton, "Cancel", 87, 143, 50, 14, 0},
                           {1002, K::Edit, "", 82, 49, 67, 14, field},
                           {1003, K::Edit, "", 82, 66, 67, 14, field},
                           {1004, K::Edit, "", 82, 84, 67, 14, field},
                           {1005, K::Edit, "", 82, 100, 67, 14, field},
                           {1006, K::Edit, "", 82, 118, 67, 14, field},
                           {-1, K::StaticText, "Serial Number", 4, 52, 72, 8, CTL_TEXT_RIGHT},
                           {-1, K::StaticText, "MAC Address", 4, 70, 72, 8, CTL_TEXT_RIGHT},
                           {-1, K::StaticText, "Software Version", 4, 87, 72, 8, CTL_TEXT_RIGHT},
                           {-1, K::StaticText, "Hardware Version", 4, 103, 72, 8, CTL_TEXT_RIGHT},
                           {-1, K::StaticText, "Product Name", 4, 121, 72, 8, CTL_TEXT_RIGHT},
                           {1007, K::Edit, "", 12, 6, 142, 37, CTL_READ_ONLY | CTL_MULTI_LINE},
                       });
  // 304 is checked in full at the places where it differs, and for the rest
  // against 103.
  const DialogTemplate* a = dialog_template_find(103);
  const DialogTemplate* b = dialog_template_find(304);
  ASSERT_EQ(a->control_count, b->control_count);
  for (int i = 0; i < a->control_count; ++i) {
    EXPECT_EQ(a->controls[i].id, b->controls[i].id);
    EXPECT_EQ(a->controls[i].kind, b->controls[i].kind);
    EXPECT_STREQ(a->controls[i].text, b->controls[i].text);
    EXPECT_EQ(a->controls[i].style, b->controls[i].style);
    EXPECT_EQ(a->controls[i].width, b->controls[i].width);
  }
  const int ys[] = {179, 179, 86, 103, 121, 137, 154, 89, 106, 124, 140, 158, 7};
  const int xs[] = {42, 96, 92, 92, 92, 92, 92, 14, 14, 14, 14, 14, 23};
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(b->controls[i].x, xs[i]) << "304 control #" << i;
    EXPECT_EQ(b->controls[i].y, ys[i]) << "304 control #" << i;
  }
  EXPECT_EQ(dialog_template_control(a, 1007)->height, 37);
  EXPECT_EQ(dialog_template_control(b, 1007)->height, 77);
}

TEST(DialogTemplates, AddressVariantsDifferOnlyInTheIcon) {
  expect_controls(101, {
                           {1, K::DefaultPushButton, "OK", 26, 126, 50, 14, 0},
                           {2, K::PushButton, "Cancel", 86, 126, 50, 14, 0},
                           {1007, K::Edit, "", 13, 6, 139, 16, CTL_READ_ONLY | CTL_MULTI_LINE},
                           {1008, K::Edit, "", 13, 42, 148, 56, CTL_READ_ONLY | CTL_MULTI_LINE},
                           {1015, K::Edit, "", 37, 28, 89, 14, CTL_READ_ONLY},
                           {1017, K::ComboBox, "", 63, 153, 79, 80, CTL_VSCROLL},
                           {-1, K::StaticText, "Your IP Address", 9, 156, 52, 8, CTL_TEXT_LEFT},
                           {-1, K::StaticIcon, "", 119, 18, 20, 20, 0},
                           {1000, K::IpAddress, "", 26, 103, 109, 15, 0},
                       });
  const DialogTemplate* a = dialog_template_find(101);
  const DialogTemplate* p = dialog_template_find(305);
  EXPECT_EQ(a->controls[7].icon, 106);
  EXPECT_EQ(p->controls[7].icon, 286);
  EXPECT_EQ(dialog_template_control(a, 1017)->list_height, 80);
  ASSERT_EQ(a->control_count, p->control_count);
  for (int i = 0; i < a->control_count; ++i) {
    const ControlTemplate& x = a->controls[i];
    const ControlTemplate& y = p->controls[i];
    EXPECT_EQ(x.id, y.id);
    EXPECT_EQ(x.kind, y.kind);
    EXPECT_STREQ(x.text, y.text);
    EXPECT_EQ(x.x, y.x);
    EXPECT_EQ(x.y, y.y);
    EXPECT_EQ(x.width, y.width);
    EXPECT_EQ(x.height, y.height);
    EXPECT_EQ(x.style, y.style);
    EXPECT_EQ(x.list_height, y.list_height);
    if (i != 7) { EXPECT_EQ(x.icon, y.icon); }
  }
}

// The focus a dialog gets when its procedure leaves the choice to the
// platform: the first control, in template order, that takes the focus.
TEST(DialogTemplates, TabOrderAndDefaultFocus) {
  auto first_focusable = [](int id) {
    const DialogTemplate* t = dialog_template_find(id);
    for (int i = 0; i < t->control_count; ++i)
      if (control_takes_focus(t->controls[i])) return t->controls[i].id;
    return 0;
  };
  EXPECT_EQ(first_focusable(103), 1);
  EXPECT_EQ(first_focusable(111), 1);
  EXPECT_EQ(first_focusable(105), 2);
  EXPECT_EQ(first_focusable(114), 2);
  EXPECT_EQ(first_focusable(110), 2);

  // The address dialog's tab order: OK, Cancel, 1007, 1008, 1015, 1017, 1000.
  const DialogTemplate* address = dialog_template_find(101);
  std::vector<int> order;
  for (int i = 0; i < address->control_count; ++i)
    if (control_takes_focus(address->controls[i])) order.push_back(address->controls[i].id);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 1007, 1008, 1015, 1017, 1000}));

  EXPECT_FALSE(control_takes_focus(*dialog_template_control(dialog_template_find(139), 1021)));
}

TEST(DialogTemplates, ControlsAreConsistentInEveryTemplate) {
  for (int i = 0; i < dialog_template_count; ++i) {
    const DialogTemplate& t = dialog_templates[i];
    std::set<int> ids;
    for (int k = 0; k < t.control_count; ++k) {
      const ControlTemplate& c = t.controls[k];
      SCOPED_TRACE("template " + std::to_string(t.id) + ", control #" + std::to_string(k));
      ASSERT_NE(c.text, nullptr);
      if (c.id == CONTROL_ID_NONE) {
        EXPECT_TRUE(c.kind == K::StaticText || c.kind == K::StaticIcon);
      } else {
        EXPECT_TRUE(ids.insert(c.id).second) << "duplicate id " << c.id;
      }
      if (c.kind == K::ProgressBar) { EXPECT_EQ(c.id, 1010); }
      EXPECT_EQ(c.icon != 0, c.kind == K::StaticIcon);
      EXPECT_EQ(c.list_height != 0, c.kind == K::ComboBox);
      // Everything but a combo box's dropped list lies inside the dialog.
      int height = c.kind == K::ComboBox ? 14 : c.height;
      EXPECT_GE(c.x, 0);
      EXPECT_GE(c.y, 0);
      EXPECT_LE(c.x + c.width, t.width);
      EXPECT_LE(c.y + height, t.height);
    }
    // Every dialog has a button, and ids 1 and 2 are always buttons.
    const ControlTemplate* ok = dialog_template_control(&t, 1);
    const ControlTemplate* cancel = dialog_template_control(&t, 2);
    EXPECT_TRUE(ok || cancel) << t.id;
    if (ok) { EXPECT_TRUE(ok->kind == K::PushButton || ok->kind == K::DefaultPushButton); }
    if (cancel) { EXPECT_STREQ(cancel->text, "Cancel"); }
  }
}
