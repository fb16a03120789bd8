// get_tournoi_list: the list file read into a mapping from each line's key
// (field 4) to its Papi file path (field 2), for the lines whose file exists.
// Catches nothing: a line too short for its checks ends the call.

#include "module/functions.hpp"
#include "publish/fields.hpp"

namespace velka {

namespace {

constexpr Trace tb{get_tournoi_list_spec};

// 198  def get_tournoi_list(tournoi_list_full_name):
Ref get_tournoi_list(const Bound& args) {
    PyObject* tournoi_list_full_name = args[0].get();

    Ref dict_trn = new_dict();                                  // 199  dict_trn = {}
    if (!dict_trn) return tb.fail(199);
    Ref file1 = call(state.open, {tournoi_list_full_name, s.r});  // 200  file1 = open(tournoi_list_full_name, "r")
    if (!file1) return tb.fail(200);
    Ref Lines = call_method(file1, s.readlines);                // 201  Lines = file1.readlines()
    if (!Lines) return tb.fail(201);
    Ref count = Ref::borrow(state.zero.get());                  // 202  count = 0
    int looped = for_each(tb, 203, Lines, [&](Ref line) -> int {  // 203  for line in Lines:
        count = add_in_place(count, state.one);                 // 204      count += 1
        if (!count) return tb.fail(204);
        Ref tfld = split_fields(line);                          // 205      tfld = list(map(str.strip, line.replace(",", ";").split(";")))
        if (!tfld) return tb.fail(205);
        int skipped = lacks_login(tfld);                        // 206      if tfld[0] == "" or tfld[1] == "":
        if (skipped < 0) return tb.fail(206);
        if (skipped) return 0;                                  // 207          continue
        Ref tournoi_fname = item_at(tfld, 2);                   // 208      tournoi_fname = tfld[2]
        if (!tournoi_fname) return tb.fail(208);
        int exists = is_file(tournoi_fname);                    // 209      if not pathlib.Path(tournoi_fname).is_file():
        if (exists < 0) return tb.fail(209);
        if (!exists) {
            Ref message = call_method(s.tournoi_introuvable, s.format, {count, line, tournoi_fname});
            if (!print({message})) return tb.fail(210);         // 210          print("##### Tournoi introuvable {}:{} =>{}".format(count, line, tournoi_fname))
            return 0;                                           // 211          continue
        }
        Ref disp = item_at(tfld, 4);                            // 212      disp = tfld[4]
        if (!disp) return tb.fail(212);
        return set_item(dict_trn, disp, tournoi_fname) < 0 ? tb.fail(213) : 0;  // 213      dict_trn[disp] = tournoi_fname
    });
    if (looped < 0) return {};
    return dict_trn;                                            // 214  return dict_trn
}

}  // namespace

// clang-format off
constexpr FunctionSpec get_tournoi_list_spec{
    "velka.get_tournoi_list", 198, 1, 1, {"tournoi_list_full_name"}, {},
    {"dict_trn", "file1", "Lines", "count", "line", "tfld", "tournoi_fname", "disp"}, -1,
    get_tournoi_list};
// clang-format on

}  // namespace velka
