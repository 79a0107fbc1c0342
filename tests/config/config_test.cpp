#include "config/config.h"

#include <cstdint>

#include "test_support.h"

TEST(ConfigTest, DottedPathsMatchWholeKeysAndGettersStopWithExactErrors) {
  const std::string fits(CONFIG_TEXT_MAX - 1, 'x'), too_long(CONFIG_TEXT_MAX, 'x');
  // "ab" must not answer "a.b", the first of duplicate keys wins, and a dotted path does not
  // descend into arrays. A text is a JSON string: a number given for a file name is no name.
  const ConfigDocument c =
      config_of(R"({"ab": 1, "a": {"b": 2}, "a": 3, "x": [{"y": 5}], "f": " 6 ", "l": [{}],)"
                R"( "n": "1o00", "e": "", "w": [1, "abc"], "h": "0x10", "o": 5, "m": ["a", 5],)"
                R"( "t": ")" +
                fits + R"(", "b": ")" + too_long + R"(", "c": [")" + too_long + "\"]}");
  // "x[0].y" is a member of element 0 of the array "x"; an index past the end, one into an
  // object, or one not closed finds nothing.
  EXPECT_EQ((std::vector<double>{1.0 * config_get_integer(c, "a.b"),
                                 1.0 * config_get_integer(c, "ab"), config_get_number(c, "f"),
                                 config_get_number(c, "x[0].y"), config_get_number(c, "w[0]")}),
            (std::vector<double>{2, 1, 6, 5, 1}));
  for (const char* path : {"x[1].y", "a[0]", "x[0", "x[]", "x[0]y"})
    EXPECT_EQ(config_find(c, 0, path), -1) << path;
  char text[CONFIG_TEXT_MAX];
  config_get_string(c, "t", text);
  EXPECT_EQ(text, fits);
  const std::string too_long_error = "' is too long (1024 characters, at most 1023)";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { config_get_number(c, "a.bc"); }, "property 'a.bc' not found in config json file"},
      {[&] { config_get_text(c, "o", text); },
       "incorrect type for property 'o' (json string expected)"},
      {[&] { config_get_text_list(c, "m"); },
       "incorrect type for element 1 of property 'm' (json string expected)"},
      {[&] { config_get_number(c, "x.y"); }, "property 'x.y' not found in config json file"},
      {[&] { config_get_number(c, "a"); },
       "incorrect type for property 'a' (string or number expected)"},
      {[&] { config_get_array(c, "f"); }, "incorrect type for property 'f' (json array expected)"},
      {[&] { config_element_text(c, "l", config_get_array(c, "l"), 0, text); },
       "incorrect type for element 0 of property 'l' (json string expected)"},
      {[&] { config_get_string(c, "b", text); }, "property 'b" + too_long_error},
      {[&] { config_get_integer(c, "n"); }, "property 'n' is not a number ('1o00')"},
      {[&] { config_get_number(c, "e"); }, "property 'e' is not a number ('')"},
      {[&] { config_get_number(c, "h"); }, "property 'h' is not a number ('0x10')"},
      {[&] { config_element_number(c, "w", config_get_array(c, "w"), 1); },
       "element 1 of property 'w' is not a number ('abc')"},
      {[&] { config_element_text(c, "c", config_get_array(c, "c"), 0, text); },
       "property 'c" + too_long_error},
  };
  for (const auto& [body, error] : cases) EXPECT_EQ(outcome(body), "2error: " + error + "!\n");
  // A count is a whole number in any spelling; a fraction, or a value that 32 bits cannot hold,
  // is the property's out-of-range error, with the text on a line of its own, never a number cut,
  // wrapped or read up to the first letter.
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
    EXPECT_EQ(outcome([&, k = key] { config_get_integer(counts, ("p." + k).c_str()); }),
              "1error: property '" + key + "' out of range!\n  property 'p." + key + "' is '" +
                  value + "', accepted a whole number of 32 bits\n");
  }
}

// Strings are decoded (the escapes Python's json.dump writes among them, keys too); a byte-order
// mark is skipped; what jsmn's non-strict mode would let through is an error at its place; a key
// given twice is read from its first place, with a warning naming both lines.
TEST(ConfigTest, TextIsReadAsJson) {
  const ConfigDocument c = config_of(
      "\xEF\xBB\xBF"
      R"({"a": "sub\\dir.asc", "b": "m\u00e4sk.asc", "c": "out\/pre.asc",)"
      R"( "d": "\"\b\f\n\r\t", "e": "\ud83d\ude00\u20AC\u0080", "k\u0065y": "x",)"
      "\n"
      R"( "p": {"o": "first"}, "p": {"o": "second", "o": "third"}})");
  std::vector<std::string> texts;
  for (const char* path : {"a", "b", "c", "d", "e", "key", "p.o"}) {
    char text[CONFIG_TEXT_MAX];
    config_get_text(c, path, text);
    texts.push_back(text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"sub\\dir.asc", "m\xC3\xA4sk.asc", "out/pre.asc",
                                             "\"\b\f\n\r\t", "\xF0\x9F\x98\x80\xE2\x82\xAC\xC2\x80",
                                             "x", "first"}));
  EXPECT_EQ(c.warnings, (std::vector<std::string>{
                            "! key 'p' given twice (lines 2 and 2): the first is read\n",
                            "! key 'p.o' given twice (lines 2 and 2): the first is read\n"}));
  EXPECT_EQ(
      config_of("{\"p\": 1,\n\n \"p\": 2}").warnings,
      (std::vector<std::string>{"! key 'p' given twice (lines 1 and 3): the first is read\n"}));
  const std::tuple<std::string, int32_t, int32_t, int32_t> errors[] = {
      // text, code, place
      {"{\"a\": 1}xyz", CONFIG_ERROR_INVAL, 1, 9},
      {"{\"a\": 1}\n{\"b\": 2}", CONFIG_ERROR_INVAL, 2, 1},
      {"{\"a\": [1,,2]}", CONFIG_ERROR_INVAL, 1, 10},
      {"{\"a\": 1,}", CONFIG_ERROR_INVAL, 1, 9},
      {"{\"a\": 0x7d0}", CONFIG_ERROR_INVAL, 1, 8},
      {"{\"a\": 01}", CONFIG_ERROR_INVAL, 1, 8},
      {"{\"a\": -}", CONFIG_ERROR_INVAL, 1, 8},
      {"{\"a\": 1.e5}", CONFIG_ERROR_INVAL, 1, 9},
      {"{\"a\": yes}", CONFIG_ERROR_INVAL, 1, 7},
      {"{\"a\" 1}", CONFIG_ERROR_INVAL, 1, 6},
      {"{a: 1}", CONFIG_ERROR_INVAL, 1, 2},
      {"{\"\xC3\xA4\": \"\\ud800x\"}", CONFIG_ERROR_INVAL, 1, 8},
      {"{\"a\": \"\\udfff\"}", CONFIG_ERROR_INVAL, 1, 8},
      {"{\"a\": \"\\u0000\"}", CONFIG_ERROR_INVAL, 1, 8},
      {"{\"a\": \"\\u12\"}", CONFIG_ERROR_INVAL, 1, 7},
      {"{\"a\": \"\\u00g1\"}", CONFIG_ERROR_INVAL, 1, 7},
      {"{\"a\":\n [1, 2", CONFIG_ERROR_PART, 2, 7},
  };
  for (const auto& [text, code, line, column] : errors) {
    ConfigDocument d;
    EXPECT_EQ(
        (std::vector<int32_t>{config_load_text(d, text.c_str()), d.error_line, d.error_column}),
        (std::vector<int32_t>{code, line, column}))
        << text;
  }
}
