// The DER reader walking arbitrary bytes, and BerToDer, whose output must be
// definite DER that the reader walks completely and that converts to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "cryptolib/der.h"
#include "cryptolib/der_utils.h"

namespace {

using vel::der::Element;
using vel::der::Reader;

// Visits every element, reading primitives through the typed readers; returns
// false when some element could not be entered or skipped.
bool Walk(Reader r) {
  while (!r.empty()) {
    Element e;
    if (!r.PeekElement(&e)) return false;
    if (e.constructed()) {
      Reader inner;
      if (!r.Enter(e.tag, &inner)) return r.depth() + 1 > vel::der::kMaxDepth;
      if (!Walk(inner)) return false;
      continue;
    }
    Reader probe = r;
    std::span<const uint8_t> span;
    std::string text;
    int64_t v = 0;
    bool b = false;
    uint8_t tag = 0, unused = 0;
    vel::der::Time t;
    probe.ReadInteger(&span);
    probe = r, probe.ReadInteger(&v);
    probe = r, probe.ReadOid(&text);
    probe = r, probe.ReadBitString(&span, &unused);
    probe = r, probe.ReadBoolean(&b);
    probe = r, probe.ReadTime(&t);
    if (t.zone != vel::der::Time::Zone::kLocal) (void)t.ToUnix();
    probe = r;
    if (probe.ReadString(&text, &tag)) {
      std::string utf8;
      vel::der::StringToUtf8(tag, e.content, &utf8);
    }
    if (!r.Skip()) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::span<const uint8_t> in(data, size);
  Walk(Reader(in));

  uint32_t needed = 0;
  uint32_t n = static_cast<uint32_t>(size);
  if (vel::crypto::BerToDer(data, n, nullptr, &needed) != 234) return 0;
  std::vector<uint8_t> out(needed);
  uint32_t written = needed;
  if (vel::crypto::BerToDer(data, n, out.data(), &written) != 0) return 0;
  if (written > needed) std::abort();
  out.resize(written);
  // The result is DER with definite lengths: it must convert to itself.
  std::vector<uint8_t> again;
  if (vel::crypto::BerToDer(out, &again) != 0 || again != out) std::abort();
  vel::der::Element top;
  if (!vel::der::ParseElement(out, &top) || top.encoded.size() != out.size()) std::abort();

  // Object identifier text of the same bytes.
  if (size > 0) {
    uint32_t tsize = 0;
    if (vel::crypto::OidToText(data, n, nullptr, &tsize) == 234) {
      std::string text(tsize, '\0');
      if (vel::crypto::OidToText(data, n, text.data(), &tsize) != 0) std::abort();
    }
  }
  return 0;
}
