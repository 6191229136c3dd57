// The decoders of statement input: encoding detection (decode_input), the Windows-1251 decoder
// and the UTF-8 check, for callers that use more than one of them.
#pragma once

#include "cp1251_decode.h"
#include "detect_encoding.h"
#include "utf8_check.h"
