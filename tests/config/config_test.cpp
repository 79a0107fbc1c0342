#include "config/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

TEST(ConfigTest, DottedPathsMatchWholeKeysAndGettersStopWithExactErrors) {
  const std::string fits(CONFIG_TEXT_MAX - 1, 'x'), too_long(CONFIG_TEXT_MAX, 'x');
  // "ab" must not answer "a.b", the first of duplicate keys wins, an unquoted key is no key, and
  // paths do not descend into arrays.
  const ConfigDocument c =
      config_of(R"({"ab": 1, "a": {"b": 2}, "a": 3, k: 4, "x": [{"y": 5}], "f": " 6 ", "l": [{}],)"
                R"( "n": "1o00", "e": "", "w": [1, abc],)"
                R"( "t": ")" +
                fits + R"(", "b": ")" + too_long + R"(", "c": [")" + too_long + "\"]}");
  EXPECT_EQ((std::vector<double>{1.0 * config_get_integer(c, "a.b"),
                                 1.0 * config_get_integer(c, "ab"), config_get_number(c, "f")}),
            (std::vector<double>{2, 1, 6}));
  char text[CONFIG_TEXT_MAX];
  config_get_string(c, "t", text);
  EXPECT_EQ(text, fits);
  const std::string too_long_error = "' is too long (1024 characters, at most 1023)";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { config_get_number(c, "a.bc"); }, "property 'a.bc' not found in config json file"},
      {[&] { config_get_number(c, "k"); }, "property 'k' not found in config json file"},
      {[&] { config_get_number(c, "x.y"); }, "property 'x.y' not found in config json file"},
      {[&] { config_get_number(c, "a"); },
       "incorrect type for property 'a' (string or number expected)"},
      {[&] { config_get_array(c, "f"); }, "incorrect type for property 'f' (json array expected)"},
      {[&] { config_element_text(c, "l", config_get_array(c, "l"), 0, text); },
       "incorrect type for element 0 of property 'l' (string or number expected)"},
      {[&] { config_get_string(c, "b", text); }, "property 'b" + too_long_error},
      {[&] { config_get_integer(c, "n"); }, "property 'n' is not a number ('1o00')"},
      {[&] { config_get_number(c, "e"); }, "property 'e' is not a number ('')"},
      {[&] { config_element_number(c, "w", config_get_array(c, "w"), 1); },
       "element 1 of property 'w' is not a number ('abc')"},
      {[&] { config_element_text(c, "c", config_get_array(c, "c"), 0, text); },
       "property 'c" + too_long_error},
  };
  for (const auto& [body, error] : cases) {
    const FatalResult r = run_capturing(body);
    EXPECT_EQ(std::to_string(r.code) + r.log, "2error: " + error + "!\n");
  }
  // A count is a whole number in any spelling; a fraction, or a value that 32 bits cannot hold,
  // is the property's out-of-range error with its text, never a number cut, wrapped or read up to
  // the first letter.
  const ConfigDocument counts = config_of(
      R"({"p": {"nmovs": 1e5, "low": "-2147483648", "high": 2147483647.0,)"
      R"( "limit": 2147483648, "nstages": 4294967306, "half": 1.5, "under": -2147483649}})");
  EXPECT_EQ((std::vector<int32_t>{config_get_integer(counts, "p.nmovs"),
                                  config_get_integer(counts, "p.low"),
                                  config_get_integer(counts, "p.high")}),
            (std::vector<int32_t>{100000, INT32_MIN, INT32_MAX}));
  // A document of exactly as many tokens as fit holds them all, and none more.
  std::string full = "[";
  for (int i = 1; i < CONFIG_MAX_TOKENS; ++i) full += i == 1 ? "0" : ",0";
  const ConfigDocument most = config_of(full + "]");
  EXPECT_EQ(most.token_count, CONFIG_MAX_TOKENS);
  EXPECT_EQ(most.tokens.size(), size_t{CONFIG_MAX_TOKENS});
  // The document itself is token 0: one member here, which holds seven.
  EXPECT_EQ((std::vector<int32_t>{config_child_count(counts, 0), config_child_count(counts, 2),
                                  config_child_count(counts, -1)}),
            (std::vector<int32_t>{1, 7, -1}));
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"limit", "2147483648"},
                                   {"nstages", "4294967306"},
                                   {"half", "1.5"},
                                   {"under", "-2147483649"}}) {
    const FatalResult r =
        run_capturing([&, k = key] { config_get_integer(counts, ("p." + k).c_str()); });
    EXPECT_EQ(std::to_string(r.code) + r.log,
              "1error: property '" + key + "' out of range ('" + value + "')!\n");
  }
}
