// main_func: the command entry. The list file's path is the first command-line
// argument; without one, the usage line.

#include "module/functions.hpp"
#include "module/runtime.hpp"

namespace velka {

namespace {

constexpr Trace tb{main_func_spec};

// 271  def main_func():
Ref main_func(const Bound&) {
    Ref cmd;
    auto tried = [&]() -> int {                                 // 272  try:
        cmd = item(attr(global(s.sys), s.argv), state.one);     // 273      cmd = sys.argv[1]
        return cmd ? 0 : tb.fail(273);
    };
    if (tried() < 0) {
        // Everything but an interruption or an exit request.
        Handler any(PyExc_BaseException, exit_exceptions());    // 274  except all_but_exits():
        if (!any) return {};
        cmd = Ref::borrow(s.empty);                             // 275      cmd = ""
    }
    int given = compares(cmd, s.empty, Py_NE);                  // 276  if cmd != "":
    if (given < 0) return tb.fail(276);
    if (given) {
        if (!call(global(s.page_ffe), {cmd})) return tb.fail(277);  // 277      page_ffe(cmd)
    } else {
        if (!print({s.syntaxe})) return tb.fail(279);           // 278  else:  279  print("syntaxe: trasko fichier-tournoi")
    }
    return none();                                              // 280  return None
}

}  // namespace

// clang-format off
constexpr FunctionSpec main_func_spec{"velka.main_func", 271, 0, 0, {}, {}, {"cmd"}, -1, main_func};
// clang-format on

}  // namespace velka
