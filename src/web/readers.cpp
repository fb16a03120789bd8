// get_ident_text and get_attr_value: one value out of a parsed page into the
// caller's form-value mapping. A failure is reported by one line naming the
// key, then raised again unchanged.

#include "module/functions.hpp"
#include "module/runtime.hpp"

namespace velka {

namespace {

// soup.find(id=attr).get_text()
Ref text_by_id(PyObject* soup, PyObject* attr) {
    return call_method(call_method_kw(soup, s.find, {attr}, state.kw_id), s.get_text);
}

// except Exception as e: print(f"{prefix}{attr}:"); raise
// The failure line names the key looked up; the error goes on unchanged.
Ref report_and_reraise(const Trace& tb, PyObject* prefix, PyObject* attr, int print_line) {
    Handler e(PyExc_Exception);
    if (!e) return {};
    Ref message = join_formatted({prefix, attr, s.colon});
    if (!print({message})) return tb.fail(print_line);
    return e.reraise();
}

// 105  def get_ident_text(soup, vars, attr):
Ref get_ident_text(const Bound& args) {
    static constexpr Trace tb{get_ident_text_spec};
    PyObject* soup = args[0].get();
    PyObject* vars = args[1].get();
    PyObject* attr = args[2].get();

    auto tried = [&]() -> int {                                 // 106  try:
        Ref elem = text_by_id(soup, attr);                      // 107      elem = soup.find(id=attr).get_text()
        if (!elem) return tb.fail(107);
        if (set_item(vars, attr, elem) < 0) return tb.fail(108);  // 108      vars[attr] = elem
        return 0;
    };
    if (tried() < 0)                                            // 109  except Exception as e:
        return report_and_reraise(tb, s.erreur_lecture_id, attr, 110);  // 110-111  print(f"erreur lecture id {attr}:"); raise
    return none();                                              // 112  return None
}

// Its store and except block have get_ident_text's shape on purpose: each
// mirrors its own function's statements at their own traceback lines.
// 114  def get_attr_value(soup, vars, attr, attr_name="name"):
Ref get_attr_value(const Bound& args) {
    static constexpr Trace tb{get_attr_value_spec};
    PyObject* soup = args[0].get();
    PyObject* vars = args[1].get();
    PyObject* attr = args[2].get();
    PyObject* attr_name = args[3].get();

    auto tried = [&]() -> int {                                 // 115  try:
        int by_id = compares(attr_name, s.id, Py_EQ);           // 116      if attr_name == "id":
        if (by_id < 0) return tb.fail(116);
        Ref elem;
        if (by_id) {
            if (!print({s.getting, attr})) return tb.fail(117); // 117          print("getting .....", attr)
            elem = text_by_id(soup, attr);                      // 118          elem = soup.find(id=attr).get_text()
            if (!elem) return tb.fail(118);
            if (!print({elem})) return tb.fail(119);            // 119          print(elem)
        } else {
            // soup.find is looked up before the dict is built, as Python does:
            // a page that is no page fails first, whatever attr_name is.
            Method find(soup, s.find);                          // 121          elem = soup.find(attrs={attr_name: attr}).get("value")
            if (!find) return tb.fail(121);
            Ref query = dict_of(attr_name, attr);
            if (!query) return tb.fail(121);
            elem = call_method(find.call_kw({query}, state.kw_attrs), s.get, {s.value});
            if (!elem) return tb.fail(121);
        }
        if (set_item(vars, attr, elem) < 0) return tb.fail(122);  // 122      vars[attr] = elem
        return 0;
    };
    if (tried() < 0)                                            // 123  except Exception as e:
        return report_and_reraise(tb, s.erreur_lecture, attr, 124);  // 124-125  print(f"erreur lecture {attr}:"); raise
    return none();                                              // 126  return None
}

}  // namespace

// clang-format off
constexpr FunctionSpec get_ident_text_spec{
    "velka.get_ident_text", 105, 3, 3, {"soup", "vars", "attr"}, {}, {"elem", "e"}, -1,
    get_ident_text};
// clang-format on
// clang-format off
constexpr FunctionSpec get_attr_value_spec{
    "velka.get_attr_value", 114, 3, 4, {"soup", "vars", "attr", "attr_name"}, {"name"},
    {"elem", "e"}, -1, get_attr_value};
// clang-format on

}  // namespace velka
