// A large statement read on several threads: cut between sections, each piece read by a
// section machine of its own, the pieces joined in file order.
//
// A piece starts right after an end line ("КонецДокумента" or "КонецРасчСчет") that the line
// before it ends with a line break and that the next line, a section start, follows. A machine
// that has just taken an end line is between sections whatever came before, so the machine of
// the next piece starts there, and the pieces together give what one machine gives: the
// header and the first accounts come from the first piece, documents and warnings are
// appended, accounts filed again in the order each piece filed them, line numbers moved on by
// the lines of the pieces before. Errors keep their order of precedence: the first unrecognised
// line of the whole input wins over any error of a machine, and of the machines' errors the
// first in file order wins (a later piece's machine started from a state that an earlier error
// means was never reached).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "line_form.h"
#include "result.h"
#include "statement.h"
#include "stop_check.h"

namespace corvina {

// The cores this process may run on (its affinity mask where there is one), at least 1.
unsigned usable_cores();

// Where to cut text (written in `form`) into at most `pieces` pieces of about equal size:
// ascending offsets, the first 0, the last text.size(). Each inner offset is the start of a
// line that opens a section and directly follows an end line; where no such place lies past a
// wanted cut, there are fewer pieces (one when the text has none at all).
std::vector<size_t> find_chunk_cuts(std::string_view text, LineForm form, size_t pieces);

// How many pieces a text of `size` bytes is cut into for `threads` threads (at least one): up to
// four per thread, so that the threads that get a core take over the pieces of one that does not,
// each at least an eighth of chunk_threshold.
size_t chunk_count(size_t size, size_t threads, size_t chunk_threshold);

// Threads taken from those that the parses (and table builds) of this process may run beside
// their callers, one per usable core but the caller's; given back when this object goes.
class SpareThreads {
 public:
  SpareThreads() = default;
  SpareThreads(const SpareThreads&) = delete;
  SpareThreads& operator=(const SpareThreads&) = delete;
  ~SpareThreads();
  // Takes up to `wanted` of those free now; once per object.
  void claim(size_t wanted);
  size_t claimed() const { return claimed_; }

 private:
  size_t claimed_ = 0;
  uint64_t generation_ = 0;  // of the process's forks, when claimed
};

// The parse without hooks of a decoded text (`form` tells how its lines are written) on up to
// `threads` threads (0: those of the process's cores that no other parse is using), each piece
// at least an eighth of chunk_threshold (tests make that tiny). The outcome is that of reading
// the text on one thread: the same statement, or the same error.
//
// A `stop` that says so ends the parse with Abandoned once every thread has let go of its piece.
[[nodiscard]] Result<Statement, ErrorRecord> parse_in_chunks(std::string_view text,
                                                             LineForm form, Encoding encoding,
                                                             unsigned threads,
                                                             size_t chunk_threshold,
                                                             StopCheck& stop);

// is_well_formed_utf8 of a text on up to `threads` threads, counted and cut as parse_in_chunks
// counts and cuts (a text under chunk_threshold on the calling thread alone): the pieces start
// on bytes that are not continuation bytes, so the text is well-formed exactly when every piece
// is. The same answer as one thread; once `stop` says so, an answer that means nothing.
bool is_well_formed_utf8_shared(std::string_view text, unsigned threads, size_t chunk_threshold,
                                StopCheck& stop);
bool is_well_formed_utf8_shared(std::string_view text, unsigned threads, size_t chunk_threshold);

}  // namespace corvina
