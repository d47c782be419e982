#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zvcacert.h"

namespace {

std::string read_file(const std::string &path)
{
	std::ifstream f(path);
	std::stringstream s;
	s << f.rdbuf();
	return s.str();
}

std::string mozilla_root(const char *name)
{
	std::string pem = read_file(std::string("/usr/share/ca-certificates/mozilla/") + name);
	EXPECT_NE(pem.find("-----BEGIN CERTIFICATE-----"), std::string::npos) << name;
	return pem;
}

struct recorder {
	struct tls *tls;
	std::vector<std::string> handed;
};

int record_and_add(void *target, const char *pem)
{
	auto *rec = static_cast<recorder *>(target);
	rec->handed.emplace_back(pem);
	return tls_add_capem(rec->tls, pem);
}

class Bundle : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(0, tls_alloc(&rec.tls, TLS_METHOD_SSLV23, nullptr, nullptr));
	}
	void TearDown() override
	{
		mem_deref(rec.tls);
	}

	int load(const std::string &bundle, std::string *warnings)
	{
		testing::internal::CaptureStderr();
		int err = zvcacert_load(bundle.c_str(), record_and_add, &rec);
		*warnings = testing::internal::GetCapturedStderr();
		return err;
	}

	recorder rec{};
};

TEST_F(Bundle, HandsOnlyCompleteBlocksAndCountsRefusals)
{
	std::string good1 = mozilla_root("ISRG_Root_X1.crt");
	std::string good2 = mozilla_root("DigiCert_Global_Root_G2.crt");
	std::string damaged = "-----BEGIN CERTIFICATE-----\nnot base64 at all!\n-----END CERTIFICATE-----";
	std::string bundle = "##\n## header\n##\n\nISRG Root X1\n============\n## SHA-256: 00\n" + good1 +
			     "\nbetween the blocks\n" + damaged + "\n\nDigiCert\n========\n" + good2 +
			     "\n-----BEGIN CERTIFICATE-----\nMIIB unterminated\n";

	std::string warnings;
	EXPECT_EQ(0, load(bundle, &warnings));
	ASSERT_EQ(rec.handed.size(), 3u);
	for (auto &pem : rec.handed) {
		EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
		EXPECT_TRUE(pem.ends_with("-----END CERTIFICATE-----")) << pem;
	}
	EXPECT_NE(good1.find(rec.handed[0]), std::string::npos);
	EXPECT_EQ(rec.handed[1], damaged);
	EXPECT_NE(warnings.find("zvcacert: 1 CA certificates could not be added"), std::string::npos)
		<< warnings;
}

TEST_F(Bundle, NothingAcceptedIsNotFound)
{
	std::string damaged = "-----BEGIN CERTIFICATE-----\n!!\n-----END CERTIFICATE-----\n";
	std::string warnings;
	EXPECT_EQ(ENOENT, load(damaged + damaged, &warnings));
	EXPECT_NE(warnings.find("zvcacert: 2 CA certificates could not be added"), std::string::npos);

	rec.handed.clear();
	EXPECT_EQ(ENOENT, load("no blocks here\n-----BEGIN CERTIFICATE-----\n", &warnings));
	EXPECT_TRUE(rec.handed.empty());
	EXPECT_EQ(warnings, "");
}

TEST_F(Bundle, BuiltInBundleIsAcceptedWhole)
{
	std::string bundle = zvcacert_pem();
	size_t blocks = 0;
	for (size_t at = 0; (at = bundle.find("-----BEGIN CERTIFICATE-----", at)) != std::string::npos; at++)
		blocks++;
	EXPECT_GT(blocks, 100u);

	std::string warnings;
	EXPECT_EQ(0, load(bundle, &warnings));
	EXPECT_EQ(rec.handed.size(), blocks);
	EXPECT_EQ(warnings, "");
	EXPECT_EQ(0, zvcacert_tls_add(rec.tls));
}

TEST(BundleArguments, NullTargetsAreRefused)
{
	EXPECT_EQ(EINVAL, zvcacert_tls_add(nullptr));
	EXPECT_EQ(EINVAL, zvcacert_http_client_alloc(nullptr, nullptr));
}

}

int main(int argc, char **argv)
{
	::testing::InitGoogleTest(&argc, argv);
	libre_init();
	int result = RUN_ALL_TESTS();
	libre_close();
	return result;
}
