// Decoder libraries that talk on the standard error stream: libjxl 0.7 (Debian 12) prints
// its debug traces there for every damaged file and has no hook to stop it. The process's
// `stderr` stream is replaced by one that drops those traces and passes everything else
// through; sanitizer reports, which write to descriptor 2 directly, never pass through it.
#pragma once

#include <cstddef>

namespace brannock {

/// True for one of libjxl's trace messages ("./lib/jxl/decode.cc:2143: missing input").
bool IsLibraryTrace(const char* text, size_t size);

/// Replaces `stderr` with an unbuffered stream onto descriptor 2 that drops library
/// traces; the libraries' logging hooks (Little CMS, the image library's warnings) are set
/// to stay quiet too. Once per process, before any decoding thread starts.
void KeepLibraryTracesOffStandardError();

}  // namespace brannock
