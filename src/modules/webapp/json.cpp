#include "json.h"

#include <cerrno>
#include <cstring>

namespace {

// Deeper text is refused long before the library's own limit matters; this
// bound only keeps the syntax check's recursion small.
constexpr int check_depth_max = 32;

// A syntax check of one JSON value (RFC 8259), which the library's decoder
// does not make: it takes garbage, text after the value and bad literals.
struct syntax {
	const char *p;
	const char *end;

	bool at_end() const { return p >= end; }

	void blanks()
	{
		while (!at_end() && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
			++p;
	}

	bool take(char c)
	{
		if (at_end() || *p != c)
			return false;
		++p;
		return true;
	}

	bool word(const char *w)
	{
		for (; *w; ++w)
			if (!take(*w))
				return false;
		return true;
	}

	static bool digit(char c) { return c >= '0' && c <= '9'; }

	static bool hex(char c)
	{
		return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
	}

	bool digits()
	{
		if (at_end() || !digit(*p))
			return false;
		while (!at_end() && digit(*p))
			++p;
		return true;
	}

	bool number()
	{
		take('-');
		if (take('0')) {
			if (!at_end() && digit(*p))
				return false;
		}
		else if (!digits())
			return false;
		if (take('.') && !digits())
			return false;
		if (!at_end() && (*p == 'e' || *p == 'E')) {
			++p;
			if (!take('+'))
				take('-');
			if (!digits())
				return false;
		}
		return true;
	}

	bool string()
	{
		if (!take('"'))
			return false;
		while (!at_end()) {
			unsigned char c = static_cast<unsigned char>(*p++);
			if (c == '"')
				return true;
			if (c < 0x20)
				return false;
			if (c != '\\')
				continue;
			if (at_end())
				return false;
			char e = *p++;
			if (e == 'u') {
				for (int i = 0; i < 4; ++i)
					if (at_end() || !hex(*p++))
						return false;
			}
			else if (!e || !strchr("\"\\/bfnrt", e))
				return false;
		}
		return false;
	}

	bool members(char close, bool named, int depth)
	{
		blanks();
		if (take(close))
			return true;
		for (;;) {
			blanks();
			if (named) {
				if (!string())
					return false;
				blanks();
				if (!take(':'))
					return false;
				blanks();
			}
			if (!value(depth))
				return false;
			blanks();
			if (take(close))
				return true;
			if (!take(','))
				return false;
		}
	}

	bool value(int depth)
	{
		if (at_end())
			return false;
		switch (*p) {
		case '{':
		case '[':
			if (depth >= check_depth_max)
				return false;
			++p;
			return members(p[-1] == '{' ? '}' : ']', p[-1] == '{', depth + 1);
		case '"':
			return string();
		case 't':
			return word("true");
		case 'f':
			return word("false");
		case 'n':
			return word("null");
		default:
			return number();
		}
	}
};

bool has_repeated_key(const struct odict *o)
{
	for (const struct le *le = o->lst.head; le; le = le->next) {
		const auto *e = static_cast<const struct odict_entry *>(le->data);
		if (odict_lookup(o, e->key) != e)
			return true;
	}
	return false;
}

}

int webapp_json_decode(struct odict **op, const char *str, size_t len)
{
	if (!op || (!str && len))
		return EINVAL;

	syntax s{str, str + len};
	s.blanks();
	if (s.at_end())
		return odict_alloc(op, 32);

	const char *begin = s.p;
	if (*begin != '{' || !s.value(0))
		return EBADMSG;
	const char *object_end = s.p;
	s.blanks();
	if (!s.at_end())
		return EBADMSG;

	struct odict *o = nullptr;
	int err = json_decode_odict(&o, 32, begin, static_cast<size_t>(object_end - begin), 8);
	if (err)
		return err;
	if (has_repeated_key(o)) {
		mem_deref(o);
		return EBADMSG;
	}
	*op = o;
	return 0;
}
