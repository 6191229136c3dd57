#include "state_machine.h"

#include <utility>

#include "account.h"
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
