// The generated Windows resource script checked against lines written out by
// hand from the dialog tables: what windres must read for a few dialogs and
// controls, not what the writer happens to produce.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "resources/rc_script.h"

namespace {

ResourceScriptInputs inputs(bool two_stage) {
  ResourceScriptInputs in{};
  in.icon_file = "/build/resources/qel.ico";
  in.firmware.push_back({112, "/build/resources/target.bin"});
  if (two_stage) in.firmware.push_back({319, "/build/resources/transition.bin"});
  in.version[0] = 1;
  in.version[1] = 2;
  in.version[2] = 3;
  in.version[3] = 0;
  return in;
}

const std::string& script() {
  static const std::string text = rc_resource_script(inputs(false));
  return text;
}

// The text from "N DIALOG" to the END that closes it.
std::string dialog_block(const std::string& text, int id) {
  std::string start = "\n" + std::to_string(id) + " DIALOG ";
  std::size_t begin = text.find(start);
  if (begin == std::string::npos) return "";
  std::size_t end = text.find("\nEND\n", begin);
  if (end == std::string::npos) return "";
  return text.substr(begin + 1, end + 5 - (begin + 1));
}

bool has_line(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ResourceScript, WarningDialogIsExactlyTheTable) {
  EXPECT_EQ(dialog_block(script(), 139),
            "139 DIALOG 0, 0, 204, 143\n"
            "STYLE DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU\n"
            "CAPTION \"QEL-5200 Firmware Upgrade\"\n"
            "FONT 8, \"MS Sans Serif\"\n"
            "BEGIN\n"
            "    PUSHBUTTON \"Continue\", 1, 41, 116, 50, 14\n"
            "    DEFPUSHBUTTON \"Cancel\", 2, 109, 116, 50, 14\n"
            "    EDITTEXT 1021, 12, 13, 189, 95, ES_MULTILINE | ES_READONLY | NOT WS_BORDER | "
            "NOT WS_TABSTOP\n"
            "END\n");
}

// Template order is the tab order: OK, Cancel, 1007, 1008, 1015, 1017, 1000.
TEST(ResourceScript, PhoneAddressDialogKeepsOrderStylesAndMissingIcon) {
  EXPECT_EQ(dialog_block(script(), 305),
            "305 DIALOG 0, 0, 164, 178\n"
            "STYLE DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU\n"
            "CAPTION \"Dialog\"\n"
            "FONT 8, \"MS Sans Serif\"\n"
            "BEGIN\n"
            "    DEFPUSHBUTTON \"OK\", 1, 26, 126, 50, 14\n"
            "    PUSHBUTTON \"Cancel\", 2, 86, 126, 50, 14\n"
            "    EDITTEXT 1007, 13, 6, 139, 16, ES_MULTILINE | ES_READONLY | NOT WS_BORDER\n"
            "    EDITTEXT 1008, 13, 42, 148, 56, ES_MULTILINE | ES_READONLY | NOT WS_BORDER\n"
            "    EDITTEXT 1015, 37, 28, 89, 14, ES_READONLY | NOT WS_BORDER\n"
            "    COMBOBOX 1017, 63, 153, 79, 80, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP\n"
            "    LTEXT \"Your IP Address\", -1, 9, 156, 52, 8\n"
            "    ICON 286, -1, 119, 18, 20, 20\n"
            "    CONTROL \"\", 1000, \"SysIPAddress32\", WS_TABSTOP, 26, 103, 109, 15\n"
            "END\n");
}

TEST(ResourceScript, AdapterAddressDialogDiffersInFrameAndIcon) {
  std::string block = dialog_block(script(), 101);
  ASSERT_FALSE(block.empty());
  EXPECT_TRUE(block.starts_with("101 DIALOG 200, 200, 165, 181\n"));
  EXPECT_TRUE(has_line(block, "CAPTION \"Enter QEL IP Address\""));
  EXPECT_TRUE(has_line(block, "    ICON 106, -1, 119, 18, 20, 20"));
  EXPECT_TRUE(has_line(block, "    CONTROL \"\", 1000, \"SysIPAddress32\", WS_TABSTOP, 26, 103, 109, 15"));
}

TEST(ResourceScript, PasswordFieldsScrollAndMaskAndLabelsAlignRight) {
  std::string block = dialog_block(script(), 104);
  ASSERT_FALSE(block.empty());
  EXPECT_TRUE(has_line(block, "    EDITTEXT 1003, 68, 168, 85, 14, ES_AUTOHSCROLL"));
  EXPECT_TRUE(has_line(block, "    EDITTEXT 1005, 68, 186, 85, 14, ES_AUTOHSCROLL | ES_PASSWORD"));
  EXPECT_TRUE(has_line(block, "    RTEXT \"User\", -1, 18, 170, 44, 8"));
  EXPECT_TRUE(has_line(block, "    RTEXT \"Password\", -1, 18, 191, 44, 8"));
  // The user field comes before the password field in the tab order.
  EXPECT_LT(block.find("EDITTEXT 1003"), block.find("EDITTEXT 1005"));
}

TEST(ResourceScript, ProgressBarsAreCommonControlsWithBorder) {
  EXPECT_TRUE(has_line(dialog_block(script(), 105),
                       "    CONTROL \"\", 1010, PROGRESS_CLASS, WS_BORDER, 22, 10, 141, 14"));
  EXPECT_TRUE(has_line(dialog_block(script(), 114),
                       "    CONTROL \"\", 1010, PROGRESS_CLASS, WS_BORDER, 38, 95, 191, 14"));
  EXPECT_TRUE(has_line(dialog_block(script(), 110),
                       "    CONTROL \"\", 1010, PROGRESS_CLASS, WS_BORDER, 31, 36, 242, 8"));
}

TEST(ResourceScript, ConfirmFieldsHaveBordersAndBlocksHaveNone) {
  std::string block = dialog_block(script(), 103);
  EXPECT_TRUE(has_line(block, "    DEFPUSHBUTTON \"Upgrade\", 1, 33, 143, 50, 14"));
  EXPECT_TRUE(has_line(block, "    EDITTEXT 1002, 82, 49, 67, 14, ES_READONLY"));
  EXPECT_TRUE(has_line(block, "    EDITTEXT 1006, 82, 118, 67, 14, ES_READONLY"));
  EXPECT_TRUE(has_line(block, "    RTEXT \"Serial Number\", -1, 4, 52, 72, 8"));
  EXPECT_TRUE(has_line(block, "    EDITTEXT 1007, 12, 6, 142, 37, ES_MULTILINE | ES_READONLY | NOT WS_BORDER"));
  EXPECT_TRUE(has_line(dialog_block(script(), 304),
                       "    EDITTEXT 1007, 23, 7, 142, 77, ES_MULTILINE | ES_READONLY | NOT WS_BORDER"));
}

TEST(ResourceScript, StaticTextsAlignAsTheTablesSay) {
  EXPECT_TRUE(has_line(dialog_block(script(), 114), "    LTEXT \"\", 1022, 15, 9, 244, 79"));
  EXPECT_TRUE(has_line(dialog_block(script(), 110),
                       "    CTEXT \"Please do not unplug the power of your QEL until the Status "
                       "Light stops blinking\", -1, 86, 12, 137, 22"));
  EXPECT_TRUE(has_line(dialog_block(script(), 111),
                       "    EDITTEXT 1004, 15, 69, 136, 14, ES_CENTER | ES_READONLY"));
}

TEST(ResourceScript, EveryTemplateOnceAndOnlyTheIconAndImagesBesides) {
  for (int id : {139, 101, 305, 104, 105, 103, 304, 114, 110, 111})
    EXPECT_EQ(count(script(), "\n" + std::to_string(id) + " DIALOG "), 1) << id;
  EXPECT_EQ(count(script(), " DIALOG "), 10);
  EXPECT_TRUE(has_line(script(), "106 ICON \"/build/resources/qel.ico\""));
  EXPECT_TRUE(has_line(script(), "112 QEL_FIRMWARE \"/build/resources/target.bin\""));
  EXPECT_EQ(count(script(), "QEL_FIRMWARE"), 1);
  EXPECT_TRUE(has_line(script(), "FILEVERSION 1, 2, 3, 0"));
  // PROGRESS_CLASS and the constants of the version resource need these.
  EXPECT_TRUE(has_line(script(), "#include <windows.h>"));
  EXPECT_TRUE(has_line(script(), "#include <commctrl.h>"));
}

TEST(ResourceScript, TwoStageBuildCarriesTheTransitionImage) {
  std::string text = rc_resource_script(inputs(true));
  EXPECT_TRUE(has_line(text, "112 QEL_FIRMWARE \"/build/resources/target.bin\""));
  EXPECT_TRUE(has_line(text, "319 QEL_FIRMWARE \"/build/resources/transition.bin\""));
}

TEST(ResourceScript, QuotesAndBackslashesAreEscaped) {
  EXPECT_EQ(rc_quote("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(rc_quote("C:\\images\\target.bin"), "\"C:\\\\images\\\\target.bin\"");
  EXPECT_THROW(rc_quote("two\r\nlines"), std::invalid_argument);
}

TEST(ResourceScript, StyleWithoutResourceEquivalentIsRefused) {
  ControlTemplate masked_button{7, ControlKind::PushButton, "Go", 1, 2, 3, 4, CTL_PASSWORD, 0, 0};
  EXPECT_THROW(rc_control_statement(masked_button), std::invalid_argument);
  ControlTemplate loose_combo{8, ControlKind::ComboBox, "", 1, 2, 3, 40, 0, 0, 60};
  EXPECT_THROW(rc_control_statement(loose_combo), std::invalid_argument);
  ControlTemplate skipped_button{9, ControlKind::PushButton, "Skip", 1, 2, 30, 14, CTL_NO_TAB_STOP,
                                 0, 0};
  EXPECT_EQ(rc_control_statement(skipped_button), "    PUSHBUTTON \"Skip\", 9, 1, 2, 30, 14, NOT WS_TABSTOP");
}

}  // namespace
