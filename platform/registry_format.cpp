#include "platform/registry_format.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace vel::platform::regfile {
namespace {

constexpr uint32_t kTypeSz = 1;
constexpr uint32_t kTypeExpandSz = 2;
constexpr uint32_t kTypeBinary = 3;
constexpr uint32_t kTypeDword = 4;

char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool StartsWithFolded(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (FoldChar(s[i]) != FoldChar(prefix[i])) return false;
  return true;
}

// Reads a quoted, escaped text at the front of `s`; on success `s` is left after
// the closing quotation mark.
std::optional<std::string> ReadQuoted(std::string_view& s) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string out;
  size_t i = 1;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return out;
    }
    if (c != '\\') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 >= s.size()) return std::nullopt;
    char e = s[i + 1];
    switch (e) {
      case '\\': out.push_back('\\'); i += 2; break;
      case '"': out.push_back('"'); i += 2; break;
      case 'r': out.push_back('\r'); i += 2; break;
      case 'n': out.push_back('\n'); i += 2; break;
      case 't': out.push_back('\t'); i += 2; break;
      case 'x': {
        if (i + 3 >= s.size()) return std::nullopt;
        int hi = HexDigit(s[i + 2]), lo = HexDigit(s[i + 3]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 4;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;  // no closing quotation mark
}

std::optional<uint32_t> ReadHexNumber(std::string_view s) {
  if (s.empty() || s.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  return v;
}

// "01,02, ff" (blanks allowed around the bytes; an empty list is no bytes).
std::optional<std::vector<uint8_t>> ReadHexList(std::string_view s) {
  std::vector<uint8_t> out;
  s = TrimBlanks(s);
  if (s.empty()) return out;
  while (true) {
    size_t comma = s.find(',');
    std::string_view item = TrimBlanks(s.substr(0, comma));
    if (item.size() != 2) return std::nullopt;
    int hi = HexDigit(item[0]), lo = HexDigit(item[1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    if (comma == std::string_view::npos) return out;
    s.remove_prefix(comma + 1);
  }
}

struct ParsedValue {
  std::string name;
  uint32_t type;
  std::vector<uint8_t> data;
};

std::optional<ParsedValue> ParseValueLine(std::string_view line) {
  ParsedValue v;
  if (line.front() == '@') {
    line.remove_prefix(1);
  } else {
    auto name = ReadQuoted(line);
    if (!name) return std::nullopt;
    v.name = std::move(*name);
  }
  line = TrimBlanks(line);
  if (line.empty() || line.front() != '=') return std::nullopt;
  line = TrimBlanks(line.substr(1));

  auto read_text = [&](uint32_t type) -> std::optional<ParsedValue> {
    auto text = ReadQuoted(line);
    if (!text || !TrimBlanks(line).empty()) return std::nullopt;
    v.type = type;
    v.data.assign(text->begin(), text->end());
    return std::move(v);
  };
  if (!line.empty() && line.front() == '"') return read_text(kTypeSz);
  if (StartsWithFolded(line, "expand:")) {
    line = TrimBlanks(line.substr(7));
    return read_text(kTypeExpandSz);
  }
  if (StartsWithFolded(line, "dword:")) {
    auto n = ReadHexNumber(TrimBlanks(line.substr(6)));
    if (!n) return std::nullopt;
    v.type = kTypeDword;
    for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(*n >> (8 * i)));
    return v;
  }
  if (StartsWithFolded(line, "hex:")) {
    auto bytes = ReadHexList(line.substr(4));
    if (!bytes) return std::nullopt;
    v.type = kTypeBinary;
    v.data = std::move(*bytes);
    return v;
  }
  if (StartsWithFolded(line, "hex(")) {
    size_t close = line.find("):");
    if (close == std::string_view::npos) return std::nullopt;
    auto type = ReadHexNumber(line.substr(4, close - 4));
    auto bytes = ReadHexList(line.substr(close + 2));
    if (!type || !bytes) return std::nullopt;
    v.type = *type;
    v.data = std::move(*bytes);
    return v;
  }
  return std::nullopt;
}

void AppendQuoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7f) {
          out += "\\x";
          out.push_back(kHex[u >> 4]);
          out.push_back(kHex[u & 15]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void AppendHexList(std::string& out, const std::vector<uint8_t>& data) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    if (i) out.push_back(',');
    out.push_back(kHex[data[i] >> 4]);
    out.push_back(kHex[data[i] & 15]);
  }
}

void AppendHexNumber(std::string& out, uint32_t v, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) out.push_back(kHex[(v >> (4 * i)) & 15]);
}

}  // namespace

std::string FoldName(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = FoldChar(c);
  return out;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    size_t slash = path.find('\\');
    std::string_view part = path.substr(0, slash);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

std::string NormalizePath(std::string_view path) {
  std::string out;
  for (std::string_view part : SplitPath(path)) {
    if (!out.empty()) out.push_back('\\');
    out.append(part);
  }
  return out;
}

bool ValidKeyPath(std::string_view path) {
  size_t depth = 0;
  for (std::string_view part : SplitPath(path)) {
    if (++depth > kMaxKeyDepth || part.size() > kMaxKeyNameLength) return false;
    for (char c : part) {
      auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7f) return false;
    }
  }
  return true;
}

const Key* Hive::Find(std::string_view path, std::string* spelled) const {
  const Key* key = &root_;
  if (spelled) spelled->clear();
  for (std::string_view part : SplitPath(path)) {
    auto it = key->subkeys.find(FoldName(part));
    if (it == key->subkeys.end()) return nullptr;
    key = &it->second;
    if (spelled) {
      if (!spelled->empty()) spelled->push_back('\\');
      spelled->append(key->name);
    }
  }
  return key;
}

Key* Hive::Find(std::string_view path, std::string* spelled) {
  return const_cast<Key*>(std::as_const(*this).Find(path, spelled));
}

Key& Hive::Create(std::string_view path, std::string* spelled) {
  Key* key = &root_;
  if (spelled) spelled->clear();
  for (std::string_view part : SplitPath(path)) {
    auto [it, inserted] = key->subkeys.try_emplace(FoldName(part));
    // A key keeps the spelling it was created with.
    if (inserted) it->second.name = std::string(part);
    key = &it->second;
    if (spelled) {
      if (!spelled->empty()) spelled->push_back('\\');
      spelled->append(key->name);
    }
  }
  return *key;
}

bool Hive::DeleteTree(std::string_view path) {
  std::vector<std::string_view> parts = SplitPath(path);
  if (parts.empty()) return false;
  std::string_view last = parts.back();
  parts.pop_back();
  Key* parent = &root_;
  for (std::string_view part : parts) {
    auto it = parent->subkeys.find(FoldName(part));
    if (it == parent->subkeys.end()) return false;
    parent = &it->second;
  }
  return parent->subkeys.erase(FoldName(last)) > 0;
}

std::vector<std::string> Hive::SubKeyNames(std::string_view path) const {
  std::vector<std::string> names;
  if (const Key* key = Find(path)) {
    for (const auto& [folded, sub] : key->subkeys) names.push_back(sub.name);
  }
  return names;
}

size_t Hive::KeyCount() const {
  size_t count = 0;
  std::vector<const Key*> pending{&root_};
  while (!pending.empty()) {
    const Key* key = pending.back();
    pending.pop_back();
    ++count;
    for (const auto& [folded, sub] : key->subkeys) pending.push_back(&sub);
  }
  return count;
}

void Hive::SetValue(Key& key, std::string_view name, uint32_t type, std::vector<uint8_t> data) {
  auto [it, inserted] = key.values.try_emplace(FoldName(name));
  if (inserted) {
    it->second.name = std::string(name);
    it->second.order = key.next_order++;
  }
  it->second.type = type;
  it->second.data = std::move(data);
}

const Value* Hive::FindValue(const Key& key, std::string_view name) {
  auto it = key.values.find(FoldName(name));
  return it == key.values.end() ? nullptr : &it->second;
}

bool Hive::DeleteValue(Key& key, std::string_view name) { return key.values.erase(FoldName(name)) > 0; }

std::vector<const Value*> Hive::OrderedValues(const Key& key) {
  std::vector<const Value*> out;
  out.reserve(key.values.size());
  for (const auto& [folded, v] : key.values) out.push_back(&v);
  std::sort(out.begin(), out.end(), [](const Value* a, const Value* b) { return a->order < b->order; });
  return out;
}

Hive ParseHive(std::string_view text, std::string_view hive_name) {
  Hive hive;
  Key* current = nullptr;
  bool seen_header = false;
  bool seen_content = false;
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = TrimBlanks(text.substr(0, eol));
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (line.empty() || line.front() == ';') continue;
    if (!seen_header && !seen_content) {
      seen_content = true;
      if (line == kHeader) {
        seen_header = true;
        continue;
      }
      hive.damaged = true;
    }
    if (line.front() == '[') {
      current = nullptr;
      if (line.back() != ']') {
        hive.damaged = true;
        continue;
      }
      std::string_view path = line.substr(1, line.size() - 2);
      if (!StartsWithFolded(path, hive_name) ||
          (path.size() > hive_name.size() && path[hive_name.size()] != '\\')) {
        hive.damaged = true;  // a section of another hive, or no path at all
        continue;
      }
      path.remove_prefix(hive_name.size());
      if (!ValidKeyPath(path)) {
        hive.damaged = true;  // deeper or longer than any real key: its values go too
        continue;
      }
      current = &hive.Create(path);
      continue;
    }
    auto value = (line.front() == '"' || line.front() == '@') ? ParseValueLine(line) : std::nullopt;
    if (!value || !current) {
      hive.damaged = true;
      continue;
    }
    Hive::SetValue(*current, value->name, value->type, std::move(value->data));
  }
  return hive;
}

namespace {

void AppendValueLine(std::string& out, const Value& v) {
  if (v.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, v.name);
  }
  out += '=';
  std::string_view text(reinterpret_cast<const char*>(v.data.data()), v.data.size());
  if (v.type == kTypeSz) {
    AppendQuoted(out, text);
  } else if (v.type == kTypeExpandSz) {
    out += "expand:";
    AppendQuoted(out, text);
  } else if (v.type == kTypeDword && v.data.size() == 4) {
    out += "dword:";
    uint32_t n = static_cast<uint32_t>(v.data[0]) | static_cast<uint32_t>(v.data[1]) << 8 |
                 static_cast<uint32_t>(v.data[2]) << 16 | static_cast<uint32_t>(v.data[3]) << 24;
    AppendHexNumber(out, n, 8);
  } else if (v.type == kTypeBinary) {
    out += "hex:";
    AppendHexList(out, v.data);
  } else {
    out += "hex(";
    // Shortest hexadecimal form of the type number.
    std::string digits;
    AppendHexNumber(digits, v.type, 8);
    size_t first = digits.find_first_not_of('0');
    out += first == std::string::npos ? "0" : digits.substr(first);
    out += "):";
    AppendHexList(out, v.data);
  }
  out += '\n';
}

// Writes the sections of `key` and its subkeys; `path` is the section name of
// `key` and is restored before returning. Depth is bounded by kMaxKeyDepth.
void AppendKey(std::string& out, const Key& key, std::string& path, bool is_root) {
  // A key with subkeys is implied by their sections; one without values
  // needs a section of its own only when nothing below names it.
  if (!key.values.empty() || (!is_root && key.subkeys.empty())) {
    out += "\n[";
    out += path;
    out += "]\n";
    for (const Value* v : Hive::OrderedValues(key)) AppendValueLine(out, *v);
  }
  const size_t length = path.size();
  for (const auto& [folded, sub] : key.subkeys) {
    path += '\\';
    path += sub.name;
    AppendKey(out, sub, path, false);
    path.resize(length);
  }
}

}  // namespace

std::string SerializeHive(const Hive& hive, std::string_view hive_name) {
  std::string out(kHeader);
  out += "\n; Settings of Vellorum Sign. Written whole by the program; edit only while it is not running.\n";
  std::string path(hive_name);
  AppendKey(out, hive.root(), path, true);
  return out;
}

}  // namespace vel::platform::regfile
