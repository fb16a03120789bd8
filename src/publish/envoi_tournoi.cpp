// envoi_tournoi: publishes one tournament on the federation's ASP.NET site.
// Logs in, uploads the Papi file, then presses the show/hide button only
// when the site shows the other visibility. Catches nothing: every failure
// goes up to the caller, the batch.

#include "module/functions.hpp"
#include "module/runtime.hpp"

namespace velka {

namespace {

constexpr Trace tb{envoi_tournoi_spec};

// soup = BeautifulSoup(html, "html.parser")
Ref parse(const Ref& html) { return call(global(s.BeautifulSoup), {html, s.html_parser}); }

// reader(soup, vars, KEY): the reader and the constant naming the key are
// both globals, looked up in that order.
int read_into(PyObject* reader_name, const Ref& soup, const Ref& vars, PyObject* key_name) {
    Ref reader = global(reader_name);
    Ref key = global(key_name);
    return call(reader, {soup, vars, key}) ? 0 : -1;
}

// The three ASP.NET state fields of the page just parsed, one statement a
// line from `line`.
int read_state_fields(const Ref& soup, const Ref& vars, int line) {
    if (read_into(s.get_attr_value, soup, vars, s.VIEW_STATE) < 0) return tb.fail(line);
    if (read_into(s.get_attr_value, soup, vars, s.VIEW_GENERATOR) < 0) return tb.fail(line + 1);
    if (read_into(s.get_attr_value, soup, vars, s.EVENT_VALIDATION) < 0) return tb.fail(line + 2);
    return 0;
}

// soup = BeautifulSoup(html, "html.parser") at `line`, then the three
// state fields read from it, one a line: the soup, or empty once failed.
Ref read_state(const Ref& html, const Ref& vars, int line) {
    Ref soup = parse(html);
    if (!soup) return tb.fail(line);
    if (read_state_fields(soup, vars, line + 1) < 0) return {};
    return soup;
}

// The first three entries of every form, one a line from `line`:
// VIEW_STATE: vars[VIEW_STATE], and so on; a None value is left out of the
// body by the HTTP library.
int add_state_fields(const Ref& data_post, const Ref& vars, int line) {
    int at = line;
    for (PyObject* name : {s.VIEW_STATE, s.VIEW_GENERATOR, s.EVENT_VALIDATION}) {
        Ref key = global(name);
        if (set_item(data_post, key, item(vars, key)) < 0) return tb.fail(at);
        ++at;
    }
    return 0;
}

// data_post = { at `line`, then the state fields, one a line.
Ref state_form(const Ref& vars, int line) {
    Ref data_post = new_dict();
    if (!data_post) return tb.fail(line);
    if (add_state_fields(data_post, vars, line + 1) < 0) return {};
    return data_post;
}

// The login form: the state fields, the organiser's login and password, and
// the image button's click position.
Ref login_form(const Ref& vars, PyObject* nohom, PyObject* pwd) {
    Ref data_post = state_form(vars, 139);                      // 139-142  data_post = { VIEW_STATE: vars[VIEW_STATE], ...
    if (!data_post) return {};
    if (set_item(data_post, global(s.FLD_LOGIN), nohom) < 0)
        return tb.fail(143);                                    // 143      FLD_LOGIN: nohom,
    if (set_item(data_post, global(s.FLD_PASSWD), pwd) < 0)
        return tb.fail(144);                                    // 144      FLD_PASSWD: pwd,
    if (set_item(data_post, add(global(s.IMG_BUTTON), s.dot_x), s.click_position) < 0)
        return tb.fail(145);                                    // 145      IMG_BUTTON + ".x": "3",
    if (set_item(data_post, add(global(s.IMG_BUTTON), s.dot_y), s.click_position) < 0)
        return tb.fail(146);                                    // 146      IMG_BUTTON + ".y": "3",
    return data_post;
}

// A postback of the tournament page: the state fields, then the event
// target named by the constant `target_name` and an empty argument.
Ref event_form(const Ref& vars, PyObject* target_name, int line) {
    Ref data_post = state_form(vars, line);
    if (!data_post) return {};
    if (set_item(data_post, s.event_target, global(target_name)) < 0)
        return tb.fail(line + 4);                               //     "__EVENTTARGET": <target>,
    if (set_item(data_post, s.event_argument, s.empty) < 0)
        return tb.fail(line + 5);                               //     "__EVENTARGUMENT": "",
    return data_post;
}

// The Papi file sent with the upload form.
Ref upload(const Ref& session, const Ref& url, const Ref& data_post, PyObject* fname) {
    Ref reader = global(s.read_url);                            // 162  html = read_url(session, url, data_post, files={UPLOAD_FILE: fname})
    Ref files = new_dict();
    if (!reader || set_item(files, global(s.UPLOAD_FILE), fname) < 0) return tb.fail(162);
    Ref html = call_kw(reader, {session, url, data_post, files}, state.kw_files);
    if (!html) return tb.fail(162);
    return html;
}

// vars[VISIBILITY_ID].lower().startswith(word)
int label_starts_with(const Ref& vars, PyObject* word) {
    Ref label = item(vars, global(s.VISIBILITY_ID));
    return truth(call_method(call_method(label, s.lower), s.startswith, {word}));
}

// A label that begins with neither word leaves the visibility unknown: say
// so, naming the label, and fail, so that the tournament never passes for done.
Failed unknown_visibility(const Ref& vars) {
    Ref label = repr(item(vars, global(s.VISIBILITY_ID)));
    if (!label) return tb.fail(174);
    Ref message = join_formatted({s.erreur_visibilite, label, s.colon});
    if (!print({message})) return tb.fail(174);                 // 174      print(f"erreur lecture visibilité {vars[VISIBILITY_ID]!r}:")
    Ref error = join_formatted({s.libelle_inconnu, label});     // 175      raise ValueError(f"libellé du bouton de visibilité inconnu: {vars[VISIBILITY_ID]!r}")
    raise_error(PyExc_ValueError, error);
    return tb.fail(175);
}

// What the site shows now, True or False: the button offers the other state.
Ref shown_visibility(const Ref& vars) {
    Ref visibilty_state;                                        // 168  visibilty_state = None
    int shown = label_starts_with(vars, s.desactiver);          // 169  if vars[VISIBILITY_ID].lower().startswith("désactiver"):
    if (shown < 0) return tb.fail(169);
    if (shown) visibilty_state = Ref::borrow(Py_True);          // 170      visibilty_state = True
    int hidden = label_starts_with(vars, s.activer);            // 171  if vars[VISIBILITY_ID].lower().startswith("activer"):
    if (hidden < 0) return tb.fail(171);
    if (hidden) visibilty_state = Ref::borrow(Py_False);        // 172      visibilty_state = False
    if (!visibilty_state) return unknown_visibility(vars);      // 173  if visibilty_state is None:
    return visibilty_state;
}

// The show/hide button pressed, and its label read again from the answer.
int switch_visibility(const Ref& session, const Ref& vars) {
    Ref url = add(global(s.ADMIN_FFE_URL), s.tournament_page);  // 177      url = ADMIN_FFE_URL + "/MonTournoi.aspx"
    if (!url) return tb.fail(177);
    Ref data_post = event_form(vars, s.VISIBILITY_EVENT, 178);  // 178-184      data_post = {..., "__EVENTTARGET": VISIBILITY_EVENT, ...}
    if (!data_post) return -1;
    Ref html = call(global(s.read_url), {session, url, data_post});  // 185      html = read_url(session, url, data_post)
    if (!html) return tb.fail(185);
    Ref soup = parse(html);                                     // 186      soup = BeautifulSoup(html, "html.parser")
    if (!soup) return tb.fail(186);
    if (read_into(s.get_ident_text, soup, vars, s.VISIBILITY_ID) < 0)
        return tb.fail(187);                                    // 187      get_ident_text(soup, vars, VISIBILITY_ID)
    return 0;
}

// 128  def envoi_tournoi(nohom, pwd, fname, f_visible):
Ref envoi_tournoi(const Bound& args) {
    PyObject* nohom = args[0].get();
    PyObject* pwd = args[1].get();
    PyObject* fname = args[2].get();
    PyObject* f_visible = args[3].get();

    Ref vars = new_dict();                                      // 129  vars = {}
    if (!vars) return tb.fail(129);
    Ref url = global(s.ADMIN_FFE_URL);                          // 130  url = ADMIN_FFE_URL
    if (!url) return tb.fail(130);
    Ref session = call(global(s.Session), {});                  // 131  session = Session()
    if (!session) return tb.fail(131);
    Ref html = call(global(s.read_url), {session, url});        // 132  html = read_url(session, url)
    if (!html) return tb.fail(132);
    Ref soup = read_state(html, vars, 133);                     // 133-136  soup = BeautifulSoup(html, "html.parser")...
    if (!soup) return {};

    // Login.
    url = add(global(s.ADMIN_FFE_URL), s.default_page);         // 138  url = ADMIN_FFE_URL + "/Default.aspx"
    if (!url) return tb.fail(138);
    Ref data_post = login_form(vars, nohom, pwd);               // 139-147  data_post = {..., FLD_LOGIN: nohom, ...}
    if (!data_post) return {};
    html = call(global(s.read_url), {session, url, data_post}); // 148  html = read_url(session, url, data_post)
    if (!html) return tb.fail(148);
    soup = read_state(html, vars, 149);                         // 149-152  soup = BeautifulSoup(html, "html.parser")...
    if (!soup) return {};

    // Upload of the Papi file.
    url = add(global(s.ADMIN_FFE_URL), s.tournament_page);      // 154  url = ADMIN_FFE_URL + "/MonTournoi.aspx"
    if (!url) return tb.fail(154);
    data_post = event_form(vars, s.UPLOAD_EVENT, 155);          // 155-161  data_post = {..., "__EVENTTARGET": UPLOAD_EVENT, ...}
    if (!data_post) return {};
    html = upload(session, url, data_post, fname);              // 162  html = read_url(session, url, data_post, files=...)
    if (!html) return {};
    soup = read_state(html, vars, 163);                         // 163-166  soup = BeautifulSoup(html, "html.parser")...
    if (!soup) return {};
    if (read_into(s.get_ident_text, soup, vars, s.VISIBILITY_ID) < 0)
        return tb.fail(167);                                    // 167  get_ident_text(soup, vars, VISIBILITY_ID)

    Ref visibilty_state = shown_visibility(vars);               // 168-175  visibilty_state = None...
    if (!visibilty_state) return {};
    int differs = compares(visibilty_state, f_visible, Py_NE);  // 176  if visibilty_state != f_visible:
    if (differs < 0) return tb.fail(176);
    if (differs && switch_visibility(session, vars) < 0) return {};  // 177-187      url = ADMIN_FFE_URL + "/MonTournoi.aspx"...
    return none();                                              // 188  return None
}

}  // namespace

// clang-format off
constexpr FunctionSpec envoi_tournoi_spec{
    "velka.envoi_tournoi", 128, 4, 4, {"nohom", "pwd", "fname", "f_visible"}, {},
    {"vars", "url", "session", "html", "soup", "data_post", "visibilty_state"}, -1,
    envoi_tournoi};
// clang-format on

}  // namespace velka
