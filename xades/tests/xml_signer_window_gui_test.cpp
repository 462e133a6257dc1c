// The XML signer window driven offscreen: opened through a signature record
// whose record and document are deleted at once, its pages, value boxes and
// buttons, the nested windows of a counter-signature and of a time stamp,
// opened from a worker thread, every row kind with room in both languages,
// and a screenshot of every page in both languages (written to the build
// folder).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTreeWidget>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cryptolib/tests/cert_ui_fixture.h"
#include "cryptolib/ui/cert_view_window.h"
#include "cryptolib/ui/library_windows.h"
#include "cryptolib/ui/signer_info_window.h"
#include "xades/base64.h"
#include "xades/tests/xml_signer_fixture.h"
#include "xades/ui/xml_signer_labels.h"
#include "xades/ui/xml_signer_window.h"

namespace vel::xades::ui {
namespace {

using crypto::kLanguageEnglish;
using crypto::kLanguagePolish;
using vel::test::certui::Language;

QApplication& App() {
  static int argc = 1;
  static char name[] = "xml_signer_window_gui_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    // The offscreen platform says at every window what it cannot do.
    static const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
          if (!message.startsWith(QStringLiteral("This plugin does not support")))
            previous(type, context, message);
        });
    auto* a = new QApplication(argc, argv);
    crypto::ui::InstallLibraryWindows();
    InstallXmlSignerWindow();
    return a;
  }();
  return *app;
}

// Runs the event loop until `done` holds (at most 10 s).
bool WaitFor(const std::function<bool()>& done) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > 10000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

template <typename T>
std::vector<T*> Visible() {
  std::vector<T*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* v = dynamic_cast<T*>(w); v != nullptr && v->isVisible()) out.push_back(v);
  return out;
}

void CloseAll() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible()) w->close();
  WaitFor([] { return Visible<QWidget>().empty(); });
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString Label(uint32_t id) { return QString::fromUtf8(GetXmlWndLabel(id)); }

void ClickRow(QTreeWidget* list, int row) {
  QTreeWidgetItem* item = list->topLevelItem(row);
  ASSERT_NE(item, nullptr);
  list->scrollToItem(item);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
}

QString Shown(const std::string& value) {
  QString t = QString::fromStdString(value);
  t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return t;
}

// Every text of the window is drawn whole: buttons, group titles, tab
// titles, column headings and the row names of the lists.
void ExpectTextsFit(QWidget* root) {
  const auto fits = [](QWidget* w, const QString& text, int room) {
    const int need = w->fontMetrics().horizontalAdvance(text);
    EXPECT_LE(need, room) << text.toStdString() << " in " << w->metaObject()->className();
  };
  for (QLabel* l : root->findChildren<QLabel*>())
    if (l->isVisible() && !l->text().contains('\n')) fits(l, l->text(), l->contentsRect().width());
  for (QAbstractButton* b : root->findChildren<QAbstractButton*>())
    if (b->isVisible()) fits(b, b->text(), b->width() - 8);
  for (QGroupBox* g : root->findChildren<QGroupBox*>())
    if (g->isVisible()) fits(g, g->title(), g->width() - 16);
  for (QTabBar* t : root->findChildren<QTabBar*>())
    for (int i = 0; i < t->count(); ++i) fits(t, t->tabText(i), t->tabRect(i).width());
  for (QTreeWidget* tree : root->findChildren<QTreeWidget*>()) {
    if (!tree->isVisible()) continue;
    QHeaderView* h = tree->header();
    for (int c = 0; c < tree->columnCount(); ++c)
      fits(h, tree->headerItem()->text(c), h->sectionSize(c) - 8);
    for (int r = 0; r < tree->topLevelItemCount(); ++r)
      fits(tree, tree->topLevelItem(r)->text(0), tree->columnWidth(0) - 4);
  }
}

std::string LanguageName(uint32_t language) { return language == kLanguageEnglish ? "en" : "pl"; }

void Screenshot(QWidget* w, const std::string& name) {
  QCoreApplication::processEvents();
  const std::filesystem::path path = std::filesystem::path(VEL_BINARY_DIR) / (name + ".png");
  EXPECT_TRUE(w->grab().save(QString::fromStdString(path.string()))) << path;
}

XmlSignerWindow* OtherThan(const XmlSignerWindow* w) {
  for (XmlSignerWindow* v : Visible<XmlSignerWindow>())
    if (v != w) return v;
  return nullptr;
}

std::optional<std::string> RootId(const std::string& xml) {
  XmlDocPtr doc = xadesParseMemory(xml);
  return doc ? getNodeProp(xmlDocGetRootElement(doc.get()), "Id") : std::nullopt;
}

class XmlSignerWindowTest : public test::XmlSignerSuite {
 protected:
  void SetUp() override { App(); }
  void TearDown() override { CloseAll(); }

  // The record a signature tree holds, over its own parse of the document.
  struct Record {
    XmlDocPtr doc;
    XadesSignContext sig;
  };
  static std::unique_ptr<Record> MakeRecord() {
    auto r = std::make_unique<Record>();
    r->doc = xadesParseMemory(sample_->document);
    EXPECT_TRUE(r->doc);
    if (r->doc) r->sig.signature = test::ElementWithId(r->doc.get(), "Signature-1");
    const auto& der = pki_->signer.cert->der();
    r->sig.certificateBytes.assign(der.begin(), der.end());
    return r;
  }
};

TEST_F(XmlSignerWindowTest, PagesAndButtonsOutliveTheRecordInBothLanguages) {
  for (uint32_t language : {kLanguagePolish, kLanguageEnglish}) {
    SCOPED_TRACE(language);
    Language l(language);
    std::unique_ptr<Record> record = MakeRecord();
    ASSERT_NE(record->sig.signature, nullptr);
    ASSERT_EQ(ShowXmlSignerInfo(record->sig), 0u);
    // The record and its document go while the window is open.
    record.reset();
    ASSERT_TRUE(WaitFor([] { return Visible<XmlSignerWindow>().size() == 1; }));
    XmlSignerWindow* w = Visible<XmlSignerWindow>()[0];
    EXPECT_EQ(w->model().signature_xml, sample_->signature);
    EXPECT_EQ(w->windowTitle(), Label(2));
    EXPECT_GE(w->width(), 420);
    EXPECT_GE(w->height(), 480);
    EXPECT_EQ(w->tabs()->objectName(), QStringLiteral("SignerInfoTab"));
    ASSERT_EQ(w->tabs()->count(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(w->tabs()->tabText(i), Label(3 + static_cast<uint32_t>(i)));
    EXPECT_EQ(w->close_button()->text(), Label(6));
    EXPECT_EQ(w->show_signature_button()->text(), Label(7));
    EXPECT_EQ(w->show_certificate_button()->text(), Label(8));
    EXPECT_EQ(w->tabs()->currentIndex(), 0);
    EXPECT_FALSE(w->show_signature_button()->isVisible());

    const XmlSignerWindow::Page pages[] = {XmlSignerWindow::kGeneralPage, XmlSignerWindow::kSignedPage,
                                           XmlSignerWindow::kUnsignedPage};
    const std::vector<XmlSignerRow>* rows[] = {&w->model().general, &w->model().signed_attributes,
                                               &w->model().unsigned_attributes};
    const char* names[] = {"general", "signed", "unsigned"};
    for (int p = 0; p < 3; ++p) {
      w->tabs()->setCurrentIndex(p);
      QCoreApplication::processEvents();
      EXPECT_EQ(w->show_signature_button()->isVisible(), p == 2) << p;
      QTreeWidget* list = w->list(pages[p]);
      const uint32_t base = 201 + 100 * static_cast<uint32_t>(p);
      EXPECT_EQ(w->list(pages[p])->parentWidget()->property("title").toString(), Label(base));
      EXPECT_EQ(list->headerItem()->text(0), Label(base + 1));
      EXPECT_EQ(list->headerItem()->text(1), Label(base + 2));
      ASSERT_FALSE(rows[p]->empty());
      ASSERT_EQ(list->topLevelItemCount(), static_cast<int>(rows[p]->size()));
      for (size_t r = 0; r < rows[p]->size(); ++r) {
        EXPECT_EQ(list->topLevelItem(static_cast<int>(r))->text(0).toStdString(), (*rows[p])[r].label);
        EXPECT_EQ(list->topLevelItem(static_cast<int>(r))->text(1).toStdString(), (*rows[p])[r].shown);
      }
      // Selecting a row shows its whole value; the last row on each page.
      const int pick = static_cast<int>(rows[p]->size()) - 1;
      ClickRow(list, pick);
      EXPECT_EQ(w->value_box(pages[p])->toPlainText(), Shown((*rows[p])[static_cast<size_t>(pick)].value)) << p;
      ExpectTextsFit(w);
      Screenshot(w, std::string("xml_signer_") + names[p] + "_" + LanguageName(language));
    }
    // Unsigned: the counter-signature, then the two time stamps.
    QTreeWidget* unsigned_list = w->list(XmlSignerWindow::kUnsignedPage);
    ASSERT_EQ(unsigned_list->topLevelItemCount(), 3);
    EXPECT_EQ(unsigned_list->topLevelItem(0)->text(0), Label(1200));
    EXPECT_EQ(unsigned_list->topLevelItem(2)->text(0), Label(1201));

    // Show Signature on the counter-signature: an XML window of its own.
    ClickRow(unsigned_list, 0);
    QTest::mouseClick(w->show_signature_button(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([] { return Visible<XmlSignerWindow>().size() == 2; }));
    XmlSignerWindow* nested = OtherThan(w);
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(RootId(nested->model().signature_xml), sample_->counter_id);
    EXPECT_TRUE(std::ranges::equal(nested->model().certificate, pki_->signer.cert->der()));
    EXPECT_FALSE(nested->model().general.empty());
    nested->close();
    ASSERT_TRUE(WaitFor([] { return Visible<XmlSignerWindow>().size() == 1; }));

    // On the second time stamp: the CMS window of the authority's signer.
    ClickRow(unsigned_list, 2);
    QTest::mouseClick(w->show_signature_button(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([] { return Visible<crypto::ui::SignerInfoWindow>().size() == 1; }));
    crypto::ui::SignerInfoWindow* stamp = Visible<crypto::ui::SignerInfoWindow>()[0];
    ASSERT_NE(stamp->certificate(), nullptr);
    EXPECT_TRUE(std::ranges::equal(stamp->certificate()->der(), tsa_->tsa.cert->der()));
    stamp->close();
    ASSERT_TRUE(WaitFor([] { return Visible<crypto::ui::SignerInfoWindow>().empty(); }));

    // Show Certificate: the viewer for the signer's certificate.
    QTest::mouseClick(w->show_certificate_button(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([] { return Visible<crypto::ui::CertViewWindow>().size() == 1; }));
    ASSERT_NE(Visible<crypto::ui::CertViewWindow>()[0]->model().certificate, nullptr);
    EXPECT_TRUE(std::ranges::equal(Visible<crypto::ui::CertViewWindow>()[0]->model().certificate->der(),
                                   pki_->signer.cert->der()));
    Visible<crypto::ui::CertViewWindow>()[0]->close();

    // Close closes the window.
    QTest::mouseClick(w->close_button(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([] { return Visible<XmlSignerWindow>().empty(); }));
    CloseAll();
  }
}

TEST_F(XmlSignerWindowTest, AWorkerThreadOpensItOnTheGuiThread) {
  std::atomic<uint32_t> status{0xFFFFFFFF};
  std::thread worker([&] {
    std::unique_ptr<Record> record = MakeRecord();
    status = ShowXmlSignerInfo(record->sig);
  });
  worker.join();
  EXPECT_EQ(status.load(), 0u);
  ASSERT_TRUE(WaitFor([] { return Visible<XmlSignerWindow>().size() == 1; }));
  XmlSignerWindow* w = Visible<XmlSignerWindow>()[0];
  EXPECT_EQ(w->thread(), QCoreApplication::instance()->thread());
  EXPECT_EQ(w->model().unsigned_attributes.size(), 3u);
}

TEST_F(XmlSignerWindowTest, EveryRowKindHasRoomInBothLanguages) {
  const std::string token = base64Encode(sample_->tokens[0]);
  const std::string xml =
      "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" "
      "xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\" Id=\"S\"><ds:SignedInfo>"
      "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments\"/>"
      "<ds:SignatureMethod Algorithm=\"urn:other\"/><ds:Reference URI=\"#Object-with-a-long-name-1\"><ds:Transforms>"
      "<ds:Transform Algorithm=\"http://www.w3.org/TR/2001/WD-xml-exc-c14n\"/>"
      "<ds:Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xpath-19991116\"/></ds:Transforms>"
      "<ds:DigestMethod Algorithm=\"urn:other\"/><ds:DigestValue>QUFB</ds:DigestValue></ds:Reference>"
      "<ds:Reference Type=\"http://uri.etsi.org/01903#SignedProperties\" URI=\"#SP\"/>"
      "</ds:SignedInfo><ds:SignatureValue>U1ZT</ds:SignatureValue><ds:Object>"
      "<xades:QualifyingProperties Target=\"#S\"><xades:SignedProperties Id=\"SP\"><xades:SignedSignatureProperties>"
      "<xades:SigningTime>2026-03-04T05:06:07Z</xades:SigningTime><xades:SigningCertificate><xades:Cert>"
      "<xades:CertDigest><ds:DigestMethod Algorithm=\"urn:other\"/><ds:DigestValue>RERE</ds:DigestValue>"
      "</xades:CertDigest><xades:IssuerSerial><ds:X509IssuerName>CN=Urząd Przykładowy, O=Firma, C=PL"
      "</ds:X509IssuerName><ds:X509SerialNumber>1234567890123456789012345</ds:X509SerialNumber>"
      "</xades:IssuerSerial></xades:Cert></xades:SigningCertificate>"
      "<xades:SignaturePolicyIdentifier><xades:SignaturePolicyId><xades:SigPolicyId><xades:Identifier>1.2.3"
      "</xades:Identifier></xades:SigPolicyId><xades:SigPolicyHash><ds:DigestMethod Algorithm=\"urn:x\"/>"
      "<ds:DigestValue>SEFTSA==</ds:DigestValue></xades:SigPolicyHash></xades:SignaturePolicyId>"
      "</xades:SignaturePolicyIdentifier><xades:SignatureProductionPlace><xades:City>Gdańsk</xades:City>"
      "<xades:StateOrProvince>pomorskie</xades:StateOrProvince><xades:PostalCode>80-001</xades:PostalCode>"
      "<xades:CountryName>PL</xades:CountryName></xades:SignatureProductionPlace><xades:SignerRole>"
      "<xades:ClaimedRoles><xades:ClaimedRole>Prezes</xades:ClaimedRole></xades:ClaimedRoles></xades:SignerRole>"
      "</xades:SignedSignatureProperties></xades:SignedProperties><xades:UnsignedProperties>"
      "<xades:UnsignedSignatureProperties><xades:CounterSignature><f:Signature xmlns:f=\"urn:f\"/>"
      "</xades:CounterSignature><xades:SignatureTimeStamp><xades:EncapsulatedTimeStamp>" + token +
      "</xades:EncapsulatedTimeStamp></xades:SignatureTimeStamp><xades:SigAndRefsTimeStamp>"
      "<xades:EncapsulatedTimeStamp>" + token + "</xades:EncapsulatedTimeStamp></xades:SigAndRefsTimeStamp>"
      "<xades:ArchiveTimeStamp><xades:EncapsulatedTimeStamp>" + token +
      "</xades:EncapsulatedTimeStamp></xades:ArchiveTimeStamp><xades:CompleteCertificateRefs><xades:CertRefs>"
      "<xades:Cert><xades:CertDigest><ds:DigestMethod Algorithm=\"urn:x\"/><ds:DigestValue>QUFB</ds:DigestValue>"
      "</xades:CertDigest><xades:IssuerSerial><ds:X509IssuerName>CN=A</ds:X509IssuerName><ds:X509SerialNumber>1"
      "</ds:X509SerialNumber></xades:IssuerSerial></xades:Cert></xades:CertRefs></xades:CompleteCertificateRefs>"
      "<xades:CompleteRevocationRefs><xades:CRLRefs><xades:CRLRef><xades:DigestAlgAndValue><ds:DigestMethod "
      "Algorithm=\"urn:x\"/><ds:DigestValue>QUFB</ds:DigestValue></xades:DigestAlgAndValue><xades:CRLIdentifier>"
      "<xades:Issuer>CN=A</xades:Issuer><xades:IssueTime>2026-01-01T00:00:00Z</xades:IssueTime>"
      "</xades:CRLIdentifier></xades:CRLRef></xades:CRLRefs></xades:CompleteRevocationRefs>"
      "<xades:CertificateValues><xades:EncapsulatedX509Certificate>" +
      base64Encode(pki_->signer.cert->der()) +
      "</xades:EncapsulatedX509Certificate></xades:CertificateValues>"
      "</xades:UnsignedSignatureProperties></xades:UnsignedProperties></xades:QualifyingProperties></ds:Object>"
      "</ds:Signature>";
  for (uint32_t language : {kLanguagePolish, kLanguageEnglish}) {
    SCOPED_TRACE(language);
    Language l(language);
    ASSERT_EQ(ShowXmlSignerWindow(xml, pki_->signer.cert->der()), 0u);
    ASSERT_TRUE(WaitFor([] { return Visible<XmlSignerWindow>().size() == 1; }));
    XmlSignerWindow* w = Visible<XmlSignerWindow>()[0];
    EXPECT_EQ(w->list(XmlSignerWindow::kGeneralPage)->topLevelItemCount(), 5);
    EXPECT_EQ(w->list(XmlSignerWindow::kSignedPage)->topLevelItemCount(), 11);
    EXPECT_EQ(w->list(XmlSignerWindow::kUnsignedPage)->topLevelItemCount(), 7);
    const char* names[] = {"general", "signed", "unsigned"};
    for (int p = 0; p < 3; ++p) {
      w->tabs()->setCurrentIndex(p);
      QCoreApplication::processEvents();
      ExpectTextsFit(w);
      Screenshot(w, std::string("xml_signer_all_") + names[p] + "_" + LanguageName(language));
    }
    // A long base64 value wraps inside the box.
    ClickRow(w->list(XmlSignerWindow::kUnsignedPage), 1);
    EXPECT_EQ(w->value_box(XmlSignerWindow::kUnsignedPage)->toPlainText(), QString::fromStdString(token));
    Screenshot(w, "xml_signer_all_token_" + LanguageName(language));
    CloseAll();
  }
}

TEST_F(XmlSignerWindowTest, WhatCannotBeShownOpensNothing) {
  EXPECT_EQ(ShowXmlSignerWindow("<a/>", {}), 13u);
  EXPECT_EQ(ShowXmlSignerWindow("<ds:Signature", {}), 13u);
  std::unique_ptr<Record> record = MakeRecord();
  SetXmlSignerWindowHandler(nullptr);
  EXPECT_EQ(ShowXmlSignerInfo(record->sig), 120u);
  InstallXmlSignerWindow();
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  EXPECT_TRUE(Visible<XmlSignerWindow>().empty());
  // A window without a readable certificate: Show Certificate opens nothing.
  ASSERT_EQ(ShowXmlSignerWindow(sample_->signature, std::vector<uint8_t>{1, 2, 3}), 0u);
  ASSERT_TRUE(WaitFor([] { return Visible<XmlSignerWindow>().size() == 1; }));
  QTest::mouseClick(Visible<XmlSignerWindow>()[0]->show_certificate_button(), Qt::LeftButton);
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  EXPECT_TRUE(Visible<crypto::ui::CertViewWindow>().empty());
}

}  // namespace
}  // namespace vel::xades::ui
