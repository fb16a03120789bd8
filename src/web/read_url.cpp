// read_url: the module's only road to the network. One GET or POST through
// the caller's session; the answer's body as text, or None after a failure
// it has reported itself.

#include "module/functions.hpp"
#include "module/runtime.hpp"

namespace velka {

namespace {

constexpr Trace tb{read_url_spec};

// response.content.decode(): strict UTF-8, whatever charset the server named.
Ref decoded_body(const Ref& response) { return call_method(attr(response, s.content), s.decode); }

// 12  def read_url(session, url: str, data=None, files=None):
Ref read_url(const Bound& args) {
    PyObject* session = args[0].get();
    PyObject* url = args[1].get();
    PyObject* data = args[2].get();
    PyObject* files = args[3].get();

    Ref fps = none();                                           // 13  fps = None
    Ref content = none();                                       // 14  content = None
    // `fps` gains each file as it is opened; `content` is set last, so a
    // failure anywhere leaves it None.
    auto tried = [&]() -> int {                                 // 15  try:
        int posting = truth(data);                              // 16      if data or files:
        if (posting == 0) posting = truth(files);
        if (posting < 0) return tb.fail(16);
        if (!posting) {
            Ref response = call_method(session, s.get, {url});  // 24          response = session.get(url)
            if (!response) return tb.fail(24);
            Ref text = decoded_body(response);                  // 25          content = response.content.decode()
            if (!text) return tb.fail(25);
            content = std::move(text);
            return 0;
        }
        int has_files = truth(files);                           // 17          if files:
        if (has_files < 0) return tb.fail(17);
        if (has_files) {
            Ref opened = new_dict();                            // 18              fps = {}
            if (!opened) return tb.fail(18);  // fps stays None for the closing step
            fps = std::move(opened);
            int looped = for_each(tb, 19, call_method(files, s.items), [&](Ref entry) -> int {
                Ref file_id, file_name;                         // 19              for file_id, file_name in files.items():
                if (unpack_pair(entry, file_id, file_name) < 0) return tb.fail(19);
                Ref file = call(state.open, {file_name, s.rb});  // 20                  fps[file_id] = open(file_name, "rb")
                return set_item(fps, file_id, file) < 0 ? tb.fail(20) : 0;
            });
            if (looped < 0) return -1;
        }
        Ref response = call_method_kw(session, s.post, {url, data, fps},
                                      state.kw_data_files);     // 21          response = session.post(url, data=data, files=fps)
        if (!response) return tb.fail(21);
        Ref text = decoded_body(response);                      // 22          content = response.content.decode()
        if (!text) return tb.fail(22);
        content = std::move(text);
        return 0;
    };
    if (tried() < 0) {
        Handler e(PyExc_Exception);                             // 26  except Exception as e:
        if (!e) return {};
        Ref text = str(e.exception());                          // 27      print("erreur envoi:", str(e))
        if (!print({s.erreur_envoi, text})) return tb.fail(27);
    }
    int opened = truth(fps);                                    // 28  if fps:
    if (opened < 0) return tb.fail(28);
    if (opened) {
        int looped = for_each(tb, 29, call_method(fps, s.values), [&](Ref h) -> int {
            return call_method(h, s.close) ? 0 : tb.fail(30);   // 29      for h in fps.values():  30  h.close()
        });
        if (looped < 0) return {};
    }
    return content;                                             // 31  return content
}

}  // namespace

// clang-format off
constexpr FunctionSpec read_url_spec{
    "velka.read_url", 12, 2, 4, {"session", "url", "data", "files"}, {nullptr, nullptr},
    {"fps", "content", "response", "file_id", "file_name", "e", "h"}, 1, read_url};
// clang-format on

}  // namespace velka
