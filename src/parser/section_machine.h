// The section machine, written once, and the loop that feeds it lines.
//
// Data flows one way: a line source (a token list, or a reader over the whole text) yields
// classified lines; feed_lines hands them to the machine; the machine collects sections and
// hands them to the builders. The lines are UTF-8, or (without hooks) the raw bytes of a
// Windows-1251 input: then keys are matched in that form, and the texts that leave the machine
// (the header, account numbers, error messages) are decoded as they leave it, while a
// document's texts are decoded as its builder copies them into its block.
//
// The hook step is a compile-time policy: without hooks nobody sees a document section's
// attributes, so they go straight into the document's fields instead of a map, and no hook
// machinery is compiled into that path at all.
#pragma once

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "account.h"
#include "decode.h"
#include "document.h"
#include "huge_pages.h"
#include "line_form.h"
#include "state_machine.h"
#include "statement.h"
#include "stop_check.h"
#include "tokenizer.h"

namespace corvina {

struct NoHooks {};
struct WithHooks {
  std::span<const SectionHook> hooks;  // may be empty: sections are still kept in maps
};

// A token list as a line source (it holds classified lines only, so it never reports an
// unrecognised one).
class TokenListSource {
 public:
  explicit TokenListSource(std::span<const Token> tokens) : tokens_(tokens) {}
  LineStatus next(Token& token) {
    if (next_ == tokens_.size()) return LineStatus::End;
    token = tokens_[next_++];
    return LineStatus::Token;
  }
  ErrorRecord unrecognized() const { return ErrorRecord{UnrecognizedLine{}}; }  // never asked

 private:
  std::span<const Token> tokens_;
  size_t next_ = 0;
};

template <typename HookStep, LineForm form = LineForm::Utf8>
class SectionMachine {
 public:
  static constexpr bool kHooks = std::is_same_v<HookStep, WithHooks>;
  // Hooks see sections as maps of UTF-8 texts.
  static_assert(!kHooks || form == LineForm::Utf8);

  SectionMachine(Encoding encoding, HookStep hook_step)
      : encoding_(encoding), hook_step_(hook_step), fields_(form), account_fields_(form) {}

  // One transition. On failure the machine is spent.
  [[nodiscard]] Result<Done, ErrorRecord> apply(const Token& token) {
    if (take_attribute(token)) return Done{};
    return apply_other(token);
  }

  // The transition of most lines, an attribute of an open section, which cannot fail: false
  // for any other line, which then goes to apply(). It is kept this short, and free of a
  // Result, so that it is inlined into the loop that reads the lines whatever the compiler.
  bool take_attribute(const Token& token) {
    const bool in_document = at_ == ParseContext::Document;
    if (token.kind != TokenKind::Attribute || !(in_document || at_ == ParseContext::Account)) {
      return false;
    }
    if constexpr (kHooks) {
      section_.insert(token.key, token.value);
    } else if (in_document) {
      fields_.template add<form>(token.key, token.value);
    } else {
      account_fields_.template add<form>(token.key, token.value);
    }
    return true;
  }

  // Once a few hundred documents have been read, the share of the input they took tells how
  // many to expect: feed_lines asks, and reserve_documents makes room for them.
  bool wants_document_estimate() const {
    return !reserved_ && statement_.documents.size() >= kDocumentsBeforeEstimate;
  }
  // Documents are large, so a list of them that grows by doubling moves and faults in several
  // times its final size on a big statement. The reservation never takes more memory than the
  // input itself.
  void reserve_documents(size_t read, size_t total) {
    reserved_ = true;
    total = std::max(total, whole_bytes_);
    // A statement this large writes megabytes of texts on every thread that reads it.
    if (texts_ && std::max(total, whole_of_piece_) >= kTextsInHugeChunksFrom) {
      texts_->skip_small_chunks();
    }
    const size_t seen = statement_.documents.size();
    if (seen == 0 || read == 0) return;
    const double expected = static_cast<double>(seen) * 1.1 * static_cast<double>(total) /
                            static_cast<double>(read);
    const double most = static_cast<double>(total / sizeof(Document));
    auto wanted = static_cast<size_t>(std::min(expected, most));
    // A later piece of a statement whose whole list lies in kept blocks takes one too, at least
    // as large as the smallest: on the heap of its worker thread, which gives memory back as
    // soon as it is freed, every parse would fault the piece's list in afresh. Pages of the
    // block past the list's end are never touched.
    if (whole_of_piece_ != 0) {
      const double whole_expected =
          expected * static_cast<double>(whole_of_piece_) / static_cast<double>(total);
      if (whole_expected * sizeof(Document) >= static_cast<double>(kKeptListBytes)) {
        wanted = std::max(wanted, kKeptListBytes / sizeof(Document));
      }
    }
    if (wanted <= seen) return;
    statement_.documents.reserve(wanted);
    advise_huge_pages(statement_.documents.data(),
                      statement_.documents.capacity() * sizeof(Document));
  }

  // The first piece of a statement read in pieces makes room for the documents of the whole
  // text, `bytes` long: the others are then appended to its list, which is not copied again.
  void reserve_for_whole_text(size_t bytes) { whole_bytes_ = bytes; }

  // A machine for the part of a statement that follows a section's end line, as the whole
  // machine stands there: between sections, with a statement of its own (no header) whose
  // accounts, documents and warnings the caller appends to those read before. The whole text is
  // `whole_bytes` long.
  void start_between_sections(size_t whole_bytes) {
    at_ = ParseContext::ReadNextSection;
    statement_.encoding = encoding_;
    whole_of_piece_ = whole_bytes;
  }

  // A machine reading one of several pieces writes its texts into an arena the caller lends it:
  // the next piece read on the same thread goes on in the same chunks, and the caller gives back
  // the unused tail of each arena once, when every piece is read.
  void write_texts_into(SharedTextArena texts) {
    texts_ = std::move(texts);
    texts_lent_ = true;
  }

  bool finished() const { return at_ == ParseContext::Finished; }
  Statement take_statement() && {
    if (texts_ && !texts_lent_) texts_->release_unused_tail();
    return std::move(statement_);
  }

  // The state of the transition table, for a machine fed from a text that outlives the state
  // (a DocumentState's kind views that text). Only a machine with the hook step keeps every
  // section in a map, as the states do.
  ParserState into_state() &&
    requires kHooks
  {
    switch (at_) {
      case ParseContext::Init:
        return InitState{};
      case ParseContext::Header:
        return HeaderState{std::move(header_)};
      case ParseContext::Document:
        return DocumentState{std::move(statement_), kind_, std::move(section_), document_line_};
      case ParseContext::Account:
        return AccountState{std::move(statement_), std::move(section_)};
      case ParseContext::ReadNextSection:
        return ReadNextSectionState{std::move(statement_)};
      case ParseContext::Finished:
        break;
    }
    return FinishedState{std::move(statement_)};
  }

  // A machine in `state`, which it takes over.
  static SectionMachine resume(ParserState&& state, Encoding encoding, HookStep hook_step)
    requires kHooks
  {
    SectionMachine machine(encoding, hook_step);
    machine.at_ = context_of(state);
    std::visit(
        [&machine](auto& held) {
          using T = std::decay_t<decltype(held)>;
          if constexpr (std::is_same_v<T, HeaderState>) {
            machine.header_ = std::move(held.header);
          } else if constexpr (!std::is_same_v<T, InitState>) {
            machine.statement_ = std::move(held.statement);
            if constexpr (requires { held.section; }) machine.section_ = std::move(held.section);
            if constexpr (requires { held.kind; }) machine.kind_ = held.kind;
            if constexpr (requires { held.lineno; }) machine.document_line_ = held.lineno;
          }
        },
        state);
    return machine;
  }

 private:
  Result<Done, ErrorRecord> apply_other(const Token& token) {
    const TokenKind kind = token.kind;
    switch (at_) {
      case ParseContext::Init:
        if (kind != TokenKind::Marker) break;
        at_ = ParseContext::Header;
        return Done{};
      case ParseContext::Header:
        if (kind == TokenKind::Attribute) {
          header_.insert(token.key, token.value);
          return Done{};
        }
        if (kind != TokenKind::AccountStart && kind != TokenKind::DocumentStart) break;
        statement_.encoding = encoding_;
        statement_.header = std::move(header_);
        // The statement outlives the text read; the section maps never do.
        if constexpr (form == LineForm::Cp1251) {
          statement_.header.make_owned_from_cp1251();
        } else {
          statement_.header.make_owned();
        }
        open(token);
        return Done{};
      case ParseContext::Account:  // its attributes are taken by take_attribute()
        if (kind == TokenKind::AccountEnd) return close_account(token.line);
        break;
      case ParseContext::Document:
        if (kind == TokenKind::DocumentEnd) return close_document(token.line);
        break;
      case ParseContext::ReadNextSection:
        if (kind == TokenKind::AccountStart || kind == TokenKind::DocumentStart) {
          open(token);
          return Done{};
        }
        if (kind == TokenKind::EndOfFile) {
          at_ = ParseContext::Finished;
          return Done{};
        }
        break;
      case ParseContext::Finished:
        break;
    }
    return fail(unexpected(token));
  }

  void open(const Token& token) {
    if (token.kind == TokenKind::AccountStart) {
      at_ = ParseContext::Account;
      return;
    }
    at_ = ParseContext::Document;
    kind_ = token.value;
    document_line_ = token.line;
  }

  // A text of a line as UTF-8, for what leaves the machine.
  static std::string utf8_of(std::string_view text) {
    if constexpr (form == LineForm::Cp1251) {
      return decode_cp1251(text);
    } else {
      return std::string(text);
    }
  }

  ErrorRecord unexpected(const Token& token) const {
    if (token.kind == TokenKind::Attribute) {
      return UnexpectedAttribute{token.line, utf8_of(token.key), utf8_of(token.value)};
    }
    return UnexpectedSection{token.line, found_text(token), at_};
  }

  // The section line as written, in UTF-8.
  static std::string found_text(const Token& token) {
    switch (token.kind) {
      case TokenKind::Marker:
        return "1CClientBankExchange";
      case TokenKind::AccountStart:
        return "СекцияРасчСчет";
      case TokenKind::AccountEnd:
        return "КонецРасчСчет";
      case TokenKind::DocumentStart:
        return "СекцияДокумент=" + utf8_of(token.value);
      case TokenKind::DocumentEnd:
        return "КонецДокумента";
      case TokenKind::EndOfFile:
        return "КонецФайла";
      case TokenKind::Attribute:
        break;
    }
    return utf8_of(token.key) + "=" + utf8_of(token.value);
  }

  Result<Done, ErrorRecord> run_hooks(SectionType type, LineNumber end_line)
    requires kHooks
  {
    for (const SectionHook& hook : hook_step_.hooks) {
      auto outcome = hook(type, section_, statement_.header);
      if (outcome) continue;
      HookFailure failure = std::move(outcome).error();
      if (failure.kind == HookFailure::Kind::Abandoned) return fail(ErrorRecord{Abandoned{}});
      return fail(ErrorRecord{HookError{end_line, std::move(failure.message)}});
    }
    return Done{};
  }

  Result<Done, ErrorRecord> close_account(LineNumber end_line) {
    if constexpr (kHooks) {
      auto hooked = run_hooks(SectionType::Account, end_line);
      if (!hooked) return hooked;
    }
    auto interval = kHooks ? build_interval(section_) : account_fields_.build();
    if (!interval) {
      return fail(ErrorRecord{AccountParseError{end_line, std::move(interval).error()}});
    }
    const std::optional<std::string_view> number = [&]() -> std::optional<std::string_view> {
      if constexpr (kHooks) {
        const std::string_view* found = section_.find(kAccountNumberKey);
        return found ? std::optional(*found) : std::nullopt;
      } else {
        return account_fields_.number();
      }
    }();
    if (!number) {
      return fail(ErrorRecord{
          MissingField{end_line, std::string(kAccountNumberKey), ParseContext::Account}});
    }
    if constexpr (form == LineForm::Cp1251) {
      merge_interval(statement_.accounts, decode_cp1251(*number), std::move(interval).value());
    } else {
      merge_interval(statement_.accounts, *number, std::move(interval).value());
    }
    // Cleared, not replaced: the next section reuses the storage.
    if constexpr (kHooks) {
      section_.clear();
    } else {
      account_fields_.clear();
    }
    at_ = ParseContext::ReadNextSection;
    return Done{};
  }

  Result<Done, ErrorRecord> close_document(LineNumber end_line) {
    if constexpr (kHooks) {
      auto hooked = run_hooks(SectionType::Document, end_line);
      if (!hooked) return hooked;
    }
    auto document = kHooks ? build_document(kind_, section_, texts_) : fields_.build(kind_, texts_);
    if (document) {
      document.value().lineno = document_line_;
      statement_.documents.push_back(std::move(document).value());
    } else {
      // A document that cannot be built is dropped with a warning; the statement goes on.
      statement_.warnings.add(end_line, document.error());
    }
    if constexpr (kHooks) {
      section_.clear();
    } else {
      fields_.clear();
    }
    at_ = ParseContext::ReadNextSection;
    return Done{};
  }

  Encoding encoding_;
  HookStep hook_step_;
  ParseContext at_ = ParseContext::Init;
  AttributeMap header_;  // until the first section opens the statement
  Statement statement_;
  AttributeMap section_;  // with hooks, the open section
  DocumentFields fields_;  // without hooks, the open document section
  AccountFields account_fields_;  // without hooks, the open account section
  SharedTextArena texts_;  // of every document built, made with the first
  bool texts_lent_ = false;  // see write_texts_into
  std::string_view kind_;  // of the open document section, as written
  LineNumber document_line_ = 0;  // of the open document section's opening line
  bool reserved_ = false;
  size_t whole_bytes_ = 0;  // see reserve_for_whole_text
  size_t whole_of_piece_ = 0;  // see start_between_sections
  static constexpr size_t kDocumentsBeforeEstimate = 256;
  static constexpr size_t kTextsInHugeChunksFrom = size_t{8} << 20;
};

// The first unrecognised line the source still holds, which takes precedence over `error`: the
// machine's error has not been seen by anyone yet, so the outcome is that of reading every line
// before running the machine.
template <typename Source>
ErrorRecord first_unrecognized_or(Source& source, ErrorRecord error) {
  Token token;
  for (;;) {
    switch (source.next(token)) {
      case LineStatus::Token:
        continue;
      case LineStatus::End:
        return error;
      case LineStatus::Unrecognized:
        return source.unrecognized();
    }
  }
}

// The first unrecognised line of a whole text, read before any hook may run.
inline std::optional<ErrorRecord> find_unrecognized_line(std::string_view text) {
  TokenReader reader(text);
  Token token;
  LineStatus status;
  while ((status = reader.next(token)) == LineStatus::Token) {
  }
  if (status == LineStatus::Unrecognized) return reader.unrecognized();
  return std::nullopt;
}

// Every line of the source through the machine: the one loop of every parse. With `stop`, a
// parse asked to stop ends with Abandoned; it is looked at on section lines only, which come
// often enough, so that attribute lines cost no more than they did.
template <typename Source, typename Machine>
Result<Done, ErrorRecord> feed_lines(Source& source, Machine& machine,
                                     StopCheck* stop = nullptr) {
  Token token;
  size_t next_stop_check = kStopPollBytes;
  for (;;) {
    switch (source.next(token)) {
      case LineStatus::Token: {
        if (machine.take_attribute(token)) continue;
        auto applied = machine.apply(token);
        if (!applied) return fail(first_unrecognized_or(source, std::move(applied).error()));
        // Only a section's end adds a document.
        if constexpr (requires { source.bytes_read(); }) {
          if (machine.wants_document_estimate()) {
            machine.reserve_documents(source.bytes_read(), source.bytes_total());
          }
          if (stop != nullptr && source.bytes_read() >= next_stop_check) {
            if (stop->should_stop()) return fail(ErrorRecord{Abandoned{}});
            next_stop_check = source.bytes_read() + kStopPollBytes;
          }
        }
        continue;
      }
      case LineStatus::End:
        return Done{};
      case LineStatus::Unrecognized:
        return fail(source.unrecognized());
    }
  }
}

}  // namespace corvina
