#include "config/config.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

// Text of the token a path names, or "<none>".
std::string found(const char* path) {
  const int32_t i = config_find(0, path);
  if (i < 0) return "<none>";
  const jsmntok_t& t = config_document.tokens[i];
  return std::string(config_document.text + t.start, static_cast<size_t>(t.end - t.start));
}

TEST(ConfigTest, DottedPathsMatchWholeComponentsAndGettersStopWithExactErrors) {
  reset_process_state();
  // "ab" must not answer "a.b"; the first of duplicate keys wins; unquoted keys are not keys;
  // members after a nested subtree are reached by skipping it whole; arrays are not descended.
  load_config(R"({"ab": 1, "a": {"b": 2}, "a": 3, k: 4, "x": [{"y": [1]}], "f": 5})");
  const char* paths[][2] = {{"a.b", "2"},    {"ab", "1"}, {"a", "{\"b\": 2}"}, {"a.bc", "<none>"},
                            {"k", "<none>"}, {"f", "5"},  {"a.b.c", "<none>"}, {"x.y", "<none>"}};
  for (const auto& c : paths) EXPECT_EQ(found(c[0]), c[1]) << c[0];

  // Getters read strings and numbers alike and stop with exact errors, code 2.
  const std::string fits(CONFIG_TEXT_MAX - 1, 'x');
  const std::string too_long(CONFIG_TEXT_MAX, 'x');
  load_config(R"({"s": "12", "n": 12, "f": "0.5", "y": "yes", "Y": "YES", "p": {"q": [1]},)"
              R"( "l": [["a"], "x", {"o": 1}], "t": ")" +
              fits + R"(", "b": ")" + too_long + R"(", "c": [")" + too_long + "\"]}");
  EXPECT_EQ((std::vector<double>{1.0 * config_get_integer("s"), 1.0 * config_get_integer("n"),
                                 config_get_number("f"), 1.0 * config_get_flag("y"),
                                 1.0 * config_get_flag("Y")}),
            (std::vector<double>{12, 12, 0.5, 1, 0}));
  char buffer[CONFIG_TEXT_MAX];
  const int32_t list = config_find(0, "l");
  const std::string too_long_error = "' is too long (1024 characters, at most 1023)!\n";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { config_get_string("p.x", buffer); },
       "error: property 'p.x' not found in config json file!\n"},
      {[&] { config_get_number("p.q"); },
       "error: incorrect type for property 'p.q' (string or number expected)!\n"},
      {[&] { config_get_array("s"); },
       "error: incorrect type for property 's' (json array expected)!\n"},
      {[&] { config_element_text("l", list, 2, buffer); },
       "error: incorrect type for element 2 of property 'l' (string or number expected)!\n"},
      {[&] { config_get_string("b", buffer); }, "error: property 'b" + too_long_error},
      {[&] { config_element_text("c", config_find(0, "c"), 0, buffer); },
       "error: property 'c" + too_long_error},
  };
  for (const auto& [body, error] : cases) {
    const FatalResult r = run_capturing(body);
    EXPECT_EQ(std::to_string(r.code) + r.log, "2" + error);
  }
  config_element_text("l", list, 1, buffer);
  EXPECT_STREQ(buffer, "x");
  config_get_string("t", buffer);
  EXPECT_EQ(buffer, fits);
}

}  // namespace
