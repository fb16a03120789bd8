// The records of the eight module functions, in the order the module's
// statements define them; each is written at the end of the file of its body.
#pragma once

#include "module/function.hpp"

namespace velka {

extern const FunctionSpec read_url_spec;          // src/web/read_url.cpp
extern const FunctionSpec get_ident_text_spec;    // src/web/readers.cpp
extern const FunctionSpec get_attr_value_spec;    // src/web/readers.cpp
extern const FunctionSpec envoi_tournoi_spec;     // src/publish/envoi_tournoi.cpp
extern const FunctionSpec get_tournoi_list_spec;  // src/publish/list_file.cpp
extern const FunctionSpec page_ffe_spec;          // src/publish/page_ffe.cpp
extern const FunctionSpec get_page_test_spec;     // src/cli/get_page_test.cpp
extern const FunctionSpec main_func_spec;         // src/cli/main_func.cpp

}  // namespace velka
