#include "cryptolib/der_utils.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "cryptolib/der.h"
#include "platform/win32_error.h"

namespace vel::crypto {

namespace {

using platform::kErrorInvalidData;
using platform::kErrorInvalidParameter;
using platform::kErrorMoreData;
using platform::kErrorNotEnoughMemory;

constexpr LibraryErrorCode kNteBadAlgId = 0x80090008;
constexpr LibraryErrorCode kNteFail = 0x80090020;

// Parses the header of the element at in[0]; `in` runs to the end of what may
// hold it (the input, or the parent's content).
LibraryErrorCode ParseAt(std::span<const uint8_t> in, DerNode* node, int depth) {
  if (in.size() < 2) return kErrorInvalidData;
  const uint8_t tag = in[0];
  const uint8_t l = in[1];
  // High tag numbers are not part of anything we read; reading the next
  // octet as a length would misplace every element after it.
  if ((tag & 0x1F) == 0x1F) return kErrorInvalidData;
  // Tag 0 is only the end-of-contents marker, 00 00.
  if (tag == 0 && l != 0) return kErrorInvalidData;
  size_t header = 2;
  size_t length = 0;
  if (l < 0x80) {
    length = l;
  } else if (l == 0x80) {
    if (depth >= der::kMaxDepth) return kErrorInvalidData;
    size_t sum = 0;
    while (true) {
      if (2 + sum >= in.size()) return kErrorInvalidData;  // no end-of-contents before the end
      DerNode child;
      LibraryErrorCode err = ParseAt(in.subspan(2 + sum), &child, depth + 1);
      if (err != 0) return err;
      sum += child.total_length;
      if (child.tag == 0 && child.content_length == 0) break;
    }
    node->tag = tag;
    node->element = in.data();
    node->content_length = static_cast<uint32_t>(sum);
    node->total_length = static_cast<uint32_t>(sum + 2);
    node->content = in.data() + 2;
    return 0;
  } else {
    const size_t n = l & 0x7F;
    if (n > 4) return kErrorInvalidData;
    if (in.size() - 2 < n) return kErrorInvalidData;
    for (size_t i = 0; i < n; ++i) length = (length << 8) | in[2 + i];
    header += n;
  }
  // The content must lie inside the input (or the parent).
  if (length > in.size() - header) return kErrorInvalidData;
  node->tag = tag;
  node->element = in.data();
  node->content_length = static_cast<uint32_t>(length);
  node->total_length = static_cast<uint32_t>(length + header);
  node->content = length != 0 ? in.data() + header : nullptr;
  return 0;
}

LibraryErrorCode BuildAt(std::span<const uint8_t> in, DerNode* node, int depth) {
  LibraryErrorCode err = ParseAt(in, node, depth);
  if (err != 0) return err;
  if (!DerNode::GetsChildren(node->tag) || node->content_length == 0) return 0;
  if (depth >= der::kMaxDepth) return kErrorInvalidData;
  const bool indefinite = node->element[1] == 0x80;
  std::span<const uint8_t> content(node->content, node->content_length);
  size_t sum = 0;
  DerNode* prev = nullptr;
  while (sum < content.size()) {
    auto child = std::make_unique<DerNode>();
    err = BuildAt(content.subspan(sum), child.get(), depth + 1);
    if (err != 0) return err;
    // An end-of-contents marker belongs only at the end of an indefinite
    // length; elsewhere it would silently cut off the elements after it.
    if (child->tag == 0 && !(indefinite && sum + child->total_length == content.size()))
      return kErrorInvalidData;
    sum += child->total_length;
    DerNode* raw = child.get();
    if (prev == nullptr) {
      node->first_child = std::move(child);
    } else {
      prev->next_sibling = std::move(child);
    }
    prev = raw;
  }
  return 0;
}

void AppendLength(size_t length, std::vector<uint8_t>* out) {
  std::vector<uint8_t> l = der::EncodeLength(length);
  out->insert(out->end(), l.begin(), l.end());
}


constexpr uint32_t kReplacement = 0xFFFD;

// Code points of a UTF-8 byte string; each invalid byte becomes U+FFFD.
std::vector<uint32_t> DecodeUtf8Lenient(std::span<const uint8_t> s) {
  std::vector<uint32_t> cps;
  size_t i = 0;
  while (i < s.size()) {
    const uint8_t c = s[i];
    size_t n = 0;
    uint32_t cp = 0, min = 0;
    if (c < 0x80) {
      cps.push_back(c);
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3, cp = c & 0x07, min = 0x10000;
    } else {
      cps.push_back(kReplacement);
      ++i;
      continue;
    }
    bool ok = s.size() - i > n;
    for (size_t k = 1; ok && k <= n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) {
        ok = false;
      } else {
        cp = (cp << 6) | (s[i + k] & 0x3F);
      }
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      cps.push_back(kReplacement);
      ++i;
      continue;
    }
    cps.push_back(cp);
    i += n + 1;
  }
  return cps;
}

// Writes code points as NUL-terminated UTF-8 under the size rule. An embedded
// U+0000 becomes U+FFFD: a NUL inside a name would otherwise hide what follows it.
LibraryErrorCode WriteText(const std::vector<uint32_t>& cps, char* text, uint32_t* size) {
  std::string out;
  for (uint32_t cp : cps) der::AppendUtf8(cp == 0 ? kReplacement : cp, &out);
  const size_t needed = out.size() + 1;
  if (needed > std::numeric_limits<uint32_t>::max()) return kErrorNotEnoughMemory;
  if (text == nullptr || *size < needed) {
    *size = static_cast<uint32_t>(needed);
    return kErrorMoreData;
  }
  std::memcpy(text, out.data(), out.size());
  text[out.size()] = '\0';
  *size = static_cast<uint32_t>(needed);
  return 0;
}

struct TextSink {
  char* text;
  uint32_t room;
  size_t pos = 0;
  bool written = false;
  bool first = true;
};

LibraryErrorCode TreeText(const DerNode* node, TextSink* sink, bool caller_prefix, char join) {
  for (const DerNode* n = node; n != nullptr; n = n->next_sibling.get()) {
    const bool prefix = sink->first ? caller_prefix : sink->written;
    sink->first = false;
    if (prefix) {
      if (sink->room < 3) return kErrorMoreData;
      sink->text[sink->pos] = join;
      sink->text[sink->pos + 1] = ' ';
      sink->text[sink->pos + 2] = '\0';
      sink->pos += 2;
      sink->room -= 2;
    }
    if (n->tag == der::kUtf8String) {
      uint32_t size = sink->room;
      LibraryErrorCode err = Utf8ToAnsi(n->content, n->content_length, sink->text + sink->pos, &size);
      if (err != 0) return err;
      const uint32_t written = size - 1;  // without the NUL, which the next text overwrites
      sink->pos += written;
      sink->room -= written;
      sink->written = true;
    }
    if (n->first_child) {
      LibraryErrorCode err = TreeText(n->first_child.get(), sink, caller_prefix, join);
      if (err != 0) return err;
    }
  }
  return 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Finds "=#" at or after `from` outside double quotes; `in_quotes` is the
// quote state at `from`.
size_t FindHexValue(const std::string& s, size_t from) {
  bool in_quotes = false;
  for (size_t i = from; i + 1 < s.size(); ++i) {
    if (s[i] == '"') {
      in_quotes = !in_quotes;
    } else if (!in_quotes && s[i] == '=' && s[i + 1] == '#') {
      return i;
    }
  }
  return std::string::npos;
}

}  // namespace

DerNode::~DerNode() {
  std::unique_ptr<DerNode> next = std::move(next_sibling);
  while (next) {
    std::unique_ptr<DerNode> after = std::move(next->next_sibling);
    next.reset();
    next = std::move(after);
  }
}

LibraryErrorCode ParseDerHeader(const uint8_t* element, DerNode* node, const uint8_t* end) {
  if (element == nullptr || node == nullptr || end == nullptr) return kErrorInvalidParameter;
  if (end < element) return kErrorInvalidData;
  return ParseAt(std::span<const uint8_t>(element, static_cast<size_t>(end - element) + 1), node, 0);
}

LibraryErrorCode BuildDerTree(const uint8_t* element, DerNode* root, const uint8_t* end) {
  if (element == nullptr || root == nullptr || end == nullptr) return kErrorInvalidParameter;
  root->first_child.reset();
  root->next_sibling.reset();
  if (end < element) return kErrorInvalidData;
  return BuildAt(std::span<const uint8_t>(element, static_cast<size_t>(end - element) + 1), root, 0);
}

LibraryErrorCode FreeDerTree(DerNode* node) {
  if (node == nullptr) return 0;
  node->first_child.reset();
  DerNode tmp;  // its destructor frees the chain without recursing along it
  tmp.next_sibling = std::move(node->next_sibling);
  return 0;
}

LibraryErrorCode EncodeDerTree(const DerNode* node, std::vector<uint8_t>* output) {
  if (output == nullptr) return kErrorInvalidParameter;
  for (const DerNode* n = node; n != nullptr; n = n->next_sibling.get()) {
    if (n->tag == 0) break;  // end-of-contents of an indefinite parent: not written
    output->push_back(n->tag);
    if (n->first_child) {
      const size_t mark = output->size();
      LibraryErrorCode err = EncodeDerTree(n->first_child.get(), output);
      if (err != 0) return err;
      std::vector<uint8_t> l = der::EncodeLength(output->size() - mark);
      output->insert(output->begin() + static_cast<ptrdiff_t>(mark), l.begin(), l.end());
    } else {
      size_t length = n->content_length;
      // A leaf written with an indefinite length: its end-of-contents is dropped.
      if (n->element != nullptr && n->element[1] == 0x80 && length >= 2) length -= 2;
      AppendLength(length, output);
      if (length != 0) output->insert(output->end(), n->content, n->content + length);
    }
  }
  return 0;
}

LibraryErrorCode BerToDer(const uint8_t* input, uint32_t input_length, uint8_t* output, uint32_t* size) {
  if (size == nullptr || (input == nullptr && input_length != 0)) return kErrorInvalidParameter;
  uint64_t needed = input_length;
  for (uint32_t i = 0; i < input_length; ++i)
    if (input[i] == 0x80) needed += 12;
  if (needed > std::numeric_limits<uint32_t>::max()) return kErrorNotEnoughMemory;
  if (output == nullptr || *size < needed) {
    *size = static_cast<uint32_t>(needed);
    return kErrorMoreData;
  }
  if (input_length == 0) return kErrorInvalidData;
  DerNode root;
  LibraryErrorCode err = BuildDerTree(input, &root, input + input_length - 1);
  if (err != 0) return err;
  if (root.tag == 0) return kErrorInvalidData;  // an end-of-contents marker is no element
  std::vector<uint8_t> der;
  der.reserve(input_length);
  err = EncodeDerTree(&root, &der);
  if (err != 0) return err;
  if (der.size() > *size) {  // cannot happen with the bound above; kept as a guard
    *size = static_cast<uint32_t>(der.size());
    return kErrorMoreData;
  }
  std::memcpy(output, der.data(), der.size());
  *size = static_cast<uint32_t>(der.size());
  return 0;
}

LibraryErrorCode BerToDer(std::span<const uint8_t> input, std::vector<uint8_t>* output) {
  if (output == nullptr) return kErrorInvalidParameter;
  if (input.size() > std::numeric_limits<uint32_t>::max()) return kErrorNotEnoughMemory;
  if (input.empty()) return kErrorInvalidData;
  DerNode root;
  LibraryErrorCode err = BuildDerTree(input.data(), &root, input.data() + input.size() - 1);
  if (err != 0) return err;
  if (root.tag == 0) return kErrorInvalidData;
  std::vector<uint8_t> der;
  der.reserve(input.size());
  err = EncodeDerTree(&root, &der);
  if (err != 0) return err;
  *output = std::move(der);
  return 0;
}

LibraryErrorCode OidToText(const uint8_t* content, uint32_t length, char* text, uint32_t* size) {
  if (size == nullptr) return kErrorInvalidParameter;
  if (length == 0 || content == nullptr) return kErrorInvalidData;
  std::string dotted;
  if (!der::OidContentToText(std::span<const uint8_t>(content, length), &dotted)) return kErrorInvalidData;
  const size_t needed = dotted.size() + 1;
  if (text == nullptr || *size < needed) {
    *size = static_cast<uint32_t>(needed);
    return kErrorMoreData;
  }
  std::memcpy(text, dotted.c_str(), needed);
  return 0;
}

LibraryErrorCode BmpStringToAnsi(const uint8_t* bytes, uint32_t count, char* text, uint32_t* size) {
  if (size == nullptr || (bytes == nullptr && count != 0)) return kErrorInvalidParameter;
  if (count % 2 != 0) return kErrorInvalidData;
  std::vector<uint32_t> cps;
  cps.reserve(count / 2);
  for (uint32_t i = 0; i < count; i += 2) {
    uint32_t u = (uint32_t{bytes[i]} << 8) | bytes[i + 1];
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < count) {
      const uint32_t lo = (uint32_t{bytes[i + 2]} << 8) | bytes[i + 3];
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cps.push_back(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        i += 2;
        continue;
      }
    }
    // A lone surrogate is replaced, as the platform conversion does.
    cps.push_back(u >= 0xD800 && u <= 0xDFFF ? kReplacement : u);
  }
  return WriteText(cps, text, size);
}

LibraryErrorCode Utf8ToAnsi(const uint8_t* bytes, uint32_t count, char* text, uint32_t* size) {
  if (size == nullptr || bytes == nullptr || count == 0) return kErrorInvalidParameter;
  return WriteText(DecodeUtf8Lenient(std::span<const uint8_t>(bytes, count)), text, size);
}

LibraryErrorCode HexToBytes(const char* hex, uint8_t* output, uint32_t* size) {
  if (hex == nullptr || size == nullptr) return kErrorInvalidParameter;
  const size_t len = std::strlen(hex);
  if (len / 2 > std::numeric_limits<uint32_t>::max()) return kErrorNotEnoughMemory;
  const uint32_t needed = static_cast<uint32_t>(len / 2);
  const uint32_t given = *size;
  *size = needed;
  if (needed != 0 && (output == nullptr || given < needed)) return kErrorMoreData;
  const char* digits = hex[0] == '#' ? hex + 1 : hex;
  const size_t n = std::strlen(digits);
  if (n % 2 != 0) return kErrorInvalidData;
  for (size_t i = 0; i < n; i += 2) {
    const int hi = HexValue(digits[i]);
    const int lo = HexValue(digits[i + 1]);
    if (hi < 0 || lo < 0) return kErrorInvalidData;
    output[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return 0;
}

LibraryErrorCode DerTreeToText(const DerNode* node, char* text, uint32_t room, bool prefix, char join) {
  if (text == nullptr) return kErrorInvalidParameter;
  if (room != 0) text[0] = '\0';
  TextSink sink{text, room};
  return TreeText(node, &sink, prefix, join);
}

LibraryErrorCode DecodeHexValues(std::string* name, char separator, char join) {
  if (name == nullptr) return kErrorInvalidParameter;
  const std::string original = *name;
  std::string& s = *name;
  size_t from = 0;
  while (true) {
    const size_t eq = FindHexValue(s, from);
    if (eq == std::string::npos) return 0;
    const size_t start = eq + 2;  // after '#'
    size_t end = s.size();
    const size_t next_eq = s.find('=', start);
    if (next_eq != std::string::npos) {
      const size_t sep = s.rfind(separator, next_eq);
      if (sep == std::string::npos || sep < start) {
        s = original;
        return kErrorInvalidData;
      }
      end = sep;
    }
    std::string hex = "#" + s.substr(start, end - start);
    uint32_t count = 0;
    HexToBytes(hex.c_str(), nullptr, &count);
    std::vector<uint8_t> bytes(count);
    LibraryErrorCode err = HexToBytes(hex.c_str(), bytes.data(), &count);
    DerNode root;
    if (err == 0) {
      err = bytes.empty() ? kErrorInvalidData : BuildDerTree(bytes.data(), &root, bytes.data() + bytes.size() - 1);
    }
    // Room for the rendering: at most 3 bytes of text per 2 digits, plus the NUL.
    std::vector<char> rendered(std::max(s.size() - start, hex.size() * 2) + 3, '\0');
    if (err == 0) {
      err = DerTreeToText(&root, rendered.data(), static_cast<uint32_t>(rendered.size()), false, join);
    }
    if (err != 0) {
      s = original;
      return err;
    }
    const std::string text(rendered.data());
    s.replace(eq + 1, end - (eq + 1), text);
    from = eq + 1 + text.size();
  }
}

LibraryErrorCode ComputeHash(const uint8_t* data, uint32_t length, uint32_t alg_id, uint8_t* digest,
                             uint32_t* size) {
  if (size == nullptr || (data == nullptr && length != 0)) return kErrorInvalidParameter;
  const EVP_MD* md = nullptr;
  switch (alg_id) {
    case kCalgMd5: md = EVP_md5(); break;
    case kCalgSha1: md = EVP_sha1(); break;
    case kCalgSha256: md = EVP_sha256(); break;
    case kCalgSha384: md = EVP_sha384(); break;
    case kCalgSha512: md = EVP_sha512(); break;
    default: return kNteBadAlgId;
  }
  if (md == nullptr) return kNteFail;
  const int md_size = EVP_MD_get_size(md);
  if (md_size <= 0) return kNteFail;
  const uint32_t len = static_cast<uint32_t>(md_size);
  if (digest == nullptr || *size < len) {
    *size = len;
    return kErrorMoreData;
  }
  static const uint8_t kEmpty = 0;
  unsigned int out_len = 0;
  if (EVP_Digest(data != nullptr ? data : &kEmpty, length, digest, &out_len, md, nullptr) != 1) return kNteFail;
  *size = out_len;
  return 0;
}

}  // namespace vel::crypto
