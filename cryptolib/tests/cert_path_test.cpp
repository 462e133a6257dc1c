// The certification-path check over a PKI made in the test: path building
// from the stores and from a signature's lists, pruning, revocation with the
// CRLs of the CRL store, the bounds on hostile issuer sets, and the export.
#include "cryptolib/cert_path.h"

#include <gtest/gtest.h>

#include "cryptolib/crl_store.h"
#include "cryptolib/tests/path_fixture.h"

namespace vel::crypto {
namespace {

using test::path::Ca;
using test::path::CrlOptions;
using test::path::DistributionPoint;
using test::path::IssuingDistributionPoint;
using test::path::Issue;
using test::path::kDay;
using test::path::Leaf;
using test::path::MakeCrl;
using test::path::Party;
using test::path::StoreFolder;

constexpr uint32_t kUser = CERT_SYSTEM_STORE_CURRENT_USER;
constexpr uint32_t kOffline = 1;
constexpr LibraryErrorCode kAlone = 87;

// root -> ca -> leaf, root in "ROOT", ca in "CA".
class PathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_cert = Issue(root, root, Ca(1));
    ca_cert = Issue(ca, root, Ca(2));
    leaf_cert = Issue(leaf, ca, Leaf(3));
    stores.AddCert("ROOT", root_cert);
    stores.AddCert("CA", ca_cert);
  }

  LibraryErrorCode Check(const CertPtr& cert, uint32_t mode = kOffline,
                         LibraryErrorCode* last_error = nullptr) {
    X509ContextPtr ctx = MakeX509Context();
    SetCertificateContext(ctx.get(), cert);
    const LibraryErrorCode r = VerifyCertificate(ctx.get(), kUser, mode);
    if (last_error != nullptr) *last_error = ctx->last_error;
    return r;
  }

  void StoreCurrentCrls() {
    stores.AddCrl(MakeCrl(root));
    stores.AddCrl(MakeCrl(ca));
  }

  StoreFolder stores;
  Party root{"Test Root"}, ca{"Test CA"}, leaf{"Test Leaf"};
  CertPtr root_cert, ca_cert, leaf_cert;
};

TEST_F(PathTest, GoodPathWithCurrentCrlsIsCorrect) {
  StoreCurrentCrls();
  LibraryErrorCode last = 1;
  EXPECT_EQ(Check(leaf_cert, kOffline, &last), 0u);
  EXPECT_EQ(last, 0u);
  EXPECT_EQ(Check(ca_cert), 0u);  // a CA certificate is checked the same way
}

TEST_F(PathTest, RevocationOnEveryLevel) {
  struct Case {
    const char* what;
    std::vector<uint8_t> leaf_revoked, ca_revoked;
    LibraryErrorCode want;
  } cases[] = {
      {"leaf listed by its CA", {0x03}, {}, CERT_E_REVOKED},
      {"CA listed by the root", {}, {0x02}, CERT_E_REVOKED},
      {"another serial listed", {0x33}, {0x22}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CrlOptions ca_crl, root_crl;
    if (!c.leaf_revoked.empty()) ca_crl.revoked = {c.leaf_revoked};
    if (!c.ca_revoked.empty()) root_crl.revoked = {c.ca_revoked};
    stores.AddCrl(MakeCrl(ca, ca_crl));
    stores.AddCrl(MakeCrl(root, root_crl));
    EXPECT_EQ(Check(leaf_cert), c.want);
  }
}

// "No CRL" is never a pass: each of these leaves some certificate of the
// only path without a CRL that answered for it.
TEST_F(PathTest, MissingOrUnusableCrlsLeaveTheCheckUndone) {
  struct Case {
    const char* what;
    bool root_crl;
    CrlOptions ca_crl;
    bool ca_crl_present;
  } cases[] = {
      {"no CRLs at all", false, {}, false},
      {"only the CA's CRL", false, {}, true},
      {"only the root's CRL", true, {}, false},
      {"CA's CRL past its next update", true, {.this_update = -10 * kDay, .next_update = -kDay}, true},
      {"CA's CRL not yet valid", true, {.this_update = 2 * kDay, .next_update = 9 * kDay}, true},
      {"CA's CRL is a delta CRL", true, {.delta = true}, true},
      {"CA's key signed a CRL of another name", true, {.issuer_name = "Other CA"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StoreFolder fresh;  // a new, empty store folder per case
    fresh.AddCert("ROOT", root_cert);
    fresh.AddCert("CA", ca_cert);
    if (c.root_crl) fresh.AddCrl(MakeCrl(root));
    if (c.ca_crl_present) fresh.AddCrl(MakeCrl(ca, c.ca_crl));
    LibraryErrorCode last = 0;
    EXPECT_EQ(Check(leaf_cert, kOffline, &last), CRYPT_E_NO_REVOCATION_CHECK);
    EXPECT_EQ(Check(leaf_cert, 0, &last), CRYPT_E_NO_REVOCATION_CHECK);  // no addresses
    EXPECT_NE(last, 0u);
  }
}

// The CA's CRL names it in another form than the leaf's issuer field
// ("Test CA" as UTF8String): another string type, case or spacing is the
// same name, and the CRL that lists the leaf answers for it; a name that
// differs otherwise leaves the leaf unchecked.
TEST_F(PathTest, CrlNamingItsCaInAnotherFormAnswers) {
  struct Case {
    const char* what;
    int type;  // of the common name's value
    std::string value;
    bool extra_rdn;
    LibraryErrorCode want;
  } cases[] = {
      {"PrintableString", V_ASN1_PRINTABLESTRING, "Test CA", false, CERT_E_REVOKED},
      {"case, inner and outer spaces", V_ASN1_UTF8STRING, "  test   CA ", false, CERT_E_REVOKED},
      {"tab and upper case", V_ASN1_UTF8STRING, "TEST\tCA", false, CERT_E_REVOKED},
      {"BMPString", V_ASN1_BMPSTRING, std::string("\0T\0e\0s\0t\0 \0C\0A", 14), false,
       CERT_E_REVOKED},
      {"another character", V_ASN1_UTF8STRING, "Test-CA", false, CRYPT_E_NO_REVOCATION_CHECK},
      {"space inside a word", V_ASN1_UTF8STRING, "Te st CA", false, CRYPT_E_NO_REVOCATION_CHECK},
      {"one more RDN", V_ASN1_UTF8STRING, "Test CA", true, CRYPT_E_NO_REVOCATION_CHECK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::path::NamePtr name(X509_NAME_new());
    X509_NAME_add_entry_by_NID(name.get(), NID_commonName, c.type,
                               reinterpret_cast<const unsigned char*>(c.value.data()),
                               static_cast<int>(c.value.size()), -1, 0);
    if (c.extra_rdn)
      X509_NAME_add_entry_by_NID(name.get(), NID_organizationName, V_ASN1_UTF8STRING,
                                 reinterpret_cast<const unsigned char*>("Org"), 3, -1, 0);
    StoreFolder fresh;
    fresh.AddCert("ROOT", root_cert);
    fresh.AddCert("CA", ca_cert);
    fresh.AddCrl(MakeCrl(root));
    fresh.AddCrl(MakeCrl(ca, {.revoked = {{0x03}}, .issuer = name.get()}));
    EXPECT_EQ(Check(leaf_cert), c.want);
  }
}

TEST_F(PathTest, OfflineWithAnOutdatedCrlDownloadsNothing) {
  stores.AddCrl(MakeCrl(root));
  stores.AddCrl(MakeCrl(ca, {.this_update = -10 * kDay, .next_update = -kDay}));
  X509ContextPtr ctx = MakeX509Context();
  SetCertificateContext(ctx.get(), leaf_cert);
  ctx->crl_urls.push_back("http://127.0.0.1:1/ca.crl");  // would fail loudly if tried
  EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, kOffline), CRYPT_E_NO_REVOCATION_CHECK);
  EXPECT_EQ(ctx->last_error, CRYPT_E_NO_REVOCATION_CHECK);
}

TEST_F(PathTest, ExpiryComesBeforeRevocation) {
  // Listed as revoked too: expiry is reported before any CRL is looked at.
  stores.AddCrl(MakeCrl(ca, {.revoked = {{0x04}}}));
  stores.AddCrl(MakeCrl(root));
  CertPtr expired = Issue(leaf, ca, {.serial = {0x04}, .not_before = -30 * kDay, .not_after = -kDay});
  CertPtr future = Issue(leaf, ca, {.serial = {0x05}, .not_before = kDay, .not_after = 30 * kDay});
  EXPECT_EQ(Check(expired), CERT_E_EXPIRED);
  EXPECT_EQ(Check(future), CERT_E_EXPIRED);

  // An expired CA takes its whole path with it.
  StoreFolder fresh;
  fresh.AddCert("ROOT", root_cert);
  fresh.AddCert("CA", Issue(ca, root, {.serial = {0x02}, .ca = true, .not_before = -30 * kDay,
                                       .not_after = -kDay}));
  EXPECT_EQ(Check(leaf_cert), CERT_E_EXPIRED);
}

TEST_F(PathTest, NoPathToASelfSignedCertificate) {
  StoreCurrentCrls();
  Party stranger{"Stranger CA"};
  EXPECT_EQ(Check(Issue(leaf, stranger, Leaf(9))), CERT_E_CHAINING);

  // Names alone make no issuer: a certificate claiming the CA's name but
  // signed by another key has no path.
  Party fake_ca{"Test CA"};
  EXPECT_EQ(Check(Issue(leaf, fake_ca, Leaf(9))), CERT_E_CHAINING);

}

TEST_F(PathTest, SelfIssuedButNotSelfSignedIsNoRoot) {
  // "Mirror" names itself as issuer, but the key that signed it is the
  // leaf-side CA's: it is not a root, and a path ending there is incomplete.
  Party mirror{"Mirror"};
  Party other{"Mirror"};  // same name, different key
  CertPtr fake_root = Issue(mirror, other, Ca(5));
  StoreFolder fresh;
  fresh.AddCert("ROOT", fake_root);
  fresh.AddCrl(MakeCrl(mirror));
  EXPECT_EQ(Check(Issue(leaf, mirror, Leaf(6))), CERT_E_CHAINING);
}

TEST_F(PathTest, EndEntityCannotIssue) {
  StoreCurrentCrls();
  // The leaf's key signs another certificate; the leaf is no CA.
  stores.AddCert("CA", leaf_cert);
  stores.AddCrl(MakeCrl(leaf));
  Party victim{"Victim"};
  EXPECT_EQ(Check(Issue(victim, leaf, Leaf(10))), CERT_E_CHAINING);
}

TEST_F(PathTest, SelfSignedRootAloneGives87) {
  StoreCurrentCrls();
  EXPECT_EQ(Check(root_cert), kAlone);
}

TEST_F(PathTest, OneCheckedIssuerIsEnough) {
  // A second certificate for the CA's key under another name: the leaf has two
  // issuer candidates, and no CRL answers for the second one.
  Party twin{"Twin CA"};
  twin.key.reset(ca.key.get());
  EVP_PKEY_up_ref(ca.key.get());
  stores.AddCert("CA", Issue(twin, root, Ca(11)));
  StoreCurrentCrls();
  EXPECT_EQ(Check(leaf_cert), 0u);
}

TEST_F(PathTest, OneRevokedPathIsEnough) {
  // The CA's key is certified under its name by a second root too; the first
  // root revoked its certificate, the second did not.
  Party root2{"Second Root"};
  Party ca_again{"Test CA"};
  ca_again.key.reset(ca.key.get());
  EVP_PKEY_up_ref(ca.key.get());
  stores.AddCert("ROOT", Issue(root2, root2, Ca(12)));
  stores.AddCert("CA", Issue(ca_again, root2, Ca(13)));
  stores.AddCrl(MakeCrl(ca));
  stores.AddCrl(MakeCrl(root2));
  stores.AddCrl(MakeCrl(root, {.revoked = {{0x02}}}));
  EXPECT_EQ(Check(leaf_cert), CERT_E_REVOKED);
  stores.AddCrl(MakeCrl(root));
  EXPECT_EQ(Check(leaf_cert), 0u);
}

TEST_F(PathTest, CrossSignedPairEndsWithAnError) {
  // A and B certify each other and sit in "ROOT", where the original search
  // had no ancestor test; neither is self-signed.
  Party a{"Cross A"}, b{"Cross B"};
  StoreFolder fresh;
  fresh.AddCert("ROOT", Issue(a, b, Ca(20)));
  fresh.AddCert("ROOT", Issue(b, a, Ca(21)));
  fresh.AddCert("CA", Issue(a, b, Ca(22)));
  fresh.AddCert("CA", Issue(b, a, Ca(23)));
  fresh.AddCrl(MakeCrl(a));
  fresh.AddCrl(MakeCrl(b));
  EXPECT_EQ(Check(Issue(leaf, a, Leaf(24)), kOffline), CERT_E_CHAINING);
}

TEST_F(PathTest, ManyCertificatesOfOneKeyStayBounded) {
  // Eight certificates of one key, each certified by that same key under
  // another name: without bounds every ordering is a path (8! of them).
  Party hub{"Hub 0"};
  StoreFolder fresh;
  for (uint8_t i = 0; i < 8; ++i) {
    Party named{"Hub " + std::to_string(i)};
    named.key.reset(hub.key.get());
    EVP_PKEY_up_ref(hub.key.get());
    Party signer{"Hub " + std::to_string((i + 1) % 8)};
    signer.key.reset(hub.key.get());
    EVP_PKEY_up_ref(hub.key.get());
    fresh.AddCert(i % 2 ? "ROOT" : "CA", Issue(named, signer, Ca(static_cast<uint8_t>(30 + i))));
  }
  CertPtr subject = Issue(leaf, hub, Leaf(40));
  CertPathNode tree(subject);
  tree.BuildFromSystemStores(kUser);
  size_t nodes = 0;
  size_t deepest = 0;
  auto walk = [&](auto& self, const CertPathNode& n, size_t level) -> void {
    ++nodes;
    deepest = std::max(deepest, level);
    for (const auto& c : n.children()) self(self, *c, level + 1);
  };
  walk(walk, tree, 1);
  EXPECT_EQ(nodes, kMaxPathNodes);  // the cap, not the store, ended the build
  EXPECT_LE(deepest, kMaxPathDepth);
  EXPECT_EQ(tree.PruneUnchained(), CERT_E_CHAINING);
}

TEST_F(PathTest, ChainExportFollowsTheFirstPath) {
  StoreCurrentCrls();
  X509ContextPtr ctx = MakeX509Context();
  SetCertificateContext(ctx.get(), leaf_cert);
  CertChainPtr chain = GetCertificateChain(ctx.get(), kUser);
  ASSERT_TRUE(chain);
  EXPECT_EQ(ctx->last_error, 0u);
  ASSERT_EQ(chain->chains.size(), 1u);
  const auto& e = chain->chains[0].elements;
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].certificate, leaf_cert);
  EXPECT_TRUE(platform::CompareCertificate(*e[1].certificate, *ca_cert));
  EXPECT_TRUE(platform::CompareCertificate(*e[2].certificate, *root_cert));
  EXPECT_FALSE(e[0].base_crl);  // a leaf issues no CRL
  ASSERT_TRUE(e[1].base_crl);
  EXPECT_TRUE(std::ranges::equal(e[1].base_crl->issuer_der(), ca_cert->subject_der()));
  ASSERT_TRUE(e[2].base_crl);

  // Without CRLs the path is still exported; the check's result is kept.
  StoreFolder fresh;
  fresh.AddCert("ROOT", root_cert);
  fresh.AddCert("CA", ca_cert);
  chain = GetCertificateChain(ctx.get(), kUser);
  ASSERT_TRUE(chain);
  EXPECT_EQ(chain->chains[0].elements.size(), 3u);
  EXPECT_EQ(ctx->last_error, CRYPT_E_NO_REVOCATION_CHECK);

  X509ContextPtr empty = MakeX509Context();
  EXPECT_FALSE(GetCertificateChain(empty.get(), kUser));
  EXPECT_EQ(empty->last_error, LIB_E_NO_CERTIFICATE);
}

TEST_F(PathTest, MissingCertificateIs87) {
  X509ContextPtr ctx = MakeX509Context();
  EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, 0), 87u);
  EXPECT_EQ(VerifyCertificate(nullptr, kUser, 0), 87u);
}

// ---- trees from a signature's own lists

TEST_F(PathTest, ListsCarriedByASignature) {
  const CrlPtr ca_crl = MakeCrl(ca), root_crl = MakeCrl(root);
  const CrlPtr ca_revoking = MakeCrl(ca, {.revoked = {{0x03}}});
  // The lists' CRLs are used as they are: an outdated one still answers.
  const CrlPtr ca_old = MakeCrl(ca, {.this_update = -30 * kDay, .next_update = -20 * kDay});
  struct Case {
    const char* what;
    std::vector<CertPtr> certs;
    std::vector<CrlPtr> crls;
    LibraryErrorCode want;
    size_t depth;
  } cases[] = {
      {"complete", {root_cert, ca_cert}, {ca_crl, root_crl}, 0, 3},
      {"any order", {ca_cert, root_cert}, {root_crl, ca_crl}, 0, 3},
      {"outdated CRL", {ca_cert, root_cert}, {root_crl, ca_old}, 0, 3},
      {"no root CRL", {root_cert, ca_cert}, {ca_crl}, CRYPT_E_NO_REVOCATION_CHECK, 3},
      {"no CRLs", {root_cert, ca_cert}, {}, CRYPT_E_NO_REVOCATION_CHECK, 3},
      {"revoked", {root_cert, ca_cert}, {ca_revoking, root_crl}, CERT_E_REVOKED, 3},
      {"no root", {ca_cert}, {ca_crl, root_crl}, CERT_E_CHAINING, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CertPathNode tree(leaf_cert);
    tree.BuildFromLists(c.certs, c.crls);
    EXPECT_EQ(tree.Verify(), c.want);
    EXPECT_EQ(tree.GetDepth(), c.depth);
  }
}

TEST_F(PathTest, ListsWithACrossSignedPairEnd) {
  Party a{"Cross A"}, b{"Cross B"};
  const std::vector<CertPtr> certs = {Issue(a, b, Ca(20)), Issue(b, a, Ca(21))};
  const std::vector<CrlPtr> crls = {MakeCrl(a), MakeCrl(b)};
  CertPathNode tree(Issue(leaf, a, Leaf(24)));
  tree.BuildFromLists(certs, crls);
  EXPECT_LE(tree.GetDepth(), 4u);  // leaf, A, B, A again (no further issuers)
  EXPECT_EQ(tree.Verify(), CERT_E_CHAINING);
}

// An old version 1 root (no extensions) ends a path only from "ROOT".
TEST_F(PathTest, OnlyTheRootStoreTrustsACertificateWithoutConstraints) {
  Party old_root{"Old Root"};
  const CertPtr old_root_cert = Issue(old_root, old_root, {.serial = {0x50}, .version = 0});
  const CertPtr old_ca = Issue(ca, old_root, Ca(0x51));
  for (const char* store : {"ROOT", "CA"}) {
    SCOPED_TRACE(store);
    StoreFolder fresh;
    fresh.AddCert(store, old_root_cert);
    fresh.AddCert("CA", old_ca);
    fresh.AddCrl(MakeCrl(old_root));
    fresh.AddCrl(MakeCrl(ca));
    EXPECT_EQ(Check(leaf_cert), std::string(store) == "ROOT" ? 0u : CERT_E_CHAINING);
  }
}

// A CRL partitioned by distribution point answers only for the certificates
// of its own point, in whatever order a signature carries the partitions.
TEST_F(PathTest, ListsKeepEveryPartition) {
  const CertPtr leaf_p1 =
      Issue(leaf, ca, {.serial = {0x60}, .extra = {DistributionPoint("http://crl.test/p1")}});
  const CrlPtr p1 = MakeCrl(ca, {.revoked = {{0x60}}, .extra = {IssuingDistributionPoint("http://crl.test/p1")}});
  const CrlPtr p2 = MakeCrl(ca, {.extra = {IssuingDistributionPoint("http://crl.test/p2")}});
  const CrlPtr root_crl = MakeCrl(root);
  struct Case {
    const char* what;
    std::vector<CrlPtr> crls;
    LibraryErrorCode want;
  } cases[] = {
      {"own partition last", {p2, p1, root_crl}, CERT_E_REVOKED},
      {"own partition first", {p1, p2, root_crl}, CERT_E_REVOKED},
      {"another partition only", {p2, root_crl}, CRYPT_E_NO_REVOCATION_CHECK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CertPathNode tree(leaf_p1);
    tree.BuildFromLists(std::vector<CertPtr>{root_cert, ca_cert}, c.crls);
    EXPECT_EQ(tree.Verify(), c.want);
  }
  // A leaf without distribution points is not covered by any partition.
  CertPathNode tree(leaf_cert);
  tree.BuildFromLists(std::vector<CertPtr>{root_cert, ca_cert}, std::vector<CrlPtr>{p1, p2, root_crl});
  EXPECT_EQ(tree.Verify(), CRYPT_E_NO_REVOCATION_CHECK);
}

// Two CAs of one name and two keys; CRLs without key identifiers stored as
// the check stores downloads (with the CA that signed them), in both orders.
TEST_F(PathTest, CrlsOfTwoKeysOfOneNameStayApartInTheStore) {
  Party twin{"Test CA"};  // another key under the CA's name
  const CertPtr twin_cert = Issue(twin, root, Ca(0x70));
  stores.AddCert("CA", twin_cert);
  const CrlPtr revoking = MakeCrl(ca, {.revoked = {{0x03}}});
  const CrlPtr twins = MakeCrl(twin, {.this_update = -kDay + 60});
  for (bool revoking_first : {true, false}) {
    SCOPED_TRACE(revoking_first);
    StoreFolder fresh;
    fresh.AddCert("ROOT", root_cert);
    fresh.AddCert("CA", ca_cert);
    fresh.AddCert("CA", twin_cert);
    fresh.AddCrl(MakeCrl(root));
    const std::pair<CrlPtr, CertPtr> first{revoking, ca_cert}, second{twins, twin_cert};
    for (const auto& [crl, signer] : revoking_first ? std::vector{first, second}
                                                     : std::vector{second, first})
      ASSERT_EQ(AddCrlToStore(kUser, crl, signer), 0u);
    EXPECT_EQ(Check(leaf_cert), CERT_E_REVOKED);
  }
}

TEST(CertTimes, CrlWithoutNextUpdateNeverEnds) {
  Party issuer{"No Next"};
  CrlPtr crl = MakeCrl(issuer, {.has_next_update = false});
  EXPECT_EQ(VerifyCrlTimeValidity(*crl, std::time(nullptr) + 3650 * kDay), 0);
  EXPECT_EQ(VerifyCrlTimeValidity(*crl, std::time(nullptr) - 2 * kDay), -1);
}

}  // namespace
}  // namespace vel::crypto
