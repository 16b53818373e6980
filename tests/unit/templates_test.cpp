// Properties of the dialog templates that the program depends on: every
// control the core addresses is there with the kind its calls need, every
// control fits its dialog, every dialog can be left, and the variants stay in
// step. The generated resource script is compared with the table in rc_test.
#include "resources/templates.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "resources/ids.h"

namespace {

using K = ControlKind;

// A control that the core addresses, with the kind and the styles its calls
// need.
struct Use {
  int dialog;
  int control;
  ControlKind kind;
  unsigned required = 0;   // style flags the use needs
  unsigned forbidden = 0;  // style flags that would defeat it
};

// The program writes these, with line breaks; the user never types in them.
constexpr unsigned TEXT_BLOCK = CTL_READ_ONLY | CTL_MULTI_LINE;

// Every template and control id that app/, http/, tftp/ and ui/ pass to the
// dialog calls. Which button is the default decides what Enter does.
std::vector<Use> core_uses() {
  std::vector<Use> uses = {
      {IDD_WARNING, IDOK, K::PushButton},
      {IDD_WARNING, IDCANCEL, K::DefaultPushButton},  // Enter cancels
      {IDD_WARNING, IDC_WARNING_TEXT, K::Edit, TEXT_BLOCK},

      {IDD_PASSWORD, IDOK, K::DefaultPushButton},
      {IDD_PASSWORD, IDCANCEL, K::PushButton},
      {IDD_PASSWORD, IDC_USER_NAME, K::Edit, 0, CTL_READ_ONLY | CTL_PASSWORD | CTL_NO_TAB_STOP},
      {IDD_PASSWORD, IDC_PASSWORD, K::Edit, CTL_PASSWORD, CTL_READ_ONLY | CTL_NO_TAB_STOP},
      {IDD_PASSWORD, IDC_PASSWORD_EXPLANATION, K::Edit, TEXT_BLOCK},

      {IDD_WAITING, IDC_WAITING_TEXT, K::StaticText},

      {IDD_SUCCESS, IDOK, K::DefaultPushButton},
      {IDD_SUCCESS, IDC_NEW_VERSION, K::Edit, CTL_READ_ONLY},
      {IDD_SUCCESS, IDC_SUCCESS_TEXT, K::Edit, TEXT_BLOCK},
  };
  for (int d : {IDD_ADDRESS_ADAPTER, IDD_ADDRESS_PHONE}) {
    uses.push_back({d, IDOK, K::DefaultPushButton});
    uses.push_back({d, IDCANCEL, K::PushButton});
    uses.push_back({d, IDC_DEVICE_ADDRESS, K::IpAddress, 0, CTL_NO_TAB_STOP});
    uses.push_back({d, IDC_LOCAL_ADDRESS, K::ComboBox});
    uses.push_back({d, IDC_ADDRESS_HEADING, K::Edit, TEXT_BLOCK});
    uses.push_back({d, IDC_ADDRESS_INSTRUCTIONS, K::Edit, TEXT_BLOCK});
    uses.push_back({d, IDC_ADDRESS_VERSION, K::Edit, CTL_READ_ONLY});
  }
  for (int d : {IDD_CONFIRM_TARGET, IDD_CONFIRM_TRANSITION}) {
    uses.push_back({d, IDOK, K::DefaultPushButton});
    uses.push_back({d, IDCANCEL, K::PushButton});
    for (int field : {IDC_SERIAL_NUMBER, IDC_MAC_ADDRESS, IDC_SOFTWARE_VERSION,
                      IDC_HARDWARE_VERSION, IDC_PRODUCT_NAME})
      uses.push_back({d, field, K::Edit, CTL_READ_ONLY});
    uses.push_back({d, IDC_CONFIRM_TEXT, K::Edit, TEXT_BLOCK});
  }
  // The Connecting, waiting and upload dialogs: Cancel aborts the upgrade.
  for (int d : {IDD_CONNECTING, IDD_WAITING, IDD_UPLOAD}) {
    uses.push_back({d, IDC_PROGRESS, K::ProgressBar});
    uses.push_back({d, IDCANCEL, K::PushButton});
  }
  return uses;
}

bool is_button(const ControlTemplate* c) {
  return c && (c->kind == K::PushButton || c->kind == K::DefaultPushButton);
}

bool has_progress_bar(const DialogTemplate& t) {
  for (int i = 0; i < t.control_count; ++i)
    if (t.controls[i].kind == K::ProgressBar) return true;
  return false;
}

// The focusable controls in template order, which is the tab order.
std::vector<int> tab_order(int dialog) {
  const DialogTemplate* t = dialog_template_find(dialog);
  std::vector<int> order;
  for (int i = 0; t && i < t->control_count; ++i)
    if (control_takes_focus(t->controls[i])) order.push_back(t->controls[i].id);
  return order;
}

// A closed combo box; its template height is that of the dropped list, which
// may hang below the dialog.
constexpr int COMBO_CLOSED_HEIGHT = 12;

}  // namespace

TEST(DialogTemplates, EveryControlTheCoreAddressesExistsWithItsKind) {
  std::set<int> used_dialogs;
  for (const Use& u : core_uses()) {
    SCOPED_TRACE("template " + std::to_string(u.dialog) + ", control " + std::to_string(u.control));
    used_dialogs.insert(u.dialog);
    const ControlTemplate* c = dialog_template_control(dialog_template_find(u.dialog), u.control);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(control_kind_name(c->kind), control_kind_name(u.kind));
    EXPECT_EQ(c->style & u.required, u.required);
    EXPECT_EQ(c->style & u.forbidden, 0u);
  }
  // A template the core never opens, or one it opens that is missing here,
  // means the list above is out of date.
  std::set<int> templates;
  for (int i = 0; i < dialog_template_count; ++i) templates.insert(dialog_templates[i].id);
  EXPECT_EQ(templates, used_dialogs);
  EXPECT_EQ(templates.size(), static_cast<std::size_t>(dialog_template_count)) << "duplicate";
}

TEST(DialogTemplates, LookupsOfUnknownIdsFindNothing) {
  EXPECT_EQ(dialog_template_find(0), nullptr);
  EXPECT_EQ(dialog_template_find(IDI_PROGRAM), nullptr);  // an icon, not a dialog
  EXPECT_EQ(dialog_template_control(dialog_template_find(IDD_WARNING), IDC_CONFIRM_TEXT), nullptr);
  EXPECT_EQ(dialog_template_control(nullptr, IDOK), nullptr);
}

TEST(DialogTemplates, ControlsFitTheirDialogsAndEveryDialogCanBeLeft) {
  for (int i = 0; i < dialog_template_count; ++i) {
    const DialogTemplate& t = dialog_templates[i];
    // Captions are set at run time and the close box gives Cancel.
    EXPECT_EQ(t.frame & (FRAME_CAPTION | FRAME_SYSTEM_MENU), FRAME_CAPTION | FRAME_SYSTEM_MENU)
        << t.id;
    std::set<int> ids;
    for (int k = 0; k < t.control_count; ++k) {
      const ControlTemplate& c = t.controls[k];
      SCOPED_TRACE("template " + std::to_string(t.id) + ", control #" + std::to_string(k));
      ASSERT_NE(c.text, nullptr);
      if (c.id == CONTROL_ID_NONE) {
        // Nothing can reach it, so it had better need nothing.
        EXPECT_TRUE(c.kind == K::StaticText || c.kind == K::StaticIcon);
      } else {
        EXPECT_TRUE(ids.insert(c.id).second) << "duplicate id " << c.id;
      }
      int height = c.kind == K::ComboBox ? COMBO_CLOSED_HEIGHT : c.height;
      EXPECT_GT(c.width, 0);
      EXPECT_GT(height, 0);
      EXPECT_GE(c.x, 0);
      EXPECT_GE(c.y, 0);
      EXPECT_LE(c.x + c.width, t.width);
      EXPECT_LE(c.y + height, t.height);
    }
    if (has_progress_bar(t)) {
      EXPECT_TRUE(is_button(dialog_template_control(&t, IDCANCEL))) << t.id << ": no Cancel";
    } else {
      EXPECT_TRUE(is_button(dialog_template_control(&t, IDOK)) ||
                  is_button(dialog_template_control(&t, IDCANCEL)))
          << t.id << ": no way out";
    }
  }
}

// The focus a dialog gets when its procedure leaves the choice to the
// platform is the first control, in template order, that takes it.
TEST(DialogTemplates, TabOrderAndDefaultFocus) {
  for (int d : {IDD_CONFIRM_TARGET, IDD_CONFIRM_TRANSITION, IDD_SUCCESS}) {
    ASSERT_FALSE(tab_order(d).empty());
    EXPECT_EQ(tab_order(d).front(), IDOK) << d;
  }
  for (int d : {IDD_CONNECTING, IDD_WAITING, IDD_UPLOAD}) {
    ASSERT_FALSE(tab_order(d).empty());
    EXPECT_EQ(tab_order(d).front(), IDCANCEL) << d;
  }
  EXPECT_EQ(tab_order(IDD_ADDRESS_ADAPTER),
            (std::vector<int>{IDOK, IDCANCEL, IDC_ADDRESS_HEADING, IDC_ADDRESS_INSTRUCTIONS,
                              IDC_ADDRESS_VERSION, IDC_LOCAL_ADDRESS, IDC_DEVICE_ADDRESS}));
  EXPECT_EQ(tab_order(IDD_PASSWORD), (std::vector<int>{IDOK, IDCANCEL, IDC_USER_NAME, IDC_PASSWORD,
                                                       IDC_PASSWORD_EXPLANATION}));
  // The warning text is skipped, so Tab moves between the two buttons only.
  EXPECT_EQ(tab_order(IDD_WARNING), (std::vector<int>{IDOK, IDCANCEL}));
}

TEST(DialogTemplates, ConfirmVariantsShareIdsKindsTextsAndStyles) {
  const DialogTemplate* a = dialog_template_find(IDD_CONFIRM_TARGET);
  const DialogTemplate* b = dialog_template_find(IDD_CONFIRM_TRANSITION);
  ASSERT_TRUE(a && b);
  ASSERT_EQ(a->control_count, b->control_count);
  for (int i = 0; i < a->control_count; ++i) {
    SCOPED_TRACE("control #" + std::to_string(i));
    EXPECT_EQ(a->controls[i].id, b->controls[i].id);
    EXPECT_EQ(a->controls[i].kind, b->controls[i].kind);
    EXPECT_STREQ(a->controls[i].text, b->controls[i].text);
    EXPECT_EQ(a->controls[i].style, b->controls[i].style);
  }
  // The Transition variant's text block has room for the stage note.
  EXPECT_GT(dialog_template_control(b, IDC_CONFIRM_TEXT)->height,
            dialog_template_control(a, IDC_CONFIRM_TEXT)->height);
}

TEST(DialogTemplates, AddressVariantsDifferOnlyInTheIcon) {
  const DialogTemplate* a = dialog_template_find(IDD_ADDRESS_ADAPTER);
  const DialogTemplate* p = dialog_template_find(IDD_ADDRESS_PHONE);
  ASSERT_TRUE(a && p);
  ASSERT_EQ(a->control_count, p->control_count);
  int icons = 0;
  for (int i = 0; i < a->control_count; ++i) {
    const ControlTemplate& x = a->controls[i];
    const ControlTemplate& y = p->controls[i];
    SCOPED_TRACE("control #" + std::to_string(i));
    EXPECT_EQ(x.id, y.id);
    EXPECT_EQ(x.kind, y.kind);
    EXPECT_STREQ(x.text, y.text);
    EXPECT_EQ(x.x, y.x);
    EXPECT_EQ(x.y, y.y);
    EXPECT_EQ(x.width, y.width);
    EXPECT_EQ(x.height, y.height);
    EXPECT_EQ(x.style, y.style);
    EXPECT_EQ(x.list_height, y.list_height);
    if (x.kind == K::StaticIcon) {
      ++icons;
      EXPECT_EQ(x.icon, IDI_PROGRAM);
      EXPECT_EQ(y.icon, IDI_PHONE);
    } else {
      EXPECT_EQ(x.icon, y.icon);
    }
  }
  EXPECT_EQ(icons, 1);
}
