// The whole core parse: bytes in, a Statement or the one error that stopped it.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "decode.h"
#include "result.h"
#include "state_machine.h"
#include "statement.h"
#include "stop_check.h"

namespace corvina {

// How a parse without hooks may share out its work. A statement of chunk_threshold bytes or
// more is cut between sections into pieces read on threads of their own and joined in file
// order; the outcome is the same as that of one thread, error for error.
struct ParseOptions {
  // Threads at most, the calling thread among them. 0: the cores this process may run on
  // (usable_cores()) that other parses of the process are not using at the time, so parses
  // called from a pool of threads do not start a thread per core each. 1 reads every statement
  // on the calling thread.
  unsigned threads = 0;
  // Below this many bytes of text a statement is read on the calling thread: the pieces would
  // be read in less time than starting threads for them and joining them takes.
  size_t chunk_threshold = size_t{8} << 20;
  // should_stop(stop_context) is asked on the calling thread, now and then while a parse
  // without hooks runs (between pieces, and every kStopPollBytes of text read), whether to give
  // the parse up: true ends it with Abandoned once every thread has let go of its piece. Null:
  // the parse runs to its end. A plain function, so that the options stay a literal type.
  bool (*should_stop)(void* context) = nullptr;
  void* stop_context = nullptr;
};

// decode_input, then every line through the section machine; a run that ends before
// "КонецФайла" is Unfinished. An unrecognised line anywhere wins over every other error and
// ends the parse before any hook has run. Windows-1251 input without hooks is read in its own
// bytes (parse_cp1251_bytes), with the same outcome. The Statement owns its texts, so it
// outlives `bytes`. Without hooks a large statement is read on several threads (options).
// Every road sets each document's direction from the whole statement (direction.h).
[[nodiscard]] Result<Statement, ErrorRecord> parse_statement(std::string_view bytes,
                                                             std::span<const SectionHook> hooks,
                                                             const ParseOptions& options = {});

// parse_statement after decode_input: for a caller that wants to release the input bytes once
// they are no longer needed (decoded text that does not refers_to_input() does not need them).
// Deferred Windows-1251 is read in its own bytes without hooks and decoded whole with them.
[[nodiscard]] Result<Statement, ErrorRecord> parse_decoded(const DecodedText& decoded,
                                                           std::span<const SectionHook> hooks,
                                                           const ParseOptions& options = {});

// The parse of Windows-1251 bytes without hooks, read as they are: only the texts that the
// statement keeps, or an error quotes, are decoded.
[[nodiscard]] Result<Statement, ErrorRecord> parse_cp1251_bytes(std::string_view bytes,
                                                                StopCheck* stop = nullptr);

}  // namespace corvina
