#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "json.h"

namespace {

std::string nested(int levels)
{
	std::string s;
	for (int i = 0; i < levels; ++i)
		s += "{\"a\":";
	s += "1";
	for (int i = 0; i < levels; ++i)
		s += "}";
	return s;
}

struct decode_case {
	const char *name;
	std::string text;
	int err;
	size_t members;
};

class JsonDecode : public testing::TestWithParam<decode_case> {};

TEST_P(JsonDecode, StrictObject)
{
	const decode_case &c = GetParam();
	struct odict *o = nullptr;
	int err = webapp_json_decode(&o, c.text.data(), c.text.size());
	EXPECT_EQ(err, c.err) << c.text;
	if (c.err == 0) {
		ASSERT_NE(o, nullptr);
		EXPECT_EQ(odict_count(o, false), c.members);
	}
	else
		EXPECT_EQ(o, nullptr);
	mem_deref(o);
}

std::string big_object()
{
	std::string s = "{";
	for (int i = 0; s.size() < 20000; ++i)
		s += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":\"" + std::string(40, 'x') + "\"";
	return s + "}";
}

INSTANTIATE_TEST_SUITE_P(
	Cases, JsonDecode,
	testing::Values(
		decode_case{"empty", "", 0, 0},
		decode_case{"blanks", " \r\n\t ", 0, 0},
		decode_case{"object", "{\"command\":\"x\",\"n\":2}", 0, 2},
		decode_case{"trailing_blanks", "{\"a\":true}\r\n  ", 0, 1},
		decode_case{"garbage", "garbage", EBADMSG, 0},
		decode_case{"array", "[1]", EBADMSG, 0},
		decode_case{"string", "\"x\"", EBADMSG, 0},
		decode_case{"trailing_text", "{\"a\":1} x", EBADMSG, 0},
		decode_case{"second_object", "{\"a\":1}{\"b\":2}", EBADMSG, 0},
		decode_case{"repeated_key", "{\"a\":1,\"b\":2,\"a\":3}", EBADMSG, 0},
		decode_case{"repeated_key_escaped", "{\"a\":1,\"\\u0061\":3}", EBADMSG, 0},
		decode_case{"nested_repeat_is_kept", "{\"a\":{\"b\":1,\"b\":2}}", 0, 1},
		decode_case{"bad_literal", "{\"a\":tru}", EBADMSG, 0},
		decode_case{"unterminated", "{\"a\":1", EBADMSG, 0},
		decode_case{"leading_zero", "{\"a\":01}", EBADMSG, 0},
		decode_case{"missing_colon", "{\"a\" 1}", EBADMSG, 0},
		decode_case{"trailing_comma", "{\"a\":1,}", EBADMSG, 0},
		decode_case{"raw_newline_in_string", "{\"a\":\"x\ny\"}", EBADMSG, 0},
		decode_case{"bad_escape", "{\"a\":\"\\x\"}", EBADMSG, 0},
		decode_case{"nul_inside", std::string("{\"a\":1}\0", 8), EBADMSG, 0},
		decode_case{"depth_9", nested(9), 0, 1},
		decode_case{"depth_10", nested(10), EOVERFLOW, 0},
		decode_case{"depth_1000", nested(1000), EBADMSG, 0}),
	[](const testing::TestParamInfo<decode_case> &info) { return std::string(info.param.name); });

TEST(JsonDecode, BigObjectKeepsEveryMember)
{
	std::string s = big_object();
	ASSERT_GE(s.size(), 20000u);
	struct odict *o = nullptr;
	ASSERT_EQ(webapp_json_decode(&o, s.data(), s.size()), 0);
	EXPECT_GT(odict_count(o, false), 400u);
	EXPECT_NE(odict_string(o, "k0"), nullptr);
	mem_deref(o);
}

TEST(JsonDecode, ValuesArriveDecoded)
{
	const std::string s = "{\"name\":\"caf\\u00e9 \\\"x\\\"\",\"id\":-7,\"ok\":false}";
	struct odict *o = nullptr;
	ASSERT_EQ(webapp_json_decode(&o, s.data(), s.size()), 0);
	EXPECT_STREQ(odict_string(o, "name"), "caf\xc3\xa9 \"x\"");
	const struct odict_entry *id = odict_get_type(o, ODICT_INT, "id");
	ASSERT_NE(id, nullptr);
	EXPECT_EQ(id->u.integer, -7);
	mem_deref(o);
}

}
