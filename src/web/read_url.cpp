// read_url: the module's only road to the network. One GET or POST through
// the caller's session; the answer's body as text, or None after a failure
// it has reported itself.

#include "module/functions.hpp"
#include "module/runtime.hpp"

namespace velka {

namespace {

constexpr Trace tb{"velka.read_url"};

// response.content.decode(): strict UTF-8, whatever charset the server named.
Ref decoded_body(const Ref& response) { return call_method(attr(response, s.content), s.decode); }

// The guarded statements, lines 16 to 25. `fps` gains each file as it is
// opened; `content` is set last, so a failure anywhere leaves it None.
int send_request(PyObject* session, PyObject* url, PyObject* data, PyObject* files, Ref& fps,
                 Ref& content) {
    int posting = truth(data);                                  // 16  if data or files:
    if (posting == 0) posting = truth(files);
    if (posting < 0) return tb.fail(16);
    if (!posting) {
        Ref response = call_method(session, s.get, {url});      // 24      response = session.get(url)
        if (!response) return tb.fail(24);
        Ref text = decoded_body(response);                      // 25      content = response.content.decode()
        if (!text) return tb.fail(25);
        content = std::move(text);
        return 0;
    }
    int has_files = truth(files);                               // 17      if files:
    if (has_files < 0) return tb.fail(17);
    if (has_files) {
        Ref opened = new_dict();                                // 18          fps = {}
        if (!opened) return tb.fail(18);  // fps stays None for the closing step
        fps = std::move(opened);
        Ref entries = iterate(call_method(files, s.items));     // 19          for file_id, file_name in files.items():
        if (!entries) return tb.fail(19);
        for (Ref entry, file_id, file_name;;) {
            int more = next(entries, entry);
            if (more == 0) break;
            if (more < 0 || unpack_pair(entry, file_id, file_name) < 0) return tb.fail(19);
            Ref file = call(state.open, {file_name, s.rb});     // 20              fps[file_id] = open(file_name, "rb")
            if (set_item(fps, file_id, file) < 0) return tb.fail(20);
        }
    }
    Ref response = call_method_kw(session, s.post, {url, data, fps},
                                  state.kw_data_files);         // 21      response = session.post(url, data=data, files=fps)
    if (!response) return tb.fail(21);
    Ref text = decoded_body(response);                          // 22      content = response.content.decode()
    if (!text) return tb.fail(22);
    content = std::move(text);
    return 0;
}

}  // namespace

// 12  def read_url(session, url: str, data=None, files=None):
Ref read_url(const Bound& args) {
    PyObject* session = args[0].get();
    PyObject* url = args[1].get();
    PyObject* data = args[2].get();
    PyObject* files = args[3].get();

    Ref fps = none();                                           // 13  fps = None
    Ref content = none();                                       // 14  content = None
    if (send_request(session, url, data, files, fps, content) < 0) {  // 15  try:
        Handler e(PyExc_Exception);                             // 26  except Exception as e:
        if (!e) return {};
        Ref text = str(e.exception());                          // 27      print("erreur envoi:", str(e))
        if (!print({s.erreur_envoi, text})) return tb.fail(27);
    }
    int opened = truth(fps);                                    // 28  if fps:
    if (opened < 0) return tb.fail(28);
    if (opened) {
        Ref handles = iterate(call_method(fps, s.values));      // 29      for h in fps.values():
        if (!handles) return tb.fail(29);
        for (Ref h;;) {
            int more = next(handles, h);
            if (more == 0) break;
            if (more < 0) return tb.fail(29);
            if (!call_method(h, s.close)) return tb.fail(30);   // 30          h.close()
        }
    }
    return content;                                             // 31  return content
}

}  // namespace velka
