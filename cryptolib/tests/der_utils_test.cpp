// BER to DER, object identifier text, name values, hexadecimal text, digests.
#include "cryptolib/der_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cryptolib/der.h"

namespace vel::crypto {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex) {
  Bytes out;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// BerToDer through the size rule: ask, then convert.
LibraryErrorCode Convert(const Bytes& in, Bytes* out, uint32_t* asked = nullptr) {
  uint32_t size = 0;
  LibraryErrorCode err = BerToDer(in.data(), static_cast<uint32_t>(in.size()), nullptr, &size);
  if (asked) *asked = size;
  if (err != 234) return err;
  out->assign(size, 0xCC);
  err = BerToDer(in.data(), static_cast<uint32_t>(in.size()), out->data(), &size);
  if (err == 0) out->resize(size);
  return err;
}

TEST(BerToDer, Conversions) {
  struct Case {
    const char* name;
    const char* input;
    LibraryErrorCode err;
    const char* output;
  } cases[] = {
      {"indefinite SEQUENCE", "30 80 02 01 05 00 00", 0, "30 03 02 01 05"},
      {"non-minimal length", "30 82 00 03 02 01 05", 0, "30 03 02 01 05"},
      {"already DER", "30 06 02 01 05 04 01 AA", 0, "30 06 02 01 05 04 01 AA"},
      {"empty SEQUENCE", "30 00", 0, "30 00"},
      {"empty indefinite SEQUENCE", "30 80 00 00", 0, "30 00"},
      {"SET keeps its order", "31 06 02 01 09 02 01 01", 0, "31 06 02 01 09 02 01 01"},
      {"nested indefinite", "30 80 A0 80 30 80 05 00 00 00 00 00 00 00", 0, "30 06 A0 04 30 02 05 00"},
      {"constructed OCTET STRING stays a leaf", "30 80 24 80 04 01 AA 04 01 BB 00 00 00 00", 0,
       "30 08 24 06 04 01 AA 04 01 BB"},
      {"long content grows the length", "30 80 04 81 80 $128 00 00", 0, "30 81 83 04 81 80 $128"},
      {"trailing bytes after the element are ignored", "02 01 05 FF", 0, "02 01 05"},
      // Malformed input.
      {"content past the end", "30 05 02 01 05", 13, ""},
      {"child past its parent", "30 03 02 04 05 06 07 08", 13, ""},
      {"no end-of-contents", "30 80 02 01 05", 13, ""},
      {"five length octets", "04 85 00 00 00 00 01 AA", 13, ""},
      {"reserved length octet FF", "04 FF 00", 13, ""},
      {"length 0x90 is not four bits", "30 90 00", 13, ""},
      {"one byte", "30", 13, ""},
      {"end-of-contents inside a definite SEQUENCE", "30 06 05 00 00 00 05 00", 13, ""},
      {"tag 0 with content", "30 80 00 01 AA 00 00", 13, ""},
      {"high tag number", "3F 81 01 00", 13, ""},
      {"end-of-contents alone", "00 00", 13, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto expand = [](std::string s) {
      size_t p = s.find("$128");
      if (p != std::string::npos) {
        std::string filler;
        for (int i = 0; i < 128; ++i) filler += "AB ";
        s.replace(p, 4, filler);
      }
      return s;
    };
    Bytes out;
    EXPECT_EQ(Convert(Hex(expand(c.input)), &out), c.err);
    if (c.err == 0) {
      EXPECT_EQ(out, Hex(expand(c.output)));
    }
  }
}

TEST(BerToDer, SizeRule) {
  const Bytes in = Hex("30 80 02 01 05 00 00");
  uint32_t size = 0;
  EXPECT_EQ(BerToDer(in.data(), 7, nullptr, &size), 234u);
  EXPECT_EQ(size, 19u);  // 7 + 12 for the one 0x80 byte
  Bytes out(18);
  size = 18;
  EXPECT_EQ(BerToDer(in.data(), 7, out.data(), &size), 234u);
  EXPECT_EQ(size, 19u);
  out.resize(19);
  EXPECT_EQ(BerToDer(in.data(), 7, out.data(), &size), 0u);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(BerToDer(in.data(), 7, out.data(), nullptr), 87u);
  size = 0;
  EXPECT_EQ(BerToDer(in.data(), 0, out.data(), &size), 13u);
}

// Nesting far beyond anything real must fail cleanly instead of exhausting the stack.
TEST(BerToDer, DeepNestingIsCapped) {
  for (bool indefinite : {false, true}) {
    SCOPED_TRACE(indefinite);
    const int depth = indefinite ? 100000 : 5000;
    Bytes in;
    if (indefinite) {
      for (int i = 0; i < depth; ++i) in.insert(in.end(), {0x30, 0x80});
      for (int i = 0; i < depth; ++i) in.insert(in.end(), {0x00, 0x00});
    } else {
      der::Writer w;
      for (int i = 0; i < depth; ++i) w.Begin(der::kSequence);
      for (int i = 0; i < depth; ++i) w.End();
      in = *w.Finish();
    }
    Bytes out;
    EXPECT_EQ(Convert(in, &out), 13u);
  }
  // Just under the cap still converts.
  Bytes ok;
  for (int i = 0; i < der::kMaxDepth; ++i) ok.insert(ok.end(), {0x30, 0x80});
  for (int i = 0; i < der::kMaxDepth; ++i) ok.insert(ok.end(), {0x00, 0x00});
  Bytes out;
  EXPECT_EQ(Convert(ok, &out), 0u);
  EXPECT_EQ(out.size(), 2u * der::kMaxDepth);
}

// Many siblings: freeing the chain must not recurse along it.
TEST(BerToDer, ManySiblings) {
  Bytes in = {0x30, 0x80};
  for (int i = 0; i < 200000; ++i) in.insert(in.end(), {0x05, 0x00});
  in.insert(in.end(), {0x00, 0x00});
  Bytes out;
  ASSERT_EQ(Convert(in, &out), 0u);
  EXPECT_EQ(out.size(), 400000u + 5);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 5), Hex("30 83 06 1A 80"));
}

TEST(BerToDer, VectorForm) {
  Bytes out;
  EXPECT_EQ(BerToDer(Hex("30 80 02 01 05 00 00"), &out), 0u);
  EXPECT_EQ(out, Hex("30 03 02 01 05"));
  EXPECT_EQ(BerToDer(Hex("30 80"), &out), 13u);
  EXPECT_EQ(BerToDer(Bytes{}, &out), 13u);
}

TEST(DerTree, NodesPointIntoTheBuffer) {
  const Bytes in = Hex("30 80 02 01 05 30 00 00 00");
  DerNode root;
  ASSERT_EQ(BuildDerTree(in.data(), &root, in.data() + in.size() - 1), 0u);
  EXPECT_EQ(root.tag, 0x30);
  EXPECT_EQ(root.content_length, 7u);  // children with the end-of-contents
  EXPECT_EQ(root.total_length, 9u);
  EXPECT_EQ(root.element, in.data());
  EXPECT_EQ(root.content, in.data() + 2);
  const DerNode* a = root.first_child.get();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->tag, 0x02);
  EXPECT_EQ(a->content_length, 1u);
  const DerNode* b = a->next_sibling.get();
  ASSERT_TRUE(b);
  EXPECT_EQ(b->tag, 0x30);
  EXPECT_EQ(b->content_length, 0u);
  EXPECT_EQ(b->content, nullptr);  // empty content keeps no pointer
  EXPECT_EQ(b->first_child, nullptr);  // and an empty SEQUENCE gets no children
  const DerNode* eoc = b->next_sibling.get();
  ASSERT_TRUE(eoc);
  EXPECT_EQ(eoc->tag, 0);
  EXPECT_EQ(FreeDerTree(&root), 0u);
  EXPECT_EQ(root.first_child, nullptr);

  DerNode header;
  EXPECT_EQ(ParseDerHeader(in.data(), &header, in.data() + 3), 13u);  // end-of-contents beyond the end
  EXPECT_EQ(ParseDerHeader(in.data() + 2, &header, in.data() + 3), 13u);
  EXPECT_EQ(ParseDerHeader(in.data() + 2, &header, in.data() + 4), 0u);
  EXPECT_EQ(header.total_length, 3u);
}

TEST(OidToText, Conversions) {
  struct Case {
    const char* content;
    LibraryErrorCode err;
    const char* text;
  } cases[] = {
      {"2A 86 48 86 F7 0D 01 01 05", 0, "1.2.840.113549.1.1.5"},
      {"2B 0E 03 02 1A", 0, "1.3.14.3.2.26"},
      {"2A 86 48 86 F7 0D 01 09 10 02 0C", 0, "1.2.840.113549.1.9.16.2.12"},
      // The first subidentifier may take more than one octet.
      {"88 37 03", 0, "2.999.3"},
      {"81 00", 0, "2.48"},
      {"", 13, ""},
      {"2A 86", 13, ""},                              // last arc cut off
      {"2A 82 80 80 80 80 80 80 80 80 00", 13, ""},  // arc of 2^64
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    Bytes in = Hex(c.content);
    uint32_t size = 0;
    LibraryErrorCode err = OidToText(in.data(), static_cast<uint32_t>(in.size()), nullptr, &size);
    if (c.err != 0) {
      EXPECT_EQ(err, c.err);
      continue;
    }
    ASSERT_EQ(err, 234u);
    EXPECT_EQ(size, std::string(c.text).size() + 1);
    std::string text(size, 'x');
    uint32_t given = size;
    ASSERT_EQ(OidToText(in.data(), static_cast<uint32_t>(in.size()), text.data(), &given), 0u);
    EXPECT_EQ(given, size);  // left as it was
    EXPECT_STREQ(text.c_str(), c.text);
    uint32_t small = size - 1;
    EXPECT_EQ(OidToText(in.data(), static_cast<uint32_t>(in.size()), text.data(), &small), 234u);
    EXPECT_EQ(small, size);
  }
  // A long OID: every arc is kept (no fixed arc table).
  Bytes many = {0x2A};
  for (int i = 0; i < 200; ++i) many.push_back(0x01);
  uint32_t size = 0;
  ASSERT_EQ(OidToText(many.data(), static_cast<uint32_t>(many.size()), nullptr, &size), 234u);
  EXPECT_EQ(size, 3u + 200 * 2 + 1);
}

TEST(NameValues, BmpAndUtf8) {
  struct Case {
    bool bmp;
    const char* in;
    LibraryErrorCode err;
    const char* text;
  } cases[] = {
      {true, "00 41 00 42", 0, "AB"},
      {true, "01 41 00 F3", 0, "\xC5\x81\xC3\xB3"},  // Łó
      {true, "00 41 00", 13, ""},
      {true, "D8 3D DE 00", 0, "\xF0\x9F\x98\x80"},
      {true, "DC 00", 0, "\xEF\xBF\xBD"},           // lone surrogate replaced
      {true, "00 41 00 00 00 42", 0, "A\xEF\xBF\xBD" "B"},  // a NUL cannot hide the rest
      {true, "", 0, ""},
      {false, "61 62 63", 0, "abc"},
      {false, "C5 81", 0, "\xC5\x81"},
      {false, "61 FF 62", 0, "a\xEF\xBF\xBD" "b"},   // invalid byte replaced
      {false, "61 00 62", 0, "a\xEF\xBF\xBD" "b"},
      {false, "", 87, ""},                           // empty: the conversion fails
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    Bytes in = Hex(c.in);
    auto call = [&](char* text, uint32_t* size) {
      return c.bmp ? BmpStringToAnsi(in.data(), static_cast<uint32_t>(in.size()), text, size)
                   : Utf8ToAnsi(in.data(), static_cast<uint32_t>(in.size()), text, size);
    };
    uint32_t size = 0;
    LibraryErrorCode err = call(nullptr, &size);
    if (c.err != 0) {
      EXPECT_EQ(err, c.err);
      continue;
    }
    ASSERT_EQ(err, 234u);
    EXPECT_EQ(size, std::string(c.text).size() + 1);
    std::string text(size, 'x');
    ASSERT_EQ(call(text.data(), &size), 0u);
    EXPECT_EQ(std::string(text.c_str()), c.text);
  }
}

TEST(HexToBytes, Conversions) {
  struct Case {
    const char* hex;
    uint32_t given;
    LibraryErrorCode err;
    uint32_t stored;
    const char* bytes;
  } cases[] = {
      {"#0A0b", 2, 0, 2, "0A 0B"},
      {"0A0B", 2, 0, 2, "0A 0B"},
      {"0A0B", 1, 234, 2, ""},
      {"0G", 1, 13, 1, ""},
      {"#", 0, 0, 0, ""},
      {"", 0, 0, 0, ""},
      {"0A0", 1, 13, 1, ""},   // odd number of digits
      {"#0A0", 2, 13, 2, ""},
      {"0 ", 1, 13, 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    Bytes out(8, 0xEE);
    uint32_t size = c.given;
    EXPECT_EQ(HexToBytes(c.hex, out.data(), &size), c.err);
    EXPECT_EQ(size, c.stored);
    if (c.err == 0) {
      Bytes want = Hex(c.bytes);
      EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<ptrdiff_t>(want.size())), want);
    }
  }
}

TEST(DerTreeToText, JoinsUtf8Strings) {
  struct Case {
    const char* der;
    uint32_t room;
    bool prefix;
    LibraryErrorCode err;
    const char* text;
  } cases[] = {
      {"0C 03 61 62 63", 10, false, 0, "abc"},
      {"30 06 0C 01 61 0C 01 62", 10, false, 0, "a| b"},
      // Every node reached after text has been written writes the prefix.
      {"30 09 0C 01 61 02 01 05 0C 01 62", 10, false, 0, "a| | b"},
      {"30 06 0C 01 61 0C 01 62", 10, true, 0, "| a| b"},
      {"13 03 61 62 63", 10, false, 0, ""},  // only UTF8String values
      {"0C 03 61 62 63", 3, false, 234, ""},
      {"30 06 0C 01 61 0C 01 62", 4, false, 234, ""},
      {"30 02 0C 00", 10, false, 87, ""},    // an empty value fails the conversion
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.der);
    Bytes der = Hex(c.der);
    DerNode root;
    ASSERT_EQ(BuildDerTree(der.data(), &root, der.data() + der.size() - 1), 0u);
    std::string text(c.room, 'x');
    EXPECT_EQ(DerTreeToText(&root, text.data(), c.room, c.prefix, '|'), c.err);
    if (c.err == 0) {
      EXPECT_EQ(std::string(text.c_str()), c.text);
    }
  }
}

TEST(DecodeHexValues, Rewrites) {
  struct Case {
    const char* in;
    LibraryErrorCode err;
    const char* out;
  } cases[] = {
      {"CN=#0C03616263,O=x", 0, "CN=abc,O=x"},
      {"CN=#0C03616263, O=x", 0, "CN=abc, O=x"},
      {"O=x, CN=#0C03616263", 0, "O=x, CN=abc"},
      {"CN=#30090C0161" "0C0162" "0C0163, O=x", 0, "CN=a| b| c, O=x"},
      {"CN=#0C0161, L=#0C0162", 0, "CN=a, L=b"},
      {"CN=plain, O=x", 0, "CN=plain, O=x"},
      // A value that renders as "=#..." is not decoded again.
      {"CN=#0C083D2330433031363", 13, "CN=#0C083D2330433031363"},
      {"CN=#0C083D23304330313631, O=x", 0, "CN==#0C0161, O=x"},
      // "=#" inside a quoted value is text, not a hexadecimal value.
      {"O=\"a=#0C0162\", CN=c", 0, "O=\"a=#0C0162\", CN=c"},
      // No separator between the value and the next attribute.
      {"CN=#0C0161 + O=x", 13, "CN=#0C0161 + O=x"},
      {"CN=#0C0G61, O=x", 13, "CN=#0C0G61, O=x"},
      {"CN=#0C05616263, O=x", 13, "CN=#0C05616263, O=x"},  // content past the end
      {"CN=#, O=x", 13, "CN=#, O=x"},
      // A later failure restores what earlier values had been turned into.
      {"CN=#0C0161, O=#0C0G", 13, "CN=#0C0161, O=#0C0G"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string s = c.in;
    EXPECT_EQ(DecodeHexValues(&s, ',', '|'), c.err);
    EXPECT_EQ(s, c.out);
  }
}

TEST(ComputeHash, Digests) {
  const std::string abc = "abc";
  const auto* data = reinterpret_cast<const uint8_t*>(abc.data());
  struct Case {
    uint32_t alg;
    const char* digest;
  } cases[] = {
      {kCalgSha1, "A9993E364706816ABA3E25717850C26C9CD0D89D"},
      {kCalgMd5, "900150983CD24FB0D6963F7D28E17F72"},
      {kCalgSha256, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.alg);
    uint32_t size = 0;
    ASSERT_EQ(ComputeHash(data, 3, c.alg, nullptr, &size), 234u);
    Bytes want = Hex(c.digest);
    EXPECT_EQ(size, want.size());
    Bytes out(size);
    ASSERT_EQ(ComputeHash(data, 3, c.alg, out.data(), &size), 0u);
    EXPECT_EQ(out, want);
  }
  uint32_t size = 20;
  Bytes out(20);
  EXPECT_EQ(ComputeHash(data, 3, 0x1234, out.data(), &size), 0x80090008u);
  EXPECT_EQ(ComputeHash(nullptr, 0, kCalgSha1, out.data(), &size), 0u);
  EXPECT_EQ(out, Hex("DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"));
}

}  // namespace
}  // namespace vel::crypto
