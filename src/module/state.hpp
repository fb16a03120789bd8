// The module's process-wide state, all of it: written while the module
// initialises (the traceback code objects, as entries are first added),
// read by every call afterwards. One interpreter per process, so one copy.
// Not part of it: the globals, since each function carries the dict it was
// made with; and the frame in force (runtime.cpp), which is per thread, as
// the interpreter's own frames are.
#pragma once

#include "module/ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace velka {

// Identifiers: interned, and named in C++ as they read in the module.
// clang-format off
#define VELKA_IDENTIFIERS(X)                                                          \
    X(velka) X(sys) X(os) X(pathlib) X(requests) X(bs4)                               \
    X(Session) X(Response) X(BeautifulSoup)                                           \
    X(read_url) X(get_ident_text) X(get_attr_value) X(envoi_tournoi)                  \
    X(page_ffe) X(main_func)                                                          \
    X(ADMIN_FFE_URL) X(VIEW_STATE) X(VIEW_GENERATOR) X(EVENT_VALIDATION)              \
    X(FLD_LOGIN) X(FLD_PASSWD) X(IMG_BUTTON) X(UPLOAD_EVENT) X(UPLOAD_FILE)           \
    X(VISIBILITY_ID) X(VISIBILITY_EVENT)                                              \
    X(open) X(print) X(map)                                                           \
    X(get) X(post) X(content) X(decode) X(items) X(values) X(close)                   \
    X(find) X(find_all) X(get_text) X(lower) X(startswith) X(replace) X(split)        \
    X(strip) X(readlines) X(format) X(is_file) X(Path) X(path) X(abspath) X(argv)     \
    X(name)                                                                           \
    X(data) X(files) X(id) X(attrs) X(value) X(result) X(url) X(str) X(rb) X(r)
// clang-format on

// Other texts of the module, each with the C++ name it is used by.
// clang-format off
#define VELKA_TEXTS(X)                                                                \
    X(dunder_name, "__name__") X(dunder_main, "__main__")                             \
    X(dunder_test, "__test__")                                                        \
    X(event_target, "__EVENTTARGET") X(event_argument, "__EVENTARGUMENT")             \
    X(empty, "") X(comma, ",") X(semicolon, ";") X(one_text, "1")                     \
    X(click_position, "3") X(dot_x, ".x") X(dot_y, ".y")                              \
    X(default_page, "/Default.aspx") X(tournament_page, "/MonTournoi.aspx")           \
    X(html_parser, "html.parser")                                                     \
    X(erreur_envoi, "erreur envoi:")                                                  \
    X(getting, "getting .....")                                                       \
    X(erreur_lecture_id, "erreur lecture id ") X(erreur_lecture, "erreur lecture ")   \
    X(colon, ":")                                                                     \
    X(desactiver, "d\u00e9sactiver") X(activer, "activer")                            \
    X(erreur_visibilite, "erreur lecture visibilit\u00e9 ")                           \
    X(libelle_inconnu, "libell\u00e9 du bouton de visibilit\u00e9 inconnu: ")         \
    X(tournoi_introuvable, "##### Tournoi introuvable {}:{} =>{}")                    \
    X(list_introuvable, " tournoi list introuvable :")                                \
    X(papi_introuvable, "--------------- Fichier papi introuvable: {}")               \
    X(format_incorrect, "#### Format de ligne incorrecte:")                           \
    X(envoi_de, "trasko - envoi de:")                                                 \
    X(syntaxe, "syntaxe: trasko fichier-tournoi")                                     \
    X(hyphens, "---------------------")                                               \
    X(qr_service_url, "https://qr.trasko.fr/qr/qrupload")
// clang-format on

struct Strings {
#define VELKA_MEMBER(name) PyObject* name = nullptr;
#define VELKA_TEXT_MEMBER(name, text) PyObject* name = nullptr;
    VELKA_IDENTIFIERS(VELKA_MEMBER)
    VELKA_TEXTS(VELKA_TEXT_MEMBER)
#undef VELKA_MEMBER
#undef VELKA_TEXT_MEMBER
};

// The code object of one traceback entry, made once per (name, line).
struct EntryCode {
    const char* name;  // a record's entry: compared by address
    int line;
    Ref code;
};

struct State {
    std::int64_t interpreter_id = -1;
    Ref module;  // set while an execution runs and after it succeeded
    // Set when this execution added sys.modules["velka"], so a failure can take it back.
    bool added_module_entry = false;

    // Kept at load, so rebinding these names later changes nothing we call.
    Ref open, print, map;
    Ref str_strip;  // str.strip, the trimming function of the list-file fields

    // Made once per process and never replaced, so that a call may hold
    // them borrowed whatever a later load does.
    bool constants_made = false;
    bool call_constants_made = false;
    Strings s;
    Ref zero, one;
    // Keyword-name tuples of the keyword calls.
    Ref kw_data_files, kw_files, kw_id, kw_attrs;
    Ref exit_exceptions;  // (KeyboardInterrupt, SystemExit)

    Ref function_type;  // the module functions' type, made at the first load
    // The entries' names are the records' literals, and their lines a few
    // dozen at most; past the table's size an entry's code is made each time.
    std::array<EntryCode, 160> entry_codes{};
    std::size_t entry_codes_used = 0;
};

// Never destroyed: its references must outlive the interpreter's finalisation.
extern State& state;
// The texts, for short: s.find, s.erreur_envoi...
extern const Strings& s;

// Makes the strings and the integers 0 and 1, once per process; -1 on failure.
int make_constants();
// Makes the keyword-name tuples of the calls and takes str.strip; -1 on failure.
int make_call_constants();

}  // namespace velka
