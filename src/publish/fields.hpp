// What both readers of the list file do to a line.
#pragma once

#include "module/runtime.hpp"

namespace velka {

// list(map(str.strip, line.replace(",", ";").split(";"))): comma and
// semicolon are the same separator; each field trimmed.
inline Ref split_fields(const Ref& line) {
    Ref pieces;
    // Raw calls for an exact str, whose methods are the built-in ones: the
    // list file's lines take the direct road, for the list readers' per-line
    // figures.
    if (PyUnicode_CheckExact(line.get())) {
        Ref replaced = Ref::steal(PyUnicode_Replace(line.get(), s.comma, s.semicolon, -1));
        if (replaced) pieces = Ref::steal(PyUnicode_Split(replaced.get(), s.semicolon, -1));
    } else {
        pieces = call_method(call_method(line, s.replace, {s.comma, s.semicolon}), s.split,
                             {s.semicolon});
    }
    return to_list(call(state.map, {state.str_strip, pieces}));
}

// tfld[0] == "" or tfld[1] == "": 1 when the line is to be skipped.
inline int lacks_login(const Ref& tfld) {
    int empty = compares(item_at(tfld, 0), s.empty, Py_EQ);
    if (empty == 0) empty = compares(item_at(tfld, 1), s.empty, Py_EQ);
    return empty;
}

// pathlib.Path(path).is_file()
inline int is_file(Arg path) {
    Ref path_class = attr(global(s.pathlib), s.Path);
    return truth(call_method(call(path_class, {path}), s.is_file));
}

}  // namespace velka
