// page_ffe: the batch. Reads the whole list file, checks each line, and
// publishes the good ones in file order through envoi_tournoi, stopping at
// the first tournament that fails.

#include "module/functions.hpp"
#include "publish/fields.hpp"

namespace velka {

namespace {

constexpr Trace tb{page_ffe_spec};

// The checked lines of one line, 235 to 241: 1 when it is to be published,
// 0 when it was skipped or reported, -1 on failure.
int check_line(const Ref& line, Ref& tfld, Ref& f_visible) {
    tfld = split_fields(line);                                  // 235          tfld = list(map(str.strip, line.replace(",", ";").split(";")))
    if (!tfld) return tb.fail(235);
    int skipped = lacks_login(tfld);                            // 236          if tfld[0] == "" or tfld[1] == "":
    if (skipped < 0) return tb.fail(236);
    if (skipped) return 0;                                      // 237              continue
    int exists = is_file(item_at(tfld, 2));                     // 238          if not pathlib.Path(tfld[2]).is_file():
    if (exists < 0) return tb.fail(238);
    if (!exists) {
        Ref message = call_method(s.papi_introuvable, s.format, {item_at(tfld, 2)});
        if (!print({message})) return tb.fail(239);             // 239              print("--------------- Fichier papi introuvable: {}".format(tfld[2]))
        return 0;                                               // 240              continue
    }
    f_visible = compare(item_at(tfld, 3), s.one_text, Py_EQ);   // 241          f_visible = tfld[3] == "1"
    return f_visible ? 1 : tb.fail(241);
}

// envoi_tournoi(tfld[0], tfld[1], os.path.abspath(tfld[2]), f_visible)
int publish(const Ref& tfld, const Ref& f_visible) {
    Ref envoi = global(s.envoi_tournoi);
    Ref abspath = attr(attr(global(s.os), s.path), s.abspath);
    if (!envoi || !abspath) return tb.fail(247);
    Ref fname = call(abspath, {item_at(tfld, 2)});
    if (!fname) return tb.fail(247);
    return call(envoi, {item_at(tfld, 0), item_at(tfld, 1), fname, f_visible}) ? 0 : tb.fail(247);
}

// 227  def page_ffe(tournoi_list_full_name):
Ref page_ffe(const Bound& args) {
    PyObject* tournoi_list_full_name = args[0].get();

    Ref file1;
    auto tried = [&]() -> int {                                 // 228  try:
        file1 = call(state.open, {tournoi_list_full_name, s.r});  // 229      file1 = open(tournoi_list_full_name, "r")
        return file1 ? 0 : tb.fail(229);
    };
    if (tried() < 0) {
        // Everything but an interruption or an exit request.
        Handler any(PyExc_BaseException, exit_exceptions());    // 230  except all_but_exits():
        if (!any) return {};
        if (!print({s.list_introuvable, tournoi_list_full_name}))
            return tb.fail(231);                                // 231      print(" tournoi list introuvable :", tournoi_list_full_name)
        return none();                                          // 232      return None
    }
    int looped = for_each(tb, 233, call_method(file1, s.readlines), [&](Ref line) -> int {
        Ref tfld, f_visible;                                    // 233  for line in file1.readlines():
        int checked = check_line(line, tfld, f_visible);        // 234      try:
        if (checked < 0) {
            Handler any(PyExc_BaseException, exit_exceptions());  // 242      except all_but_exits():
            if (!any) return -1;
            return print({s.format_incorrect, line}) ? 0 : tb.fail(243);  // 243          print("#### Format de ligne incorrecte:", line)  244  continue
        }
        if (checked == 0) return 0;
        if (!print({s.envoi_de, item_at(tfld, 2)})) return tb.fail(245);  // 245      print("trasko - envoi de:", tfld[2])
        if (publish(tfld, f_visible) < 0) {                     // 246      try:  247  envoi_tournoi(...)
            Handler e(PyExc_Exception);                         // 248      except Exception as e:
            return e ? 1 : -1;                                  // 249          return None
        }
        return 0;
    });
    if (looped < 0) return {};
    return none();                                              // 250  return None
}

}  // namespace

// clang-format off
constexpr FunctionSpec page_ffe_spec{
    "velka.page_ffe", 227, 1, 1, {"tournoi_list_full_name"}, {},
    {"file1", "line", "tfld", "f_visible", "e"}, -1, page_ffe};
// clang-format on

}  // namespace velka
