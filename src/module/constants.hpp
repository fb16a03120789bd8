// The federation site and the names of its form fields, bound as module
// globals at load. The functions look them up in the globals at every use, so
// a caller may rebind one (another site, a test server).
#pragma once

#include "module/state.hpp"

namespace velka {

struct SiteConstant {
    int line;  // of its binding in the module, for a load failure's traceback entry
    PyObject* Strings::* name;
    const char* value;
};

inline constexpr SiteConstant site_constants[] = {
    // The site: scheme and host only, so that page paths append with one slash.
    {85, &Strings::ADMIN_FFE_URL, "http://admin.echecs.asso.fr"},
    // ASP.NET state fields, read from each page and posted back.
    {87, &Strings::VIEW_STATE, "__VIEWSTATE"},
    {88, &Strings::VIEW_GENERATOR, "__VIEWSTATEGENERATOR"},
    {89, &Strings::EVENT_VALIDATION, "__EVENTVALIDATION"},
    // The login form.
    {91, &Strings::FLD_LOGIN, "ctl00$TextLogin"},
    {92, &Strings::FLD_PASSWD, "ctl00$TextPassword"},
    {93, &Strings::IMG_BUTTON, "ctl00$CmdLogin"},
    // The upload form of the tournament page.
    {95, &Strings::UPLOAD_EVENT, "ctl00$ContentPlaceHolderMain$CmdUploadPapi"},
    {96, &Strings::UPLOAD_FILE, "ctl00$ContentPlaceHolderMain$UploadPapi"},
    // The show/hide button: found by its element id, pressed by its form name.
    {98, &Strings::VISIBILITY_ID, "ctl00_ContentPlaceHolderMain_CmdAfficherTournoi"},
    {99, &Strings::VISIBILITY_EVENT, "ctl00$ContentPlaceHolderMain$CmdAfficherTournoi"},
};

}  // namespace velka
