#include "chunked_parse.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "account.h"
#include "huge_pages.h"
#include "section_machine.h"
#include "shared_work.h"
#include "text_arena.h"
#include "tokenizer.h"
#include "utf8_check.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace corvina {

namespace {

// Pieces smaller than this share of the threshold cost more to start and join than they save.
constexpr size_t kPieceShareOfThreshold = 8;
constexpr size_t kMostPieces = 256;
// Several pieces per thread, so that the threads that get a core take over the pieces of one
// that does not.
constexpr size_t kPiecesPerThread = 4;

// Pieces of at least an eighth of the threshold, and no more than kMostPieces.
size_t most_pieces(size_t size, size_t chunk_threshold) {
  const size_t smallest = std::max<size_t>(1, chunk_threshold / kPieceShareOfThreshold);
  return std::min(std::max<size_t>(1, size / smallest), kMostPieces);
}

template <LineForm form>
struct CutKeywords {
  static constexpr FixedText kDocumentEnd = written_as<form>("КонецДокумента");
  static constexpr FixedText kAccountEnd = written_as<form>("КонецРасчСчет");
  static constexpr FixedText kDocumentStart = written_as<form>("СекцияДокумент=");
  static constexpr FixedText kAccountStart = written_as<form>("СекцияРасчСчет");
};

// The length of the line break at `at` (LF or CR LF), or 0 when there is none: a CR alone
// breaks no line, so "КонецДокумента\r\r\n" is no end line.
size_t line_break_at(std::string_view text, size_t at) {
  if (at < text.size() && text[at] == '\n') return 1;
  if (at + 1 < text.size() && text[at] == '\r' && text[at + 1] == '\n') return 2;
  return 0;
}

// The end of the whole line `keyword` with its line break, when the line at `at` is exactly it.
std::optional<size_t> whole_line(std::string_view text, size_t at, std::string_view keyword) {
  if (text.substr(at, keyword.size()) != keyword) return std::nullopt;
  const size_t line_break = line_break_at(text, at + keyword.size());
  if (line_break == 0) return std::nullopt;
  return at + keyword.size() + line_break;
}

// Whether a section starts with the line at `at`.
template <LineForm form>
bool opens_section(std::string_view text, size_t at) {
  using Keys = CutKeywords<form>;
  return text.substr(at, Keys::kDocumentStart.size) == Keys::kDocumentStart.view() ||
         whole_line(text, at, Keys::kAccountStart.view()).has_value();
}

// The first place at or after `from` where a line opens a section right after an end line;
// text.size() when there is none.
template <LineForm form>
size_t next_cut(std::string_view text, size_t from) {
  using Keys = CutKeywords<form>;
  const char* const data = text.data();
  // A line starts after a LF; the first line of the text (the marker, if anything) never
  // follows an end line.
  size_t at = from == 0 ? 0 : from - 1;
  for (;;) {
    const void* const found = std::memchr(data + at, '\n', text.size() - at);
    if (found == nullptr) return text.size();
    const size_t line = static_cast<size_t>(static_cast<const char*>(found) - data) + 1;
    at = line;
    std::optional<size_t> after = whole_line(text, line, Keys::kDocumentEnd.view());
    if (!after) after = whole_line(text, line, Keys::kAccountEnd.view());
    if (after && opens_section<form>(text, *after)) return *after;
  }
}

// The share of the text before piece `piece` of `pieces`, in parts of pieces_weight(pieces): the
// pieces shrink in file order, piece i weighing pieces + 1 - i. The threads take them in that
// order, so the last ones taken are small, and a thread done early waits less for the others:
// with pieces of one size it waited half of one on average, an eighth of the whole parse on two
// threads.
size_t weight_before(size_t piece, size_t pieces) {
  return piece * (pieces + 1) - piece * (piece - 1) / 2;
}
size_t pieces_weight(size_t pieces) { return weight_before(pieces, pieces); }

template <LineForm form>
std::vector<size_t> cuts_in(std::string_view text, size_t pieces) {
  std::vector<size_t> cuts{0};
  const size_t whole = pieces_weight(pieces);
  for (size_t piece = 1; piece < pieces; ++piece) {
    const size_t before = weight_before(piece, pieces);
    const size_t wanted = text.size() / whole * before + text.size() % whole * before / whole;
    const size_t cut = next_cut<form>(text, std::max(wanted, cuts.back() + 1));
    if (cut >= text.size()) break;  // no place further on either
    cuts.push_back(cut);
  }
  cuts.push_back(text.size());
  return cuts;
}

// What the machine of one piece made of it. Line numbers count from the piece's first line.
struct PieceOutcome {
  std::optional<ErrorRecord> error;
  Statement statement;
  bool finished = false;
  uint64_t lines = 0;  // lines read; all of them unless the piece stopped at an unrecognised one
  std::exception_ptr thrown;  // what the standard library threw (out of memory)
};

// What the calling thread does while it waits for other threads' pieces: asks whether to stop,
// so that a stop does not wait for the longest piece. Nothing when the parse cannot be stopped.
std::function<void()> stop_poll_while_waiting(StopCheck& stop) {
  if (!stop.can_stop()) return {};
  return [&stop] { static_cast<void>(stop.should_stop()); };
}

// The arenas the pieces write their texts into, one per piece being read at a time: a thread
// done with a piece hands its arena on to the next piece it takes. Each arena ends in one part
// empty chunk, whose unused pages are given back once every piece is read. An arena per piece
// left that many part-empty chunks, and as many huge pages split by giving back their tails,
// which the next parse faulted in again 4 KiB at a time.
class LentArenas {
 public:
  explicit LentArenas(size_t most_at_once) { idle_.reserve(most_at_once); }

  SharedTextArena lend() {
    const std::lock_guard lock(mutex_);
    if (idle_.empty()) return SharedTextArena::make();
    SharedTextArena arena = std::move(idle_.back());
    idle_.pop_back();
    return arena;
  }
  // Never more arenas come back than were lent at once, which the room reserved holds.
  void take_back(SharedTextArena arena) noexcept {
    const std::lock_guard lock(mutex_);
    idle_.push_back(std::move(arena));
  }
  // Once every piece is read.
  void release_unused_tails() {
    for (SharedTextArena& arena : idle_) arena->release_unused_tail();
  }

 private:
  std::mutex mutex_;
  std::vector<SharedTextArena> idle_;
};

template <LineForm form>
void read_piece(std::string_view piece, bool first, size_t whole_bytes, Encoding encoding,
                const SharedTextArena& texts, StopCheck* stop, PieceOutcome& out) {
  try {
    BasicTokenReader<form> source(piece);
    SectionMachine<NoHooks, form> machine(encoding, NoHooks{});
    machine.write_texts_into(texts);
    if (first) {
      machine.reserve_for_whole_text(whole_bytes);
    } else {
      machine.start_between_sections(whole_bytes);
    }
    auto fed = feed_lines(source, machine, stop);
    out.lines = source.lines_read();
    if (!fed) {
      out.error = std::move(fed).error();
      return;
    }
    out.finished = machine.finished();
    out.statement = std::move(machine).take_statement();
  } catch (...) {
    out.thrown = std::current_exception();
  }
}

void shift_lines(ErrorRecord& error, uint64_t offset) {
  std::visit(
      [offset](auto& record) {
        if constexpr (requires { record.lineno; }) record.lineno = shifted(record.lineno, offset);
      },
      error);
}

// The threads beyond their own that parses of this process may run at once: one per usable core
// but the caller's. Parses called from several threads of a pool share them instead of each
// starting a thread per core.
//
// A child forked while parses held some has only the forking thread: the parses that held them
// never end there to give them back, so the child starts with all of them free, in a new
// generation. A claim of an older generation is the parent's count, never given back to the
// child's (the forking thread may itself hold one, building a table, say).
struct SparePool {
  const ptrdiff_t all = static_cast<ptrdiff_t>(usable_cores()) - 1;
  std::atomic<ptrdiff_t> spare{all};
  std::atomic<uint64_t> generation{0};
};

// Set before the fork handler is registered: the handler must not wait for the initialisation of
// spare_pool's static, which a child forked in the middle of it would wait for forever.
std::atomic<SparePool*> made_pool{nullptr};

SparePool& spare_pool() {
  static SparePool* const pool = [] {
    auto* made = new SparePool;
    made_pool.store(made);
    after_fork_in_child([] {
      SparePool& child = *made_pool.load();
      child.generation.fetch_add(1, std::memory_order_relaxed);
      child.spare.store(child.all, std::memory_order_relaxed);
    });
    return made;
  }();
  return *pool;
}

// Made as the library loads, for the reason WaitingThreads is (shared_work.cpp): a pool half made
// by one thread's first parse while another forks would keep the child waiting forever.
[[maybe_unused]] SparePool& spare_pool_at_load = spare_pool();

}  // namespace

SpareThreads::~SpareThreads() {
  if (claimed_ == 0) return;
  SparePool& pool = spare_pool();
  if (pool.generation.load() == generation_) {
    pool.spare.fetch_add(static_cast<ptrdiff_t>(claimed_));
  }
}

void SpareThreads::claim(size_t wanted) {
  SparePool& pool = spare_pool();
  generation_ = pool.generation.load();
  ptrdiff_t left = pool.spare.load();
  for (;;) {
    const ptrdiff_t taken = std::min(static_cast<ptrdiff_t>(wanted), left);
    if (taken <= 0) return;
    if (pool.spare.compare_exchange_weak(left, left - taken)) {
      claimed_ = static_cast<size_t>(taken);
      return;
    }
  }
}

namespace {

// Appends the documents, accounts and warnings of a piece, its lines shifted by `offset`, to
// those of `into`, the statement of the pieces before it. The documents go into `all`: into's
// own list when it has the room, else a list of the whole statement's.
void append_piece(Statement& into, DocumentList& all, Statement& piece, uint64_t offset) {
  merge_accounts(into.accounts, std::move(piece.accounts));
  for (Document& document : piece.documents) {
    document.lineno = shifted(document.lineno, offset);
    all.push_back(std::move(document));
  }
  DocumentList().swap(piece.documents);
  into.warnings.append_shifted(piece.warnings, offset);
  piece.warnings = WarningList();
}

// Appends each piece to the first as soon as it and every piece before it are read, on the
// thread that read the last of them, while the other threads read on: the calling thread is
// then left with the checks of join_pieces and no more than the last piece to append, where it
// appended every piece but the first once all were read, alone. A piece with an error, or
// whose documents the first piece's list has no room left for, stops the appending: join_pieces
// then goes on from there as it would have from the start.
class PieceJoiner {
 public:
  explicit PieceJoiner(std::vector<PieceOutcome>& pieces)
      : pieces_(pieces), read_(pieces.size(), false) {}

  // Called by the thread that read piece i, once it is read.
  void piece_read(size_t i) {
    std::unique_lock lock(mutex_);
    read_[i] = true;
    if (appending_) return;  // the appending thread takes this one too when it comes to it
    appending_ = true;
    while (!stopped_ && next_ < pieces_.size() && read_[next_]) {
      const size_t piece = next_;
      lock.unlock();
      const bool appended = append(piece);
      lock.lock();
      if (appended) {
        ++next_;
      } else {
        stopped_ = true;
      }
    }
    appending_ = false;
  }

  // How many pieces from the first hold their outcome in the first piece's statement, once
  // every piece is read.
  size_t appended() const { return next_; }

 private:
  bool append(size_t i) noexcept {
    PieceOutcome& piece = pieces_[i];
    if (piece.thrown || piece.error) return false;
    if (i > 0) {
      Statement& first = pieces_.front().statement;
      DocumentList& all = first.documents;
      if (all.capacity() - all.size() < piece.statement.documents.size()) return false;
      try {
        append_piece(first, all, piece.statement, lines_before_);
      } catch (...) {
        // Out of memory, merging accounts or warnings: join_pieces rethrows it.
        piece.thrown = std::current_exception();
        return false;
      }
    }
    lines_before_ += piece.lines;
    return true;
  }

  std::vector<PieceOutcome>& pieces_;
  std::mutex mutex_;
  std::vector<bool> read_;     // under mutex_
  bool appending_ = false;     // under mutex_
  bool stopped_ = false;       // under mutex_
  size_t next_ = 0;            // under mutex_; read alone once every piece is read
  uint64_t lines_before_ = 0;  // of the pieces appended; used by the appending thread alone
};

// The outcome of the whole text from those of its pieces, the first `appended` of which are
// already in the first piece's statement (PieceJoiner).
Result<Statement, ErrorRecord> join_pieces(std::vector<PieceOutcome>& pieces, size_t appended) {
  for (PieceOutcome& piece : pieces) {
    if (piece.thrown) std::rethrow_exception(piece.thrown);
  }
  // Every piece is read to its end or to its first unrecognised line, so the lines before a
  // piece are known whenever its error is the one reported.
  uint64_t offset = 0;
  std::optional<ErrorRecord> first_error;
  uint64_t first_error_offset = 0;
  for (PieceOutcome& piece : pieces) {
    if (piece.error) {
      if (std::holds_alternative<UnrecognizedLine>(*piece.error)) {
        shift_lines(*piece.error, offset);
        return fail(std::move(*piece.error));
      }
      if (!first_error) {
        first_error = std::move(*piece.error);
        first_error_offset = offset;
      }
    }
    offset += piece.lines;
  }
  if (first_error) {
    shift_lines(*first_error, first_error_offset);
    return fail(std::move(*first_error));
  }
  // Every piece but the last ended with an end line taken, between sections.
  if (!pieces.back().finished) return fail(ErrorRecord{Unfinished{}});

  Statement statement = std::move(pieces.front().statement);
  const size_t first_left = std::max<size_t>(appended, 1);
  if (first_left == pieces.size()) return statement;
  size_t documents = statement.documents.size();
  size_t warnings = statement.warnings.size();
  for (size_t i = first_left; i < pieces.size(); ++i) {
    documents += pieces[i].statement.documents.size();
    warnings += pieces[i].statement.warnings.size();
  }
  // The first piece made room for the whole statement's documents, as estimated: the others
  // go after its own. Otherwise one list of the final size, each piece's let go once moved, so
  // that no more than one piece's list is held twice.
  DocumentList joined;
  const bool in_place = statement.documents.capacity() >= documents;
  if (!in_place) {
    joined.reserve(documents);
    advise_huge_pages(joined.data(), joined.capacity() * sizeof(Document));
    std::move(statement.documents.begin(), statement.documents.end(),
              std::back_inserter(joined));
    DocumentList().swap(statement.documents);
  }
  DocumentList& all = in_place ? statement.documents : joined;
  statement.warnings.reserve(warnings);
  offset = 0;
  for (size_t i = 0; i < first_left; ++i) offset += pieces[i].lines;
  for (size_t i = first_left; i < pieces.size(); ++i) {
    append_piece(statement, all, pieces[i].statement, offset);
    offset += pieces[i].lines;
  }
  if (!in_place) statement.documents = std::move(joined);
  return statement;
}

// The pieces on `threads` threads, the calling one among them (see run_shared_work).
// A stop leaves the pieces not yet taken unread and ends those being read at their next look.
template <LineForm form>
Result<Statement, ErrorRecord> read_in_pieces(std::string_view text, Encoding encoding,
                                              const std::vector<size_t>& cuts, size_t threads,
                                              StopCheck& stop) {
  std::vector<PieceOutcome> pieces(cuts.size() - 1);
  LentArenas arenas(std::min(threads, pieces.size()));
  PieceJoiner joiner(pieces);
  run_shared_work(
      pieces.size(), threads,
      [&](size_t i) {
        if (stop.should_stop()) {
          pieces[i].error = Abandoned{};
        } else {
          SharedTextArena texts = arenas.lend();
          // read_piece throws nothing; the piece's documents hold references of their own.
          read_piece<form>(text.substr(cuts[i], cuts[i + 1] - cuts[i]), i == 0, text.size(),
                           encoding, texts, &stop, pieces[i]);
          arenas.take_back(std::move(texts));
        }
        joiner.piece_read(i);
      },
      stop_poll_while_waiting(stop));
  arenas.release_unused_tails();
  if (stop.stopped()) return fail(ErrorRecord{Abandoned{}});
  return join_pieces(pieces, joiner.appended());
}

}  // namespace

unsigned usable_cores() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
#endif
  const unsigned count = std::thread::hardware_concurrency();
  return count == 0 ? 1 : count;
}

std::vector<size_t> find_chunk_cuts(std::string_view text, LineForm form, size_t pieces) {
  if (pieces <= 1 || text.empty()) return {0, text.size()};
  return form == LineForm::Cp1251 ? cuts_in<LineForm::Cp1251>(text, pieces)
                                  : cuts_in<LineForm::Utf8>(text, pieces);
}

size_t chunk_count(size_t size, size_t threads, size_t chunk_threshold) {
  if (threads <= 1) return 1;
  return std::min(most_pieces(size, chunk_threshold), threads * kPiecesPerThread);
}

namespace {

// How many threads take a text and how many pieces it is cut into (chunk_count). The spare
// cores stay claimed while `spare` lives.
struct Sharing {
  size_t workers;
  size_t pieces;
};
Sharing share_out(size_t size, unsigned threads, size_t chunk_threshold, SpareThreads& spare) {
  const size_t most = most_pieces(size, chunk_threshold);
  if (threads == 0) spare.claim(most - 1);
  const size_t workers = threads == 0 ? spare.claimed() + 1 : std::min<size_t>(threads, most);
  return {workers, chunk_count(size, workers, chunk_threshold)};
}

// The first byte at or after `at` that is not a UTF-8 continuation byte (or the text's end): a
// cut there leaves every sequence, and every bad byte, whole on one side.
size_t character_start_from(std::string_view text, size_t at) {
  while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
  return at;
}

// is_well_formed_utf8 on the calling thread, a slice at a time when the parse may be stopped.
// A stopped check answers anything: its parse ends without looking at the answer.
bool well_formed_in_slices(std::string_view text, StopCheck& stop) {
  if (!stop.can_stop()) return is_well_formed_utf8(text);
  while (text.size() > kStopPollBytes) {
    const size_t cut = character_start_from(text, kStopPollBytes);
    if (!is_well_formed_utf8(text.substr(0, cut)) || stop.should_stop()) return false;
    text.remove_prefix(cut);
  }
  return is_well_formed_utf8(text);
}

}  // namespace

Result<Statement, ErrorRecord> parse_in_chunks(std::string_view text, LineForm form,
                                               Encoding encoding, unsigned threads,
                                               size_t chunk_threshold, StopCheck& stop) {
  SpareThreads spare;
  const Sharing sharing = share_out(text.size(), threads, chunk_threshold, spare);
  const std::vector<size_t> cuts = find_chunk_cuts(text, form, sharing.pieces);
  return form == LineForm::Cp1251
             ? read_in_pieces<LineForm::Cp1251>(text, encoding, cuts, sharing.workers, stop)
             : read_in_pieces<LineForm::Utf8>(text, encoding, cuts, sharing.workers, stop);
}

bool is_well_formed_utf8_shared(std::string_view text, unsigned threads, size_t chunk_threshold,
                                StopCheck& stop) {
  if (threads == 1 || text.size() < chunk_threshold) return well_formed_in_slices(text, stop);
  // Windows-1251 text fails at its first Cyrillic letter: a head is checked first, so that
  // only a text still well-formed after it starts threads.
  constexpr size_t kHead = size_t{64} << 10;
  const size_t head =
      character_start_from(text, std::min(kHead, chunk_threshold / kPieceShareOfThreshold));
  if (head >= text.size()) return well_formed_in_slices(text, stop);
  if (!is_well_formed_utf8(text.substr(0, head))) return false;
  text.remove_prefix(head);
  SpareThreads spare;
  const Sharing sharing = share_out(text.size(), threads, chunk_threshold, spare);
  if (sharing.workers == 1) return well_formed_in_slices(text, stop);
  std::vector<size_t> cuts{0};
  for (size_t i = 1; i < sharing.pieces; ++i) {
    cuts.push_back(
        character_start_from(text, std::max(cuts.back(), text.size() / sharing.pieces * i)));
  }
  cuts.push_back(text.size());
  std::atomic<bool> well_formed{true};
  run_shared_work(
      sharing.pieces, sharing.workers,
      [&](size_t i) {
        if (!well_formed.load(std::memory_order_relaxed) || stop.should_stop()) return;
        if (!is_well_formed_utf8(text.substr(cuts[i], cuts[i + 1] - cuts[i]))) {
          well_formed.store(false, std::memory_order_relaxed);
        }
      },
      stop_poll_while_waiting(stop));
  return well_formed.load();
}

bool is_well_formed_utf8_shared(std::string_view text, unsigned threads,
                                size_t chunk_threshold) {
  StopCheck stop(nullptr, nullptr);
  return is_well_formed_utf8_shared(text, threads, chunk_threshold, stop);
}

}  // namespace corvina
