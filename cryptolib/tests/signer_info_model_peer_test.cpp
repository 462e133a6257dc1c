// The CMS signer window's rows for messages that `openssl cms -sign` made,
// checked against what `openssl asn1parse` reads in them: the signing time,
// the message digest and the signature value.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/tests/cert_ui_fixture.h"
#include "cryptolib/ui/signer_info_labels.h"
#include "cryptolib/ui/signer_info_model.h"
#include "platform/tests/test_pki.h"
#include "platform/testing/test_support.h"

namespace vel::crypto::ui {
namespace {

using test::certui::Language;
using test::certui::Openssl;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The text after the last ':' of the first line at or after `from` that
// contains `what`; empty when none.
std::string ValueAfter(const std::vector<std::string>& lines, size_t from, const std::string& what,
                       size_t* at = nullptr) {
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].find(what) == std::string::npos) continue;
    if (at != nullptr) *at = i;
    return lines[i].substr(lines[i].rfind(':') + 1);
  }
  return {};
}

size_t LineOf(const std::vector<std::string>& lines, const std::string& what) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(what) != std::string::npos) return i;
  return lines.size();
}

std::string Compact(std::string hex) {
  std::erase_if(hex, [](char c) { return c == ' ' || c == '\r' || c == '\n'; });
  return hex;
}

std::vector<uint32_t> LabelIds(const std::vector<SignerRow>& rows) {
  std::vector<uint32_t> out;
  for (const SignerRow& r : rows) out.push_back(r.label_id);
  return out;
}

class OpensslSigned : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    content_ = dir_ / "content.txt";
    test::WriteFileText(content_, "Umowa nr 7/2009\n");
  }

  // Signs the content with `openssl cms -sign` and the given options.
  std::filesystem::path Sign(const std::string& name, const std::string& options) {
    const std::filesystem::path out = dir_ / (name + ".der");
    Openssl("cms -sign -binary -nodetach -in " + test::ShellQuote(content_.string()) +
            " -signer " + test::ShellQuote(pki_.CertFile(pki_.signer).string()) + " -inkey " +
            test::ShellQuote(pki_.KeyFile(pki_.signer).string()) + " -outform DER -out " +
            test::ShellQuote(out.string()) + " " + options);
    return out;
  }

  test::TestPki pki_;
  test::TempDir dir_;
  std::filesystem::path content_;
};

TEST_F(OpensslSigned, RowsAgreeWithWhatAsn1ParseReads) {
  const std::filesystem::path file = Sign("default", "");
  const std::vector<uint8_t> message = test::ReadFileBytes(file);
  const std::unique_ptr<CmsSignerNode> root =
      CmsSignerNode::BuildTree(message.data(), static_cast<uint32_t>(message.size()), nullptr, 0);
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->Verify(), 0u);

  const std::vector<std::string> parsed =
      Lines(Openssl("asn1parse -inform DER -in " + test::ShellQuote(file.string())));
  const std::string utc = ValueAfter(parsed, LineOf(parsed, ":signingTime"), "UTCTIME");
  ASSERT_EQ(utc.size(), 13u) << utc;
  const std::string signing_time = "20" + utc.substr(0, 2) + "-" + utc.substr(2, 2) + "-" +
                                   utc.substr(4, 2) + " " + utc.substr(6, 2) + ":" +
                                   utc.substr(8, 2) + ":" + utc.substr(10, 2) + " GMT";
  const std::string digest = ValueAfter(parsed, LineOf(parsed, ":messageDigest"), "[HEX DUMP]");
  ASSERT_EQ(digest.size(), 64u);  // SHA-256, OpenSSL's default
  std::string signature;
  for (const std::string& line : parsed)
    if (line.find("OCTET STRING") != std::string::npos && line.find("[HEX DUMP]") != std::string::npos)
      signature = line.substr(line.rfind(':') + 1);

  for (uint32_t language : {kLanguageEnglish, kLanguagePolish}) {
    Language l(language);
    const SignerInfoModel m = BuildSignerInfoModel(root->signer_info());
    ASSERT_EQ(m.status, 0u);
    ASSERT_EQ(m.general.size(), 5u);
    EXPECT_EQ(m.general[0].shown, "V1");
    EXPECT_EQ(m.general[1].shown, "CN=Test CA, O=Vellorum Test, C=PL");
    EXPECT_EQ(m.general[2].shown, "00 80 11 22 33 ");
    EXPECT_EQ(m.general[3].shown, GetCmsSignerLabel(207));  // SHA-256 is not named
    EXPECT_EQ(m.general[4].shown, "RSA");
    EXPECT_EQ(Compact(m.general[4].value), signature);

    // contentType, signingTime, messageDigest; the S/MIME capabilities get no row.
    ASSERT_EQ(LabelIds(m.signed_attributes), (std::vector<uint32_t>{304, 306, 307}));
    EXPECT_EQ(m.signed_attributes[0].shown, GetCmsSignerLabel(305));
    EXPECT_EQ(m.signed_attributes[1].shown, signing_time);
    EXPECT_EQ(m.signed_attributes[1].value, signing_time);
    EXPECT_EQ(Compact(m.signed_attributes[2].shown), digest);
    EXPECT_TRUE(m.unsigned_attributes.empty());
  }
}

TEST_F(OpensslSigned, Sha1AndNoAttributes) {
  const std::filesystem::path sha1 = Sign("sha1", "-md sha1");
  const std::filesystem::path bare = Sign("bare", "-md sha1 -noattr");
  for (const auto& [file, signed_rows] :
       {std::pair{sha1, std::vector<uint32_t>{304, 306, 307}}, std::pair{bare, std::vector<uint32_t>{}}}) {
    const std::vector<uint8_t> message = test::ReadFileBytes(file);
    const std::unique_ptr<CmsSignerNode> root =
        CmsSignerNode::BuildTree(message.data(), static_cast<uint32_t>(message.size()), nullptr, 0);
    ASSERT_NE(root, nullptr);
    const SignerInfoModel m = BuildSignerInfoModel(root->signer_info());
    ASSERT_EQ(m.status, 0u);
    ASSERT_EQ(m.general.size(), 5u);
    EXPECT_EQ(m.general[3].shown, "SHA1");
    EXPECT_EQ(LabelIds(m.signed_attributes), signed_rows) << file;
    EXPECT_TRUE(m.unsigned_attributes.empty());
  }
}

}  // namespace
}  // namespace vel::crypto::ui
