#include "config/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  // Text of the token a path names, or "<none>".
  static std::string found(const char* path) {
    const int32_t i = config_find(0, path);
    if (i < 0) return "<none>";
    const jsmntok_t& t = config_document.tokens[i];
    return std::string(config_document.text + t.start, static_cast<size_t>(t.end - t.start));
  }
};

TEST_F(ConfigTest, DottedPathDescendsThroughNestedObjectsOnly) {
  load_config(R"({"a": {"b": 1}, "x": [1, {"y": 2}]})");
  EXPECT_EQ(found("a.b"), "1");
  EXPECT_EQ(found("a"), "{\"b\": 1}");
  EXPECT_EQ(found("a.c"), "<none>");
  EXPECT_EQ(found("b"), "<none>");
  EXPECT_EQ(found("a.b.c"), "<none>");
  EXPECT_EQ(found("x.y"), "<none>");
}

TEST_F(ConfigTest, KeyMatchesWholePathComponentOnly) {
  load_config(R"({"ab": 1, "a": {"b": 2}})");
  EXPECT_EQ(found("a.b"), "2");
  EXPECT_EQ(found("ab"), "1");
  EXPECT_EQ(found("a.bc"), "<none>");
}

TEST_F(ConfigTest, FirstOfDuplicateKeysWinsAndUnquotedKeysAreNeverFound) {
  load_config(R"({"a": 1, "a": 2, b: 3, "c": {"d": [1, 2, {"e": 4}]}, "f": 5})");
  EXPECT_EQ(found("a"), "1");
  EXPECT_EQ(found("b"), "<none>");
  // Members after a nested subtree are reached by skipping it whole.
  EXPECT_EQ(found("f"), "5");
}

TEST_F(ConfigTest, SkipPassesOverWholeSubtrees) {
  load_config(R"({"a": [1, [2, 3], {"b": 4}], "c": 5})");
  EXPECT_EQ(config_skip(0), config_document.token_count);
  const int32_t array = config_find(0, "a");
  EXPECT_EQ(config_skip(array), config_find(0, "c") - 1);
  EXPECT_EQ(config_child_count(array), 3);
  EXPECT_EQ(config_child_count(config_document.token_count + 1), -1);
}

TEST_F(ConfigTest, NumbersReadTheSameAsStringsOrJsonNumbers) {
  load_config(R"({"s": "12", "n": 12, "f": "0.5", "bad": "abc"})");
  EXPECT_EQ(config_get_integer("s"), 12);
  EXPECT_EQ(config_get_integer("n"), 12);
  EXPECT_DOUBLE_EQ(config_get_number("s"), 12.0);
  EXPECT_DOUBLE_EQ(config_get_number("f"), 0.5);
  EXPECT_DOUBLE_EQ(config_get_number("bad"), 0.0);
}

TEST_F(ConfigTest, FlagIsOnOnlyForExactYes) {
  load_config(R"({"a": "yes", "b": "no", "c": "YES", "d": "", "e": "yes ", "f": yes})");
  EXPECT_TRUE(config_get_flag("a"));
  EXPECT_FALSE(config_get_flag("b"));
  EXPECT_FALSE(config_get_flag("c"));
  EXPECT_FALSE(config_get_flag("d"));
  EXPECT_FALSE(config_get_flag("e"));
  EXPECT_TRUE(config_get_flag("f"));
}

TEST_F(ConfigTest, GetterErrorsNameThePathAndExitWithTwo) {
  load_config(R"({"p": {"q": [1]}, "s": "text"})");
  char buffer[CONFIG_TEXT_MAX];
  FatalResult r = run_capturing([&] { config_get_string("p.x", buffer); });
  EXPECT_TRUE(r.fatal);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.log, "error: property 'p.x' not found in config json file!\n");

  r = run_capturing([&] { config_get_number("p.q"); });
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.log, "error: incorrect type for property 'p.q' (string or number expected)!\n");

  r = run_capturing([&] { config_get_array("s"); });
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.log, "error: incorrect type for property 's' (json array expected)!\n");

  r = run_capturing([&] { config_get_array("t"); });
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.log, "error: property 't' not found in config json file!\n");
  EXPECT_EQ(config_get_array("p.q"), config_find(0, "p.q"));
}

TEST_F(ConfigTest, OverlongTextIsRejectedNotCut) {
  const std::string fits(CONFIG_TEXT_MAX - 1, 'x');
  const std::string too_long(CONFIG_TEXT_MAX, 'x');
  load_config("{\"a\": \"" + fits + "\", \"b\": \"" + too_long + "\", \"c\": [\"" + too_long +
              "\"]}");
  char buffer[CONFIG_TEXT_MAX];
  config_get_string("a", buffer);
  EXPECT_EQ(std::string(buffer), fits);
  FatalResult r = run_capturing([&] { config_get_string("b", buffer); });
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.log, "error: property 'b' is too long (1024 characters, at most 1023)!\n");
  r = run_capturing([&] { config_element_text("c", config_find(0, "c"), 0, buffer); });
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.log, "error: property 'c' is too long (1024 characters, at most 1023)!\n");
}

TEST_F(ConfigTest, ElementsAreWalkedPastNestedGroups) {
  load_config(R"({"g": [["a", "b"], ["c"]], "l": ["x", 2, {"o": 1}]})");
  const int32_t groups = config_find(0, "g");
  const int32_t second = config_element_token(groups, 1);
  char buffer[CONFIG_TEXT_MAX];
  config_element_text("g", second, 0, buffer);
  EXPECT_STREQ(buffer, "c");
  const int32_t list = config_find(0, "l");
  config_element_text("l", list, 1, buffer);
  EXPECT_STREQ(buffer, "2");
  EXPECT_EQ(config_element_token(list, 3), -1);

  FatalResult r = run_capturing([&] { config_element_text("l", list, 2, buffer); });
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.log,
            "error: incorrect type for element 2 of property 'l' (string or number expected)!\n");
  r = run_capturing([&] { config_element_text("g", groups, 0, buffer); });
  EXPECT_EQ(r.code, 2);
}

}  // namespace
