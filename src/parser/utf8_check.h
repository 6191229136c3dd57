// Whether bytes are well-formed UTF-8, at the speed of a memory scan on a statement's text.
#pragma once

#include <string_view>

namespace corvina {

// True when bytes is well-formed UTF-8 by the WHATWG decoder's rules (no surrogates, no
// overlong forms, nothing above U+10FFFF).
bool is_well_formed_utf8(std::string_view bytes);

}  // namespace corvina
