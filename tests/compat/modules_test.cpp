#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "sipstack.h"

namespace {

std::vector<std::string> events;
int failing_init_error = 0;

#define FAKE_MODULE(name, type, init_result)                                  \
	int name##_init(void)                                                 \
	{                                                                     \
		events.push_back("init " #name);                              \
		return init_result;                                           \
	}                                                                     \
	int name##_close(void)                                                \
	{                                                                     \
		events.push_back("close " #name);                             \
		return 0;                                                     \
	}                                                                     \
	const struct mod_export exports_##name = {#name, type, name##_init, name##_close};

FAKE_MODULE(alpha, "application", 0)
FAKE_MODULE(beta, "sound", 0)
FAKE_MODULE(gamma, "application", 0)
FAKE_MODULE(broken, "codec", failing_init_error)

const struct zv_static_module table[] = {
	{"alpha", &exports_alpha},
	{"beta", &exports_beta},
	{"gamma", &exports_gamma},
	{"broken", &exports_broken},
	{"incore", nullptr},
};

std::string warnings;
void capture_warnings(uint32_t level, const char *msg)
{
	if (level >= LEVEL_WARN)
		warnings += msg;
}
struct log capture = {LE_INIT, capture_warnings};

class Loader : public ::testing::Test {
protected:
	void SetUp() override
	{
		events.clear();
		warnings.clear();
		log_register_handler(&capture);
		log_enable_stdout(false);
	}
	void TearDown() override
	{
		mod_close();
		log_unregister_handler(&capture);
		log_enable_stdout(true);
	}

	void configure(const std::string &text)
	{
		ASSERT_EQ(0, conf_configure_buf(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
	}
};

TEST_F(Loader, LoadsByNameBeforeTheDotInFileOrderThenApplications)
{
	failing_init_error = 0;
	configure("module_app\t\tGamma.so\n"
		  "module\t\t\tBETA.so\n"
		  "module\t\t\talpha.dll.so\n"
		  "module\t\t\tincore.so\n"
		  "module\t\t\tbeta.so\n");
	ASSERT_EQ(0, zv_conf_modules(table, sizeof(table) / sizeof(table[0])));
	EXPECT_EQ(events, (std::vector<std::string>{"init beta", "init alpha", "init gamma"}));
	EXPECT_EQ(warnings, "");

	// Applications leave in load order, the others stay until mod_close.
	events.clear();
	zv_module_app_unload();
	EXPECT_EQ(events, (std::vector<std::string>{"close alpha", "close gamma"}));
	events.clear();
	mod_close();
	EXPECT_EQ(events, (std::vector<std::string>{"close beta"}));
}

TEST_F(Loader, FailingInitIsLoggedWithItsOwnErrorAndLoadingGoesOn)
{
	failing_init_error = EADDRINUSE;
	configure("module\t\t\tbroken.so\nmodule\t\t\tbeta.so\n");
	ASSERT_EQ(0, zv_conf_modules(table, sizeof(table) / sizeof(table[0])));
	EXPECT_EQ(events, (std::vector<std::string>{"init broken", "close broken", "init beta"}));
	EXPECT_NE(warnings.find("module broken.so: Address already in use [98]"), std::string::npos)
		<< warnings;
}

TEST_F(Loader, UnknownNameIsNeverLoadedFromAFile)
{
	// A library planted in the current folder under the configured name
	// must not run: its constructor would leave a mark.
	char dir_tmpl[] = "/tmp/zvmod-XXXXXX";
	std::string dir = mkdtemp(dir_tmpl);
	std::string mark = dir + "/planted-ran";
	std::string src = dir + "/planted.c";
	FILE *f = std::fopen(src.c_str(), "w");
	std::fprintf(f,
		     "#include <stdio.h>\n"
		     "__attribute__((constructor)) static void run(void)"
		     "{ FILE *f = fopen(\"%s\", \"w\"); if (f) fclose(f); }\n"
		     "const struct { const char *n, *t; void *i, *c; } exports = {\"planted\", \"codec\", 0, 0};\n",
		     mark.c_str());
	std::fclose(f);
	ASSERT_EQ(0, std::system(("cc -shared -fPIC -o " + dir + "/planted.so " + src).c_str()));

	char cwd[4096];
	ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
	ASSERT_EQ(0, chdir(dir.c_str()));
	configure("module\t\t\tplanted.so\nmodule\t\t\tbeta.so\n");
	ASSERT_EQ(0, zv_conf_modules(table, sizeof(table) / sizeof(table[0])));
	ASSERT_EQ(0, chdir(cwd));

	EXPECT_NE(0, access(mark.c_str(), F_OK));
	EXPECT_NE(warnings.find("module planted.so: No such file or directory [2]"), std::string::npos)
		<< warnings;
	EXPECT_EQ(events, (std::vector<std::string>{"init beta"}));
	std::system(("rm -rf " + dir).c_str());
}

}
