// get_page_test: a probe of the QR service. Fetches its upload page, prints
// it, then the text of every element whose id is "result".

#include "module/functions.hpp"
#include "module/runtime.hpp"

namespace velka {

namespace {

constexpr Trace tb{get_page_test_spec};

// 257  def get_page_test():
Ref get_page_test(const Bound&) {
    Ref url = Ref::borrow(s.qr_service_url);                    // 258  url = "https://qr.trasko.fr/qr/qrupload"
    Ref session = call(global(s.Session), {});                  // 259  session = Session()
    if (!session) return tb.fail(259);
    Ref html = call(global(s.read_url), {session, url});        // 260  html = read_url(session, url)
    if (!html) return tb.fail(260);
    if (!print({html})) return tb.fail(261);                    // 261  print(html)
    Ref soup = call(global(s.BeautifulSoup), {html, s.html_parser});  // 262  soup = BeautifulSoup(html, "html.parser")
    if (!soup) return tb.fail(262);
    if (!print({s.hyphens})) return tb.fail(263);               // 263  print("---------------------")
    Ref lines = call_method_kw(soup, s.find_all, {s.result}, state.kw_id);  // 264  lines = soup.find_all(id="result")
    if (!lines) return tb.fail(264);
    int looped = for_each(tb, 265, lines, [&](Ref result) -> int {  // 265  for result in lines:
        return print({call_method(result, s.get_text)}) ? 0 : tb.fail(266);  // 266      print(result.get_text())
    });
    if (looped < 0) return {};
    return none();                                              // 267  return None
}

}  // namespace

// clang-format off
constexpr FunctionSpec get_page_test_spec{
    "velka.get_page_test", 257, 0, 0, {}, {},
    {"url", "session", "html", "soup", "lines", "result"}, -1, get_page_test};
// clang-format on

}  // namespace velka
