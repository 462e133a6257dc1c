#include "app/window_models.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "app/registry_names.h"
#include "app/registry_settings.h"

namespace vel::app {

namespace {

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::string UserPath(std::string_view name) { return std::string(kUserKey) + "\\" + std::string(name); }

std::string ReadString(std::string_view name, std::string_view fallback) {
  return CRegString(UserPath(name), fallback, true, RegHive::kCurrentUser).Get();
}

bool ReadFlag(std::string_view name, uint32_t fallback) {
  return CRegDword(UserPath(name), fallback, true, RegHive::kCurrentUser).Get() != 0;
}

}  // namespace

DocumentKind KindForPath(std::string_view path) {
  std::string lower(path);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (EndsWith(lower, ".vestpro") || EndsWith(lower, ".pem")) return kKindPackage;
  if (EndsWith(lower, ".kmap")) return kKindMap;
  if (EndsWith(lower, ".kdoc")) return kKindKdoc;
  if (EndsWith(lower, ".p7") || EndsWith(lower, ".sig")) return kKindPkcs7;
  if (EndsWith(lower, ".xml")) return kKindXml;
  return kKindNone;
}

const char* StatusControl(int status) {
  switch (status) {
    case kStatusCorrect: return "1040";
    case kStatusIncomplete: return "1038";
    case kStatusNegative: return "1039";
    default: return "1037";
  }
}

std::string StatusText(const CMessageTable& catalog, int status) {
  std::string text;
  switch (status) {
    case kStatusCorrect: return catalog.Get(text, 222, "Podpis poprawny");
    case kStatusIncomplete: return catalog.Get(text, 223, "Podpis zweryfikowany niekompletnie");
    case kStatusNegative: return catalog.Get(text, 225, "Podpis zweryfikowany negatywnie");
    default: return catalog.Get(text, 380, "Brak podpisów");
  }
}

std::string WindowTitle(const CMessageTable&, const std::string& path) {
  return "Vellorum Sign 3.0.0.25 [" + (path.empty() ? std::string("brak dokumentu") : path) + "]";
}

std::string OpenFailedText(const CMessageTable& catalog, bool closing) {
  const bool english = catalog.GetLanguageId() == kLangIdEnglish;
  std::string text = english ? "The attempt to open the file failed." : "Próba otwarcie pliku zakończyła się niepowodzeniem.";
  if (closing) text += english ? " The application will be closed." : " Aplikacja zostanie zamknięta.";
  return text;
}

std::string EmptyWindowHint(const CMessageTable& catalog) {
  std::string open;
  catalog.Get(open, 410, "Otwórz");
  return catalog.GetLanguageId() == kLangIdEnglish ? "\nNo document is open.\nTo open a document press the button: " + open
                                                   : "\nNie otwarto dokumentu.\nAby otworzyć dokument, naciśnij przycisk: " + open;
}

std::string PageLabel(const CMessageTable& catalog, int page, int count) {
  std::string word;
  catalog.Get(word, 382, "strona");
  return word + " " + std::to_string(page) + "/" + std::to_string(count);
}

ViewerControls ControlsFor(int kind, int page, int page_count, int zoom_step, bool fit, bool busy) {
  ViewerControls c;
  if (busy) {
    c.open = false;
    return c;
  }
  if (kind == kKindKdoc) {
    c.picture = page_count > 0;
    c.prev = page >= 2;
    c.next = page < page_count;
    c.fit = page_count > 0;
    c.zoom_in = c.fit && !fit && zoom_step < kZoomSteps - 1;
    c.zoom_out = c.fit && !fit && zoom_step >= 1;
    c.print = c.sign = page_count > 0;
  } else if (kind != kKindNone) {
    c.content = true;
  } else {
    c.hint = true;
  }
  return c;
}

std::optional<DrawSize> PageDrawSize(bool emf, double frame_width, double frame_height, int view_width, bool fit,
                                     float zoom) {
  frame_width = std::fabs(frame_width);
  frame_height = std::fabs(frame_height);
  if (!(frame_width >= 1) || !(frame_height >= 1)) return std::nullopt;
  DrawSize d;
  double w = 0, h = 0;
  if (fit) {
    if (view_width <= 0) return std::nullopt;
    d.zoom = static_cast<float>(frame_width / view_width);
    w = view_width;
    h = frame_height / d.zoom;
  } else if (emf) {
    if (!(zoom > 0)) return std::nullopt;
    d.zoom = zoom;
    w = frame_width * zoom * 0.01;
    h = frame_height * zoom * 0.01;
  } else {
    d.zoom = 3.7799926f;
    w = frame_width;
    h = frame_height;
  }
  if (!(w >= 1) || !(h >= 1) || w > kMaxDrawSide || h > kMaxDrawSide) return std::nullopt;
  d.width = static_cast<int>(w);
  d.height = static_cast<int>(h);
  return d;
}

PagePlacement PlacePage(int drawn_width, int drawn_height, int view_width, int view_height) {
  PagePlacement p;
  p.horizontal_bar = drawn_width > view_width;
  p.vertical_bar = drawn_height > view_height;
  if (p.horizontal_bar) p.horizontal_max = drawn_width - view_width;
  else p.x = (view_width - drawn_width) / 2;
  if (p.vertical_bar) p.vertical_max = drawn_height - view_height;
  else p.y = (view_height - drawn_height) / 2;
  return p;
}

std::string PrintFailedText(const CMessageTable& catalog, const std::string& printer, const std::string& file) {
  const bool en = catalog.GetLanguageId() == kLangIdEnglish;
  if (!file.empty())
    return (en ? "The document could not be printed to the file:\n" : "Nie udało się wydrukować dokumentu do pliku:\n") +
           file;
  if (!printer.empty())
    return en ? "The document could not be printed on the printer \"" + printer + "\"."
              : "Nie udało się wydrukować dokumentu na drukarce „" + printer + "”.";
  return en ? "The document could not be printed: no printer is available. Choose printing to a file (PDF)."
            : "Nie udało się wydrukować dokumentu: brak dostępnej drukarki. Wybierz drukowanie do pliku (PDF).";
}

std::optional<PrintPlacement> FitForPrint(double area_width, double area_height, double page_width,
                                          double page_height) {
  const double W = std::fabs(area_width), H = std::fabs(area_height);
  page_width = std::fabs(page_width);
  page_height = std::fabs(page_height);
  if (!(W > 0) || !(H > 0) || !(page_width > 0) || !(page_height > 0)) return std::nullopt;
  const double paper = W / H, picture = page_width / page_height;
  PrintPlacement p;
  if ((paper > 1) != (picture > 1) && paper != 1 && picture != 1) {
    // Turned, the picture's width runs down the paper: it may be as long as H.
    p.rotate = true;
    const double r = 1 / picture;
    if (r < paper) {
      p.width = H;
      p.height = H * r;
    } else {
      p.height = W;
      p.width = W / r;
    }
  } else if (picture > paper) {
    p.width = W;
    p.height = W / picture;
  } else {
    p.width = H * picture;
    p.height = H;
  }
  return p;
}

SettingsForm LoadSettingsForm() {
  SettingsForm f;
  f.tsa_host = ReadString(kValueTsaHost, kRegDefaultTsaHost);
  f.tsa_oid = ReadString(kValueTsaOid, kSettingsDefaultTsaOid);
  f.crl_urls = ReadString(kValueCrlUrls, kRegDefaultCrlUrls);
  f.proxy_name = ReadString(kValueProxyName, kRegDefaultProxyName);
  f.proxy_port = ReadString(kValueProxyPort, kSettingsDefaultProxyPort);
  f.tsa_sign_request = ReadFlag(kValueTsaSignReq, kRegDefaultTsaSignReq);
  f.crl_get_always = ReadFlag(kValueCrlGetAlways, kRegDefaultCrlGetAlways);
  f.proxy_enabled = ReadFlag(kValueProxyEnabled, kRegDefaultProxyEnabled);
  f.proxy_auth = ReadFlag(kValueProxyAuthEnabled, kRegDefaultProxyAuthEnabled);
  f.kdoc_ask_save = ReadFlag(kValueKdocAskSave, 0);
  if (f.proxy_enabled && f.proxy_auth) {
    const std::string sub = std::string(kUserKey) + "\\" + kSubkeyNetwork + "\\";
    RevealProtectedSetting(RegHive::kCurrentUser, sub + kValueProxyUsr, f.proxy_user);
    RevealProtectedSetting(RegHive::kCurrentUser, sub + kValueProxyPwd, f.proxy_password);
  }
  return f;
}

uint32_t SaveSettingsForm(const SettingsForm& f) {
  uint32_t first = 0;
  const auto keep = [&first](uint32_t r) {
    if (first == 0) first = r;
  };
  const RegHive hive = RegHive::kCurrentUser;
  keep(WriteRegString(hive, kUserKey, kValueTsaHost, f.tsa_host));
  keep(WriteRegString(hive, kUserKey, kValueTsaOid, f.tsa_oid));
  keep(WriteRegDword(hive, kUserKey, kValueTsaSignReq, f.tsa_sign_request));
  keep(WriteRegString(hive, kUserKey, kValueCrlUrls, ToCrLf(f.crl_urls)));
  keep(WriteRegDword(hive, kUserKey, kValueCrlGetAlways, f.crl_get_always));
  keep(WriteRegDword(hive, kUserKey, kValueProxyEnabled, f.proxy_enabled));
  keep(WriteRegDword(hive, kUserKey, kValueProxyAuthEnabled, f.proxy_auth));
  keep(WriteRegString(hive, kUserKey, kValueProxyName, f.proxy_name));
  keep(WriteRegString(hive, kUserKey, kValueProxyPort, f.proxy_port));
  keep(WriteRegDword(hive, kUserKey, kValueKdocAskSave, f.kdoc_ask_save));
  const bool credentials = f.proxy_enabled && f.proxy_auth;
  const std::string sub = std::string(kUserKey) + "\\" + kSubkeyNetwork;
  keep(StoreProtectedSetting(hive, sub, kValueProxyUsr, credentials ? f.proxy_user : ""));
  keep(StoreProtectedSetting(hive, sub, kValueProxyPwd, credentials ? f.proxy_password : ""));
  return first;
}

ProxyControls ProxyControlsFor(bool proxy_enabled, bool auth_enabled) {
  ProxyControls c;
  if (!proxy_enabled) return c;
  c.host = c.port = c.auth = true;
  c.user = c.password = auth_enabled;
  return c;
}

std::string ProposedCopyName(const std::string& path, const std::function<bool(const std::string&)>& exists) {
  const size_t slash = path.find_last_of("/\\");
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.find('.', name);
  if (dot == std::string::npos) dot = path.size();
  for (unsigned n = 1;; ++n) {
    std::string candidate = path.substr(0, dot) + std::to_string(n) + path.substr(dot);
    if (!exists(candidate) || n == 0xFFFFFFFFu) return candidate;
  }
}

std::string ToCrLf(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') continue;
    if (text[i] == '\n') out += '\r';
    out += text[i];
  }
  return out;
}

std::string ToLf(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

}  // namespace vel::app
