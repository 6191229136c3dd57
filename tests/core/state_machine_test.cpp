#include "state_machine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record_printer.h"
#include "tokenizer.h"

namespace corvina {
namespace {

using test_support::describe;

// Tokens are built by hand so these tests do not depend on the line reader.
Token marker(LineNumber line) { return {{}, {}, line, TokenKind::Marker}; }
Token account_start(LineNumber line) { return {{}, {}, line, TokenKind::AccountStart}; }
Token account_end(LineNumber line) { return {{}, {}, line, TokenKind::AccountEnd}; }
Token document_start(LineNumber line, std::string_view kind) {
  return {{}, kind, line, TokenKind::DocumentStart};
}
Token document_end(LineNumber line) { return {{}, {}, line, TokenKind::DocumentEnd}; }
Token end_of_file(LineNumber line) { return {{}, {}, line, TokenKind::EndOfFile}; }
Token attribute(LineNumber line, std::string_view key, std::string_view value) {
  return {key, value, line, TokenKind::Attribute};
}

const char* const kStateNames[] = {"init",    "header",           "document",
                                   "account", "read_next_section", "finished"};

// "-> state" for a run that ended without error, else the error.
std::string outcome(const Result<ParserState, ErrorRecord>& result) {
  if (!result) return describe(result.error());
  return std::string("-> ") + kStateNames[result.value().index()];
}

Result<ParserState, ErrorRecord> run(const std::vector<Token>& tokens,
                                     std::span<const SectionHook> hooks = {}) {
  return parse_tokens(tokens, Encoding::Cp1251, hooks);
}

const Statement& finished_statement(const Result<ParserState, ErrorRecord>& result) {
  return std::get<FinishedState>(result.value()).statement;
}

// Tokens that lead from the start into each state, with lines 1, 2, ...
std::vector<Token> prefix_for(size_t state) {
  const std::vector<Token> account_body = {
      account_start(2), attribute(3, "ДатаНачала", "01.01.2024"),
      attribute(4, "НачальныйОстаток", "0"), attribute(5, "РасчСчет", "40702")};
  switch (state) {
    case 0:
      return {};
    case 1:
      return {marker(1)};
    case 2:
      return {marker(1), document_start(2, "K")};
    case 3: {
      std::vector<Token> tokens = {marker(1)};
      tokens.insert(tokens.end(), account_body.begin(), account_body.end());
      return tokens;
    }
    default: {
      std::vector<Token> tokens = prefix_for(3);
      tokens.push_back(account_end(6));
      if (state == 5) tokens.push_back(end_of_file(7));
      return tokens;
    }
  }
}

// Every state against every token kind, the probe token at line 100. Columns: attribute,
// marker, account start, account end, document start, document end, end of file.
const std::vector<Token> kProbes = {attribute(100, "Ключ", "a=b"), marker(100),
                                    account_start(100),          account_end(100),
                                    document_start(100, "Вид"),  document_end(100),
                                    end_of_file(100)};

const char* const kTransitions[6][7] = {
    {"UnexpectedAttribute 100 Ключ=a=b", "-> header",
     "UnexpectedSection 100 СекцияРасчСчет init", "UnexpectedSection 100 КонецРасчСчет init",
     "UnexpectedSection 100 СекцияДокумент=Вид init",
     "UnexpectedSection 100 КонецДокумента init", "UnexpectedSection 100 КонецФайла init"},
    {"-> header", "UnexpectedSection 100 1CClientBankExchange header", "-> account",
     "UnexpectedSection 100 КонецРасчСчет header", "-> document",
     "UnexpectedSection 100 КонецДокумента header", "UnexpectedSection 100 КонецФайла header"},
    {"-> document", "UnexpectedSection 100 1CClientBankExchange document",
     "UnexpectedSection 100 СекцияРасчСчет document",
     "UnexpectedSection 100 КонецРасчСчет document",
     "UnexpectedSection 100 СекцияДокумент=Вид document", "-> read_next_section",
     "UnexpectedSection 100 КонецФайла document"},
    {"-> account", "UnexpectedSection 100 1CClientBankExchange account",
     "UnexpectedSection 100 СекцияРасчСчет account", "-> read_next_section",
     "UnexpectedSection 100 СекцияДокумент=Вид account",
     "UnexpectedSection 100 КонецДокумента account", "UnexpectedSection 100 КонецФайла account"},
    {"UnexpectedAttribute 100 Ключ=a=b",
     "UnexpectedSection 100 1CClientBankExchange read_next_section", "-> account",
     "UnexpectedSection 100 КонецРасчСчет read_next_section", "-> document",
     "UnexpectedSection 100 КонецДокумента read_next_section", "-> finished"},
    {"UnexpectedAttribute 100 Ключ=a=b", "UnexpectedSection 100 1CClientBankExchange finished",
     "UnexpectedSection 100 СекцияРасчСчет finished",
     "UnexpectedSection 100 КонецРасчСчет finished",
     "UnexpectedSection 100 СекцияДокумент=Вид finished",
     "UnexpectedSection 100 КонецДокумента finished", "UnexpectedSection 100 КонецФайла finished"},
};

TEST(state_machine_test, every_state_against_every_token) {
  for (size_t state = 0; state < 6; ++state) {
    const std::vector<Token> prefix = prefix_for(state);
    ASSERT_EQ(outcome(run(prefix)), std::string("-> ") + kStateNames[state]);
    for (size_t probe = 0; probe < kProbes.size(); ++probe) {
      std::vector<Token> tokens = prefix;
      tokens.push_back(kProbes[probe]);
      EXPECT_EQ(outcome(run(tokens)), kTransitions[state][probe])
          << "state " << kStateNames[state] << ", probe " << probe;
    }
  }
}

struct RunCase {
  const char* name;
  std::vector<Token> tokens;
  const char* expected;
};

const RunCase kRunCases[] = {
    {"nothing", {}, "-> init"},
    {"empty header then section",
     {marker(1), account_start(2), attribute(3, "ДатаНачала", "01.01.2024"),
      attribute(4, "НачальныйОстаток", "1"), attribute(5, "РасчСчет", "1"), account_end(6),
      end_of_file(7)},
     "-> finished"},
    {"header then end of file",
     {marker(1), attribute(2, "ВерсияФормата", "1.03"), end_of_file(3)},
     "UnexpectedSection 3 КонецФайла header"},
    {"ends inside a document", {marker(1), document_start(2, "K"), attribute(3, "Номер", "1")},
     "-> document"},
    {"ends without end of file", {marker(1), document_start(2, "K"), document_end(3)},
     "-> read_next_section"},
    {"attribute between sections",
     {marker(1), document_start(2, "K"), document_end(3), attribute(4, "Номер", "")},
     "UnexpectedAttribute 4 Номер="},
    {"empty document kind", {marker(1), document_start(2, ""), document_start(3, "")},
     "UnexpectedSection 3 СекцияДокумент= document"},
    {"bad account value",
     {marker(1), account_start(2), attribute(3, "ДатаНачала", "01.01.2024"),
      attribute(4, "НачальныйОстаток", "x"), attribute(5, "РасчСчет", "1"), account_end(9)},
     "AccountParseError 9 invalid value: string \"x\", expected a Decimal type representing a "
     "fixed-point number"},
    {"bad account value wins over missing number",
     {marker(1), account_start(2), attribute(3, "НачальныйОстаток", "1"), account_end(4)},
     "AccountParseError 4 missing field `ДатаНачала`"},
    {"missing account number",
     {marker(1), account_start(2), attribute(3, "ДатаНачала", "01.01.2024"),
      attribute(4, "НачальныйОстаток", "1"), account_end(5)},
     "MissingField 5 РасчСчет account"},
    {"account keys in the header fill nothing",
     {marker(1), attribute(2, "РасчСчет", "1"), attribute(3, "ДатаНачала", "01.01.2024"),
      attribute(4, "НачальныйОстаток", "1"), account_start(5), account_end(6)},
     "AccountParseError 6 missing field `ДатаНачала`"},
};

TEST(state_machine_test, runs) {
  for (const RunCase& test : kRunCases) {
    EXPECT_EQ(outcome(run(test.tokens)), test.expected) << test.name;
  }
}

TEST(state_machine_test, header_is_kept_in_order_and_owned) {
  std::string text = "ДатаНачала01.01.2024Кодировка";
  const std::string_view view = text;
  const std::vector<Token> tokens = {
      marker(1),
      attribute(2, view.substr(0, 20), view.substr(20, 10)),
      attribute(3, view.substr(30), "Windows"),
      attribute(4, view.substr(0, 20), "02.01.2024"),
      document_start(5, "K"),
      document_end(6),
      end_of_file(7)};
  auto result = run(tokens);
  ASSERT_EQ(outcome(result), "-> finished");
  // The statement must not depend on the text its tokens came from.
  text.assign(text.size(), '#');
  const Statement& statement = finished_statement(result);
  EXPECT_EQ(statement.encoding, Encoding::Cp1251);
  ASSERT_EQ(statement.header.size(), 2u);
  EXPECT_EQ(statement.header.entries()[0].key, "ДатаНачала");
  EXPECT_EQ(statement.header.entries()[0].value, "02.01.2024");
  EXPECT_EQ(statement.header.entries()[1].key, "Кодировка");
  EXPECT_EQ(statement.header.entries()[1].value, "Windows");
  EXPECT_TRUE(statement.accounts.accounts().empty());
}

std::vector<Token> three_accounts() {
  std::vector<Token> tokens = {marker(1), attribute(2, "Отправитель", "Банк")};
  const char* const numbers[] = {"A", "B", "C"};
  LineNumber line = 3;
  for (const char* number : numbers) {
    tokens.push_back(account_start(line++));
    tokens.push_back(attribute(line++, "ДатаНачала", "01.01.2024"));
    tokens.push_back(attribute(line++, "НачальныйОстаток", "1"));
    tokens.push_back(attribute(line++, "РасчСчет", number));
    tokens.push_back(account_end(line++));  // lines 7, 12, 17
  }
  tokens.push_back(end_of_file(line));
  return tokens;
}

TEST(state_machine_test, hooks_run_in_order_and_see_each_others_changes) {
  std::vector<std::string> calls;
  const SectionHook hooks[] = {
      [&](SectionType type, AttributeMap& section, const AttributeMap& header) {
        const std::string_view* number = section.find("РасчСчет");
        calls.push_back("first " + std::to_string(static_cast<int>(type)) + " " +
                        std::string(number ? *number : "-") + " " +
                        std::string(*header.find("Отправитель")));
        section.insert_copy("РасчСчет", "X" + std::string(number ? *number : "-"));
        return HookOutcome(Done{});
      },
      [&](SectionType, AttributeMap& section, const AttributeMap&) {
        calls.push_back("second " + std::string(*section.find("РасчСчет")));
        return HookOutcome(Done{});
      },
  };
  auto result = run(three_accounts(), hooks);
  ASSERT_EQ(outcome(result), "-> finished");
  EXPECT_EQ(calls, (std::vector<std::string>{"first 1 A Банк", "second XA", "first 1 B Банк",
                                             "second XB", "first 1 C Банк", "second XC"}));
  std::vector<std::string> numbers;
  for (const Account& account : finished_statement(result).accounts.accounts()) {
    numbers.push_back(account.number);
  }
  EXPECT_EQ(numbers, (std::vector<std::string>{"XA", "XB", "XC"}));
}

TEST(state_machine_test, hook_failure_stops_at_that_section) {
  int first_calls = 0;
  int second_calls = 0;
  const SectionHook hooks[] = {
      [&](SectionType, AttributeMap& section, const AttributeMap&) -> HookOutcome {
        ++first_calls;
        if (*section.find("РасчСчет") == "B") return fail(std::string("нельзя"));
        return Done{};
      },
      [&](SectionType, AttributeMap&, const AttributeMap&) -> HookOutcome {
        ++second_calls;
        return Done{};
      },
  };
  EXPECT_EQ(outcome(run(three_accounts(), hooks)), "HookError 12 нельзя");
  EXPECT_EQ(first_calls, 2);
  EXPECT_EQ(second_calls, 1);
}

TEST(state_machine_test, hook_supplies_missing_account_number) {
  const SectionHook hooks[] = {
      [](SectionType, AttributeMap& section, const AttributeMap&) -> HookOutcome {
        if (section.find("РасчСчет") == nullptr) section.insert_copy("РасчСчет", "40702");
        return Done{};
      },
  };
  const std::vector<Token> tokens = {
      marker(1), account_start(2), attribute(3, "ДатаНачала", "01.01.2024"),
      attribute(4, "НачальныйОстаток", "1"), account_end(5), end_of_file(6)};
  auto result = run(tokens, hooks);
  ASSERT_EQ(outcome(result), "-> finished");
  ASSERT_EQ(finished_statement(result).accounts.size(), 1u);
  EXPECT_EQ(finished_statement(result).accounts.accounts()[0].number, "40702");
}

// The kind is not in the map the hook sees, and a hook cannot override it.
TEST(state_machine_test, document_hooks_and_warnings) {
  std::vector<std::string> seen;
  const SectionHook hooks[] = {
      [&](SectionType type, AttributeMap& section, const AttributeMap&) {
        EXPECT_EQ(type, SectionType::Document);
        seen.push_back(std::to_string(section.size()) + " " +
                       (section.find("СекцияДокумент") ? "kind" : "no kind"));
        section.insert_copy("СекцияДокумент", "Подмена");
        return HookOutcome(Done{});
      },
  };
  const std::vector<std::pair<std::string_view, std::string_view>> good = {
      {"Номер", "1"},          {"Дата", "05.03.2024"},     {"НазначениеПлатежа", "п"},
      {"Сумма", "100.50"},     {"ПлательщикИНН", "1"},     {"ПлательщикБИК", "2"},
      {"ПлательщикБанк1", "3"}, {"ПлательщикСчет", "4"},    {"ПолучательИНН", "5"},
      {"ПолучательСчет", "6"}, {"ПолучательБИК", "7"},     {"ПолучательБанк1", "8"}};
  std::vector<Token> tokens = {marker(1)};
  LineNumber line = 2;
  const auto add_document = [&](std::string_view kind, std::string_view sum) {
    tokens.push_back(document_start(line++, kind));
    for (const auto& [key, value] : good) {
      tokens.push_back(attribute(line++, key, key == "Сумма" ? sum : value));
    }
    tokens.push_back(document_end(line++));
  };
  add_document("Платежное поручение", "1");  // ends at line 15
  add_document("Банковский ордер", "1,5");   // ends at line 29
  add_document("Мемориальный ордер", "2");   // ends at line 43
  add_document("Платежное требование", "");  // ends at line 57
  tokens.push_back(end_of_file(line));

  auto result = run(tokens, hooks);
  ASSERT_EQ(outcome(result), "-> finished");
  EXPECT_EQ(seen, std::vector<std::string>(4, "12 no kind"));
  const Statement& statement = finished_statement(result);
  ASSERT_EQ(statement.documents.size(), 2u);
  EXPECT_EQ(statement.documents[0].text(statement.documents[0].doc_type), "Платежное поручение");
  EXPECT_EQ(statement.documents[1].text(statement.documents[1].doc_type), "Мемориальный ордер");
  ASSERT_EQ(statement.warnings.size(), 2u);
  EXPECT_EQ(statement.warnings[0].lineno, 29u);
  EXPECT_EQ(statement.warnings[0].message,
            "invalid value: string \"1,5\", expected a Decimal type representing a fixed-point "
            "number");
  EXPECT_EQ(statement.warnings[1].lineno, 57u);
  EXPECT_EQ(statement.warnings[1].message,
            "invalid value: string \"\", expected a Decimal type representing a fixed-point "
            "number");
}

// parse_text reads lines as it applies them instead of reading them all first; the outcome must
// be that of read_tokens then parse_tokens, above all when an unrecognised line comes after an
// error of the machine, and no hook may run when any line is unrecognised.
struct TextCase {
  const char* name;
  std::string text;
};

const std::string kAccountLines =
    "СекцияРасчСчет\nДатаНачала=01.01.2024\nРасчСчет=1\nНачальныйОстаток=0\nКонецРасчСчет\n";

const TextCase kTextCases[] = {
    {"complete", "1CClientBankExchange\nA=1\n" + kAccountLines + "КонецФайла\n"},
    {"unfinished", "1CClientBankExchange\nA=1\n" + kAccountLines},
    {"blank lines and CR LF", "1CClientBankExchange\r\n\r\n  \nA=1\r\n" + kAccountLines +
                                  "КонецФайла\r\n\n"},
    {"unrecognised line only", "1CClientBankExchange\n" + kAccountLines + "строка\nКонецФайла\n"},
    {"machine error, then an unrecognised line",
     "1CClientBankExchange\nКонецРасчСчет\nA=1\nстрока\nКонецФайла\n"},
    {"machine error, then good lines", "1CClientBankExchange\nКонецФайла\nA=1\n"},
    {"unrecognised line after the end", "1CClientBankExchange\n" + kAccountLines +
                                            "КонецФайла\n\nхвост"},
    {"attribute after the end", "1CClientBankExchange\n" + kAccountLines + "КонецФайла\nA=1"},
    {"bad account, then an unrecognised line",
     "1CClientBankExchange\nСекцияРасчСчет\nДатаНачала=x\nКонецРасчСчет\nстрока\n"},
    {"no marker", "A=1\nстрока\n"},
    {"empty", ""},
};

TEST(state_machine_test, parse_text_agrees_with_the_token_list) {
  int calls = 0;
  const std::vector<SectionHook> counting = {
      [&calls](SectionType, AttributeMap&, const AttributeMap&) -> HookOutcome {
        ++calls;
        return Done{};
      }};
  for (const TextCase& test : kTextCases) {
    for (const bool with_hooks : {false, true}) {
      const std::span<const SectionHook> hooks =
          with_hooks ? std::span<const SectionHook>(counting) : std::span<const SectionHook>();
      auto tokens = read_tokens(test.text);
      std::string expected;
      if (!tokens) {
        expected = describe(tokens.error());
      } else {
        expected = outcome(parse_tokens(tokens.value(), Encoding::Utf8, hooks));
      }
      calls = 0;
      EXPECT_EQ(outcome(parse_text(test.text, Encoding::Utf8, hooks)), expected)
          << test.name << (with_hooks ? ", with hooks" : "");
      if (!tokens) {
        EXPECT_EQ(calls, 0) << test.name;
      }
    }
  }
}

// Without hooks parse_text keeps the statement in one place and fills a document's fields
// without a section map; the state it ends in must still be the one parse_tokens reaches, down
// to the documents, warnings, header and the attributes of a section the input cut off.
std::string full_outcome(const Result<ParserState, ErrorRecord>& result) {
  if (!result) return describe(result.error());
  std::string out = std::string("-> ") + kStateNames[result.value().index()];
  struct Show {
    std::string operator()(const InitState&) const { return ""; }
    std::string operator()(const HeaderState& s) const { return " " + describe(s.header); }
    std::string operator()(const DocumentState& s) const {
      return " " + describe(s.statement) + " open{" + std::string(s.kind) + "|" +
             describe(s.section) + "}";
    }
    std::string operator()(const AccountState& s) const {
      return " " + describe(s.statement) + " open{" + describe(s.section) + "}";
    }
    std::string operator()(const ReadNextSectionState& s) const {
      return " " + describe(s.statement);
    }
    std::string operator()(const FinishedState& s) const { return " " + describe(s.statement); }
  };
  return out + std::visit(Show{}, result.value());
}

const std::string kDocumentLines =
    "СекцияДокумент=Платежное поручение\nНомер=7\nДата=02.03.2024\nСумма=10.50\n"
    "НазначениеПлатежа=за товар\nПлательщикИНН=1\nПлательщикБИК=2\nПлательщикБанк1=Б\n"
    "ПлательщикСчет=3\nПолучательИНН=4\nПолучательСчет=5\nПолучательБИК=6\n"
    "ПолучательБанк1=Б2\n";

const TextCase kDirectCases[] = {
    {"documents and an account",
     "1CClientBankExchange\nВерсия=1\n" + kDocumentLines + "КонецДокумента\n" + kAccountLines +
         kDocumentLines + "Плательщик=ООО\nВидОплаты=01\nКонецДокумента\nКонецФайла\n"},
    {"repeated keys keep the last value",
     "1CClientBankExchange\n" + kDocumentLines +
         "Номер=8\nДата=04.05.2024\nПлательщик=А\nПлательщик=Б\nКонецДокумента\nКонецФайла\n"},
    {"unknown keys and an empty value",
     "1CClientBankExchange\n" + kDocumentLines +
         "Неизвестный=1\nВидОплаты=\nДатаПоступило=\nКонецДокумента\nКонецФайла\n"},
    {"a document with a bad date is a warning",
     "1CClientBankExchange\n" + kDocumentLines + "Дата=31.02.2024\nКонецДокумента\n" +
         kDocumentLines + "КонецДокумента\nКонецФайла\n"},
    {"a document with a missing field is a warning",
     "1CClientBankExchange\nСекцияДокумент=Чек\nНомер=1\nКонецДокумента\nКонецФайла\n"},
    {"cut off inside a document",
     "1CClientBankExchange\n" + kDocumentLines + "КонецДокумента\n" + kDocumentLines +
         "Номер=9\n\nДругое=x\n"},
    {"cut off right after a document opens, CR LF",
     "1CClientBankExchange\r\nСекцияДокумент=Чек\r\n"},
    {"cut off at an opening line without a line break",
     "1CClientBankExchange\nСекцияДокумент=Чек"},
    {"cut off inside an account", "1CClientBankExchange\nСекцияРасчСчет\nРасчСчет=1\n"},
    {"cut off in the header", "1CClientBankExchange\nА=1\nБ=2\n"},
    {"cut off between sections", "1CClientBankExchange\n" + kDocumentLines + "КонецДокумента\n"},
    {"section inside a document",
     "1CClientBankExchange\n" + kDocumentLines + "СекцияРасчСчет\nКонецФайла\n"},
    {"document end in an account", "1CClientBankExchange\nСекцияРасчСчет\nКонецДокумента\n"},
    {"attribute between sections",
     "1CClientBankExchange\n" + kDocumentLines + "КонецДокумента\nА=1\nКонецФайла\n"},
    {"account without a number",
     "1CClientBankExchange\nСекцияРасчСчет\nДатаНачала=01.01.2024\nНачальныйОстаток=0\n"
     "КонецРасчСчет\nКонецФайла\n"},
    {"section after the end", "1CClientBankExchange\nКонецФайла\nСекцияДокумент=Чек\n"},
    {"end of file in the header", "1CClientBankExchange\nКонецФайла\n"},
    {"no marker", "СекцияРасчСчет\n"},
};

TEST(state_machine_test, parse_text_without_hooks_reaches_the_same_state) {
  for (const TextCase& test : kDirectCases) {
    auto tokens = read_tokens(test.text);
    ASSERT_TRUE(tokens) << test.name;
    const std::string expected = full_outcome(parse_tokens(tokens.value(), Encoding::Utf8, {}));
    EXPECT_EQ(full_outcome(parse_text(test.text, Encoding::Utf8, {})), expected) << test.name;
  }
}

}  // namespace
}  // namespace corvina
