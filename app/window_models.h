// The logic of the program's windows, without widgets: which reader opens a
// path, the title and page label, which controls are enabled, the zoom steps,
// where a page is drawn and printed, and the settings form. The widgets in
// app/ui only show what these answer; tests call them directly.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/message_catalog.h"

namespace vel::app {

// Kinds of open document.
enum DocumentKind : int { kKindNone = 0, kKindKdoc = 1, kKindPackage = 2, kKindMap = 4, kKindXml = 5, kKindPkcs7 = 6 };

// The kind a path opens as, by its extension without case; kKindNone for
// anything the program does not read.
DocumentKind KindForPath(std::string_view path);

// The overall verdict of the open document's signatures.
enum OverallStatus : int { kStatusNone = -1, kStatusCorrect = 0, kStatusIncomplete = 1, kStatusNegative = 2 };

// The status static that shows a verdict (its object name) and its text.
const char* StatusControl(int status);
std::string StatusText(const CMessageTable& catalog, int status);

// "Vellorum Sign 3.0.0.25 [<path>]", or with "no document".
std::string WindowTitle(const CMessageTable& catalog, const std::string& path);
// The message of a failed open: `closing` when the program ends after it
// (the document given at start-up), else the one after the Open button.
std::string OpenFailedText(const CMessageTable& catalog, bool closing);
// What the empty window says: how to open a document, naming the Open button.
std::string EmptyWindowHint(const CMessageTable& catalog);
// "strona 2/3" / "Page 2/3".
std::string PageLabel(const CMessageTable& catalog, int page, int count);

// Zoom steps 0..9 give the zoom 1..10; the start is step 3 (zoom 4).
inline constexpr int kZoomSteps = 10;
inline constexpr int kInitialZoomStep = 3;

// What the viewer page enables for the state of the open document.
struct ViewerControls {
  bool prev = false, next = false;
  bool zoom_in = false, zoom_out = false, fit = false;
  bool print = false, sign = false, open = true;
  bool picture = false;   // the page picture is shown
  bool content = false;   // present and save content, and the package notice
  bool hint = false;      // no document: the notice says how to open one, Open is the default button
};
ViewerControls ControlsFor(int kind, int page, int page_count, int zoom_step, bool fit, bool busy);

// The drawn size of a page. `frame_width` and `frame_height` are the EMF
// frame in hundredths of a millimetre, or a BMP image's pixels. A page or a
// view of no width draws nothing (nullopt), as does one beyond the largest
// picture we make.
struct DrawSize {
  int width = 0, height = 0;
  float zoom = 0;  // the zoom that results (fit) or was used
};
inline constexpr int kMaxDrawSide = 16384;
std::optional<DrawSize> PageDrawSize(bool emf, double frame_width, double frame_height, int view_width, bool fit,
                                     float zoom);

// Where a drawn page sits in the view: centred when smaller, with a scroll
// bar (range 0..max) when larger.
struct PagePlacement {
  int x = 0, y = 0;
  bool horizontal_bar = false, vertical_bar = false;
  int horizontal_max = 0, vertical_max = 0;
};
PagePlacement PlacePage(int drawn_width, int drawn_height, int view_width, int view_height);

// A page fitted to the printable area (width, height): rotated by 90 degrees
// when page and paper differ in orientation; the size of the drawn picture
// in the paper's units (before rotation). Nothing for an empty page or area.
struct PrintPlacement {
  bool rotate = false;
  double width = 0, height = 0;
};
std::optional<PrintPlacement> FitForPrint(double area_width, double area_height, double page_width,
                                          double page_height);

// What the person is told when a print could not be made: to the PDF file
// `file` when one was chosen, else on the printer `printer` (empty: none was
// available). English for the English catalog, Polish otherwise.
std::string PrintFailedText(const CMessageTable& catalog, const std::string& printer, const std::string& file);

// The settings page's fields.
struct SettingsForm {
  std::string tsa_host, tsa_oid, crl_urls, proxy_name, proxy_port, proxy_user, proxy_password;
  bool tsa_sign_request = true, crl_get_always = false, proxy_enabled = false, proxy_auth = false,
       kdoc_ask_save = false;
};
// One default for each value the page shows, the same the signing flow and
// the proxy reader use.
inline constexpr char kSettingsDefaultTsaOid[] = "1.2.616.1.170238.10.2.1.0";
inline constexpr char kSettingsDefaultProxyPort[] = "0";

// Reads the form from the user key; the credentials only when proxy and
// authentication are both on.
SettingsForm LoadSettingsForm();
// Writes every field; the credentials protected (empty unless proxy and
// authentication are both on). 0, or the first failing write's error.
uint32_t SaveSettingsForm(const SettingsForm& form);

// What the proxy and authentication boxes enable.
struct ProxyControls {
  bool host = false, port = false, auth = false, user = false, password = false;
};
ProxyControls ProxyControlsFor(bool proxy_enabled, bool auth_enabled);

// The name offered for a copy of a container that cannot be opened where it
// is: the name's part before its first dot, then 1, 2, ... (the first that
// `exists` denies), then the rest from that dot on, in the same folder.
std::string ProposedCopyName(const std::string& path, const std::function<bool(const std::string&)>& exists);

// CRL addresses typed into an edit (LF) as the settings keep them (CR LF), and back.
std::string ToCrLf(std::string_view text);
std::string ToLf(std::string_view text);

}  // namespace vel::app
