#include "state_machine.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "account.h"
#include "decode.h"
#include "document.h"

namespace corvina {

namespace {

// The section line as written, for UnexpectedSection.
std::string found_text(const Token& token) {
  switch (token.kind) {
    case TokenKind::Marker:
      return "1CClientBankExchange";
    case TokenKind::AccountStart:
      return "СекцияРасчСчет";
    case TokenKind::AccountEnd:
      return "КонецРасчСчет";
    case TokenKind::DocumentStart: {
      std::string found = "СекцияДокумент=";
      found.append(token.value);
      return found;
    }
    case TokenKind::DocumentEnd:
      return "КонецДокумента";
    case TokenKind::EndOfFile:
      return "КонецФайла";
    case TokenKind::Attribute:
      break;
  }
  return std::string(token.key) + "=" + std::string(token.value);
}

Result<Done, ErrorRecord> unexpected(const Token& token, ParseContext context) {
  if (token.kind == TokenKind::Attribute) {
    return fail(ErrorRecord{
        UnexpectedAttribute{token.line, std::string(token.key), std::string(token.value)}});
  }
  return fail(ErrorRecord{UnexpectedSection{token.line, found_text(token), context}});
}

Result<Done, ErrorRecord> unexpected(const Token& token, const ParserState& state) {
  return unexpected(token, context_of(state));
}

Result<Done, ErrorRecord> run_hooks(std::span<const SectionHook> hooks, SectionType type,
                                    AttributeMap& section, const AttributeMap& header,
                                    LineNumber end_line) {
  for (const SectionHook& hook : hooks) {
    auto outcome = hook(type, section, header);
    if (!outcome) return fail(ErrorRecord{HookError{end_line, std::move(outcome).error()}});
  }
  return Done{};
}

// A closed section's map goes back here and the next section takes it again, so a statement
// of many sections allocates entry storage once instead of once per section.
struct Spare {
  AttributeMap map;

  AttributeMap take() { return std::move(map); }
  void give_back(AttributeMap&& used) {
    used.clear();
    map = std::move(used);
  }
};

// Moves the statement out of whichever state holds it and opens the section the token starts.
void open_section(ParserState& state, Statement statement, const Token& token, Spare& spare) {
  if (token.kind == TokenKind::AccountStart) {
    state.emplace<AccountState>(AccountState{std::move(statement), spare.take()});
  } else {
    state.emplace<DocumentState>(DocumentState{std::move(statement), token.value, spare.take()});
  }
}

Result<Done, ErrorRecord> close_account(ParserState& state, const Token& token,
                                        const MachineInput& input, Spare& spare) {
  auto& account = std::get<AccountState>(state);
  if (!input.hooks.empty()) {
    auto hooked = run_hooks(input.hooks, SectionType::Account, account.section,
                            account.statement.header, token.line);
    if (!hooked) return hooked;
  }
  auto interval = build_interval(account.section);
  if (!interval) {
    return fail(ErrorRecord{AccountParseError{token.line, std::move(interval).error()}});
  }
  const std::string_view* number = account.section.find("РасчСчет");
  if (number == nullptr) {
    return fail(ErrorRecord{MissingField{token.line, "РасчСчет", ParseContext::Account}});
  }
  merge_interval(account.statement.accounts, *number, std::move(interval).value());
  Statement statement = std::move(account.statement);
  spare.give_back(std::move(account.section));
  state.emplace<ReadNextSectionState>(ReadNextSectionState{std::move(statement)});
  return Done{};
}

Result<Done, ErrorRecord> close_document(ParserState& state, const Token& token,
                                         const MachineInput& input, Spare& spare) {
  auto& open = std::get<DocumentState>(state);
  if (!input.hooks.empty()) {
    auto hooked = run_hooks(input.hooks, SectionType::Document, open.section,
                            open.statement.header, token.line);
    if (!hooked) return hooked;
  }
  auto document = build_document(open.kind, open.section);
  if (document) {
    open.statement.documents.push_back(std::move(document).value());
  } else {
    // A document that cannot be built is dropped with a warning; the statement goes on.
    open.statement.warnings.push_back(WarningEntry{token.line, std::move(document).error()});
  }
  Statement statement = std::move(open.statement);
  spare.give_back(std::move(open.section));
  state.emplace<ReadNextSectionState>(ReadNextSectionState{std::move(statement)});
  return Done{};
}

Result<Done, ErrorRecord> step_with(ParserState& state, const Token& token,
                                    const MachineInput& input, Spare& spare) {
  const TokenKind kind = token.kind;
  if (auto* init = std::get_if<InitState>(&state)) {
    (void)init;
    if (kind != TokenKind::Marker) return unexpected(token, state);
    state.emplace<HeaderState>();
    return Done{};
  }
  if (auto* header = std::get_if<HeaderState>(&state)) {
    if (kind == TokenKind::Attribute) {
      header->header.insert(token.key, token.value);
      return Done{};
    }
    if (kind != TokenKind::AccountStart && kind != TokenKind::DocumentStart) {
      return unexpected(token, state);
    }
    Statement statement;
    statement.encoding = input.encoding;
    statement.header = std::move(header->header);
    // The statement outlives the decoded text; the section maps never do.
    statement.header.make_owned();
    open_section(state, std::move(statement), token, spare);
    return Done{};
  }
  if (auto* account = std::get_if<AccountState>(&state)) {
    if (kind == TokenKind::Attribute) {
      account->section.insert(token.key, token.value);
      return Done{};
    }
    if (kind == TokenKind::AccountEnd) return close_account(state, token, input, spare);
    return unexpected(token, state);
  }
  if (auto* document = std::get_if<DocumentState>(&state)) {
    if (kind == TokenKind::Attribute) {
      document->section.insert(token.key, token.value);
      return Done{};
    }
    if (kind == TokenKind::DocumentEnd) return close_document(state, token, input, spare);
    return unexpected(token, state);
  }
  if (auto* between = std::get_if<ReadNextSectionState>(&state)) {
    if (kind == TokenKind::AccountStart || kind == TokenKind::DocumentStart) {
      open_section(state, std::move(between->statement), token, spare);
      return Done{};
    }
    if (kind == TokenKind::EndOfFile) {
      Statement statement = std::move(between->statement);
      state.emplace<FinishedState>(FinishedState{std::move(statement)});
      return Done{};
    }
    return unexpected(token, state);
  }
  return unexpected(token, state);  // finished accepts nothing
}

// The machine of step_with for a run without hooks, with the statement kept in one place
// instead of moved from state to state at every section, and document sections collected
// straight into their fields instead of into a map that no hook will see. The ParserState is
// made only at the end (finish), and is the one step_with would have reached.
class DirectMachine {
 public:
  DirectMachine(std::string_view text, Encoding encoding) : text_(text), encoding_(encoding) {}

  Result<Done, ErrorRecord> apply(const Token& token) {
    const TokenKind kind = token.kind;
    switch (at_) {
      case ParseContext::Init:
        if (kind != TokenKind::Marker) return unexpected(token, at_);
        at_ = ParseContext::Header;
        return Done{};
      case ParseContext::Header:
        if (kind == TokenKind::Attribute) {
          header_.insert(token.key, token.value);
          return Done{};
        }
        if (kind != TokenKind::AccountStart && kind != TokenKind::DocumentStart) {
          return unexpected(token, at_);
        }
        statement_.encoding = encoding_;
        statement_.header = std::move(header_);
        // The statement outlives the decoded text; the section maps never do.
        statement_.header.make_owned();
        open(token);
        return Done{};
      case ParseContext::Account:
        if (kind == TokenKind::Attribute) {
          section_.insert(token.key, token.value);
          return Done{};
        }
        if (kind == TokenKind::AccountEnd) return close_account(token);
        return unexpected(token, at_);
      case ParseContext::Document:
        if (kind == TokenKind::Attribute) {
          fields_.add(token.key, token.value);
          return Done{};
        }
        if (kind == TokenKind::DocumentEnd) {
          close_document(token);
          return Done{};
        }
        return unexpected(token, at_);
      case ParseContext::ReadNextSection:
        if (kind == TokenKind::AccountStart || kind == TokenKind::DocumentStart) {
          open(token);
          return Done{};
        }
        if (kind == TokenKind::EndOfFile) {
          at_ = ParseContext::Finished;
          return Done{};
        }
        return unexpected(token, at_);
      case ParseContext::Finished:
        break;
    }
    return unexpected(token, at_);  // finished accepts nothing
  }

  ParseContext at() const { return at_; }
  bool between_sections() const {
    return at_ == ParseContext::ReadNextSection || at_ == ParseContext::Finished;
  }

  // The text that tokens given from now on are views of.
  void rebase(std::string_view text) { text_ = text; }

  // Back to `to`, a state this machine was in before the open section (or the header) began,
  // so that the lines read since can be given again from another copy of their text. Nothing
  // but the open section's views changes between the two: the statement grows only when a
  // section closes.
  void roll_back(ParseContext to) {
    at_ = to;
    header_.clear();
    section_.clear();
    fields_.clear();
  }

  size_t documents() const { return statement_.documents.size(); }
  void reserve_documents(size_t count) { statement_.documents.reserve(count); }

  Statement take_statement() && { return std::move(statement_); }

  ParserState finish() && {
    switch (at_) {
      case ParseContext::Init:
        return InitState{};
      case ParseContext::Header:
        return HeaderState{std::move(header_)};
      case ParseContext::Account:
        return AccountState{std::move(statement_), std::move(section_)};
      case ParseContext::Document: {
        // Cut off inside a document: its lines were not kept in a map, so read them again.
        AttributeMap section;
        TokenReader reader(text_.substr(document_lines_));
        Token token;
        while (reader.next(token) == TokenReader::Status::Token) {
          section.insert(token.key, token.value);
        }
        return DocumentState{std::move(statement_), document_kind_, std::move(section)};
      }
      case ParseContext::ReadNextSection:
        return ReadNextSectionState{std::move(statement_)};
      case ParseContext::Finished:
        break;
    }
    return FinishedState{std::move(statement_)};
  }

 private:
  void open(const Token& token) {
    if (token.kind == TokenKind::AccountStart) {
      at_ = ParseContext::Account;
      return;
    }
    at_ = ParseContext::Document;
    document_kind_ = token.value;
    // The section's lines start right after its opening line, which ends the kind.
    document_lines_ = static_cast<size_t>(token.value.data() + token.value.size() - text_.data());
  }

  Result<Done, ErrorRecord> close_account(const Token& token) {
    auto interval = build_interval(section_);
    if (!interval) {
      return fail(ErrorRecord{AccountParseError{token.line, std::move(interval).error()}});
    }
    const std::string_view* number = section_.find("РасчСчет");
    if (number == nullptr) {
      return fail(ErrorRecord{MissingField{token.line, "РасчСчет", ParseContext::Account}});
    }
    merge_interval(statement_.accounts, *number, std::move(interval).value());
    section_.clear();
    at_ = ParseContext::ReadNextSection;
    return Done{};
  }

  void close_document(const Token& token) {
    auto document = fields_.build(document_kind_);
    if (document) {
      statement_.documents.push_back(std::move(document).value());
    } else {
      // A document that cannot be built is dropped with a warning; the statement goes on.
      statement_.warnings.push_back(WarningEntry{token.line, std::move(document).error()});
    }
    fields_.clear();
    at_ = ParseContext::ReadNextSection;
  }

  std::string_view text_;
  Encoding encoding_;
  ParseContext at_ = ParseContext::Init;
  AttributeMap header_;
  Statement statement_;
  AttributeMap section_;  // of the open account section
  DocumentFields fields_;  // of the open document section
  std::string_view document_kind_;
  size_t document_lines_ = 0;  // where the open document's lines start in text_
};

}  // namespace

ParseContext context_of(const ParserState& state) {
  switch (state.index()) {
    case 0:
      return ParseContext::Init;
    case 1:
      return ParseContext::Header;
    case 2:
      return ParseContext::Document;
    case 3:
      return ParseContext::Account;
    case 4:
      return ParseContext::ReadNextSection;
    default:
      return ParseContext::Finished;
  }
}

Result<Done, ErrorRecord> step(ParserState& state, const Token& token,
                               const MachineInput& input) {
  Spare spare;
  return step_with(state, token, input, spare);
}

Result<ParserState, ErrorRecord> parse_tokens(std::span<const Token> tokens, Encoding encoding,
                                              std::span<const SectionHook> hooks) {
  const MachineInput input{encoding, hooks};
  ParserState state;
  Spare spare;
  for (const Token& token : tokens) {
    auto stepped = step_with(state, token, input, spare);
    if (!stepped) return fail(std::move(stepped).error());
  }
  return state;
}

Result<ParserState, ErrorRecord> parse_text(std::string_view text, Encoding encoding,
                                            std::span<const SectionHook> hooks) {
  Token token;
  if (!hooks.empty()) {
    TokenReader check(text);
    TokenReader::Status status;
    while ((status = check.next(token)) == TokenReader::Status::Token) {
    }
    if (status == TokenReader::Status::Unrecognized) return fail(check.unrecognized());
  }
  const MachineInput input{encoding, hooks};
  ParserState state;
  Spare spare;
  DirectMachine direct(text, encoding);
  TokenReader reader(text);
  for (;;) {
    switch (reader.next(token)) {
      case TokenReader::Status::Token:
        break;
      case TokenReader::Status::End:
        if (hooks.empty()) return std::move(direct).finish();
        return state;
      case TokenReader::Status::Unrecognized:
        return fail(reader.unrecognized());
    }
    auto stepped = hooks.empty() ? direct.apply(token) : step_with(state, token, input, spare);
    if (stepped) continue;
    // Nothing the machine did is visible without hooks, so an unrecognised line further on may
    // still take precedence, as it does when all lines are read first.
    TokenReader::Status status;
    while ((status = reader.next(token)) == TokenReader::Status::Token) {
    }
    if (status == TokenReader::Status::Unrecognized) return fail(reader.unrecognized());
    return fail(std::move(stepped).error());
  }
}

}  // namespace corvina

namespace corvina {
namespace {

// A slice of at least `want` bytes from pos that ends after a line break (or at the end): no
// line is ever split between slices.
size_t slice_end(std::string_view bytes, size_t pos, size_t want) {
  if (bytes.size() - pos <= want) return bytes.size();
  const size_t from = pos + want - 1;
  const void* lf = std::memchr(bytes.data() + from, '\n', bytes.size() - from);
  if (lf == nullptr) return bytes.size();
  return static_cast<size_t>(static_cast<const char*>(lf) - bytes.data()) + 1;
}

// Decoded slices, with room kept at the front for text carried over from the slice before.
class SliceBuffer {
 public:
  // Room for `room` more bytes after the first `kept`, which stay as they are.
  char* reserve_after(size_t kept, size_t room) {
    if (kept + room > capacity_) {
      std::unique_ptr<char[]> grown(new char[kept + room]);
      if (kept != 0) std::memcpy(grown.get(), data_.get(), kept);
      data_ = std::move(grown);
      capacity_ = kept + room;
    }
    return data_.get() + kept;
  }
  char* data() { return data_.get(); }

 private:
  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;
};

// Up to this slice size, room for the worst case (three bytes each) costs less than counting
// what the slice needs; a longer slice (a line longer than this) gets the exact room.
constexpr size_t kWorstCaseRoomUpTo = size_t{1} << 20;

std::string_view decode_slice(std::string_view slice, SliceBuffer& buffer, size_t kept) {
  const size_t room = slice.size() <= kWorstCaseRoomUpTo
                          ? 3 * slice.size() + kCp1251StoreSlack
                          : cp1251_decoded_room(slice);
  const char* const end = decode_cp1251_into(slice, buffer.reserve_after(kept, room));
  return std::string_view(buffer.data(), static_cast<size_t>(end - buffer.data()));
}

// Documents are large (every field a view or an optional one), so a list of them that grows by
// doubling moves and faults in several times its final size on a big statement. The first
// slice tells how many documents to expect; the reservation never takes more memory than the
// input itself, whatever that slice held.
void reserve_documents(DirectMachine& machine, size_t read, size_t total) {
  if (machine.documents() == 0) return;
  const double expected = static_cast<double>(machine.documents()) * 1.1 *
                          static_cast<double>(total) / static_cast<double>(read);
  const double most = static_cast<double>(total / sizeof(Document));
  machine.reserve_documents(static_cast<size_t>(std::min(expected, most)));
}

}  // namespace

Result<Statement, ErrorRecord> parse_cp1251_in_slices(std::string_view bytes,
                                                      size_t slice_bytes) {
  slice_bytes = std::max<size_t>(slice_bytes, 1);
  DirectMachine machine(std::string_view(), Encoding::Cp1251);
  SliceBuffer buffer;
  // Decoded text carried to the front of the next slice: the open section (or the header) with
  // everything after it, the state the machine goes back to, and the number of lines before it.
  size_t carried = 0;
  LineNumber carried_lines = 0;
  ParseContext carried_at = ParseContext::Init;  // the state before the carried text
  bool reserved = false;
  size_t pos = 0;
  Token token;
  while (pos < bytes.size()) {
    // A slice reads at least as much as it carries, so a section longer than many slices is
    // read again only a bounded number of times in all (the carried part at least doubles).
    const size_t end = slice_end(bytes, pos, std::max(slice_bytes, carried));
    const std::string_view text = decode_slice(bytes.substr(pos, end - pos), buffer, carried);
    pos = end;
    machine.rebase(text);
    TokenReader reader(text, carried_lines);
    size_t keep_from = 0;
    LineNumber keep_lines = carried_lines;
    for (;;) {
      const TokenReader::Status status = reader.next(token);
      if (status == TokenReader::Status::End) break;
      if (status == TokenReader::Status::Unrecognized) return fail(reader.unrecognized());
      auto applied = machine.apply(token);
      if (!applied) {
        // As in parse_text: an unrecognised line further on takes precedence.
        TokenReader::Status rest;
        while ((rest = reader.next(token)) == TokenReader::Status::Token) {
        }
        if (rest == TokenReader::Status::Unrecognized) return fail(reader.unrecognized());
        LineNumber lines = reader.lines_read();
        while (pos < bytes.size()) {
          const size_t next_end = slice_end(bytes, pos, slice_bytes);
          TokenReader more(decode_slice(bytes.substr(pos, next_end - pos), buffer, 0), lines);
          pos = next_end;
          while ((rest = more.next(token)) == TokenReader::Status::Token) {
          }
          if (rest == TokenReader::Status::Unrecognized) return fail(more.unrecognized());
          lines = more.lines_read();
        }
        return fail(std::move(applied).error());
      }
      if (machine.between_sections()) {
        carried_at = machine.at();
        keep_from = reader.position();
        keep_lines = reader.lines_read();
      }
    }
    if (pos == bytes.size()) break;
    if (!reserved) {
      reserve_documents(machine, pos, bytes.size());
      reserved = true;
    }
    // The open section's views die with this slice's text: carry its text over and read it
    // again, from the state before it.
    machine.roll_back(carried_at);
    carried = text.size() - keep_from;
    if (carried != 0) std::memmove(buffer.data(), buffer.data() + keep_from, carried);
    carried_lines = keep_lines;
  }
  if (machine.at() != ParseContext::Finished) return fail(ErrorRecord{Unfinished{}});
  return std::move(machine).take_statement();
}

}  // namespace corvina
