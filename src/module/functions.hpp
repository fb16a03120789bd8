// The bodies of the eight module functions; each runs once its arguments
// are bound (Bound holds them in parameter order).
#pragma once

#include "module/function.hpp"

namespace velka {

Ref read_url(const Bound& args);          // src/web/read_url.cpp
Ref get_ident_text(const Bound& args);    // src/web/readers.cpp
Ref get_attr_value(const Bound& args);    // src/web/readers.cpp
Ref envoi_tournoi(const Bound& args);     // src/publish/envoi_tournoi.cpp
Ref get_tournoi_list(const Bound& args);  // src/publish/list_file.cpp
Ref page_ffe(const Bound& args);          // src/publish/page_ffe.cpp
Ref get_page_test(const Bound& args);     // src/cli/get_page_test.cpp
Ref main_func(const Bound& args);         // src/cli/main_func.cpp

}  // namespace velka
